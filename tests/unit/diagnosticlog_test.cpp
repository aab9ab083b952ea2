// The diagnostic log: the file, and the queues that carry the real-time
// threads' lines to it.

#include "diagnosticlog.h"
#include "linequeue.h"
#include "logtext.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Strovik::LineQueue;

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& text)
{
    std::ofstream(path) << text;
}

class DiagnosticLogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/strovik-log-test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        path = dir + "/strovik.log";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string dir, path;
};

TEST_F(DiagnosticLogTest, TruncatesOnOpenFlushesEachLineAndTruncatesAgainAfterClose)
{
    writeFile(path, "stale line from an earlier run\n");
    Strovik::DiagnosticLog log(path.c_str());
    log.write("one %d\n", 1);
    // Read while the log is still open: every line must already be on disk.
    EXPECT_EQ(readFile(path), "one 1\n");
    log.write("two %s\n", "x");
    EXPECT_EQ(readFile(path), "one 1\ntwo x\n");
    log.close();
    log.write("three\n");
    EXPECT_EQ(readFile(path), "three\n");
}

TEST_F(DiagnosticLogTest, FailedOpenDropsTheMessageAndTheNextOneRetries)
{
    // Both a missing directory and a directory at the path itself make the open fail.
    for (bool pathIsDirectory : {false, true})
    {
        SCOPED_TRACE(pathIsDirectory ? "path is a directory" : "directory missing");
        const std::string sub = dir + "/sub", logPath = pathIsDirectory ? sub : sub + "/s.log";
        ASSERT_TRUE(!pathIsDirectory || mkdir(sub.c_str(), 0755) == 0);
        Strovik::DiagnosticLog log(logPath.c_str());
        log.write("lost\n");
        ASSERT_EQ(pathIsDirectory ? rmdir(sub.c_str()) : mkdir(sub.c_str(), 0755), 0);
        log.write("kept\n");
        EXPECT_EQ(readFile(logPath), "kept\n");
        log.close();
        std::filesystem::remove_all(sub);
    }
}

TEST_F(DiagnosticLogTest, PlantedSymlinkIsNeitherFollowedNorTruncated)
{
    const std::string target = dir + "/victim";
    writeFile(target, "precious\n");
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    Strovik::DiagnosticLog log(path.c_str());
    log.write("into the symlink\n");
    EXPECT_EQ(readFile(target), "precious\n");

    ASSERT_EQ(unlink(path.c_str()), 0);
    log.write("after removal\n");
    struct stat st
    {};
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(readFile(path), "after removal\n");
    EXPECT_EQ(readFile(target), "precious\n");
}

TEST_F(DiagnosticLogTest, ConcurrentWritersNeverInterleaveWithinALine)
{
    constexpr int kThreads = 4, kLines = 2000;
    // All threads start on an unopened log: without the lock two of them can each open
    // (and truncate) it, and the lines of one vanish or land mixed into the other's.
    const std::string pad(300, 'p');
    {
        Strovik::DiagnosticLog log(path.c_str());
        std::vector<std::thread> writers;
        for (int t = 0; t < kThreads; ++t)
            writers.emplace_back([&, t] {
                for (int i = 0; i < kLines; ++i)
                    log.write("t=%d i=%d %s end\n", t, i, pad.c_str());
            });
        for (std::thread& w : writers)
            w.join();
    }
    std::istringstream lines(readFile(path));
    std::set<std::pair<int, int>> seen;
    std::string line;
    while (std::getline(lines, line))
    {
        int t = -1, i = -1;
        char rest[400] = {};
        ASSERT_EQ(std::sscanf(line.c_str(), "t=%d i=%d %399[^\n]", &t, &i, rest), 3) << line;
        ASSERT_EQ(rest, pad + " end") << line;
        ASSERT_TRUE(seen.insert({t, i}).second) << "duplicate " << line;
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
}

struct QueuedLine
{
    uint32_t droppedBefore;
    std::string text;
};

std::vector<QueuedLine> drainAll(LineQueue& queue)
{
    std::vector<QueuedLine> lines;
    queue.drain([&](uint32_t droppedBefore, const char* text, uint32_t length) {
        lines.push_back({droppedBefore, std::string(text, length)});
    });
    return lines;
}

// LogText::kPrefix, then <name><i> and a newline, for i in [first, end).
std::string numberedLines(const char* name, int first, int end)
{
    std::string text;
    for (int i = first; i < end; ++i)
        text += std::string(Strovik::LogText::kPrefix) + name + std::to_string(i) + "\n";
    return text;
}

void postNumbered(LineQueue& queue, const char* name, int first, int end)
{
    for (int i = first; i < end; ++i)
        queue.post("%s%s%d\n", Strovik::LogText::kPrefix, name, i);
}

std::string droppedLine(uint32_t count)
{
    return std::string(Strovik::LogText::kDropped) + " " + std::to_string(count) +
           " lines dropped\n";
}

constexpr int kSlots = static_cast<int>(LineQueue::kSlots);

TEST(LineQueue, LinesComeOutInPostedOrderAcrossTheWrap)
{
    LineQueue queue;
    EXPECT_FALSE(queue.hasLines());
    // Three rounds of 50 carry the positions past the end of the slots twice.
    for (int first = 0; first < 150; first += 50)
    {
        postNumbered(queue, "line ", first, first + 50);
        EXPECT_TRUE(queue.hasLines());
        std::string text;
        for (const QueuedLine& line : drainAll(queue))
        {
            EXPECT_EQ(line.droppedBefore, 0u) << line.text;
            text += line.text;
        }
        EXPECT_EQ(text, numberedLines("line ", first, first + 50));
        EXPECT_FALSE(queue.hasLines());
    }
    EXPECT_EQ(queue.takeDroppedAtEnd(), 0u);
}

TEST(LineQueue, FullQueueDropsAndTheNextLineCarriesTheCount)
{
    LineQueue queue;
    postNumbered(queue, "a", 0, kSlots + 5);
    std::vector<QueuedLine> lines = drainAll(queue);
    ASSERT_EQ(lines.size(), LineQueue::kSlots);
    EXPECT_EQ(lines.front().text, numberedLines("a", 0, 1));
    EXPECT_EQ(lines.back().text, numberedLines("a", kSlots - 1, kSlots));
    for (const QueuedLine& line : lines)
        EXPECT_EQ(line.droppedBefore, 0u) << line.text;

    postNumbered(queue, "b", 0, 2);
    lines = drainAll(queue);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].droppedBefore, 5u);
    EXPECT_EQ(lines[0].text, numberedLines("b", 0, 1));
    EXPECT_EQ(lines[1].droppedBefore, 0u) << "a count is carried once";
    EXPECT_EQ(queue.takeDroppedAtEnd(), 0u);

    // Drops with no line after them: only the count at the end tells of them.
    postNumbered(queue, "c", 0, kSlots + 3);
    EXPECT_EQ(drainAll(queue).size(), LineQueue::kSlots);
    EXPECT_EQ(queue.takeDroppedAtEnd(), 3u);
    EXPECT_EQ(queue.takeDroppedAtEnd(), 0u);
}

TEST(LineQueue, LongLineIsCutButStillEndsInANewline)
{
    LineQueue queue;
    const std::string fits(LineQueue::kLineBytes - 2, 'f'); // with its newline, just fits
    const std::string longer(300, 'x');
    queue.post("%s\n", fits.c_str());
    queue.post("%s\n", longer.c_str());
    queue.post("after\n");
    const std::vector<QueuedLine> lines = drainAll(queue);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].text, fits + "\n");
    EXPECT_EQ(lines[1].text, std::string(LineQueue::kLineBytes - 2, 'x') + "\n");
    EXPECT_EQ(lines[2].text, "after\n");
}

// A producer numbers its lines 0, 1, 2, ... and gives each a check value.
// As they come out, every number must be accounted for: as a line, intact
// and after the one before, or in the drop count the next line carries.
uint32_t checkOf(uint32_t seq)
{
    return seq * 2654435761u;
}

struct SequenceCheck
{
    int64_t last = -1;
    uint64_t received = 0, dropped = 0;

    // What is wrong with the next line, or nothing.
    std::string take(uint32_t droppedBefore, uint32_t seq, uint32_t check)
    {
        if (check != checkOf(seq))
            return "line " + std::to_string(seq) + " is damaged";
        if (int64_t(seq) != last + 1 + droppedBefore)
            return "line " + std::to_string(seq) + " after " + std::to_string(last) + " with " +
                   std::to_string(droppedBefore) + " dropped";
        last = seq;
        ++received;
        dropped += droppedBefore;
        return {};
    }
};

TEST(LineQueue, ConcurrentProducerAndDrainerLoseNothingAndKeepOrder)
{
    // First paced to the drainer, so that no line may be dropped; then at
    // full speed, so that most are, and each drop must be counted.
    constexpr uint32_t kPaced = 100000, kLines = 200000;
    LineQueue queue;
    std::atomic<uint32_t> drained{0};
    std::atomic<bool> done{false};
    std::thread producer([&] {
        for (uint32_t i = 0; i < kLines; ++i)
        {
            while (i < kPaced && i - drained.load(std::memory_order_acquire) >= LineQueue::kSlots)
                std::this_thread::yield();
            queue.post("seq=%u check=%u and some padding to a usual length\n", i, checkOf(i));
        }
        done = true;
    });
    SequenceCheck sequence;
    uint32_t pacedReceived = 0;
    std::string fault;
    const auto take = [&](uint32_t droppedBefore, const char* text, uint32_t length) {
        unsigned seq = 0, check = 0;
        const std::string line(text, length);
        if (!fault.empty())
            return;
        if (std::sscanf(line.c_str(), "seq=%u check=%u", &seq, &check) != 2 || line.back() != '\n')
            fault = "unreadable line: " + line;
        else if (seq < kPaced && droppedBefore != 0)
            fault = "line " + std::to_string(seq) + ": dropped while paced";
        else
            fault = sequence.take(droppedBefore, seq, check);
        pacedReceived += seq < kPaced;
    };
    const auto drainAndCount = [&] {
        uint32_t n = 0;
        queue.drain([&](uint32_t droppedBefore, const char* text, uint32_t length) {
            take(droppedBefore, text, length);
            ++n;
        });
        drained.fetch_add(n, std::memory_order_release);
    };
    while (!done)
        drainAndCount();
    producer.join();
    drainAndCount();
    ASSERT_EQ(fault, "");
    EXPECT_EQ(pacedReceived, kPaced);
    const uint32_t droppedAtEnd = queue.takeDroppedAtEnd();
    EXPECT_EQ(sequence.last + 1 + droppedAtEnd, kLines);
    EXPECT_EQ(sequence.received + sequence.dropped + droppedAtEnd, kLines);
    std::printf("[ measured ] %u lines posted at full speed: %llu came out, %llu dropped, %u at "
                "the end\n",
                kLines - kPaced, static_cast<unsigned long long>(sequence.received - kPaced),
                static_cast<unsigned long long>(sequence.dropped), droppedAtEnd);
}

TEST_F(DiagnosticLogTest, QueuedLinesStayOffTheFileUntilWrittenThenComeFirstInOrder)
{
    Strovik::DiagnosticLog log(path.c_str());
    postNumbered(log.audioThread(), "a", 0, 3);
    EXPECT_FALSE(std::filesystem::exists(path)) << "a post touched the file";
    log.write("main\n");
    const std::string first = numberedLines("a", 0, 3) + "main\n";
    EXPECT_EQ(readFile(path), first);

    postNumbered(log.dataThread(), "d", 0, 3);
    log.flushQueued();
    EXPECT_EQ(readFile(path), first + numberedLines("d", 0, 3));
}

TEST_F(DiagnosticLogTest, DroppedLinesAreCountedAheadOfTheNextLineThatGetsThrough)
{
    Strovik::DiagnosticLog log(path.c_str());
    postNumbered(log.audioThread(), "a", 0, kSlots + 6);
    log.flushQueued();
    postNumbered(log.audioThread(), "next", 0, 1);
    log.flushQueued();
    EXPECT_EQ(readFile(path),
              numberedLines("a", 0, kSlots) + droppedLine(6) + numberedLines("next", 0, 1));
}

TEST_F(DiagnosticLogTest, CloseWritesWhatIsQueuedAndReportsDropsLeftAtTheEnd)
{
    Strovik::DiagnosticLog log(path.c_str());
    postNumbered(log.audioThread(), "a", 0, kSlots + 2);
    log.close();
    EXPECT_EQ(readFile(path), numberedLines("a", 0, kSlots) + droppedLine(2));

    // The data thread's queue the same way, into a log opened afresh.
    postNumbered(log.dataThread(), "d", 0, kSlots + 3);
    log.close();
    const std::string text = numberedLines("d", 0, kSlots) + droppedLine(3);
    EXPECT_EQ(readFile(path), text);
    // Nothing queued and nothing dropped: a close must not open (and so
    // truncate) the file.
    log.close();
    EXPECT_EQ(readFile(path), text);
}

TEST_F(DiagnosticLogTest, FailedOpenStillEmptiesTheQueues)
{
    const std::string sub = dir + "/sub", logPath = sub + "/s.log";
    Strovik::DiagnosticLog log(logPath.c_str());
    postNumbered(log.audioThread(), "lost", 0, kSlots);
    log.flushQueued(); // no directory: the lines go
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    postNumbered(log.audioThread(), "kept", 0, 1);
    log.flushQueued();
    // A queue left full would have dropped this line instead.
    EXPECT_EQ(readFile(logPath), numberedLines("kept", 0, 1));
}

// Both real-time queues filled at full speed while another thread flushes
// them and a third writes lines of its own; the producers then stop, and a
// last line on each queue carries whatever was dropped since.
TEST_F(DiagnosticLogTest, QueuesFlushedWhileProducersRunLoseNothingAndKeepOrder)
{
    constexpr uint32_t kLines = 50000;
    constexpr int kMainLines = 200;
    {
        Strovik::DiagnosticLog log(path.c_str());
        const auto produce = [](LineQueue& queue, char name, uint32_t first, uint32_t end) {
            for (uint32_t i = first; i < end; ++i)
                queue.post("%s%c seq=%u check=%u\n", Strovik::LogText::kPrefix, name, i,
                           checkOf(i));
        };
        std::atomic<bool> producing{true};
        std::thread audio(produce, std::ref(log.audioThread()), 'A', 0, kLines);
        std::thread data(produce, std::ref(log.dataThread()), 'D', 0, kLines);
        std::thread flusher([&] {
            while (producing)
            {
                log.flushQueued();
                std::this_thread::yield();
            }
        });
        for (int i = 0; i < kMainLines; ++i)
            log.write("%sM i=%d\n", Strovik::LogText::kPrefix, i);
        audio.join();
        data.join();
        producing = false;
        flusher.join();
        // The producers are gone: this thread may post on their queues now,
        // once they are emptied, so that the last lines find room.
        log.flushQueued();
        produce(log.audioThread(), 'A', kLines, kLines + 1);
        produce(log.dataThread(), 'D', kLines, kLines + 1);
    } // closed by the destructor

    const std::string dropFormat = std::string(Strovik::LogText::kDropped) + " %u lines dropped";
    const std::string lineFormat = std::string(Strovik::LogText::kPrefix) + "%c seq=%u check=%u";
    const std::string mainFormat = std::string(Strovik::LogText::kPrefix) + "M i=%d";
    SequenceCheck audio, data;
    unsigned pendingDrops = 0;
    int mainLines = 0;
    std::istringstream lines(readFile(path));
    std::string line;
    while (std::getline(lines, line))
    {
        unsigned count = 0, seq = 0, check = 0;
        char name = 0;
        int i = 0;
        if (std::sscanf(line.c_str(), dropFormat.c_str(), &count) == 1)
        {
            ASSERT_EQ(pendingDrops, 0u) << "two drop counts in a row";
            pendingDrops = count;
        }
        else if (std::sscanf(line.c_str(), lineFormat.c_str(), &name, &seq, &check) == 3 &&
                 (name == 'A' || name == 'D'))
        {
            ASSERT_EQ((name == 'A' ? audio : data).take(pendingDrops, seq, check), "") << name;
            pendingDrops = 0;
        }
        else if (std::sscanf(line.c_str(), mainFormat.c_str(), &i) == 1)
            ASSERT_EQ(i, mainLines++);
        else
            FAIL() << "unexpected line: " << line;
    }
    EXPECT_EQ(pendingDrops, 0u) << "a drop count with no line after it";
    EXPECT_EQ(mainLines, kMainLines);
    for (const SequenceCheck* sequence : {&audio, &data})
    {
        EXPECT_EQ(sequence->last, int64_t(kLines));
        EXPECT_EQ(sequence->received + sequence->dropped, kLines + 1u);
    }
    std::printf("[ measured ] %u lines per queue: audio %llu written, %llu dropped; data %llu "
                "written, %llu dropped\n",
                kLines, static_cast<unsigned long long>(audio.received),
                static_cast<unsigned long long>(audio.dropped),
                static_cast<unsigned long long>(data.received),
                static_cast<unsigned long long>(data.dropped));
}

} // namespace
