// What the audio and real-time paths do with the heap and with locks, seen
// from the heap functions themselves, and what a failed allocation does.

#include "heapprobe.h"
#include "realtimehost.h"
#include "serverfixture.h"
#include "signals.h"

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <thread>

using namespace StrovikTest;

namespace {

constexpr double kRate = 48000;

class RealtimeSafetyTest : public ServerFixture
{
protected:
    void TearDown() override
    {
        HeapProbe::failFrom(0);
        ServerFixture::TearDown();
    }
};

TEST_F(RealtimeSafetyTest, RingThatCannotBeAllocatedLeavesSilenceAndIsRetried)
{
    ProcessorInstance p(*factory);
    ASSERT_EQ(p.initialize(), kResultOk);
    ASSERT_EQ(p.setup(kRate, 512), kResultOk);
    HeapProbe::failFrom(256 * 1024); // the ring wants 512 KiB
    ProcessBlock block(2, 512);
    for (int i = 0; i < 5; ++i)
    {
        block.fill(0.25f);
        EXPECT_EQ(block.run(*p.processor), kResultOk);
        EXPECT_TRUE(block.silent());
    }
    EXPECT_EQ(readLog().find("PROC connect stream"), std::string::npos) << readLog();
    HeapProbe::failFrom(0);
    EXPECT_EQ(block.run(*p.processor), kResultOk);
    EXPECT_NE(readLog().find("[strovik] PROC connect stream rate=48000 ringBytes=524288\n"),
              std::string::npos);
    // The stream now exists and delivers.
    runRealtime(*p.processor, 2, 512, kRate, 2.0);
    EXPECT_NE(readLog().find("[strovik] PW t="), std::string::npos);
    EXPECT_EQ(p.terminate(), kResultOk);
}

TEST_F(RealtimeSafetyTest, StreamingPathsNeitherAllocateNorLockBeyondTheLog)
{
    ProcessorInstance p(*factory);
    ASSERT_EQ(p.initialize(), kResultOk);
    constexpr int32 block = 64;
    ASSERT_EQ(p.setup(kRate, block), kResultOk);
    const std::string tone = server.directory() + "/tone.wav";
    writeFloatWav(tone, stereoTone(440, 660, 0.5, kRate, 20.0), 2, 48000);
    // A small quantum brings the callback count past a multiple of 1000
    // inside the window, so the audio thread's status lines are measured too.
    ChildProcess player = play(tone, "", 256);

    // Warm-up: stream created, format negotiated, buffers flowing.
    runRealtime(*p.processor, 2, block, kRate, 1.5);
    const size_t logLinesBefore = readLog().size();

    // Only process calls and the pacing between them run in the window.
    ProcessBlock data(2, block);
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(block / kRate));
    const int audioThread = HeapProbe::currentThreadId();
    auto next = std::chrono::steady_clock::now();
    HeapProbe::start();
    for (int i = 0; i < 10000; ++i)
    {
        data.run(*p.processor);
        next += period;
        std::this_thread::sleep_until(next);
    }
    auto counts = HeapProbe::stop();
    player.terminate();

    const std::string newLog = readLog().substr(logLinesBefore);
    const size_t procLines = countOf(newLog, "[strovik] PROC");
    const size_t pwLines = countOf(newLog, "[strovik] PW");

    bool audioThreadSeen = false;
    for (const auto& t : counts)
    {
        std::cout << "[ measured ] thread " << t.name << " (" << t.tid << "): allocations "
                  << t.allocations << ", frees " << t.frees << ", mutex locks " << t.locks << "\n";
        if (t.tid == audioThread)
        {
            audioThreadSeen = true;
            EXPECT_EQ(t.allocations, 0u);
            EXPECT_EQ(t.frees, 0u);
            EXPECT_EQ(t.locks, procLines) << "only the log's mutex, once per PROC line";
        }
        else if (t.name != "strovik-capture")
        {
            // PipeWire's real-time data thread (the loop thread runs no
            // real-time code and is left out).
            EXPECT_EQ(t.allocations, 0u) << t.name;
            EXPECT_EQ(t.frees, 0u) << t.name;
            EXPECT_LE(t.locks, pwLines) << "only the log's mutex, once per PW line";
        }
    }
    EXPECT_TRUE(audioThreadSeen);
    EXPECT_GT(procLines, 0u) << "no status line in the window: the lock count proved nothing";
    EXPECT_GT(pwLines, 0u) << "the real-time callback did not run in the window";
    std::cout << "[ measured ] log lines in the window: PROC " << procLines << ", PW " << pwLines
              << "\n";
    EXPECT_EQ(p.terminate(), kResultOk);
}

} // namespace
