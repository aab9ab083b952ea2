#include "diagnosticlog.h"

#include <gtest/gtest.h>

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
    log.logMessage("[strovik] one %d\n", 1);
    // Read while the log is still open: every line must already be on disk.
    EXPECT_EQ(readFile(path), "[strovik] one 1\n");
    log.logMessage("[strovik] two %s\n", "x");
    EXPECT_EQ(readFile(path), "[strovik] one 1\n[strovik] two x\n");
    log.closeLog();
    log.logMessage("[strovik] three\n");
    EXPECT_EQ(readFile(path), "[strovik] three\n");
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
        log.logMessage("[strovik] lost\n");
        ASSERT_EQ(pathIsDirectory ? rmdir(sub.c_str()) : mkdir(sub.c_str(), 0755), 0);
        log.logMessage("[strovik] kept\n");
        EXPECT_EQ(readFile(logPath), "[strovik] kept\n");
        log.closeLog();
        std::filesystem::remove_all(sub);
    }
}

TEST_F(DiagnosticLogTest, PlantedSymlinkIsNeitherFollowedNorTruncated)
{
    const std::string target = dir + "/victim";
    writeFile(target, "precious\n");
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    Strovik::DiagnosticLog log(path.c_str());
    log.logMessage("[strovik] into the symlink\n");
    EXPECT_EQ(readFile(target), "precious\n");

    ASSERT_EQ(unlink(path.c_str()), 0);
    log.logMessage("[strovik] after removal\n");
    struct stat st
    {};
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(readFile(path), "[strovik] after removal\n");
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
                    log.logMessage("[strovik] t=%d i=%d %s end\n", t, i, pad.c_str());
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
        ASSERT_EQ(std::sscanf(line.c_str(), "[strovik] t=%d i=%d %399[^\n]", &t, &i, rest), 3)
            << line;
        ASSERT_EQ(rest, pad + " end") << line;
        ASSERT_TRUE(seen.insert({t, i}).second) << "duplicate " << line;
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
}

} // namespace
