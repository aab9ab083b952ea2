// A long capture of a known sequence (noise on the left, a 997 Hz tone on
// the right) against the private server. Optionally paces the host slightly
// off the graph's clock, as a DAW on its own sound card would be.
//
//   strovik_soak [seconds=60] [host clock offset in ppm=0] [options]
//
//   --burst-every=SECONDS   the host stalls every SECONDS of its own time,
//   --burst-once-at=SECONDS or once at that moment (may be given again);
//   --burst-ms=MS           for MS milliseconds (200), then calls the blocks
//                           it missed back to back, as a DAW does after a
//                           stall, and goes on at its pace;
//   --gaps                  the sequence carries a second of digital silence
//                           every ten, which the bridge may shorten in bypass
//                           to give delay back.
//
// On a common clock the capture is compared sample for sample with what was
// played, and anything lost, repeated or altered, or a ring reset, fails;
// only a silent stretch may come out shorter. Off it, the plug-in resamples:
// the report shows what a user hears (gaps, the bridge's
// resynchronisations, latency, the tone's SINAD), and a gap or a dropped
// frame after the bridge settled, a ring reset, or a fill that still trends
// fails. Either way, a gap or a lost packet at a stall of the server (it
// sent nothing for longer than the bridge allows for, while the bridge
// still kept the margin it starts with) is reported as the server's, and
// only more than three such stalls a minute fail. The report follows the
// bridge's latency over the run and around each burst.

#include "pluginhost.h"
#include "signals.h"
#include "testserver.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace Strovik::Test;
using namespace Strovik::LogText;

namespace {

constexpr double kRate = 48000;
constexpr int32 kBlock = 512;
constexpr double kToneHz = 997;
// After engaging, the bridge's loop listens wide for this long; and it has
// settled once its latency has come this close to its target.
constexpr double kSettleSeconds = 5.0;
constexpr double kSettledLatencyMs = 2.0;
// Zero runs this long in both channels are padding, not the signal.
constexpr size_t kGapFrames = 4;
constexpr double kMostFillTrendPercentPerMinute = 0.5;
// With --gaps: this much silence in every period of the sequence, placed
// mid-period so that the sequence starts and ends with sound.
constexpr double kSilencePeriodSeconds = 10.0;
constexpr double kSilenceSeconds = 1.0;
constexpr double kSilenceAtSeconds = 5.0;
// A silent stretch resampled comes out this close to its played length
// (the glide and the resampler's edges change it by far less).
constexpr double kSilenceToleranceMs = 50.0;
// After a burst the latency is back once this close (2 ms).
constexpr double kBackFrames = 96.0;
// A gap or a lost packet this close to a stall of the server is the stall's;
// a run with more stalls than this is no test of the plug-in any more.
constexpr double kStallReachMs = 500.0;
constexpr double kMostServerStallsPerMinute = 3.0;

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

struct BridgeEvents
{
    double engagedAtMs = -1; // monotonic ms, -1: never
    double engagedPpm = 0;
    double engagedAfter = 0;
    struct Resync
    {
        double atMs;
        std::string reason;
        unsigned padded, skipped;
    };
    std::vector<Resync> resyncs;
    struct Status
    {
        double atMs;
        double latencyFrames;
        double targetFrames;
        double marginFrames;
        double blockFrames;
        double givenBackFrames;
    };
    std::vector<Status> status;
    unsigned ringBytes = 0;
};

BridgeEvents bridgeEvents(const std::string& log)
{
    BridgeEvents events;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
    {
        unsigned long long ms = 0;
        char reason[32] = {};
        unsigned padded = 0, skipped = 0, latency = 0, target = 0, ringBytes = 0;
        unsigned margin = 0, blockFrames = 0;
        unsigned long long gaveBack = 0;
        double ppm = 0;
        const std::string engaged = std::string(kBridgeEngaged) + " t=%llu ppm=%lf after=%lfs";
        const std::string resync = std::string(kBridgeResync) + " t=%llu %31s padded=%u skipped=%u";
        if (std::sscanf(line.c_str(), engaged.c_str(), &ms, &events.engagedPpm,
                        &events.engagedAfter) == 3)
            events.engagedAtMs = static_cast<double>(ms);
        else if (std::sscanf(line.c_str(), resync.c_str(), &ms, reason, &padded, &skipped) == 4)
            events.resyncs.push_back({static_cast<double>(ms), reason, padded, skipped});
        else if (std::sscanf(line.c_str(),
                             (std::string(kBridgeStatus) +
                              "%llu latency=%u target=%u ppm=%lf margin=%u block=%u gaveback=%llu")
                                 .c_str(),
                             &ms, &latency, &target, &ppm, &margin, &blockFrames, &gaveBack) >= 3)
            events.status.push_back({static_cast<double>(ms), static_cast<double>(latency),
                                     static_cast<double>(target), static_cast<double>(margin),
                                     static_cast<double>(blockFrames),
                                     static_cast<double>(gaveBack)});
        else if (line.rfind(kConnectStream, 0) == 0)
        {
            const size_t at = line.find("ringBytes=");
            if (at != std::string::npos &&
                std::sscanf(line.c_str() + at, "ringBytes=%u", &ringBytes) == 1)
                events.ringBytes = ringBytes;
        }
    }
    return events;
}

// Where the server stalled: the bridge found that nothing had come from it
// for longer than a quantum and an allowance, and said so ("source-idle").
// A loaded machine starves the server's threads now and then for longer
// than any margin of a few milliseconds rides out; the gap that follows,
// and a packet the server drops as it catches up, are then no fault of the
// plug-in's. Everything else must still be exact.
struct ServerStalls
{
    std::vector<double> atMs;

    bool near(double ms) const
    {
        return std::any_of(atMs.begin(), atMs.end(),
                           [&](double at) { return std::abs(ms - at) <= kStallReachMs; });
    }
    bool tooMany(double seconds) const
    {
        return atMs.size() > 1 &&
               static_cast<double>(atMs.size()) * 60.0 > kMostServerStallsPerMinute * seconds;
    }
    void print(double startMs) const
    {
        std::printf("  server stalls     %zu", atMs.size());
        for (double at : atMs)
            std::printf(" @%.1fs", (at - startMs) / 1000.0);
        std::printf(" (what is lost or padded within %.1f s of one is the server's)\n",
                    kStallReachMs / 1000.0);
    }
};

// The stalls until `endMs` (the end of the sound: after it the server goes
// quiet, as it should) that came while the bridge kept the margin it starts
// with. One that came after it had learnt a smaller margin is the bridge's
// misjudgement, not the server's.
ServerStalls serverStalls(const BridgeEvents& events, double endMs)
{
    ServerStalls stalls;
    if (events.status.empty())
        return stalls;
    const double startMargin = events.status.front().marginFrames;
    for (const auto& r : events.resyncs)
    {
        double margin = startMargin;
        for (const auto& st : events.status)
            if (st.atMs <= r.atMs)
                margin = st.marginFrames;
        if (r.reason == "source-idle" && r.atMs <= endMs && margin >= startMargin)
            stalls.atMs.push_back(r.atMs);
    }
    return stalls;
}

// One past the last captured frame with sound in either channel.
size_t soundEnd(const std::vector<float>& left, const std::vector<float>& right)
{
    size_t end = left.size();
    while (end > 0 && left[end - 1] == 0.0f && right[end - 1] == 0.0f)
        --end;
    return end;
}

struct Gap
{
    size_t at, frames;
};

// Runs of zeros in both channels between the first and the last sound,
// less those as long as a silent stretch that was played (`silenceFrames`,
// 0 when none was), which are counted in `silences`.
std::vector<Gap> zeroGaps(const std::vector<float>& left, const std::vector<float>& right,
                          double silenceFrames, size_t& silences)
{
    auto silent = [&](size_t i) {
        return left[i] == 0.0f && right[i] == 0.0f;
    };
    size_t first = 0, last = left.size();
    while (first < left.size() && silent(first))
        ++first;
    while (last > first && silent(last - 1))
        --last;
    std::vector<Gap> gaps;
    for (size_t i = first; i < last;)
    {
        size_t end = i;
        while (end < last && silent(end))
            ++end;
        const double tolerance = kSilenceToleranceMs * kRate / 1000;
        if (silenceFrames > 0 &&
            std::abs(static_cast<double>(end - i) - silenceFrames) <= tolerance)
            ++silences;
        else if (end - i >= kGapFrames)
            gaps.push_back({i, end - i});
        i = std::max(end, i + 1);
    }
    return gaps;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5)];
}

// Least-squares slope of y over x.
double slopeOf(const std::vector<std::pair<double, double>>& points)
{
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (const auto& [x, y] : points)
    {
        n += 1;
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
    }
    const double d = n * sxx - sx * sx;
    return d > 0 ? (n * sxy - sx * sy) / d : 0.0;
}

// When the bridge has settled: in bypass from the start; engaged, once its
// loop has listened wide for a while and the latency has first come to
// within kSettledLatencyMs of the target (it glides there after engaging).
double settledAt(const BridgeEvents& events, double startMs, double endMs)
{
    if (events.engagedAtMs < 0)
        return startMs;
    const double earliest = events.engagedAtMs + kSettleSeconds * 1000;
    for (const auto& st : events.status)
        if (st.atMs >= earliest &&
            std::abs(st.latencyFrames - st.targetFrames) <= kSettledLatencyMs * kRate / 1000)
            return st.atMs;
    return endMs;
}

// The median of all pairwise slopes: a trend that a step or two (the
// target moving after a burst, and the glide after it) does not fake.
double robustSlope(const std::vector<std::pair<double, double>>& points)
{
    std::vector<double> slopes;
    for (size_t i = 0; i < points.size(); ++i)
        for (size_t j = i + 1; j < points.size(); ++j)
            if (points[j].first != points[i].first)
                slopes.push_back((points[j].second - points[i].second) /
                                 (points[j].first - points[i].first));
    return percentile(slopes, 0.5);
}

// What the user hears with the host off the graph's clock, from the bridge
// settling to the end of what was played. Returns whether it was clean.
bool reportDrifting(const std::vector<float>& left, const std::vector<float>& right,
                    const std::string& log, double startMs, double framesPerMs,
                    double silenceFrames, double seconds)
{
    const BridgeEvents events = bridgeEvents(log);
    auto msAt = [&](size_t frame) {
        return startMs + static_cast<double>(frame) / framesPerMs;
    };
    const size_t lastSound = soundEnd(left, right);
    const double endMs = msAt(lastSound);
    const ServerStalls stalls = serverStalls(events, endMs);
    const double settledMs = settledAt(events, startMs, endMs);
    auto settled = [&](double ms) {
        return ms > settledMs && ms <= endMs;
    };

    size_t gapsAfter = 0, gapFramesAfter = 0, gapFrames = 0, silences = 0;
    const auto gaps = zeroGaps(left, right, silenceFrames, silences);
    for (const Gap& g : gaps)
    {
        gapFrames += g.frames;
        if (settled(msAt(g.at)) && !stalls.near(msAt(g.at)))
            ++gapsAfter, gapFramesAfter += g.frames;
    }
    size_t resyncsAfter = 0, skippedAfter = 0;
    for (const auto& r : events.resyncs)
        if (settled(r.atMs) && !stalls.near(r.atMs))
            ++resyncsAfter, skippedAfter += r.skipped;

    // The bridge's own fill (its latency) once settled: its spread, and
    // the trend of its distance from the target, which a drift the bridge
    // failed to follow would show (the target itself grows with a burst).
    // From a stall of the server until the latency is back near the target
    // the fill falls as the glide gives the stall's delay back: no drift.
    auto nearTargetAfter = [&](double ms) {
        for (const auto& st : events.status)
            if (st.atMs > ms &&
                std::abs(st.latencyFrames - st.targetFrames) <= kSettledLatencyMs * kRate / 1000)
                return st.atMs;
        return std::numeric_limits<double>::infinity();
    };
    auto givingStallBack = [&](double ms) {
        return std::any_of(stalls.atMs.begin(), stalls.atMs.end(), [&](double at) {
            return ms >= at - kStallReachMs && ms < nearTargetAfter(at + kStallReachMs);
        });
    };
    std::vector<double> latency;
    std::vector<std::pair<double, double>> fillPercent;
    size_t leftOutOfTrend = 0;
    const double ringFrames = events.ringBytes / 8.0;
    for (const auto& st : events.status)
        if (settled(st.atMs))
        {
            latency.push_back(st.latencyFrames);
            if (givingStallBack(st.atMs))
                ++leftOutOfTrend;
            else if (ringFrames > 0)
                fillPercent.emplace_back(st.atMs / 60000.0,
                                         100.0 * (st.latencyFrames - st.targetFrames) / ringFrames);
        }
    const double trendPerMinute = robustSlope(fillPercent);

    // The tone's SINAD over 0.1 s windows inside that span.
    std::vector<double> sinad;
    const size_t window = static_cast<size_t>(kRate / 10);
    for (size_t at = 0; at + window <= lastSound; at += window)
        if (settled(msAt(at)))
            sinad.push_back(toneSinadDb(right, at, window, kToneHz, kRate));

    if (events.engagedAtMs >= 0)
        std::printf("  bridge engaged    at %+.1f ppm, %.1f s after the output began\n",
                    events.engagedPpm, events.engagedAfter);
    else
        std::printf("  bridge engaged    never (bypass throughout)\n");
    std::printf("  settled           from %.1f s to the end of the sound at %.1f s\n",
                (settledMs - startMs) / 1000, (endMs - startMs) / 1000);
    std::printf("  gaps              %zu, %zu frames in all; %zu, %zu frames once settled, "
                "away from the server's stalls\n",
                gaps.size(), gapFrames, gapsAfter, gapFramesAfter);
    if (silenceFrames > 0)
        std::printf("  played silences   %zu came out whole (within %.0f ms of %.0f frames)\n",
                    silences, kSilenceToleranceMs, silenceFrames);
    std::printf("  resyncs           %zu in all, %zu once settled, away from the server's stalls "
                "(%zu frames skipped)",
                events.resyncs.size(), resyncsAfter, skippedAfter);
    for (const auto& r : events.resyncs)
        std::printf(" %s@%.1fs", r.reason.c_str(), (r.atMs - startMs) / 1000.0);
    std::printf("\n");
    stalls.print(startMs);
    if (!latency.empty())
        std::printf("  latency           %.1f / %.1f / %.1f ms (min/median/max of %zu status "
                    "lines), off the target by a trend of %+.3f %% of the ring per minute "
                    "(%zu lines giving a stall's delay back left out)\n",
                    percentile(latency, 0) / kRate * 1000, percentile(latency, 0.5) / kRate * 1000,
                    percentile(latency, 1) / kRate * 1000, latency.size(), trendPerMinute,
                    leftOutOfTrend);
    if (!sinad.empty())
        std::printf("  tone SINAD        %.1f dB worst, %.1f dB median (%zu windows of 0.1 s)\n",
                    percentile(sinad, 0), percentile(sinad, 0.5), sinad.size());
    // Too few lines for a trend is a fault unless a stall took them.
    const bool flat = fillPercent.size() >= 2
                          ? std::abs(trendPerMinute) < kMostFillTrendPercentPerMinute
                          : leftOutOfTrend > 0;
    return gapsAfter == 0 && resyncsAfter == 0 && flat && !stalls.tooMany(seconds);
}

double msOf(double frames)
{
    return frames / kRate * 1000;
}

// From `atMs` on: the seconds until the first status line (from index
// `from`, before `untilMs`) whose latency `close` accepts, or -1.
template <typename Close>
double secondsUntil(const std::vector<BridgeEvents::Status>& status, size_t from, double atMs,
                    double untilMs, Close close)
{
    for (size_t i = from; i < status.size() && status[i].atMs < untilMs; ++i)
        if (close(status[i]))
            return (status[i].atMs - atMs) / 1000;
    return -1;
}

// The bridge's latency over the run, from its status lines: a dozen points
// of it, its median and target in the first and the last minute, the margin
// it learnt, the delay it gave back in bypass, and how it met each of the
// host's bursts (`burstsAtMs`, monotonic ms each stall began).
void reportLatency(const BridgeEvents& events, double startMs,
                   const std::vector<double>& burstsAtMs)
{
    const auto& status = events.status;
    if (status.empty())
    {
        std::printf("  latency           no status lines from the bridge\n");
        return;
    }
    // The whole run's latency, a dozen points of it, settling included.
    std::printf("  latency over time");
    const size_t step = std::max<size_t>(1, status.size() / 12);
    for (size_t i = 0; i < status.size(); i += step)
        std::printf(" %.0fs:%.1fms", (status[i].atMs - startMs) / 1000,
                    msOf(status[i].latencyFrames));
    std::printf("\n");

    std::vector<double> intervals;
    for (size_t i = 1; i < status.size(); ++i)
        intervals.push_back(status[i].atMs - status[i - 1].atMs);
    std::printf("  status lines      %zu, every %.1f s (median)\n", status.size(),
                percentile(intervals, 0.5) / 1000);

    const double lastMs = status.back().atMs;
    auto minute = [&](const char* label, double fromMs, double toMs) {
        std::vector<double> latency, target;
        for (const auto& st : status)
            if (st.atMs >= fromMs && st.atMs <= toMs)
            {
                latency.push_back(st.latencyFrames);
                target.push_back(st.targetFrames);
            }
        std::printf("  %-18smedian %.1f ms, target %.1f ms (%zu lines, %.0f s to %.0f s)\n", label,
                    msOf(percentile(latency, 0.5)), msOf(percentile(target, 0.5)), latency.size(),
                    std::max(0.0, fromMs - startMs) / 1000, (toMs - startMs) / 1000);
    };
    minute("latency 1st min", startMs, startMs + 60000);
    minute("latency last min", lastMs - 60000, lastMs);
    std::printf("  margin learnt     %.0f frames (%.1f ms) first, %.0f frames (%.1f ms) last\n",
                status.front().marginFrames, msOf(status.front().marginFrames),
                status.back().marginFrames, msOf(status.back().marginFrames));
    std::printf("  host burst known  %.0f frames first, %.0f frames last\n",
                status.front().blockFrames, status.back().blockFrames);
    std::printf("  given back        %.0f frames of silence left out (%.1f ms), by the bridge\n",
                status.back().givenBackFrames, msOf(status.back().givenBackFrames));

    for (size_t b = 0; b < burstsAtMs.size(); ++b)
    {
        const double atMs = burstsAtMs[b];
        const double untilMs =
            b + 1 < burstsAtMs.size() ? burstsAtMs[b + 1] : std::numeric_limits<double>::infinity();
        std::printf("  burst at %5.1f s  ", (atMs - startMs) / 1000);
        size_t first = 0;
        while (first < status.size() && status[first].atMs < atMs)
            ++first;
        if (first == 0 || first == status.size() || status[first].atMs >= untilMs)
        {
            std::printf("no status line before or after it\n");
            continue;
        }
        const auto& before = status[first - 1];
        // The lines come seconds apart: the highest of them after a short
        // stall is a bound from below on the true peak.
        size_t peak = first;
        double mostTarget = 0, mostBlock = 0;
        for (size_t i = first; i < status.size() && status[i].atMs < untilMs; ++i)
        {
            if (status[i].latencyFrames > status[peak].latencyFrames)
                peak = i;
            mostTarget = std::max(mostTarget, status[i].targetFrames);
            mostBlock = std::max(mostBlock, status[i].blockFrames);
        }
        const double toTarget = secondsUntil(status, peak, atMs, untilMs, [](const auto& st) {
            return std::abs(st.latencyFrames - st.targetFrames) <= kBackFrames;
        });
        const double toBefore = secondsUntil(status, peak, atMs, untilMs, [&](const auto& st) {
            return std::abs(st.latencyFrames - before.latencyFrames) <= kBackFrames;
        });
        auto when = [](double seconds) {
            char text[32];
            if (seconds < 0)
                std::snprintf(text, sizeof text, "never");
            else
                std::snprintf(text, sizeof text, "%.1f s", seconds);
            return std::string(text);
        };
        std::printf("latency %.1f ms before (target %.1f), peak %.1f ms %.1f s after; within 2 ms "
                    "of the target after %s, of the latency before after %s; target up to %.1f "
                    "ms, burst seen up to %.0f frames\n",
                    msOf(before.latencyFrames), msOf(before.targetFrames),
                    msOf(status[peak].latencyFrames), (status[peak].atMs - atMs) / 1000,
                    when(toTarget).c_str(), when(toBefore).c_str(), msOf(mostTarget), mostBlock);
    }
}

struct Options
{
    double seconds = 60.0;
    double offsetPpm = 0.0;
    double burstEvery = 0;         // seconds, 0: none
    std::vector<double> burstOnce; // seconds
    double burstMs = 200;
    bool gaps = false;
};

// The two positional arguments as ever, then the options in any order.
bool parseOptions(int argc, char** argv, Options& o)
{
    int positional = 0;
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0)
        {
            if (positional == 0)
                o.seconds = std::atof(argv[i]);
            else if (positional == 1)
                o.offsetPpm = std::atof(argv[i]);
            else
                return false;
            ++positional;
            continue;
        }
        const size_t eq = arg.find('=');
        const std::string name = arg.substr(0, eq);
        if (name == "--gaps" && eq == std::string::npos)
        {
            o.gaps = true;
            continue;
        }
        if (eq == std::string::npos)
            return false;
        char* end = nullptr;
        const double value = std::strtod(arg.c_str() + eq + 1, &end);
        if (end == arg.c_str() + eq + 1 || *end != '\0' || !(value > 0))
            return false;
        if (name == "--burst-every")
            o.burstEvery = value;
        else if (name == "--burst-once-at")
            o.burstOnce.push_back(value);
        else if (name == "--burst-ms")
            o.burstMs = value;
        else
            return false;
    }
    return o.seconds > 0;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parseOptions(argc, argv, options))
    {
        std::fprintf(stderr,
                     "usage: %s [seconds] [host clock offset in ppm] [--burst-every=SECONDS] "
                     "[--burst-once-at=SECONDS]... [--burst-ms=MS] [--gaps]\n",
                     argv[0]);
        return 2;
    }
    const double seconds = options.seconds;
    const double offsetPpm = options.offsetPpm;

    PipeWireTestServer server;
    std::string whyNot;
    if (!server.start(whyNot))
    {
        std::fprintf(stderr, "%s\n", whyNot.c_str());
        return serverRequired() ? 1 : 77;
    }
    removeLog();

    // Noise to align on, bit for bit, on the left; a tone to measure a
    // resampled capture by, on the right.
    auto played = stereoNoise(20261208, kRate, seconds);
    for (size_t i = 0; 2 * i + 1 < played.size(); ++i)
        played[2 * i + 1] = static_cast<float>(0.5 * std::sin(2 * M_PI * kToneHz * i / kRate));
    // Digital silence, exact zeros in both channels: what bypass may leave
    // out to give delay back. Each stretch ends a second before the end at
    // the latest, so that the sequence still ends in sound.
    size_t silentStretches = 0;
    for (double at = kSilenceAtSeconds; options.gaps && at + kSilenceSeconds <= seconds - 1.0;
         at += kSilencePeriodSeconds)
    {
        const auto from = static_cast<size_t>(at * kRate);
        const auto to = static_cast<size_t>((at + kSilenceSeconds) * kRate);
        std::fill(played.begin() + 2 * long(from), played.begin() + 2 * long(to), 0.0f);
        ++silentStretches;
    }
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

    // The host's bursts: after the block due at such a moment it stops
    // calling for burstMs; the schedule goes on, so the blocks it missed
    // then come back to back until it has caught up.
    std::vector<size_t> burstBlocks;
    for (double at = options.burstEvery; options.burstEvery > 0 && at < seconds + 2.0;
         at += options.burstEvery)
        burstBlocks.push_back(static_cast<size_t>(at / period));
    for (double at : options.burstOnce)
        burstBlocks.push_back(static_cast<size_t>(at / period));
    std::sort(burstBlocks.begin(), burstBlocks.end());
    burstBlocks.erase(std::unique(burstBlocks.begin(), burstBlocks.end()), burstBlocks.end());
    const auto burst = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(options.burstMs));
    std::vector<double> burstsAtMs;
    size_t nextBurst = 0;

    std::vector<float> left, right;
    left.reserve(blocks * kBlock);
    right.reserve(blocks * kBlock);
    ProcessBlock block(2, kBlock);
    std::unique_ptr<ChildProcess> player;
    auto next = Clock::now();
    // steady_clock is CLOCK_MONOTONIC, the log's clock.
    const double startMs =
        std::chrono::duration<double, std::milli>(next.time_since_epoch()).count();
    for (size_t b = 0; b < blocks; ++b)
    {
        if (b == 30) // the stream is up by now
            player = std::make_unique<ChildProcess>(std::vector<std::string>{
                "timeout", std::to_string(static_cast<int>(seconds) + 30), "pw-play", wav});
        block.run(*p.processor);
        left.insert(left.end(), block.channel(0).begin(), block.channel(0).end());
        right.insert(right.end(), block.channel(1).begin(), block.channel(1).end());
        next += tick;
        if (nextBurst < burstBlocks.size() && burstBlocks[nextBurst] == b)
        {
            ++nextBurst;
            burstsAtMs.push_back(
                std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count());
            std::this_thread::sleep_for(burst);
        }
        std::this_thread::sleep_until(next);
        if (b % static_cast<size_t>(10.0 / period) == 0 && b > 0)
            std::fprintf(stderr, "soak: %.0f s of %.0f\n", b * period, seconds + 2.0);
    }
    const int playerStatus = player ? player->wait() : -1;
    // Terminate first: it writes out the lines still queued.
    p.terminate();
    const std::string log = readLog();

    const auto fill = fillOverTime(log);
    unsigned fillMin = 100, fillMax = 0;
    std::vector<std::pair<double, double>> fillPoints;
    for (const auto& f : fill)
    {
        fillMin = std::min(fillMin, f.percent);
        fillMax = std::max(fillMax, f.percent);
        fillPoints.emplace_back(f.seconds / 60.0, f.percent);
    }
    const size_t resets = countOf(log, kRingReset);

    std::printf("soak: %.0f s, host clock offset %+.0f ppm, player exit %d\n", seconds, offsetPpm,
                playerStatus);
    std::printf("  frames played     %zu\n", played.size() / 2);
    if (options.gaps)
        std::printf("  silent stretches  %zu of %.1f s played, one every %.0f s from %.0f s\n",
                    silentStretches, kSilenceSeconds, kSilencePeriodSeconds, kSilenceAtSeconds);
    if (!burstBlocks.empty())
    {
        std::printf("  host bursts       %zu of %.0f ms, at", burstsAtMs.size(), options.burstMs);
        for (double at : burstsAtMs)
            std::printf(" %.1fs", (at - startMs) / 1000);
        std::printf("\n");
    }
    std::printf("  ring RESET lines  %zu\n", resets);
    std::printf("  ring fill         %u%% .. %u%% over %zu reports, trend %+.3f %%/min\n", fillMin,
                fillMax, fill.size(), slopeOf(fillPoints));

    if (offsetPpm != 0)
    {
        // The frames come resampled: no sample-exact comparison.
        const double framesPerMs = kRate * (1.0 + offsetPpm * 1e-6) / 1000.0;
        const double silenceFrames =
            options.gaps ? kSilenceSeconds * kRate * (1.0 + offsetPpm * 1e-6) : 0.0;
        const bool clean =
            reportDrifting(left, right, log, startMs, framesPerMs, silenceFrames, seconds);
        reportLatency(bridgeEvents(log), startMs, burstsAtMs);
        if (!clean || resets != 0)
        {
            std::printf("FAILED\n");
            return 1;
        }
        std::printf("OK\n");
        return 0;
    }

    const SequenceMatch m = matchSequence(left, right, played, options.gaps);
    // What the bridge did, to tell its own padding from silence that came.
    const BridgeEvents events = bridgeEvents(log);
    std::printf("  bridge            %s, %zu resyncs",
                events.engagedAtMs >= 0 ? "engaged" : "bypass", events.resyncs.size());
    for (const auto& r : events.resyncs)
        std::printf(" %s@%.1fs(padded %u, skipped %u)", r.reason.c_str(),
                    (r.atMs - startMs) / 1000.0, r.padded, r.skipped);
    std::printf("\n");
    std::printf("  frames compared   %zu (equal, in order)\n", m.compared);
    std::printf("  lost              %zu frames in %zu runs (dropped packets)\n", m.lost,
                m.lostRuns);
    std::printf("  duplicated        %zu\n", m.duplicated);
    std::printf("  altered           %zu\n", m.altered);
    std::printf("  underflow gaps    %zu, %zu frames (%.1f ms) padded with zeros\n", m.gaps,
                m.gapFrames, m.gapFrames * 1000.0 / kRate);
    std::printf("  unheard tail      %zu frames\n", m.unheard);
    if (options.gaps)
        std::printf("  silence left out  %zu frames (%.1f ms) in %zu stretches\n", m.silenceLeftOut,
                    msOf(static_cast<double>(m.silenceLeftOut)), m.silenceRuns);
    if (!m.events.empty())
    {
        std::printf("  events at        ");
        for (const auto& [at, kind] : m.events)
            std::printf(" %c@%.2fs", kind, at / kRate);
        std::printf("\n");
    }
    const ServerStalls stalls =
        serverStalls(events, startMs + static_cast<double>(soundEnd(left, right)) * 1000.0 / kRate);
    stalls.print(startMs);
    reportLatency(events, startMs, burstsAtMs);
    if (m.start < 0)
    {
        std::printf("FAILED: the played sequence never came out\n");
        return 1;
    }
    // On a common clock nothing may be lost, changed or padded but at a
    // stall of the server. (Only the first events have their places: any
    // beyond them count as away from a stall.)
    size_t stalledGaps = 0, stalledLosses = 0;
    for (const auto& [at, kind] : m.events)
        if ((kind == 'g' || kind == 'l') && stalls.near(startMs + at * 1000.0 / kRate))
            ++(kind == 'g' ? stalledGaps : stalledLosses);
    const bool clean = m.lostRuns == stalledLosses && m.duplicated == 0 && m.altered == 0 &&
                       m.gaps == stalledGaps && resets == 0 && m.unheard <= 2048 &&
                       !stalls.tooMany(seconds);
    if (!clean)
    {
        std::printf("FAILED\n");
        return 1;
    }
    std::printf("OK\n");
    return 0;
}
