// The plug-in inside a host that itself plays into the default sink, against
// a real, private PipeWire server: the host's own output must never come
// back through the plug-in, and everything else the sink plays must.
//
// "Own" means this very process: OwnPlayer is a playback stream of the test
// process, as a DAW's engine is one of the DAW's. pw-play children are
// other programs.

#include "analysis.h"
#include "graphprobe.h"
#include "ownplayer.h"
#include "realtimehost.h"
#include "realtimeloop.h"
#include "serverfixture.h"
#include "signals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>
#include <unistd.h>
#include <unordered_set>

using namespace Strovik::Test;
using namespace Strovik::LogText;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double kRate = 48000;
constexpr int32 kBlock = 512;
constexpr double kOwnHz = 1000;
constexpr double kOtherHz = 440;

size_t blockAt(double seconds)
{
    return static_cast<size_t>(seconds * kRate / kBlock);
}

double msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

const std::string kFeeds = kOwnOutputFeedsSink;
std::string feedsLine(size_t sources)
{
    return kFeeds + " " + std::to_string(sources) + " " + kOwnOutputFeedsSinkEnd;
}

// Runs a command without holding up the calling (audio) thread.
class Background
{
public:
    void run(const std::string& command)
    {
        jobs.push_back(std::async(std::launch::async, [command] { commandOutput(command); }));
    }
    ~Background()
    {
        for (auto& j : jobs)
            j.wait();
    }

private:
    std::vector<std::future<void>> jobs;
};

std::string defaultSinkCommand(const std::string& sink)
{
    return "timeout 5 pw-metadata 0 default.configured.audio.sink '{ \"name\": \"" + sink +
           "\" }' Spa:String:JSON >/dev/null";
}

// The frames the graph hands over per cycle, from the plug-in's own status
// lines (0 when there was none).
uint32_t quantumFrom(const LogWatcher& watcher)
{
    uint32_t quantum = 0;
    for (const auto& line : watcher.lines())
        if (line.text.rfind(kPwStatus, 0) == 0)
            if (auto at = line.text.find(" frames="); at != std::string::npos)
                quantum = static_cast<uint32_t>(std::stoul(line.text.substr(at + 8)));
    return quantum;
}

// The capture's non-silent stretch, less `margin` seconds at either end.
std::vector<float> steadyPart(const std::vector<float>& samples, double margin)
{
    size_t first = 0, last = samples.size();
    while (first < last && samples[first] == 0.0f)
        ++first;
    while (last > first && samples[last - 1] == 0.0f)
        --last;
    const size_t m = static_cast<size_t>(margin * kRate);
    if (last - first < 3 * m)
        return {};
    return {samples.begin() + long(first + m), samples.begin() + long(last - m)};
}

// Exact silence inside the sound (between its first and its last non-zero
// sample): how often, and the longest, where. A tone measured low with such
// a run in it lost its links, or its player stalled, while it played; one
// measured low without any had its window misplaced.
std::string silencesInside(const std::vector<float>& samples)
{
    size_t first = 0, last = samples.size();
    while (first < last && samples[first] == 0.0f)
        ++first;
    while (last > first && samples[last - 1] == 0.0f)
        --last;
    size_t runs = 0, longest = 0, longestAt = 0;
    for (size_t i = first; i < last;)
    {
        size_t j = i;
        while (j < last && samples[j] == 0.0f)
            ++j;
        // A sine's own zero crossings are single samples.
        if (j - i >= 16)
        {
            ++runs;
            if (j - i > longest)
                longest = j - i, longestAt = i;
        }
        i = j > i ? j : i + 1;
    }
    return "sound from " + std::to_string(double(first) / kRate) + " s to " +
           std::to_string(double(last) / kRate) + " s, " + std::to_string(runs) +
           " silent runs inside, the longest " + std::to_string(1000.0 * double(longest) / kRate) +
           " ms at " + std::to_string(double(longestAt) / kRate) + " s";
}

// The stretches of `samples`, each as [begin, end), where they follow one
// sine of `hz` sample by sample: where each sample and the two around it
// keep the sine's recurrence, x[n-1] + x[n+1] = 2 cos(w) x[n], to within
// the rounding of float samples. A skip of the tone's phase (frames the
// machine stalled through) ends a stretch after a sample or two; silence
// ends it; anything else mixed in at more than about -80 dBFS breaks it
// into pieces of a few samples.
std::vector<std::pair<size_t, size_t>> toneStretches(const std::vector<float>& samples, double hz)
{
    const double twoCos = 2 * std::cos(2 * M_PI * hz / kRate);
    std::vector<std::pair<size_t, size_t>> stretches;
    size_t begin = 0; // where the current stretch began, when `in`
    bool in = false;
    for (size_t n = 1; n + 1 < samples.size(); ++n)
    {
        const double before = samples[n - 1], x = samples[n], after = samples[n + 1];
        const bool silent = before == 0 && x == 0 && after == 0;
        const bool onTone = !silent && std::fabs(before + after - twoCos * x) < 1e-6;
        if (onTone && !in)
            begin = n - 1, in = true;
        else if (!onTone && in)
            stretches.emplace_back(begin, n), in = false;
    }
    if (in)
        stretches.emplace_back(begin, samples.size());
    return stretches;
}

size_t countEntries(const std::string& dir)
{
    size_t n = 0;
    if (DIR* d = ::opendir(dir.c_str()))
    {
        while (const dirent* e = ::readdir(d))
            n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}

// Open descriptors, less the log watcher's moment on the log file.
size_t countDescriptors()
{
    size_t n = 0;
    if (DIR* d = ::opendir("/proc/self/fd"))
    {
        while (const dirent* e = ::readdir(d))
        {
            if (e->d_name[0] == '.')
                continue;
            char target[512] = {};
            const std::string link = std::string("/proc/self/fd/") + e->d_name;
            const ssize_t len = ::readlink(link.c_str(), target, sizeof(target) - 1);
            n += !(len > 0 && std::string(target, size_t(len)) == kLogPath);
        }
        ::closedir(d);
    }
    return n - 1; // the directory's own
}

long residentKiB()
{
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

class RoutingTest : public ServerFixture
{
protected:
    std::string wav(const std::string& name, const std::vector<float>& frames)
    {
        const std::string path = server.directory() + "/" + name;
        writeFloatWav(path, frames, 2, int(kRate));
        return path;
    }

    // The plug-in's capture stream in this process (0 when there is none).
    static uint32_t captureNode(const Graph& g)
    {
        const auto nodes = g.captureNodesOf(::getpid());
        return nodes.size() == 1 ? nodes[0] : 0;
    }

    // Polls the graph until `done` holds for it; the last snapshot either way.
    static Graph graphUntil(const std::function<bool(const Graph&)>& done, double seconds = 5)
    {
        const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
        Graph g = snapshotGraph();
        while (!done(g) && Clock::now() < deadline)
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            g = snapshotGraph();
        }
        return g;
    }

    // The other program's tone at its level and none of the host's own, in
    // every stretch where the tone runs unbroken. A cycle the machine
    // stalled through skips the tone's phase, with or without silence in
    // between; one fit across the skip would read it as a lower level and
    // a leak of the tones around it.
    static void expectLevels(const std::vector<float>& samples, const char* what)
    {
        ASSERT_GT(samples.size(), size_t(kRate / 2)) << what << ": too little sound came out";
        // Long enough to tell 440 Hz from 1000 Hz by ten cycles of their
        // difference, and far longer than the pieces a mix breaks into.
        constexpr size_t kShortest = size_t(kRate / 50);
        const auto stretches = toneStretches(samples, kOtherHz);
        size_t fitted = 0, pieces = 0;
        std::string firstPiece;
        for (const auto& [begin, end] : stretches)
        {
            std::string where = what;
            if (stretches.size() > 1)
                where += " (" + std::to_string(double(begin) / kRate) + " s to " +
                         std::to_string(double(end) / kRate) + " s)";
            if (end - begin < kShortest)
            {
                if (pieces++ == 0)
                    firstPiece = where;
                continue;
            }
            fitted += end - begin;
            const auto a =
                toneAmplitudes({samples.begin() + long(begin), samples.begin() + long(end)}, kRate,
                               {kOtherHz, kOwnHz});
            std::cout << "[ measured ] " << where << ": " << kOtherHz << " Hz at " << dbfs(a[0])
                      << " dBFS, own " << kOwnHz << " Hz at " << dbfs(a[1]) << " dBFS\n";
            EXPECT_NEAR(dbfs(a[0]), dbfs(0.5), 0.01) << where;
            EXPECT_LT(dbfs(a[1]), -120.0) << where << ": the host's own output came back";
        }
        EXPECT_EQ(pieces, 0u) << pieces << " pieces of the tone too short to measure, the first "
                              << firstPiece << ": something broke it up, as a mix does";
        EXPECT_GT(fitted, size_t(kRate / 2)) << what << ": too little of the tone came out";
    }

    void SetUp() override
    {
        ServerFixture::SetUp();
        // After the fixture removed the last test's log.
        watcherPtr = std::make_unique<LogWatcher>(kLogPath);
    }

    void TearDown() override
    {
        watcherPtr.reset();
        ServerFixture::TearDown();
    }

    // The router's lines, in order.
    std::vector<std::string> routingLines() const
    {
        std::vector<std::string> found;
        for (const auto& line : watcher().lines())
            if (line.text.rfind(kFeeds, 0) == 0 || line.text.rfind(kOwnOutputLeftSink, 0) == 0)
                found.push_back(line.text);
        return found;
    }

    // The log's lines since `began` but for the periodic status lines, each
    // with its time: what the router and the bridge did, for a failure's
    // message.
    std::string eventLines(LogWatcher::Clock::time_point began) const
    {
        std::string events;
        for (const auto& line : watcher().lines())
            if (line.text.rfind(kPwStatus, 0) != 0 && line.text.rfind(kBridgeStatus, 0) != 0)
                events +=
                    std::to_string(long(msBetween(began, line.seen))) + " ms: " + line.text + "\n";
        return events;
    }

    const LogWatcher& watcher() const { return *watcherPtr; }
    std::unique_ptr<LogWatcher> watcherPtr;
};

// --- what comes out --------------------------------------------------------

TEST_F(RoutingTest, OwnOutputIsLeftOutAndTheOthersKeepTheirLevel)
{
    OwnPlayer own(kOwnHz, 0.5);
    ASSERT_TRUE(own.start());
    auto p = startProcessor();
    const std::string tone = wav("tone.wav", stereoTone(kOtherHz, kOtherHz, 0.5, kRate, 2.5));
    std::unique_ptr<ChildProcess> player;
    Graph during;
    Capture c = runRealtime(*p->processor, 2, kBlock, kRate, 4.0, [&](size_t i, ProcessBlock&) {
        if (i == blockAt(0.5))
            player = std::make_unique<ChildProcess>(play(tone));
        if (i == blockAt(2.0))
            during = snapshotGraph();
    });
    player->wait();
    EXPECT_EQ(p->terminate(), kResultOk);

    // Direct links from the start, the player linked while it played.
    EXPECT_EQ(routingLines(), (std::vector<std::string>{feedsLine(0), feedsLine(1), feedsLine(0)}));
    const uint32_t node = captureNode(during);
    ASSERT_NE(node, 0u);
    EXPECT_EQ(during.sourcesOf(node), std::set<uint32_t>{during.nodeNamed("pw-play")})
        << during.describeLinksInto(node);
    EXPECT_FALSE(during.fedByMonitor(node)) << during.describeLinksInto(node);
    for (int ch = 0; ch < 2; ++ch)
        expectLevels(steadyPart(c.channels[ch], 0.2), ch == 0 ? "left" : "right");
    // The player ended at about 3 s; with nothing else playing, no packet
    // comes at all, and the host's blocks are plain silence.
    EXPECT_EQ(rms(c.channels[0], static_cast<size_t>(3.5 * kRate)), 0.0);
    EXPECT_EQ(rms(c.channels[1], static_cast<size_t>(3.5 * kRate)), 0.0);
}

TEST_F(RoutingTest, OneSourceComesOutBitExactOnTheMonitorAndOnDirectLinks)
{
    const auto noise = stereoNoise(4242, kRate, 3.0);
    const std::string file = wav("noise.wav", noise);
    for (bool ownPlaying : {false, true})
    {
        SCOPED_TRACE(ownPlaying ? "direct links" : "monitor");
        OwnPlayer own(kOwnHz, 0.5);
        if (ownPlaying)
        {
            ASSERT_TRUE(own.start());
        }
        const auto began = Clock::now();
        auto p = startProcessor();
        size_t lateBefore = 0;
        std::unique_ptr<ChildProcess> player;
        Graph during;
        Capture c = runRealtime(*p->processor, 2, kBlock, kRate, 4.0, [&](size_t i, ProcessBlock&) {
            if (i == blockAt(0.4))
                player = std::make_unique<ChildProcess>(play(file));
            if (i == blockAt(0.9))
                lateBefore = server.lateClientReports().size();
            if (i == blockAt(2.0))
                during = snapshotGraph();
        });
        player->wait();
        EXPECT_EQ(p->terminate(), kResultOk);

        const uint32_t node = captureNode(during);
        ASSERT_NE(node, 0u);
        const uint32_t expected = during.nodeNamed(ownPlaying ? "pw-play" : "strovik-test-sink");
        EXPECT_EQ(during.sourcesOf(node), std::set<uint32_t>{expected})
            << during.describeLinksInto(node);
        EXPECT_EQ(during.fedByMonitor(node), !ownPlaying);
        // On direct links the player's first quanta can play into the sink
        // before its links into the plug-in are made, and never reach it:
        // the match starts at its first frame that came out, and what it
        // missed is bounded below.
        const SequenceMatch m = ownPlaying ? matchResumed(c.channels[0], c.channels[1], noise, 0)
                                           : matchSequence(c.channels[0], c.channels[1], noise);
        std::cout << "[ measured ] " << (ownPlaying ? "direct" : "monitor")
                  << ": compared=" << m.compared << " lost=" << m.lost << " altered=" << m.altered
                  << " duplicated=" << m.duplicated << " gaps=" << m.gaps
                  << " unheard=" << m.unheard << "\n";
        // On the graph's own clock the bridge copies, and never resamples.
        EXPECT_EQ(watcher().count(kBridgeEngaged), 0u) << eventLines(began);
        ASSERT_GE(m.start, 0) << "the played sequence never came out; links at 2 s:\n"
                              << during.describeLinksInto(node) << eventLines(began);
        EXPECT_EQ(m.altered, 0u);
        EXPECT_EQ(m.duplicated, 0u);
        const size_t head = noise.size() / 2 - m.compared - m.lost - m.unheard;
        std::cout << "[ measured ] " << head << " frames played before the capture heard them\n";
        EXPECT_LT(head, size_t(kRate / 2));
        const size_t late = expectLostOnlyInLateCycles(m, lateBefore);
        expectGapsOnlyWhereTheMachineStalled(m, late, c);
        EXPECT_LE(m.unheard, 2048u);
    }
}

TEST_F(RoutingTest, TwoOtherSourcesAreSummedBitExact)
{
    OwnPlayer own(kOwnHz, 0.5);
    ASSERT_TRUE(own.start());
    // The first player's right channel is its own, so it shows where it
    // started; on the left both play, and the sum must be float(a + b).
    auto first = stereoNoise(7, kRate, 3.0);
    auto second = stereoNoise(8, kRate, 3.0);
    for (size_t i = 1; i < second.size(); i += 2)
        second[i] = 0.0f;
    const std::string a = wav("a.wav", first), b = wav("b.wav", second);
    auto p = startProcessor();
    std::unique_ptr<ChildProcess> pa, pb;
    size_t lateBefore = 0;
    Capture c = runRealtime(*p->processor, 2, kBlock, kRate, 4.5, [&](size_t i, ProcessBlock&) {
        if (i == blockAt(0.4))
            pa = std::make_unique<ChildProcess>(play(a));
        if (i == blockAt(0.7))
            pb = std::make_unique<ChildProcess>(play(b));
        if (i == blockAt(1.0))
            lateBefore = server.lateClientReports().size();
    });
    pa->wait();
    pb->wait();
    EXPECT_EQ(p->terminate(), kResultOk);
    EXPECT_GE(watcher().count(feedsLine(2)), 1u);

    const std::vector<float>& left = c.channels[0];
    const std::vector<float>& right = c.channels[1];
    // Where the first player starts: found from its first frames that came
    // out. The quanta it played before its links into the plug-in were made
    // never reach it (more of them on a slow, sanitized build).
    size_t heard = 0;
    while (heard < right.size() && right[heard] == 0.0f)
        ++heard;
    ASSERT_LT(heard + 64, right.size()) << "the first player never came out";
    std::vector<float> firstRight(first.size() / 2);
    for (size_t i = 0; i < firstRight.size(); ++i)
        firstRight[i] = first[2 * i + 1];
    const long missed =
        findSequence(firstRight, std::vector<float>(right.begin() + long(heard),
                                                    right.begin() + long(heard) + 64));
    ASSERT_GE(missed, 0) << "what came out on the right is not the first player";
    const long sa = long(heard) - missed;
    std::cout << "[ measured ] the first player's first " << missed
              << " frames played before its links into the plug-in were made\n";
    EXPECT_LT(missed, long(kRate / 2));
    // Where the second one starts: the offset at which 64 frames of the
    // left channel are exactly the float sums.
    const size_t frames = first.size() / 2;
    auto playedAt = [&](const std::vector<float>& played, long offset, size_t channel = 0) {
        return offset >= 0 && size_t(offset) < frames ? played[2 * size_t(offset) + channel] : 0.0f;
    };
    auto sumAt = [&](size_t at, long sb) {
        return playedAt(first, long(at) - sa) + playedAt(second, long(at) - sb);
    };
    long sb = -1;
    const size_t probe = size_t(sa) + 48000; // a second in, both play
    for (long candidate = sa; candidate < sa + long(kRate) && sb < 0; ++candidate)
    {
        bool all = true;
        for (size_t i = probe; i < probe + 64 && all; ++i)
            all = left[i] == sumAt(i, candidate);
        if (all)
            sb = candidate;
    }
    ASSERT_GE(sb, 0) << "no offset makes the left channel the sum of both players";
    // The second player's head, too, may have played before its links were
    // made: until its first frame that came out, the left is the first
    // player's alone, and from there on exactly the sum.
    size_t bHeard = size_t(sb);
    while (bHeard < probe && left[bHeard] == playedAt(first, long(bHeard) - sa))
        ++bHeard;
    EXPECT_LT(bHeard - size_t(sb), size_t(kRate / 2));
    // All of it, from the first player's first frame that came out: on the
    // left its own frames, then the sums, and on the right its own. The
    // players' last partial quantum may never reach the graph.
    std::vector<float> expected;
    for (size_t i = heard; i < size_t(sa) + frames - 2048; ++i)
    {
        expected.push_back(i < bHeard ? playedAt(first, long(i) - sa) : sumAt(i, sb));
        expected.push_back(playedAt(first, long(i) - sa, 1));
    }
    const SequenceMatch m = matchSequence(left, right, expected);
    std::cout << "[ measured ] second player " << (sb - sa) << " frames after the first, its first "
              << (bHeard - size_t(sb)) << " before its links; then compared=" << m.compared
              << " lost=" << m.lost << " altered=" << m.altered << " duplicated=" << m.duplicated
              << " gaps=" << m.gaps << " unheard=" << m.unheard << "\n";
    EXPECT_EQ(m.start, long(heard));
    EXPECT_EQ(m.altered, 0u);
    EXPECT_EQ(m.duplicated, 0u);
    const size_t late = expectLostOnlyInLateCycles(m, lateBefore);
    expectGapsOnlyWhereTheMachineStalled(m, late, c);
    EXPECT_EQ(m.unheard, 0u);
}

TEST_F(RoutingTest, PlayersComingAndGoingLeaveTheCaptureExact)
{
    OwnPlayer own(kOwnHz, 0.5);
    ASSERT_TRUE(own.start());
    const auto noise = stereoNoise(99, kRate, 4.5);
    const std::string main = wav("noise.wav", noise);
    // Silent players: they add nothing to the sum, so the long one must come
    // out bit-exact while their links come and go around it.
    const std::string quiet = wav("quiet.wav", std::vector<float>(size_t(0.4 * kRate) * 2, 0.0f));
    const std::vector<double> starts{1.0, 1.2, 2.0, 2.8, 2.9, 3.0, 3.8};
    auto p = startProcessor();
    size_t lateBefore = 0;
    std::unique_ptr<ChildProcess> player;
    std::vector<ChildProcess> others;
    Capture c = runRealtime(*p->processor, 2, kBlock, kRate, 5.5, [&](size_t i, ProcessBlock&) {
        if (i == blockAt(0.3))
            player = std::make_unique<ChildProcess>(play(main));
        if (i == blockAt(0.8))
            lateBefore = server.lateClientReports().size();
        for (double s : starts)
            if (i == blockAt(s))
                others.push_back(play(quiet));
    });
    player->wait();
    for (auto& o : others)
        o.wait();
    const Graph after = snapshotGraph();
    EXPECT_EQ(p->terminate(), kResultOk);

    // From the main player's first frames that came out: those it played
    // before its links into the plug-in were made never reach it.
    const SequenceMatch m = matchResumed(c.channels[0], c.channels[1], noise, 0);
    std::cout << "[ measured ] " << starts.size()
              << " players came and went: compared=" << m.compared << " lost=" << m.lost
              << " altered=" << m.altered << " duplicated=" << m.duplicated << " gaps=" << m.gaps
              << "\n";
    ASSERT_GE(m.start, 0);
    EXPECT_GT(m.compared + m.unheard, noise.size() / 2 - size_t(kRate / 2))
        << "more than half a second of the main player's start never came out";
    EXPECT_EQ(m.altered, 0u);
    EXPECT_EQ(m.duplicated, 0u);
    const size_t late = expectLostOnlyInLateCycles(m, lateBefore);
    expectGapsOnlyWhereTheMachineStalled(m, late, c);
    EXPECT_GE(watcher().count(feedsLine(2)), 3u) << "the quiet players were not linked";
    EXPECT_GE(watcher().count(feedsLine(3)), 1u) << "overlapping players were not linked together";
    EXPECT_EQ(watcher().count(kOwnOutputLeftSink), 0u);
    // All of them have finished: nothing is linked, and the host still plays.
    const uint32_t node = captureNode(after);
    ASSERT_NE(node, 0u);
    EXPECT_EQ(after.linksInto(node), 0u) << after.describeLinksInto(node);
}

// --- switching -------------------------------------------------------------

// How a sequence that plays through switches came out.
struct SwitchCost
{
    SequenceMatch m;
    // Places where frames were lost, inserted or repeated: events less than
    // a quarter second apart are one place (a lost quantum can leave the
    // host's block before it short, padded with silence, as one switch).
    size_t places = 0;
    // Non-silent captured frames that are no frame of the played sequence
    // at all: anything mixed in (the host's own output) shows here, however
    // the sequence matcher classed the frames around a switch. A frame with
    // one channel silent and the other that channel of a played frame is
    // no such frame: when the monitor is linked again, its left link has
    // brought one quantum before the right link brought any, the left
    // channel of the current quantum or of the last one the monitor had
    // carried, a second before (6 runs in 40 under AddressSanitizer with a
    // core kept busy).
    size_t neverPlayed = 0;
};

size_t framesNeverPlayed(const Capture& c, const std::vector<float>& played)
{
    auto bits = [](float sample) {
        uint32_t b = 0;
        std::memcpy(&b, &sample, sizeof b);
        return b;
    };
    auto key = [&](float left, float right) {
        return uint64_t{bits(left)} << 32 | bits(right);
    };
    std::unordered_set<uint64_t> frames;
    std::unordered_set<uint32_t> channel[2];
    frames.reserve(played.size() / 2);
    for (size_t i = 0; i + 1 < played.size(); i += 2)
    {
        frames.insert(key(played[i], played[i + 1]));
        channel[0].insert(bits(played[i]));
        channel[1].insert(bits(played[i + 1]));
    }
    size_t never = 0;
    for (size_t i = 0; i < c.channels[0].size(); ++i)
    {
        const float left = c.channels[0][i], right = c.channels[1][i];
        const bool oneChannel = (right == 0.0f && channel[0].count(bits(left)) != 0) ||
                                (left == 0.0f && channel[1].count(bits(right)) != 0);
        never +=
            (left != 0.0f || right != 0.0f) && frames.count(key(left, right)) == 0 && !oneChannel;
    }
    return never;
}

// `resumed`: the sequence may have begun before the capture could hear it
// (on direct links a player's first quanta can play into the sink before
// its links into the plug-in exist); the match starts at its first frame
// that came out.
SwitchCost costOf(const Capture& c, const std::vector<float>& played, bool resumed = false)
{
    SwitchCost cost;
    cost.m = resumed ? matchResumed(c.channels[0], c.channels[1], played, 0)
                     : matchSequence(c.channels[0], c.channels[1], played);
    cost.neverPlayed = framesNeverPlayed(c, played);
    std::cout << "[ measured ] events (kind@seconds):";
    size_t lastAt = 0;
    for (const auto& [at, kind] : cost.m.events)
    {
        std::cout << " " << kind << "@" << double(at) / kRate;
        if (cost.places == 0 || at > lastAt + size_t(kRate / 4))
            ++cost.places;
        lastAt = at;
    }
    std::cout << "\n";
    return cost;
}

// Cycles the server reports the player or the capture stream late for, and
// times the host's thread ran late: what the machine, not a switch, cost.
// Each such stall may cost a place of its own, a quantum lost, and the
// host's blocks short until the next quantum comes.
size_t machineStalls(size_t hostStalls, const LateCycles& late)
{
    if (late.count + hostStalls > 0)
        std::cout << "[ measured ] the machine stalled: " << late.count
                  << " late cycles of the player or the capture, the host's thread " << hostStalls
                  << " times\n";
    return late.count + hostStalls;
}

TEST_F(RoutingTest, OwnOutputStartingAndStoppingCostsOneQuantumPerSwitch)
{
    const auto noise = stereoNoise(1234, kRate, 5.5);
    const std::string file = wav("noise.wav", noise);
    OwnPlayer own(kOwnHz, 0.5);
    auto p = startProcessor();
    std::unique_ptr<ChildProcess> player;
    const std::vector<double> toggles{1.5, 2.5, 3.5, 4.5};
    std::vector<Clock::time_point> toggledAt;
    size_t lateBefore = 0;
    Capture c = runRealtime(*p->processor, 2, kBlock, kRate, 6.5, [&](size_t i, ProcessBlock&) {
        if (i == blockAt(0.3))
            player = std::make_unique<ChildProcess>(play(file));
        if (i == blockAt(1.0))
            lateBefore = server.lateClientReports().size();
        for (double t : toggles)
            if (i == blockAt(t))
            {
                if (own.running())
                    own.stop();
                else
                    ASSERT_TRUE(own.start());
                toggledAt.push_back(Clock::now());
            }
    });
    player->wait();
    EXPECT_EQ(p->terminate(), kResultOk);

    // Each start switches to direct links, each stop back to the monitor.
    LogWatcher::Line line;
    for (size_t k = 0; k < toggledAt.size(); ++k)
    {
        const bool starting = k % 2 == 0;
        const std::string expected = starting ? kFeeds : kOwnOutputLeftSink;
        ASSERT_TRUE(watcher().waitFor(expected, toggledAt[k], std::chrono::seconds(2), &line))
            << "no switch after toggle " << k << "\n"
            << [&] {
                   std::string all;
                   for (const auto& l : watcher().lines())
                       all += l.text + "\n";
                   return all;
               }();
        std::cout << "[ measured ] own output " << (starting ? "started" : "stopped") << ", "
                  << line.text.substr(10) << " after " << msBetween(toggledAt[k], line.seen)
                  << " ms\n";
    }
    const uint32_t quantum = quantumFrom(watcher());
    const SwitchCost cost = costOf(c, noise);
    std::cout << "[ measured ] quantum " << quantum << ": " << cost.places << " places in "
              << toggles.size() << " switches; lost=" << cost.m.lost << " in " << cost.m.lostRuns
              << " runs, duplicated=" << cost.m.duplicated << " gaps=" << cost.m.gaps << " ("
              << cost.m.gapFrames << " frames) altered=" << cost.m.altered
              << " never played=" << cost.neverPlayed << "\n";
    ASSERT_GE(cost.m.start, 0);
    ASSERT_GT(quantum, 0u);
    // The host's own output never got into the capture, not even for the
    // moment a switch takes: every frame that came out was played. (Around
    // a switch the matcher has, rarely, classed a quantum of played frames
    // as altered, as it does the one-sided quantum above; 1 run in about
    // 10 under AddressSanitizer.)
    EXPECT_EQ(cost.neverPlayed, 0u);
    EXPECT_LE(cost.m.altered, quantum);
    // Taking direct links drops a quantum (the monitor is a quantum later),
    // at times two; taking the monitor back mostly inserts one, but under load
    // (seen in a sanitizer build) it has dropped one instead. Either way
    // each switch costs one place. One more place is let through: on a
    // machine busy with a full test run, a quantum of silence once came
    // between two switches, with no switch near it. And each stall of the
    // machine costs what it does.
    const size_t stalls = machineStalls(c.hostStalls, lateCyclesOfTheSequence(lateBefore));
    EXPECT_LE(cost.places, toggles.size() + 1 + stalls);
    EXPECT_LE(cost.m.lostRuns, toggles.size() + stalls);
    EXPECT_LE(cost.m.lost, (toggles.size() * 2 + stalls) * quantum);
    // Inserted quanta, and the host's block that came short while a quantum
    // was missing. PipeWire 1.x, slowed by a sanitizer, has run the relinked
    // stream up to a second quantum late (11264 and 15360 frames over the
    // four switches at a 2048-frame quantum): two quanta a switch there.
    const uint32_t inserted = pipewireMajor() >= 1 ? 2 : 1;
    EXPECT_LE(cost.m.duplicated + cost.m.gapFrames,
              toggles.size() * (inserted * quantum + kBlock) + stalls * (quantum + kBlock));
    // An altered quantum stands in for played frames.
    EXPECT_EQ(cost.m.unheard + cost.m.compared + cost.m.lost + cost.m.altered, noise.size() / 2);
}

// The quanta a player loses while the session manager moves it to a new
// default sink, which the capture cannot hear either way. WirePlumber 0.4
// keeps the player running through the move: one. WirePlumber 0.5 moves it
// in steps of its own, and the player misses one to two more on the way
// (seen as 2048 to 6144 frames lost over two moves at a 2048-frame quantum,
// on direct links as on the monitor): two.
uint32_t playerMoveQuanta()
{
    return wireplumberSeries() == "0.4" ? 1 : 2;
}

struct DefaultSinkRun
{
    SwitchCost cost;
    // The player still played into the first sink, and not the second, 1.2 s
    // after the second became the default. Under load the session manager
    // has (3 runs in 305, under AddressSanitizer) left it there: then there
    // was nothing to capture, and the capture says nothing about the
    // plug-in. A player missing from the graph is no such case.
    bool playerLeftBehind = false;
    // The server's late reports when the player had played for a while, for
    // lateCyclesOfTheSequence, and the host's own stalls.
    size_t lateBefore = 0;
    size_t hostStalls = 0;
};

// The default moves to the second sink and back while a player plays; the
// session manager moves the player (and a stream of the host) along.
DefaultSinkRun switchDefaultSinkTwice(IAudioProcessor& processor, const PipeWireTestServer& server,
                                      const std::string& file, const std::vector<float>& played,
                                      bool onDirectLinks)
{
    std::unique_ptr<ChildProcess> player;
    std::future<Graph> midway;
    Background background;
    size_t lateBefore = 0;
    Capture c = runRealtime(processor, 2, kBlock, kRate, 5.5, [&](size_t i, ProcessBlock&) {
        if (i == blockAt(0.3))
            player = std::make_unique<ChildProcess>(play(file));
        if (i == blockAt(1.0))
            lateBefore = server.lateClientReports().size();
        if (i == blockAt(1.5))
            background.run(defaultSinkCommand("strovik-test-sink-2"));
        if (i == blockAt(2.7))
            midway = std::async(std::launch::async, snapshotGraph);
        if (i == blockAt(3.0))
            background.run(defaultSinkCommand("strovik-test-sink"));
    });
    player->wait();
    const Graph g = midway.get();
    const uint32_t playerNode = g.nodeNamed("pw-play");
    const bool leftBehind = playerNode != 0 &&
                            g.sourcesOf(g.nodeNamed("strovik-test-sink")).count(playerNode) != 0 &&
                            g.sourcesOf(g.nodeNamed("strovik-test-sink-2")).count(playerNode) == 0;
    return {costOf(c, played, onDirectLinks), leftBehind, lateBefore, c.hostStalls};
}

constexpr const char* kPlayerStayed = "the session manager left the player on the first sink";

TEST_F(RoutingTest, DefaultSinkSwitchesOnDirectLinksKeepTheOthersAndLeaveTheHostOut)
{
    const auto noise = stereoNoise(555, kRate, 4.5);
    OwnPlayer own(kOwnHz, 0.5);
    ASSERT_TRUE(own.start());
    auto p = startProcessor();
    const DefaultSinkRun run =
        switchDefaultSinkTwice(*p->processor, server, wav("noise.wav", noise), noise, true);
    EXPECT_EQ(p->terminate(), kResultOk);
    if (run.playerLeftBehind)
        GTEST_SKIP() << kPlayerStayed;
    const SwitchCost& cost = run.cost;
    const uint32_t quantum = quantumFrom(watcher());
    std::cout << "[ measured ] direct links, two default-sink switches, quantum " << quantum << ": "
              << cost.places << " places; lost=" << cost.m.lost
              << " duplicated=" << cost.m.duplicated << " gaps=" << cost.m.gaps << " ("
              << cost.m.gapFrames << " frames) altered=" << cost.m.altered << "\n";
    ASSERT_GE(cost.m.start, 0) << "the played sequence never came out";
    const size_t head =
        noise.size() / 2 - cost.m.compared - cost.m.lost - cost.m.altered - cost.m.unheard;
    std::cout << "[ measured ] " << head << " frames played before the capture heard them\n";
    EXPECT_LT(head, size_t(kRate / 2));
    EXPECT_EQ(cost.neverPlayed, 0u) << "the host's own output came back";
    // Direct all along: the host's stream moved with the default.
    for (const std::string& line : routingLines())
        EXPECT_EQ(line.rfind(kFeeds, 0), 0u) << line;
    // The player's links into us hold through its move (removals wait until
    // it has moved), so at most the move itself shows, and what the machine
    // stalled through.
    const uint32_t move = playerMoveQuanta();
    const size_t stalls = machineStalls(run.hostStalls, lateCyclesOfTheSequence(run.lateBefore));
    EXPECT_LE(cost.places, 2u + stalls);
    EXPECT_LE(cost.m.lost, (2u * move + stalls) * quantum);
    EXPECT_LE(cost.m.duplicated + cost.m.gapFrames,
              2u * (move * quantum + kBlock) + stalls * (quantum + kBlock));
}

TEST_F(RoutingTest, DefaultSinkSwitchesOnTheMonitorFollowTheSink)
{
    const auto noise = stereoNoise(556, kRate, 4.5);
    auto p = startProcessor();
    const DefaultSinkRun run =
        switchDefaultSinkTwice(*p->processor, server, wav("noise.wav", noise), noise, false);
    const Graph after = snapshotGraph();
    EXPECT_EQ(p->terminate(), kResultOk);
    if (run.playerLeftBehind)
        GTEST_SKIP() << kPlayerStayed;
    const SwitchCost& cost = run.cost;
    const uint32_t quantum = quantumFrom(watcher());
    std::cout << "[ measured ] monitor, two default-sink switches, quantum " << quantum << ": "
              << cost.places << " places; lost=" << cost.m.lost << " in " << cost.m.lostRuns
              << " runs, duplicated=" << cost.m.duplicated << " gaps=" << cost.m.gaps << " ("
              << cost.m.gapFrames << " frames) altered=" << cost.m.altered
              << " never played=" << cost.neverPlayed << "\n";
    ASSERT_GE(cost.m.start, 0);
    EXPECT_EQ(cost.m.altered, 0u);
    EXPECT_TRUE(routingLines().empty());
    // Back on the first sink's monitor, and only there.
    const uint32_t node = captureNode(after);
    EXPECT_EQ(after.sourcesOf(node), std::set<uint32_t>{after.nodeNamed("strovik-test-sink")})
        << after.describeLinksInto(node);
    // What a switch costs is the graph's: the player leaves one driver for
    // another. The most seen was three quanta per switch, with the player's
    // move its own quantum or two more; and what the machine stalled
    // through, a stall here costing its lost quantum too.
    const uint32_t move = playerMoveQuanta();
    const size_t stalls = machineStalls(run.hostStalls, lateCyclesOfTheSequence(run.lateBefore));
    EXPECT_LE(cost.places, 4u + stalls);
    EXPECT_LE(cost.m.lost + cost.m.gapFrames,
              2u * (2 + move) * (quantum + kBlock) + stalls * (2 * quantum + kBlock));
    EXPECT_GT(cost.m.compared, noise.size() / 2 - (2u * (3 + move) + stalls) * quantum);
}

// From another program's click to the host's block that puts it out, on the
// monitor and then, once the host plays too, on direct links: one run, so
// that both modes share the phase between the graph's cycles and the host's
// blocks. Each click must come out exactly once: a direct link beside a
// monitor that still carried the same player would double it.
TEST_F(RoutingTest, EveryClickComesOutOnceAndTheLatencyOfEachModeIsMeasured)
{
    OwnPlayer own(kOwnHz, 0.5);
    auto p = startProcessor();
    const std::string clickFile = server.directory() + "/clicks.txt";
    std::unique_ptr<ChildProcess> clicker;
    std::vector<Clock::time_point> blockTimes;
    Clock::time_point switched{};
    Capture c = runRealtime(*p->processor, 2, kBlock, kRate, 6.0, [&](size_t i, ProcessBlock&) {
        blockTimes.push_back(Clock::now());
        if (i == blockAt(0.3))
            clicker = std::make_unique<ChildProcess>(std::vector<std::string>{
                STROVIK_ROUTING_HOST, "--clicks", clickFile, "--seconds", "5.4"});
        if (i == blockAt(3.0))
        {
            ASSERT_TRUE(own.start());
            switched = Clock::now();
        }
    });
    ASSERT_EQ(clicker->wait(), 0);
    EXPECT_EQ(p->terminate(), kResultOk);
    // Direct links as the host starts playing, none left once the clicks end.
    EXPECT_EQ(routingLines(), (std::vector<std::string>{feedsLine(1), feedsLine(0)}));

    std::vector<Clock::time_point> written;
    std::ifstream in(clickFile);
    long long ns = 0;
    unsigned frame = 0;
    while (in >> ns >> frame)
        written.push_back(Clock::time_point(std::chrono::nanoseconds(ns)) +
                          std::chrono::nanoseconds(int64_t(frame * 1e9 / kRate)));
    std::vector<double> monitor, direct;
    size_t clicks = 0, wrong = 0;
    for (size_t k = 0; k < c.channels[0].size(); ++k)
    {
        const float s = c.channels[0][k];
        if (s == 0.0f)
            continue;
        ++clicks;
        wrong += s != 0.5f || c.channels[1][k] != 0.5f;
        const auto out = blockTimes[k / size_t(kBlock)] +
                         std::chrono::nanoseconds(int64_t((k % size_t(kBlock)) * 1e9 / kRate));
        // The click written last before it came out.
        auto before = std::upper_bound(written.begin(), written.end(), out);
        if (before != written.begin())
            (out < switched ? monitor : direct).push_back(msBetween(*(before - 1), out));
    }
    auto summary = [](std::vector<double> ms) {
        if (ms.empty())
            return std::string("none");
        std::sort(ms.begin(), ms.end());
        return std::to_string(ms.size()) + " clicks, min " + std::to_string(ms.front()) +
               " ms, median " + std::to_string(ms[ms.size() / 2]) + " ms, max " +
               std::to_string(ms.back()) + " ms";
    };
    std::cout << "[ measured ] " << written.size() << " clicks written, " << clicks
              << " came out. Player's cycle to host block on the monitor: " << summary(monitor)
              << "; on direct links: " << summary(direct) << "\n";
    EXPECT_EQ(wrong, 0u) << "a click came out altered or doubled";
    EXPECT_FALSE(monitor.empty());
    EXPECT_FALSE(direct.empty());
    // The first and last may fall outside the capture, and the quantum the
    // switch drops may hold one.
    EXPECT_GE(clicks + 3, written.size());
    EXPECT_LE(clicks, written.size());
}

// --- the host's output through PipeWire's JACK layer -----------------------

TEST_F(RoutingTest, OwnOutputThroughJackIsLeftOut)
{
    if (!STROVIK_ROUTING_JACK || std::system("command -v pw-jack >/dev/null 2>&1") != 0)
    {
        if (serverRequired())
            FAIL() << "JACK headers or pw-jack missing (libjack-jackd2-dev, pipewire-jack)";
        GTEST_SKIP() << "JACK headers or pw-jack missing (libjack-jackd2-dev, pipewire-jack)";
    }
    const std::string out = server.directory() + "/jack-capture.f32";
    const std::string tone = wav("tone.wav", stereoTone(kOtherHz, kOtherHz, 0.5, kRate, 2.5));
    const auto began = Clock::now();
    // Its JACK client plays to the sink's playback ports, as a DAW's master
    // bus does, before the plug-in starts.
    std::vector<std::string> argv{"pw-jack",      STROVIK_ROUTING_HOST,
                                  "--own",        "jack",
                                  "--seconds",    "4.5",
                                  "--out",        out,
                                  "--jack-ports", "^Strovik test sink:playback_"};
#if defined(__SANITIZE_ADDRESS__)
    // PipeWire's libjack (0.3.65) keeps a port's buffers after the client
    // has closed: its leak, not the host's or the plug-in's.
    const std::string suppressions = server.directory() + "/lsan.supp";
    std::ofstream(suppressions) << "leak:libjack.so\n";
    const char* lsan = std::getenv("LSAN_OPTIONS");
    argv.insert(argv.begin(), {"env", "LSAN_OPTIONS=" + std::string(lsan ? lsan : "") +
                                          (lsan ? ":" : "") + "suppressions=" + suppressions});
#endif
    ChildProcess host(argv);
    LogWatcher::Line switched;
    ASSERT_TRUE(watcher().waitFor(feedsLine(0), began, std::chrono::seconds(10), &switched))
        << "the JACK host's output was never recognised as its own";
    ChildProcess player = play(tone);
    EXPECT_TRUE(watcher().waitFor(feedsLine(1), began, std::chrono::seconds(5)));
    ASSERT_EQ(host.wait(), 0);
    player.wait();

    std::ifstream in(out, std::ios::binary | std::ios::ate);
    std::vector<float> interleaved(static_cast<size_t>(in.tellg()) / sizeof(float));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(interleaved.data()),
            std::streamsize(interleaved.size() * sizeof(float)));
    ASSERT_GT(interleaved.size(), size_t(3 * kRate)) << "the JACK host wrote no capture";
    std::vector<float> left, right;
    for (size_t i = 0; i + 1 < interleaved.size(); i += 2)
    {
        left.push_back(interleaved[i]);
        right.push_back(interleaved[i + 1]);
    }
    std::cout << "[ measured ] JACK host: " << silencesInside(left) << "\n";
    expectLevels(steadyPart(left, 0.2), "JACK host, left");
    expectLevels(steadyPart(right, 0.2), "JACK host, right");
    if (HasFailure())
    {
        // The capture outlives the server's directory, for a look at it.
        const std::string kept =
            "OwnOutputThroughJackIsLeftOut-" + std::to_string(::getpid()) + ".wav";
        writeFloatWav(kept, interleaved, 2, int(kRate));
        ADD_FAILURE() << "capture kept as " << kept << "; the log:\n" << eventLines(began);
    }
}

// --- the host's process tree and other pid namespaces ----------------------

// A capture the routing host wrote: raw interleaved stereo floats.
bool readCapture(const std::string& path, std::vector<float>& left, std::vector<float>& right)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in)
        return false;
    std::vector<float> interleaved(static_cast<size_t>(in.tellg()) / sizeof(float));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(interleaved.data()),
            std::streamsize(interleaved.size() * sizeof(float)));
    left.clear();
    right.clear();
    for (size_t i = 0; i + 1 < interleaved.size(); i += 2)
    {
        left.push_back(interleaved[i]);
        right.push_back(interleaved[i + 1]);
    }
    return true;
}

// The server pids of the host's processes in the router's line, in order.
std::vector<pid_t> hostPidsIn(const std::string& line)
{
    std::vector<pid_t> found;
    std::istringstream in(line.substr(std::strlen(kHostProcesses)));
    std::string entry;
    while (std::getline(in, entry, ','))
    {
        std::istringstream fields(entry);
        long pid = 0;
        if (fields >> pid)
            found.push_back(static_cast<pid_t>(pid));
    }
    return found;
}

bool jackAvailable()
{
    return STROVIK_ROUTING_JACK && std::system("command -v pw-jack >/dev/null 2>&1") == 0;
}

// PipeWire's libjack (0.3.65) keeps a port's buffers after the client has
// closed: its leak, not the host's or the plug-in's, left out of a
// sanitized run's leak report by a suppression file in `dir`.
void suppressJackLeak(std::vector<std::string>& argv, const std::string& dir)
{
#if defined(__SANITIZE_ADDRESS__)
    const std::string suppressions = dir + "/lsan.supp";
    std::ofstream(suppressions) << "leak:libjack.so\n";
    const char* lsan = std::getenv("LSAN_OPTIONS");
    argv.insert(argv.begin(), {"env", "LSAN_OPTIONS=" + std::string(lsan ? lsan : "") +
                                          (lsan ? ":" : "") + "suppressions=" + suppressions});
#else
    (void)argv;
    (void)dir;
#endif
}

// A host whose engine plays into the default sink and runs the plug-in in a
// child process of its own, natively and through the JACK layer, while
// another program plays: the engine's tone stays out, the other comes out
// at its level.
TEST_F(RoutingTest, AnEngineThatRunsThePluginInAChildProcessIsLeftOut)
{
    const std::string tone = wav("tone.wav", stereoTone(kOtherHz, kOtherHz, 0.5, kRate, 2.5));
    for (const std::string own : {"native", "jack"})
    {
        SCOPED_TRACE(own);
        if (own == "jack" && !jackAvailable())
        {
            if (serverRequired())
                ADD_FAILURE()
                    << "JACK headers or pw-jack missing (libjack-jackd2-dev, pipewire-jack)";
            std::cout << "[ skipped  ] the JACK engine: no pw-jack\n";
            continue;
        }
        watcherPtr->forget();
        const std::string out = server.directory() + "/engine-" + own + ".f32";
        std::vector<std::string> argv{STROVIK_ROUTING_HOST,
                                      "--own",
                                      own,
                                      "--hz",
                                      "1000",
                                      "--seconds",
                                      "4.5",
                                      "--out",
                                      out,
                                      "--plugin-in",
                                      "child",
                                      "--jack-ports",
                                      "^Strovik test sink:playback_"};
        if (own == "jack")
        {
            argv.insert(argv.begin(), "pw-jack");
            suppressJackLeak(argv, server.directory());
        }
        const auto began = Clock::now();
        ChildProcess engine(argv);
        LogWatcher::Line host;
        ASSERT_TRUE(watcher().waitFor(kHostProcesses, began, std::chrono::seconds(10), &host));
        std::cout << "[ measured ] " << host.text.substr(10) << "\n";
        // The plug-in's process first, then the engine (pw-jack execs it).
        const auto pids = hostPidsIn(host.text);
        ASSERT_GE(pids.size(), 2u) << host.text;
        EXPECT_EQ(pids[1], engine.processId()) << host.text;
        ASSERT_TRUE(watcher().waitFor(feedsLine(0), began, std::chrono::seconds(10)))
            << "the engine's output was never recognised as the host's\n"
            << eventLines(began);
        ChildProcess player = play(tone);
        EXPECT_TRUE(watcher().waitFor(feedsLine(1), began, std::chrono::seconds(5)))
            << eventLines(began);
        ASSERT_EQ(engine.wait(), 0);
        player.wait();

        std::vector<float> left, right;
        ASSERT_TRUE(readCapture(out, left, right));
        ASSERT_GT(left.size(), size_t(3 * kRate)) << "the plug-in process wrote no capture";
        expectLevels(steadyPart(left, 0.2), (own + " engine, left").c_str());
        expectLevels(steadyPart(right, 0.2), (own + " engine, right").c_str());
    }
}

// A program above the host's session (here: the one that started the host
// in a session of its own) is not the host, though it is an ancestor: what
// it plays is captured, while the host's own output stays out.
TEST_F(RoutingTest, AnAncestorAboveTheHostsSessionIsCaptured)
{
    const std::string out = server.directory() + "/session.f32";
    const auto began = Clock::now();
    // The ancestor plays the other tone; its child, the host, its own.
    ChildProcess ancestor({STROVIK_ROUTING_HOST, "--own", "native", "--hz", "440", "--seconds", "4",
                           "--out", out, "--plugin-in", "child", "--child-own", "native",
                           "--child-session", "new"});
    LogWatcher::Line host;
    ASSERT_TRUE(watcher().waitFor(kHostProcesses, began, std::chrono::seconds(10), &host));
    std::cout << "[ measured ] " << host.text.substr(10) << "\n";
    EXPECT_EQ(hostPidsIn(host.text).size(), 1u) << host.text;
    EXPECT_NE(host.text.find("(session leader)"), std::string::npos) << host.text;
    for (pid_t pid : hostPidsIn(host.text))
        EXPECT_NE(pid, ancestor.processId()) << host.text;
    EXPECT_TRUE(watcher().waitFor(feedsLine(1), began, std::chrono::seconds(10)))
        << eventLines(began);
    ASSERT_EQ(ancestor.wait(), 0);

    std::vector<float> left, right;
    ASSERT_TRUE(readCapture(out, left, right));
    ASSERT_GT(left.size(), size_t(3 * kRate)) << "the host wrote no capture";
    expectLevels(steadyPart(left, 0.2), "ancestor's tone, left");
    expectLevels(steadyPart(right, 0.2), "ancestor's tone, right");
}

// The host as pid 1 of one pid namespace, another program as pid 1 of
// another: both report the same process id of themselves, and only the
// server's numbers tell them apart. The other program comes out frame by
// frame as it played; the host's own tone never. With /proc of the
// host's own namespace (--mount-proc) the plug-in's process is still
// known, though no ancestor could be.
TEST_F(RoutingTest, TwoPidNamespacesWithTheSameNumberAreToldApart)
{
    if (std::system("unshare --pid --fork --kill-child --mount-proc true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "unshare --pid is not permitted here (needs root or user namespaces)";
    const auto noise = stereoNoise(4711, kRate, 3.0);
    const std::string file = wav("noise.wav", noise);
    for (bool ownProc : {false, true})
    {
        SCOPED_TRACE(ownProc ? "the host's /proc its own" : "the host's /proc the server's");
        watcherPtr->forget();
        const std::string out = server.directory() + "/namespace.f32";
        std::vector<std::string> argv{"unshare", "--pid", "--fork", "--kill-child",
                                      STROVIK_ROUTING_HOST};
        argv.insert(argv.end(),
                    {"--own", "native", "--hz", "1000", "--seconds", "6", "--out", out});
        if (ownProc)
            argv.insert(argv.begin() + 4, "--mount-proc");
        const auto began = Clock::now();
        ChildProcess host(argv);
        LogWatcher::Line line;
        ASSERT_TRUE(watcher().waitFor(kHostProcesses, began, std::chrono::seconds(10), &line));
        std::cout << "[ measured ] " << line.text.substr(10) << "\n";
        ASSERT_TRUE(watcher().waitFor(feedsLine(0), began, std::chrono::seconds(10)))
            << "the host's own output in its namespace was not recognised\n"
            << eventLines(began);
        ChildProcess player(
            {"timeout", "20", "unshare", "--pid", "--fork", "--kill-child", "pw-play", file});
        // Both say of themselves that they are process 1.
        const Graph during = graphUntil([](const Graph& g) {
            return g.nodeNamed("pw-play") != 0 && !g.captureNodesOf(1).empty();
        });
        EXPECT_EQ(during.pidOf(during.nodeNamed("pw-play")), 1);
        EXPECT_EQ(during.captureNodesOf(1).size(), 1u);
        EXPECT_TRUE(watcher().waitFor(feedsLine(1), began, std::chrono::seconds(5)))
            << "the other namespace's process 1 was taken for the host\n"
            << eventLines(began);
        const size_t lateBefore = server.lateClientReports().size();
        ASSERT_EQ(host.wait(), 0);
        player.wait();

        Capture c;
        c.channels.resize(2);
        ASSERT_TRUE(readCapture(out, c.channels[0], c.channels[1]));
        const SequenceMatch m = matchResumed(c.channels[0], c.channels[1], noise, 0);
        // After the other program ended, the host still plays: nothing may
        // come out then.
        size_t end = c.channels[0].size();
        while (end > 0 && c.channels[0][end - 1] == 0.0f && c.channels[1][end - 1] == 0.0f)
            --end;
        const double silentTail = double(c.channels[0].size() - end) / kRate;
        std::cout << "[ measured ] other namespace: compared=" << m.compared << " lost=" << m.lost
                  << " altered=" << m.altered << " duplicated=" << m.duplicated
                  << " unheard=" << m.unheard << "; then " << silentTail
                  << " s of exact silence while the host's own " << kOwnHz << " Hz played\n";
        ASSERT_GE(m.start, 0) << "the other program never came out\n" << eventLines(began);
        EXPECT_EQ(m.altered, 0u);
        EXPECT_EQ(m.duplicated, 0u);
        expectLostOnlyInLateCycles(m, lateBefore);
        EXPECT_GT(m.compared, noise.size() / 2 - size_t(kRate / 2));
        // Every frame that came out was played by the other program.
        EXPECT_EQ(framesNeverPlayed(c, noise), 0u);
        EXPECT_GT(silentTail, 0.5);
    }
}

// --- faults ----------------------------------------------------------------

TEST_F(RoutingTest, DirectLinksGoWithTerminate)
{
    OwnPlayer own(kOwnHz, 0.5);
    ASSERT_TRUE(own.start());
    ChildProcess player = play(wav("tone.wav", stereoTone(kOtherHz, kOtherHz, 0.5, kRate, 4.0)));
    auto p = startProcessor();
    Graph during;
    runRealtime(*p->processor, 2, kBlock, kRate, 1.5, [&](size_t i, ProcessBlock&) {
        if (i == blockAt(1.2))
            during = snapshotGraph();
    });
    const uint32_t node = captureNode(during);
    ASSERT_NE(node, 0u);
    const uint32_t playerNode = during.nodeNamed("pw-play");
    ASSERT_EQ(during.sourcesOf(node), std::set<uint32_t>{playerNode})
        << during.describeLinksInto(node);
    EXPECT_EQ(p->terminate(), kResultOk);

    const Graph after = snapshotGraph();
    EXPECT_EQ(after.nodes.count(node), 0u);
    for (const GraphLink& l : after.links)
        if (l.outNode == playerNode)
        {
            EXPECT_EQ(after.nodes.at(l.inNode).name, "strovik-test-sink")
                << "a link from the player outlived the instance";
        }
    EXPECT_EQ(after.sourcesOf(after.nodeNamed("strovik-test-sink")).count(playerNode), 1u)
        << "the player no longer plays into the sink";
}

TEST_F(RoutingTest, DirectLinksGoWhenTheHostIsKilled)
{
    ChildProcess player = play(wav("tone.wav", stereoTone(kOtherHz, kOtherHz, 0.5, kRate, 8.0)));
    ChildProcess host({STROVIK_ROUTING_HOST, "--own", "native", "--seconds", "20"});
    const pid_t hostPid = host.processId();
    uint32_t hostNode = 0, playerNode = 0;
    const Graph linked = graphUntil([&](const Graph& g) {
        const auto nodes = g.captureNodesOf(hostPid);
        hostNode = nodes.size() == 1 ? nodes[0] : 0;
        playerNode = g.nodeNamed("pw-play");
        return hostNode && playerNode && g.sourcesOf(hostNode).count(playerNode);
    });
    ASSERT_TRUE(hostNode && linked.sourcesOf(hostNode) == std::set<uint32_t>{playerNode})
        << linked.describeLinksInto(hostNode);

    ::kill(hostPid, SIGKILL);
    const auto killed = Clock::now();
    host.wait();
    const Graph after = graphUntil([&](const Graph& g) { return g.nodes.count(hostNode) == 0; });
    std::cout << "[ measured ] the killed host's node and links were gone after "
              << msBetween(killed, Clock::now()) << " ms\n";
    EXPECT_EQ(after.nodes.count(hostNode), 0u);
    for (const GraphLink& l : after.links)
    {
        EXPECT_NE(l.inNode, hostNode);
        if (l.outNode == playerNode)
        {
            EXPECT_EQ(after.nodes.at(l.inNode).name, "strovik-test-sink");
        }
    }
    EXPECT_EQ(after.sourcesOf(after.nodeNamed("strovik-test-sink")).count(playerNode), 1u);
}

TEST_F(RoutingTest, ServerRestartInDirectModeComesBackWithTheHostStillLeftOut)
{
    const std::string tone = "tone.wav";
    auto own = std::make_unique<OwnPlayer>(kOwnHz, 0.5);
    ASSERT_TRUE(own->start());
    auto player = std::make_unique<ChildProcess>(
        play(wav(tone, stereoTone(kOtherHz, kOtherHz, 0.5, kRate, 4.0))));
    auto p = startProcessor();
    const auto began = Clock::now();
    Capture before = runRealtime(*p->processor, 2, kBlock, kRate, 1.0);
    ASSERT_TRUE(watcher().waitFor(feedsLine(1), began, std::chrono::seconds(1)));
    // The player alone: with the host's tone summed in, peaks would reach 1.
    EXPECT_NEAR(peak(before.channels[0]), 0.5, 0.001);

    server.kill();
    Capture dead = runRealtime(*p->processor, 2, kBlock, kRate, 0.5);
    EXPECT_EQ(peak(std::vector<float>(dead.channels[0].end() - kBlock * 8, dead.channels[0].end())),
              0.0);
    player.reset();
    own.reset();

    // The same instance, no new initialize: back on direct links, with the
    // host's own (new) stream still left out.
    server.launch();
    const auto restarted = Clock::now();
    own = std::make_unique<OwnPlayer>(kOwnHz, 0.5);
    ASSERT_TRUE(own->start());
    player = std::make_unique<ChildProcess>(
        play(wav(tone, stereoTone(kOtherHz, kOtherHz, 0.5, kRate, 3.0))));
    Capture again = runRealtime(*p->processor, 2, kBlock, kRate, 2.5);
    EXPECT_TRUE(watcher().waitFor(feedsLine(1), restarted, std::chrono::seconds(1)));
    const auto stopping = Clock::now();
    EXPECT_EQ(p->terminate(), kResultOk);
    EXPECT_LT(msBetween(stopping, Clock::now()), 1000.0) << "terminate hung";
    expectLevels(steadyPart(again.channels[0], 0.2), "after the restart");
    EXPECT_EQ(watcher().count(kConnectionLost), 1u);
    EXPECT_EQ(watcher().count(kConnectionBack), 1u);
}

// The session manager crashing while the host plays into the default sink:
// its "default" metadata is made anew, and the host and another program
// play again once it is back (what played across the restart is the
// session manager's to link again or not). The host's own output stays out
// before and after; the other program comes back on direct links.
TEST_F(RoutingTest, SessionManagerRestartInDirectModeKeepsTheHostLeftOut)
{
    if (wireplumberSeries() == "0.4")
        GTEST_SKIP() << "a restarted WirePlumber 0.4.13 links no stream again, so no direct link "
                        "can be made after it (the plug-in's side is checked with 0.5)";
    auto own = std::make_unique<OwnPlayer>(kOwnHz, 0.5);
    ASSERT_TRUE(own->start());
    auto player = std::make_unique<ChildProcess>(
        play(wav("tone.wav", stereoTone(kOtherHz, kOtherHz, 0.5, kRate, 7.0))));
    const std::string again = wav("again.wav", stereoTone(kOtherHz, kOtherHz, 0.5, kRate, 3.0));
    auto p = startProcessor();
    const auto began = Clock::now();
    std::thread restarter;
    std::atomic<bool> ready{false};
    std::unique_ptr<OwnPlayer> ownAgain;
    size_t readyBlock = 0;
    Capture c = runRealtime(*p->processor, 2, kBlock, kRate, 5.5, [&](size_t i, ProcessBlock&) {
        // Both stop just before the restart, so that what plays after it
        // was started after it.
        if (i == blockAt(1.4))
        {
            player.reset();
            own->stop();
        }
        if (i == blockAt(1.5))
            restarter = std::thread([&] {
                server.restartSessionManager(SIGKILL);
                ready.store(true);
                player = std::make_unique<ChildProcess>(play(again));
                ownAgain = std::make_unique<OwnPlayer>(kOwnHz, 0.5);
                ownAgain->start();
            });
        if (readyBlock == 0 && ready.load())
            readyBlock = i;
    });
    restarter.join();
    // What the graph and the router were at the end, for a failure's message.
    const std::string context =
        "links at the end:\n" + commandOutput("timeout 5 pw-link -l") + eventLines(began);
    EXPECT_EQ(p->terminate(), kResultOk);
    ASSERT_GT(readyBlock, 0u);
    EXPECT_TRUE(watcher().waitFor(feedsLine(1), began, std::chrono::seconds(1)));
    EXPECT_GE(watcher().count(feedsLine(1)), 2u) << "not back on direct links\n" << context;

    const std::vector<float>& left = c.channels[0];
    const size_t restartFrame = blockAt(1.4) * size_t(kBlock);
    expectLevels(
        steadyPart(std::vector<float>(left.begin(), left.begin() + long(restartFrame)), 0.1),
        "before the session manager's restart");
    const std::vector<float> after(left.begin() + long(readyBlock * size_t(kBlock)), left.end());
    size_t first = 0;
    while (first < after.size() && after[first] == 0.0f)
        ++first;
    std::cout << "[ measured ] sound " << 1000.0 * double(first) / kRate
              << " ms after the session manager was back\n";
    EXPECT_LT(double(first) / kRate, 1.0);
    expectLevels(steadyPart(after, 0.1), "after the session manager's restart");
}

TEST_F(RoutingTest, TwoHundredCyclesInDirectModeKeepThreadsDescriptorsAndMemoryFlat)
{
    OwnPlayer own(kOwnHz, 0.5);
    ASSERT_TRUE(own.start());
    const std::string quiet = wav("quiet.wav", std::vector<float>(size_t(25 * kRate) * 2, 0.0f));
    std::unique_ptr<ChildProcess> player;
    auto playerStarted = Clock::now() - std::chrono::hours(1);
    struct Resources
    {
        size_t threads, fds;
        long kib;
    };
    auto measure = [] {
        return Resources{countEntries("/proc/self/task"), countDescriptors(), residentKiB()};
    };
    Resources warm{}, end{};
    const char* cycles = std::getenv("STROVIK_ROUTING_CYCLES");
    const int kCycles = cycles ? std::atoi(cycles) : 200;
    std::vector<double> switchMs;
    switchMs.reserve(size_t(kCycles));
    for (int cycle = 0; cycle < kCycles; ++cycle)
    {
        // A player of 25 s, started again before it ends: every cycle links one.
        if (msBetween(playerStarted, Clock::now()) > 20000)
        {
            player.reset();
            player = std::make_unique<ChildProcess>(play(quiet));
            playerStarted = Clock::now();
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        auto p = startProcessor();
        const auto began = Clock::now();
        ProcessBlock block(2, kBlock);
        bool linked = false;
        size_t blocksAfter = 0;
        LogWatcher::Line line;
        // A few cycles more once linked, so that the links are up and carry
        // packets when the instance goes.
        Strovik::Hostkit::runBlocksInRealtime(
            *p->processor, block, kRate, blockAt(3.0), {}, [&](size_t, const ProcessBlock&) {
                if (!linked)
                    linked =
                        watcher().waitFor(feedsLine(1), began, std::chrono::milliseconds(0), &line);
                return !linked || ++blocksAfter < 8;
            });
        ASSERT_TRUE(linked) << "cycle " << cycle << " never linked the player";
        switchMs.push_back(msBetween(began, line.seen));
        watcherPtr->forget();
        ASSERT_EQ(p->terminate(), kResultOk);
        p.reset();
        if (cycle == 19)
            warm = measure();
    }
    end = measure();
    // Nothing of the 200 instances is left in the graph: no capture stream,
    // and the player feeds the sink alone.
    const Graph after = snapshotGraph();
    EXPECT_TRUE(after.captureNodesOf(::getpid()).empty());
    const uint32_t playerNode = after.nodeNamed("pw-play");
    for (const GraphLink& l : after.links)
        if (l.outNode == playerNode)
        {
            EXPECT_EQ(after.nodes.at(l.inNode).name, "strovik-test-sink");
        }
    std::sort(switchMs.begin(), switchMs.end());
    std::cout << "[ measured ] after 20 cycles: " << warm.threads << " threads, " << warm.fds
              << " descriptors, " << warm.kib << " KiB resident; after " << kCycles << ": "
              << end.threads << ", " << end.fds << ", " << end.kib
              << " KiB. initialize to direct links: median " << switchMs[switchMs.size() / 2]
              << " ms, max " << switchMs.back() << " ms\n";
    EXPECT_EQ(end.threads, warm.threads);
    // PipeWire may close a descriptor of an earlier client a little later:
    // fewer at the end is fine. Now and then it keeps an eventfd of a
    // stream torn down while it was still being set up (the fault tests
    // count those: about 1 in 100 cycles); one more per cycle would be 180
    // more.
    EXPECT_LE(end.fds, warm.fds + kCycles / 20);
    // Sanitizers hold freed memory back (quarantine, shadow) on purpose.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // Allocators keep some of what was freed; a leak of even 6 KiB per
    // cycle (a few of the router's records) would pass 1 MiB.
    EXPECT_LT(end.kib - warm.kib, 1024);
#endif
}

} // namespace
