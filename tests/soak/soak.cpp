// A long capture of a known sequence, compared sample for sample with what
// was played. Optionally paces the host slightly off the graph's clock, as
// a DAW on its own sound card would be, to show what a user then hears.
//
//   strovik_soak [seconds=60] [host clock offset in ppm=0]
//
// Exits non-zero when, on a common clock, anything was lost, repeated or
// altered, or the ring was ever reset.

#include "pluginhost.h"
#include "signals.h"
#include "testserver.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

using namespace Strovik::Test;
using namespace Strovik::LogText;

namespace {

constexpr double kRate = 48000;
constexpr int32 kBlock = 512;

struct FillPoint
{
    double seconds;
    unsigned percent;
};

// The writer's fill reports ("PW t=... fill=N%") over time.
std::vector<FillPoint> fillOverTime(const std::string& log)
{
    std::vector<FillPoint> points;
    const std::string format = std::string(kPwStatus) + "%llu seq=%lu fill=%u%%";
    double first = -1;
    for (size_t at = 0; (at = log.find(kPwStatus, at)) != std::string::npos; ++at)
    {
        unsigned long long ms = 0;
        unsigned long seq = 0;
        unsigned percent = 0;
        if (std::sscanf(log.c_str() + at, format.c_str(), &ms, &seq, &percent) != 3)
            continue;
        const double t = ms / 1000.0;
        if (first < 0)
            first = t;
        points.push_back({t - first, percent});
    }
    return points;
}

} // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    const double offsetPpm = argc > 2 ? std::atof(argv[2]) : 0.0;
    if (seconds <= 0)
    {
        std::fprintf(stderr, "usage: %s [seconds] [host clock offset in ppm]\n", argv[0]);
        return 2;
    }

    PipeWireTestServer server;
    std::string whyNot;
    if (!server.start(whyNot))
    {
        std::fprintf(stderr, "%s\n", whyNot.c_str());
        return serverRequired() ? 1 : 77;
    }
    removeLog();

    const auto played = stereoNoise(20261208, kRate, seconds);
    const std::string wav = server.directory() + "/soak.wav";
    writeFloatWav(wav, played, 2, static_cast<int>(kRate));

    PluginModule module;
    auto factory = module.factory();
    ProcessorInstance p(*factory);
    if (p.initialize() != kResultOk || p.setup(kRate, kBlock) != kResultOk)
        return 1;

    // The host's clock runs offsetPpm faster (negative: slower) than the graph's.
    using Clock = std::chrono::steady_clock;
    const double period = kBlock / kRate / (1.0 + offsetPpm * 1e-6);
    const auto tick =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(period));
    const size_t blocks = static_cast<size_t>((seconds + 2.0) / period);

    std::vector<float> left, right;
    left.reserve(blocks * kBlock);
    right.reserve(blocks * kBlock);
    ProcessBlock block(2, kBlock);
    std::unique_ptr<ChildProcess> player;
    auto next = Clock::now();
    for (size_t b = 0; b < blocks; ++b)
    {
        if (b == 30) // the stream is up by now
            player = std::make_unique<ChildProcess>(std::vector<std::string>{
                "timeout", std::to_string(static_cast<int>(seconds) + 30), "pw-play", wav});
        block.run(*p.processor);
        left.insert(left.end(), block.channel(0).begin(), block.channel(0).end());
        right.insert(right.end(), block.channel(1).begin(), block.channel(1).end());
        next += tick;
        std::this_thread::sleep_until(next);
        if (b % static_cast<size_t>(10.0 / period) == 0 && b > 0)
            std::fprintf(stderr, "soak: %.0f s of %.0f\n", b * period, seconds + 2.0);
    }
    const int playerStatus = player ? player->wait() : -1;
    // Terminate first: it writes out the lines still queued.
    p.terminate();
    const std::string log = readLog();

    const SequenceMatch m = matchSequence(left, right, played);
    const auto fill = fillOverTime(log);
    unsigned fillMin = 100, fillMax = 0;
    for (const auto& f : fill)
    {
        fillMin = std::min(fillMin, f.percent);
        fillMax = std::max(fillMax, f.percent);
    }
    const size_t resets = countOf(log, kRingReset);

    std::printf("soak: %.0f s, host clock offset %+.0f ppm, player exit %d\n", seconds, offsetPpm,
                playerStatus);
    std::printf("  frames played     %zu\n", played.size() / 2);
    std::printf("  frames compared   %zu (equal, in order)\n", m.compared);
    std::printf("  lost              %zu frames in %zu runs (dropped packets)\n", m.lost,
                m.lostRuns);
    std::printf("  duplicated        %zu\n", m.duplicated);
    std::printf("  altered           %zu\n", m.altered);
    std::printf("  underflow gaps    %zu, %zu frames (%.1f ms) padded with zeros\n", m.gaps,
                m.gapFrames, m.gapFrames * 1000.0 / kRate);
    std::printf("  unheard tail      %zu frames\n", m.unheard);
    std::printf("  ring RESET lines  %zu\n", resets);
    if (!m.events.empty())
    {
        std::printf("  events at        ");
        for (const auto& [at, kind] : m.events)
            std::printf(" %c@%.2fs", kind, at / kRate);
        std::printf("\n");
    }
    std::printf("  ring fill         %u%% .. %u%% over %zu reports", fillMin, fillMax, fill.size());
    if (fill.size() >= 2)
    {
        // Least-squares slope of the fill, to tell when the ring would run
        // full (or dry) at this clock offset.
        double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
        for (const auto& f : fill)
        {
            n += 1;
            sx += f.seconds;
            sy += f.percent;
            sxx += f.seconds * f.seconds;
            sxy += f.seconds * f.percent;
        }
        const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
        std::printf(", trend %+.3f %%/s", slope);
        const double last = fill.back().percent;
        if (slope > 1e-3)
            std::printf(" (full in about %.0f s more)", (100.0 - last) / slope);
        else if (slope < -1e-3)
            std::printf(" (dry in about %.0f s more)", last / -slope);
    }
    std::printf("\n");

    if (m.start < 0)
    {
        std::printf("FAILED: the played sequence never came out\n");
        return 1;
    }
    // On a common clock nothing may be lost or changed. With an offset the
    // figures above are the measurement: what a user hears.
    const bool clean =
        m.lost == 0 && m.duplicated == 0 && m.altered == 0 && resets == 0 && m.unheard <= 2048;
    if (offsetPpm == 0 && !clean)
    {
        std::printf("FAILED\n");
        return 1;
    }
    std::printf("OK\n");
    return 0;
}
