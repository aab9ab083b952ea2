// The plug-in against a real, private PipeWire server: what a host hears
// while the desktop plays.

#include "realtimehost.h"
#include "serverfixture.h"
#include "signals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <limits>
#include <sched.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

using namespace Strovik::Test;
using namespace Strovik::LogText;

namespace {

constexpr double kRate = 48000;
constexpr int32 kBlock = 512;

class CaptureTest : public ServerFixture
{
protected:
    std::string wav(const std::string& name, const std::vector<float>& frames, int rate = 48000)
    {
        const std::string path = server.directory() + "/" + name;
        writeFloatWav(path, frames, 2, rate);
        return path;
    }

    // Runs the processor for `seconds`, with `signal` playing from about
    // 0.3 s in; the first blocks create the stream and let PipeWire link it.
    Capture captureWhilePlaying(IAudioProcessor& processor, const std::string& signal,
                                double seconds, int32 channels = 2, double rate = kRate,
                                const BeforeBlock& before = {}, const std::string& target = "")
    {
        std::unique_ptr<ChildProcess> player;
        const size_t startBlock = static_cast<size_t>(0.3 * rate / kBlock);
        Capture c = runRealtime(
            processor, channels, kBlock, rate, seconds, [&](size_t index, ProcessBlock& block) {
                if (index == startBlock)
                    player = std::make_unique<ChildProcess>(play(signal, target));
                if (before)
                    before(index, block);
            });
        if (player)
            player->wait();
        return c;
    }

    // The middle of the captured tone, clear of its start and end.
    static std::vector<float> middle(const std::vector<float>& samples, double rate)
    {
        size_t first = 0, last = samples.size();
        while (first < last && samples[first] == 0.0f)
            ++first;
        while (last > first && samples[last - 1] == 0.0f)
            --last;
        const size_t margin = static_cast<size_t>(0.2 * rate);
        if (last - first < 3 * margin)
            return {};
        return std::vector<float>(samples.begin() + long(first + margin),
                                  samples.begin() + long(last - margin));
    }
};

TEST_F(CaptureTest, ConnectsAndLinksToTheDefaultSinkMonitor)
{
    auto p = startProcessor();
    std::string links;
    runRealtime(*p->processor, 2, kBlock, kRate, 1.5, [&](size_t index, ProcessBlock&) {
        if (index == 100)
            links = commandOutput("timeout 5 pw-link -l");
    });
    const std::string log = readLog();
    EXPECT_NE(log.find(logLine(kSetup)), std::string::npos) << log;
    EXPECT_NE(log.find(logLine(kSetupDone)), std::string::npos) << log;
    EXPECT_NE(log.find(logLine(kConnectStream, " rate=48000 ringBytes=524288")), std::string::npos)
        << log;
    EXPECT_NE(log.find(kPwStatus), std::string::npos) << log;
    // The stream names no node of its own, so PipeWire names it after the
    // host program; each monitor port of the test sink feeds its input.
    const std::string node = program_invocation_short_name;
    for (const char* side : {"FL", "FR"})
    {
        const std::string link = std::string("strovik-test-sink:monitor_") + side + "\n  |-> " +
                                 node + ":input_" + side + "\n";
        EXPECT_NE(links.find(link), std::string::npos) << links;
    }
    EXPECT_EQ(p->terminate(), kResultOk);
}

TEST_F(CaptureTest, ToneComesOutOnBothChannelsAtItsPitchAndLevel)
{
    auto p = startProcessor();
    const std::string tone = wav("tone.wav", stereoTone(440, 660, 0.5, kRate, 2.0));
    Capture c = captureWhilePlaying(*p->processor, tone, 3.0);
    auto left = middle(c.channels[0], kRate);
    auto right = middle(c.channels[1], kRate);
    ASSERT_FALSE(left.empty());
    ASSERT_FALSE(right.empty());
    EXPECT_NEAR(dominantFrequency(left, kRate), 440, 440 * 0.005);
    EXPECT_NEAR(dominantFrequency(right, kRate), 660, 660 * 0.005);
    EXPECT_NEAR(rms(left), 0.5 / std::sqrt(2.0), 0.01);
    EXPECT_NEAR(rms(right), 0.5 / std::sqrt(2.0), 0.01);
    // Terminate writes out what the real-time threads still had queued.
    EXPECT_EQ(p->terminate(), kResultOk);
    EXPECT_EQ(readLog().find(kRingReset), std::string::npos);
}

TEST_F(CaptureTest, PlayedSequenceComesOutBitExact)
{
    auto p = startProcessor();
    const auto noise = stereoNoise(12345, kRate, 4.0);
    size_t lateBefore = 0;
    Capture c = captureWhilePlaying(*p->processor, wav("noise.wav", noise), 5.5, 2, kRate,
                                    [&](size_t index, ProcessBlock&) {
                                        if (index == size_t(0.8 * kRate / kBlock))
                                            lateBefore = server.lateClientReports().size();
                                    });
    const SequenceMatch m = matchSequence(c.channels[0], c.channels[1], noise);
    std::cout << "[ measured ] frames compared=" << m.compared << " lost=" << m.lost
              << " altered=" << m.altered << " underflow gaps=" << m.gaps
              << " (frames=" << m.gapFrames << ") unheard tail=" << m.unheard << "\n";
    ASSERT_GE(m.start, 0) << "the played sequence never came out";
    EXPECT_EQ(m.altered, 0u);
    expectLostOnlyInLateCycles(m, lateBefore);
    // The player's last partial quantum may never reach the graph.
    EXPECT_LE(m.unheard, 2048u);
    EXPECT_EQ(m.compared + m.lost + m.unheard, noise.size() / 2);
}

TEST_F(CaptureTest, HostAt44100HearsTheToneAtItsPitch)
{
    constexpr double rate = 44100;
    auto p = startProcessor(rate);
    const std::string tone = wav("tone.wav", stereoTone(1000, 1000, 0.5, kRate, 2.0));
    Capture c = captureWhilePlaying(*p->processor, tone, 3.0, 2, rate);
    EXPECT_NE(readLog().find(logLine(kConnectStream, " rate=44100 ringBytes=524288")),
              std::string::npos);
    auto left = middle(c.channels[0], rate);
    ASSERT_FALSE(left.empty());
    EXPECT_NEAR(dominantFrequency(left, rate), 1000, 1000 * 0.005);
}

TEST_F(CaptureTest, HostRateChangeReopensTheStreamAtTheNewRate)
{
    // What a DAW does when the project's rate changes under a loaded
    // plug-in: stop processing, deactivate, set the new rate up, activate.
    auto p = startProcessor(kRate);
    const std::string tone = wav("tone.wav", stereoTone(1000, 1000, 0.5, kRate, 3.0));
    for (const double rate : {kRate, 44100.0, kRate})
    {
        SCOPED_TRACE(rate);
        ASSERT_EQ(p->component->setActive(false), kResultOk);
        ASSERT_EQ(p->setup(rate, kBlock), kResultOk);
        Capture c = captureWhilePlaying(*p->processor, tone, 3.0, 2, rate);
        auto left = middle(c.channels[0], rate);
        ASSERT_FALSE(left.empty());
        // A stream left at the old rate would put the tone 8.8 % off.
        EXPECT_NEAR(dominantFrequency(left, rate), 1000, 1000 * 0.005);
    }
    p->terminate();
    const std::string log = readLog();
    EXPECT_EQ(countOf(log, logLine(kConnectStream, " rate=44100 ringBytes=524288")), 1u) << log;
    EXPECT_EQ(countOf(log, logLine(kConnectStream, " rate=48000 ringBytes=524288")), 2u) << log;
}

TEST_F(CaptureTest, CaptureThreadRunsWithRealtimePriorityWhereGranted)
{
    // Only where this process may raise a thread to real-time scheduling
    // (root, or a real-time limit); elsewhere PipeWire falls back quietly.
    rlimit limit{};
    getrlimit(RLIMIT_RTPRIO, &limit);
    if (geteuid() != 0 && limit.rlim_cur == 0)
        GTEST_SKIP() << "no real-time rights here";
    const auto realtimeThreads = [] {
        size_t count = 0;
        for (const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
        {
            const pid_t tid = static_cast<pid_t>(std::stol(task.path().filename().string()));
            // PipeWire asks for SCHED_RESET_ON_FORK along with the policy.
            const int policy = sched_getscheduler(tid) & ~SCHED_RESET_ON_FORK;
            if (policy == SCHED_FIFO || policy == SCHED_RR)
                ++count;
        }
        return count;
    };
    const size_t before = realtimeThreads();
    auto p = startProcessor();
    const std::string tone = wav("tone.wav", stereoTone(440, 440, 0.5, kRate, 2.0));
    size_t during = 0;
    captureWhilePlaying(*p->processor, tone, 1.5, 2, kRate, [&](size_t index, ProcessBlock&) {
        if (index == 120)
            during = realtimeThreads();
    });
    EXPECT_EQ(during, before + 1) << "the capture stream's data thread is not real-time";
    p->terminate();
}

// What the plug-in's PipeWire client prints on the host's terminal (fd 2)
// while it connects and captures: a DAW started from a terminal shows it.
TEST_F(CaptureTest, ConnectingPrintsNoWarningOnTheHostsTerminal)
{
    const std::string path = server.directory() + "/stderr.txt";
    std::fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(saved, 0);
    ASSERT_GE(file, 0);
    ASSERT_GE(dup2(file, STDERR_FILENO), 0);
    {
        auto p = startProcessor();
        runRealtime(*p->processor, 2, kBlock, kRate, 1.0, {});
        p->terminate();
    }
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(file);
    std::ifstream in(path);
    const std::string printed((std::istreambuf_iterator<char>(in)), {});
    // Asking for a configuration file the library no longer has is the one
    // warning a connect can earn; the plug-in chooses by the loaded library.
    EXPECT_EQ(printed.find("deprecated"), std::string::npos) << printed;
    EXPECT_EQ(printed.find("client-rt.conf"), std::string::npos) << printed;
}

TEST_F(CaptureTest, MonoOutputCarriesTheLeftSideAndExtraChannelsStaySilent)
{
    const std::string tone = wav("tone.wav", stereoTone(440, 660, 0.5, kRate, 1.5));
    {
        auto p = startProcessor();
        ASSERT_EQ(p->setArrangement(SpeakerArr::kMono, SpeakerArr::kMono), kResultOk);
        Capture c = captureWhilePlaying(*p->processor, tone, 2.5, 1);
        auto left = middle(c.channels[0], kRate);
        ASSERT_FALSE(left.empty());
        EXPECT_NEAR(dominantFrequency(left, kRate), 440, 440 * 0.005);
        p->terminate();
    }
    {
        auto p = startProcessor();
        ASSERT_EQ(p->setArrangement(SpeakerArr::k40Music, SpeakerArr::k40Music), kResultOk);
        Capture c = captureWhilePlaying(*p->processor, tone, 2.5, 4);
        EXPECT_GT(peak(c.channels[0]), 0.4);
        EXPECT_GT(peak(c.channels[1]), 0.4);
        EXPECT_EQ(peak(c.channels[2]), 0.0);
        EXPECT_EQ(peak(c.channels[3]), 0.0);
        p->terminate();
    }
}

TEST_F(CaptureTest, TransportStartEmptiesTheRingForOneSilentBlock)
{
    auto p = startProcessor();
    const std::string tone = wav("tone.wav", stereoTone(440, 440, 0.5, kRate, 4.0));
    // Stopped at first; from block 150 on the transport starts every 30
    // blocks (playing 20, stopped 10). Each start costs one silent block and
    // must never meet the writer badly enough to log a ring RESET.
    std::vector<size_t> starts;
    Capture c = captureWhilePlaying(
        *p->processor, tone, 4.0, 2, kRate, [&](size_t index, ProcessBlock& block) {
            const bool playing = index >= 150 && (index - 150) % 30 < 20;
            if (playing && index >= 150 && (index - 150) % 30 == 0)
                starts.push_back(index);
            block.setPlaying(playing);
        });
    EXPECT_EQ(p->terminate(), kResultOk);
    const std::string log = readLog();
    EXPECT_EQ(log.find(kRingReset), std::string::npos) << log;
    EXPECT_EQ(countOf(log, logLine(kTransportReset)), starts.size());

    const auto silent = c.silentBlocks();
    auto isSilent = [&](size_t b) {
        return std::find(silent.begin(), silent.end(), b) != silent.end();
    };
    for (size_t start : starts)
    {
        EXPECT_TRUE(isSilent(start)) << "block " << start;
        // Audio resumes within the next PipeWire quantum or two.
        bool resumed = false;
        for (size_t b = start + 1; b <= start + 10; ++b)
            resumed = resumed || !isSilent(b);
        EXPECT_TRUE(resumed) << "no audio after the start at block " << start;
    }
}

TEST_F(CaptureTest, TwoInstancesCaptureAtOnce)
{
    auto a = startProcessor();
    auto b = startProcessor();
    const std::string tone = wav("tone.wav", stereoTone(440, 660, 0.5, kRate, 2.0));
    auto otherCapture = std::async(
        std::launch::async, [&] { return runRealtime(*b->processor, 2, kBlock, kRate, 3.0); });
    Capture first = captureWhilePlaying(*a->processor, tone, 3.0);
    Capture second = otherCapture.get();
    for (const Capture* c : {&first, &second})
    {
        auto left = middle(c->channels[0], kRate);
        ASSERT_FALSE(left.empty());
        EXPECT_NEAR(dominantFrequency(left, kRate), 440, 440 * 0.005);
    }
    EXPECT_EQ(a->terminate(), kResultOk);
    EXPECT_EQ(b->terminate(), kResultOk);
}

TEST_F(CaptureTest, CapturesAgainAfterTerminateAndInitialize)
{
    auto p = startProcessor();
    const std::string tone = wav("tone.wav", stereoTone(440, 440, 0.5, kRate, 1.5));
    EXPECT_GT(peak(captureWhilePlaying(*p->processor, tone, 2.0).channels[0]), 0.4);
    ASSERT_EQ(p->terminate(), kResultOk);
    ASSERT_EQ(p->initialize(), kResultOk);
    ASSERT_EQ(p->setup(kRate, kBlock), kResultOk);
    EXPECT_GT(peak(captureWhilePlaying(*p->processor, tone, 2.0).channels[0]), 0.4);
    EXPECT_NE(readLog().find(std::string(kConnectStream) + " rate=48000"), std::string::npos);
}

TEST_F(CaptureTest, ServerKilledMidStreamLeavesSilenceAndAPromptTerminate)
{
    auto p = startProcessor();
    const std::string tone = wav("tone.wav", stereoTone(440, 440, 0.5, kRate, 6.0));
    pid_t serverPid = 0;
    std::ifstream(server.directory() + "/pipewire.pid") >> serverPid;
    ASSERT_GT(serverPid, 0);
    // Killed 1.5 s in, while the tone plays; the ring then runs dry.
    Capture c =
        captureWhilePlaying(*p->processor, tone, 4.0, 2, kRate, [&](size_t index, ProcessBlock&) {
            if (index == static_cast<size_t>(1.5 * kRate / kBlock))
                ::kill(serverPid, SIGKILL);
        });
    EXPECT_GT(peak(c.channels[0]), 0.4);
    const size_t lastSecond = c.channels[0].size() - static_cast<size_t>(kRate);
    EXPECT_EQ(rms(c.channels[0], lastSecond), 0.0);
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(p->terminate(), kResultOk);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::cout << "[ measured ] terminate after the server died: " << took * 1000 << " ms\n";
    EXPECT_LT(took, 10.0) << "terminate hung";
}

// The server crashes (or is restarted) under a running instance and comes
// back on the same socket: the instance connects again by itself, opens its
// stream again and hands out what plays on the new server, bit for bit.
TEST_F(CaptureTest, ServerKilledAndStartedAgainIsHeardAgainBitExact)
{
    auto p = startProcessor();
    const std::string before = wav("before.wav", stereoTone(440, 440, 0.5, kRate, 2.0));
    const auto noise = stereoNoise(4242, kRate, 3.0);
    const std::string after = wav("after.wav", noise);
    const auto blockAt = [](double seconds) {
        return static_cast<size_t>(seconds * kRate / kBlock);
    };

    std::unique_ptr<ChildProcess> player, newPlayer;
    std::thread restarter;
    std::atomic<bool> ready{false};
    size_t readyBlock = 0;
    size_t lateBefore = 0;
    Capture c = runRealtime(*p->processor, 2, kBlock, kRate, 5.5, [&](size_t index, ProcessBlock&) {
        if (index == blockAt(0.3))
            player = std::make_unique<ChildProcess>(play(before));
        if (index == blockAt(1.2))
            restarter = std::thread([&] {
                server.kill();
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
                server.launch();
                ready.store(true);
                newPlayer = std::make_unique<ChildProcess>(play(after));
            });
        if (readyBlock == 0 && ready.load())
            readyBlock = index;
        if (readyBlock != 0 && index == readyBlock + blockAt(0.5))
            lateBefore = server.lateClientReports().size();
    });
    restarter.join();
    player->wait();
    newPlayer->wait();
    EXPECT_EQ(p->terminate(), kResultOk);

    const std::vector<float> heardBefore(c.channels[0].begin(),
                                         c.channels[0].begin() + long(blockAt(1.2) * kBlock));
    EXPECT_GT(peak(heardBefore), 0.4) << "nothing was heard before the server died";
    ASSERT_GT(readyBlock, 0u) << "the server never came back";
    const size_t readyFrame = readyBlock * kBlock;
    const SequenceMatch m = matchResumed(c.channels[0], c.channels[1], noise, readyFrame);
    ASSERT_GE(m.start, 0) << "what played on the new server never came out";
    const double back = double(size_t(m.start) - readyFrame) / kRate;
    std::cout << "[ measured ] sound again " << back * 1000 << " ms after the new server was ready;"
              << " then compared=" << m.compared << " lost=" << m.lost << " altered=" << m.altered
              << " underflow gaps=" << m.gaps << "\n";
    EXPECT_LT(back, 1.0);
    EXPECT_EQ(m.altered, 0u);
    expectLostOnlyInLateCycles(m, lateBefore);
    EXPECT_GT(m.compared, size_t(kRate)) << "less than a second of the new sequence came out";

    const std::string log = readLog();
    EXPECT_EQ(countOf(log, logLine(kConnectionLost)), 1u) << log;
    EXPECT_EQ(countOf(log, logLine(kConnectionBack)), 1u) << log;
    EXPECT_EQ(countOf(log, logLine(kConnectStream, " rate=48000 ringBytes=524288")), 1u)
        << "the stream came back without the audio thread's connect step";
}

TEST_F(CaptureTest, CaptureFollowsTheDefaultSink)
{
    auto p = startProcessor();
    const std::string tone = wav("tone.wav", stereoTone(880, 880, 0.5, kRate, 2.0));
    // Once the stream runs, the default moves to the second sink; what plays
    // there must come out. The move is not waited for: a host's audio thread
    // held up would start the player late on a loaded machine.
    std::unique_ptr<ChildProcess> move;
    Capture c = captureWhilePlaying(
        *p->processor, tone, 4.0, 2, kRate,
        [&](size_t index, ProcessBlock&) {
            if (index == 10)
                move = std::make_unique<ChildProcess>(std::vector<std::string>{
                    "timeout", "5", "pw-metadata", "0", "default.configured.audio.sink",
                    R"({ "name": "strovik-test-sink-2" })", "Spa:String:JSON"});
        },
        "strovik-test-sink-2");
    EXPECT_EQ(move->wait(), 0);
    auto left = middle(c.channels[0], kRate);
    ASSERT_FALSE(left.empty()) << "nothing played on the new default sink came out";
    EXPECT_NEAR(dominantFrequency(left, kRate), 880, 880 * 0.005);
}

} // namespace

namespace {

// The session manager restarted under a running instance: the plug-in's
// own links stay, the "default" metadata is made anew, and a later change
// of the default sink is still followed. Linking the players is the session
// manager's: WirePlumber 0.5 links them again; a restarted 0.4.13 links no
// stream at all, old or new, so there only the plug-in's links are looked at.
TEST_F(CaptureTest, SessionManagerRestartKeepsTheCaptureAndTheDefaultSinkFollowed)
{
    const bool playersRelinked = wireplumberSeries() != "0.4";
    auto p = startProcessor();
    ChildProcess first = play(wav("first.wav", stereoTone(440, 440, 0.5, kRate, 1.3)));
    const std::string again = wav("again.wav", stereoTone(440, 440, 0.5, kRate, 1.5));
    const std::string second = wav("second.wav", stereoTone(880, 880, 0.5, kRate, 3.0));
    const auto blockAt = [](double seconds) {
        return static_cast<size_t>(seconds * kRate / kBlock);
    };
    const auto sleep = [](double seconds) {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    };
    std::thread restarter;
    std::atomic<bool> ready{false};
    size_t readyBlock = 0, movedBlock = 0;
    std::atomic<bool> moved{false};
    std::string linksAfterRestart, linksAfterMove;
    std::unique_ptr<ChildProcess> againPlayer, secondPlayer;
    Capture c = runRealtime(*p->processor, 2, kBlock, kRate, 7.0, [&](size_t index, ProcessBlock&) {
        if (index == blockAt(1.5))
            restarter = std::thread([&] {
                server.restartSessionManager(SIGTERM);
                ready.store(true);
                againPlayer = std::make_unique<ChildProcess>(play(again));
                sleep(0.3);
                linksAfterRestart = commandOutput("timeout 5 pw-link -l");
                sleep(1.5);
                commandOutput("timeout 5 pw-metadata 0 default.configured.audio.sink "
                              "'{ \"name\": \"strovik-test-sink-2\" }' Spa:String:JSON >/dev/null");
                secondPlayer = std::make_unique<ChildProcess>(play(second, "strovik-test-sink-2"));
                moved.store(true);
                sleep(1.0);
                linksAfterMove = commandOutput("timeout 5 pw-link -l");
            });
        if (readyBlock == 0 && ready.load())
            readyBlock = index;
        if (movedBlock == 0 && moved.load())
            movedBlock = index;
    });
    restarter.join();
    first.wait();
    EXPECT_EQ(p->terminate(), kResultOk);
    ASSERT_GT(readyBlock, 0u);
    ASSERT_GT(movedBlock, 0u);

    // The plug-in's links: on the first sink's monitor after the restart,
    // on the second's once the new default metadata names it.
    const std::string node = program_invocation_short_name;
    for (const char* side : {"FL", "FR"})
    {
        const std::string into = "\n  |-> " + node + ":input_" + side + "\n";
        EXPECT_NE(linksAfterRestart.find(std::string("strovik-test-sink:monitor_") + side + into),
                  std::string::npos)
            << linksAfterRestart;
        EXPECT_NE(linksAfterMove.find(std::string("strovik-test-sink-2:monitor_") + side + into),
                  std::string::npos)
            << "the new default sink was not followed after the restart:\n"
            << linksAfterMove;
    }
    EXPECT_EQ(readLog().find(kConnectionLost), std::string::npos)
        << "the server stayed: the connection was never lost";

    const std::vector<float>& left = c.channels[0];
    const auto stretch = [&](size_t from, size_t to) {
        return std::vector<float>(left.begin() + long(from * kBlock),
                                  left.begin() + long(std::min(to * kBlock, left.size())));
    };
    EXPECT_NEAR(dominantFrequency(stretch(blockAt(0.5), blockAt(1.2)), kRate), 440, 440 * 0.005);
    // What the players sound like through the plug-in, where the session
    // manager did link them (a restarted one has, now and then, left a new
    // player unlinked for seconds: nothing the plug-in could hear either).
    const auto linked = [](const std::string& links, const std::string& sink) {
        return links.find(sink + ":playback_FL\n  |<- pw-play:output_FL\n") != std::string::npos;
    };
    if (!playersRelinked || !linked(linksAfterRestart, "strovik-test-sink") ||
        !linked(linksAfterMove, "strovik-test-sink-2"))
    {
        std::cout << "[ measured ] the session manager left a player unlinked; links:\n"
                  << linksAfterRestart << linksAfterMove;
        return;
    }
    size_t resumed = readyBlock * kBlock;
    while (resumed < left.size() && left[resumed] == 0.0f)
        ++resumed;
    const double after = double(resumed - readyBlock * kBlock) / kRate;
    std::cout << "[ measured ] sound " << after * 1000
              << " ms after the session manager was back\n";
    EXPECT_LT(after, 1.0);
    EXPECT_NEAR(
        dominantFrequency(stretch(readyBlock + blockAt(0.5), readyBlock + blockAt(1.3)), kRate),
        440, 440 * 0.005);
    EXPECT_NEAR(
        dominantFrequency(stretch(movedBlock + blockAt(0.5), movedBlock + blockAt(2.0)), kRate),
        880, 880 * 0.005);
}

TEST_F(CaptureTest, UnusableHostRatesKeepTheLastGoodOne)
{
    // Not finite, not positive, rounding to 0 Hz, or too large for 32 bits:
    // converting such a rate would be undefined, size a ring of gigabytes on
    // the audio thread or leave no rate at all.
    const double inf = std::numeric_limits<double>::infinity();
    for (double bad : {std::nan(""), inf, -inf, -44100.0, 0.0, 0.3, 1e12})
    {
        removeLog();
        ProcessorInstance p(*factory);
        ASSERT_EQ(p.initialize(), kResultOk);
        ProcessSetup setup{kRealtime, kSample32, kBlock, bad};
        ASSERT_EQ(p.processor->setupProcessing(setup), kResultOk);
        ASSERT_EQ(p.component->setActive(true), kResultOk);
        ProcessBlock block(2, kBlock);
        EXPECT_EQ(block.run(*p.processor), kResultOk);
        EXPECT_TRUE(block.silent());
        // The audio thread's line is queued; terminate writes it out.
        p.terminate();
        EXPECT_NE(readLog().find(logLine(kConnectStream, " rate=48000 ringBytes=524288")),
                  std::string::npos)
            << "host rate " << bad << ":\n"
            << readLog();
    }
}

} // namespace
