// The clock bridge between the writer (PipeWire's clock) and the reader (the
// host's), driven by a deterministic simulation of the two clocks around the
// real FrameRing, WriterStamp, ClockBridge and resampler: no real time and no
// threads (except where the stamp's lock-freedom itself is tested), minutes
// of audio in seconds of CPU. The drift cases print their figures.

#include "clockbridge.h"
#include "framering.h"
#include "writerstamp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define STROVIK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define STROVIK_SANITIZED 1
#endif
#endif

// Counts C++ allocations, so that the simulation can see whether process()
// makes any. Sanitizers replace operator new themselves: not there.
#ifndef STROVIK_SANITIZED
namespace {
std::atomic<uint64_t> gAllocations{0};
}
// Not inlined: GCC would otherwise see free() meet operator new's pointer.
__attribute__((noinline)) void* operator new(std::size_t size)
{
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* p) noexcept
{
    std::free(p);
}
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}
#endif

namespace Strovik {

struct ClockBridgeTestAccess
{
    // The frames the resampler would be primed with if it engaged now.
    static void history(ClockBridge& bridge, std::vector<float>& left, std::vector<float>& right)
    {
        bridge.takeTailFromRing();
        left.assign(bridge.historyLeft.begin(), bridge.historyLeft.end());
        right.assign(bridge.historyRight.begin(), bridge.historyRight.end());
    }
};

} // namespace Strovik

namespace {

using Strovik::ClockBridge;
using Strovik::DriftDetector;
using Strovik::FillTarget;
using Strovik::FrameRing;
using Strovik::Timeline;
using Strovik::WriterStamp;
using Strovik::WriterStampValue;

constexpr uint32_t kRate = 48000;
constexpr double kPi = 3.14159265358979323846;

// Sanitizer builds run several times slower: the long bypass runs are
// shortened there (the figures are the same code's either way).
#ifdef STROVIK_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
constexpr double kTimeScale = kSanitized ? 0.25 : 1.0;

uint64_t allocationCount()
{
#ifdef STROVIK_SANITIZED
    return 0;
#else
    return gAllocations.load(std::memory_order_relaxed);
#endif
}

// ---------------------------------------------------------------------------
// Signals

enum class Source
{
    Noise, // every sample distinct and never zero: any frame out of place shows
    Tone,  // 997 Hz, for SINAD: left 0.5 sin, right 0.3 sin shifted by 1 rad
};

constexpr double kToneHz = 997.0;
constexpr double kAmplitude[2] = {0.5, 0.3};
constexpr double kPhase[2] = {0.0, 1.0};

float noiseSample(uint64_t frame, int channel)
{
    // splitmix64 of the sample's index, mapped to +-[0.25, 1).
    uint64_t z = (2 * frame + static_cast<uint64_t>(channel)) + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    const float magnitude = 0.25f + 0.75f * static_cast<float>(z >> 40) / 16777216.0f;
    return (z & 1) ? magnitude : -magnitude;
}

float sampleAt(Source source, uint64_t frame, int channel)
{
    if (source == Source::Noise)
        return noiseSample(frame, channel);
    const double phase = 2.0 * kPi * kToneHz * static_cast<double>(frame) / kRate;
    return static_cast<float>(kAmplitude[channel] * std::sin(phase + kPhase[channel]));
}

// ---------------------------------------------------------------------------
// The two clocks

struct Scenario
{
    // The reader's clock runs fast by this much: the ideal ratio (input
    // frames per output frame) is 1 / (1 + ppm 1e-6).
    double ppm = 0.0;
    uint32_t block = 512;
    uint32_t quantum = 1024;
    // Callbacks (and with them the writer's stamps) come late by up to this,
    // uniformly.
    double writerJitterSeconds = 0.002;
    double readerJitterSeconds = 0.0005;
    // The host calls this many blocks back to back, then waits as long.
    uint32_t readerBurst = 1;
    // Toggles the quantum between 1024 and 2048 this often (0: never).
    double quantumSwitchSeconds = 0.0;
    // The quantum goes from 1024 to 2048 once, at this time (-1: never).
    double quantumRiseAt = -1.0;
    // The writer misses every cycle in [stallAt, stallAt + stallSeconds).
    double stallAt = -1.0;
    double stallSeconds = 0.0;
    // The first packet after burstAt is longer (or shorter) by this.
    double burstAt = -1.0;
    int32_t burstFrames = 0;
    // From writerPpmAt on the writer's clock runs fast by writerPpm, as when
    // PipeWire moves the stream onto another device's clock.
    double writerPpmAt = -1.0;
    double writerPpm = 0.0;
    Source source = Source::Tone;
    // Digital silence for the first gapSeconds of every gapEverySeconds of
    // the source (0: never), as between the sounds a desktop plays.
    double gapEverySeconds = 0.0;
    double gapSeconds = 0.0;
    // The host stops calling at hostStallAt for hostStallSeconds, then
    // calls the blocks it missed back to back (-1: never).
    double hostStallAt = -1.0;
    double hostStallSeconds = 0.0;
    // The packet of the first cycle at or after each of these comes
    // lateSeconds late, and the next on time: the writer's side stalled,
    // and the graph made up for it at once.
    std::vector<double> lateAt;
    double lateSeconds = 0.0;
    // At shiftAt the writer's cycles move by shiftSeconds (its stream was
    // linked to another driver on the same clock), and the next
    // shiftIrregularCycles come with up to shiftJitterSeconds more jitter.
    double shiftAt = -1.0;
    double shiftSeconds = 0.0;
    uint32_t shiftIrregularCycles = 0;
    double shiftJitterSeconds = 0.0;
    uint64_t seed = 1;

    bool silentFrame(uint64_t frame) const
    {
        if (gapEverySeconds <= 0.0)
            return false;
        const auto every = static_cast<uint64_t>(gapEverySeconds * kRate);
        return frame % every < static_cast<uint64_t>(gapSeconds * kRate);
    }

    double idealRatio() const { return 1.0 / (1.0 + ppm * 1e-6); }
};

struct Block
{
    double time = 0.0; // seconds since the simulation started
    const float* left = nullptr;
    const float* right = nullptr;
    uint32_t frames = 0;
    ClockBridge::BlockResult result;
    const ClockBridge::Status* status = nullptr;
    uint64_t allocations = 0; // made inside process()
};

// The writer produces one quantum per quantum period of the true clock,
// delivered at the start of its cycle (as the graph does) when its late
// callback runs; the reader takes one block per block period of its clock.
class Simulation
{
public:
    explicit Simulation(const Scenario& s)
        : scenario(s), random(s.seed), quantum(s.quantum), nextSwitch(s.quantumSwitchSeconds)
    {
        ring.resize(kRate);
        // As the processor's: the bridge primes from the frames it copied.
        ring.keepBehindReader(ClockBridge::kHistoryFrames);
        const uint32_t longest = 2048 + static_cast<uint32_t>(std::abs(s.burstFrames));
        packet.resize(2 * static_cast<size_t>(longest));
        left.resize(s.block);
        right.resize(s.block);
        EXPECT_TRUE(bridge.prepare(kRate, s.block));
        writerCallback = jitter(scenario.writerJitterSeconds);
        readerCallback = jitter(scenario.readerJitterSeconds);
    }

    Block nextBlock()
    {
        while (writerCallback <= readerCallback)
            runWriter();
        return runReader();
    }

    // Runs blocks until `seconds` of simulated time, giving each to `onBlock`.
    template <class OnBlock> void runUntil(double seconds, OnBlock&& onBlock)
    {
        while (readerCallback < seconds)
            onBlock(nextBlock());
    }

    double time() const { return readerCallback; }

    // The host stops calling for a while; the writer goes on.
    void skipReader(double seconds)
    {
        const double period = scenario.block / (kRate * (1.0 + scenario.ppm * 1e-6));
        readerBlocks += static_cast<uint64_t>(seconds / period);
        readerCallback = readerBlocks * period + jitter(scenario.readerJitterSeconds);
    }

    FrameRing ring;
    WriterStamp stamp;
    ClockBridge bridge;

private:
    static int64_t nanos(double seconds)
    {
        // CLOCK_MONOTONIC is far from zero on a running machine.
        return static_cast<int64_t>(std::llround((seconds + 1000.0) * 1e9));
    }
    double jitter(double limit) { return std::uniform_real_distribution<>(0.0, limit)(random); }

    // The router counts a change of the stream's links when it asks for it,
    // a packet or two before the server has made it.
    uint32_t links(double cycle) const
    {
        return scenario.shiftAt >= 0.0 && cycle >= scenario.shiftAt - 0.1 ? 1 : 0;
    }

    void runWriter()
    {
        const double cycle = writerCycle;
        uint32_t frames = quantum;
        if (scenario.burstAt >= 0.0 && cycle >= scenario.burstAt && !burstDone)
        {
            frames = static_cast<uint32_t>(static_cast<int32_t>(frames) + scenario.burstFrames);
            burstDone = true;
        }
        const bool stalled =
            cycle >= scenario.stallAt && cycle < scenario.stallAt + scenario.stallSeconds;
        if (!stalled)
        {
            for (uint32_t i = 0; i < frames; ++i)
            {
                const bool silent = scenario.silentFrame(sourceFrame + i);
                packet[2 * i] = silent ? 0.0f : sampleAt(scenario.source, sourceFrame + i, 0);
                packet[2 * i + 1] = silent ? 0.0f : sampleAt(scenario.source, sourceFrame + i, 1);
            }
            ring.write(packet.data(), frames);
            stamp.publish(ring.writePosition(), nanos(writerCallback), frames, links(cycle));
        }
        // A stalled writer's frames are lost, as in an xrun: time goes on.
        sourceFrame += frames;
        const bool fast = scenario.writerPpmAt >= 0.0 && cycle >= scenario.writerPpmAt;
        writerCycle += quantum / (kRate * (fast ? 1.0 + scenario.writerPpm * 1e-6 : 1.0));
        if (scenario.quantumRiseAt >= 0.0 && writerCycle >= scenario.quantumRiseAt)
            quantum = 2048;
        if (scenario.quantumSwitchSeconds > 0.0 && writerCycle >= nextSwitch)
        {
            quantum = quantum == 1024 ? 2048 : 1024;
            nextSwitch += scenario.quantumSwitchSeconds;
        }
        if (scenario.shiftAt >= 0.0 && !shifted && writerCycle >= scenario.shiftAt)
        {
            shifted = true;
            writerCycle += scenario.shiftSeconds;
            irregular = scenario.shiftIrregularCycles;
        }
        writerCallback = writerCycle + jitter(scenario.writerJitterSeconds);
        if (irregular > 0)
        {
            --irregular;
            writerCallback += jitter(scenario.shiftJitterSeconds);
        }
        if (nextLate < scenario.lateAt.size() && writerCycle >= scenario.lateAt[nextLate])
        {
            writerCallback += scenario.lateSeconds;
            ++nextLate;
        }
    }

    Block runReader()
    {
        Block block;
        block.time = readerCallback;
        const uint64_t before = allocationCount();
        block.result = bridge.process(ring, stamp, nanos(readerCallback), left.data(), right.data(),
                                      scenario.block);
        block.allocations = allocationCount() - before;
        block.left = left.data();
        block.right = right.data();
        block.frames = scenario.block;
        block.status = &bridge.status();
        ++readerBlocks;
        const double period = scenario.block / (kRate * (1.0 + scenario.ppm * 1e-6));
        const uint64_t burstStart = readerBlocks / scenario.readerBurst * scenario.readerBurst;
        readerCallback = burstStart * period + jitter(scenario.readerJitterSeconds);
        const double stallEnd = scenario.hostStallAt + scenario.hostStallSeconds;
        if (scenario.hostStallAt >= 0.0 && readerCallback >= scenario.hostStallAt &&
            readerCallback < stallEnd)
            readerCallback = stallEnd;
        return block;
    }

    Scenario scenario;
    std::mt19937_64 random;
    std::vector<float> packet, left, right;
    uint32_t quantum;
    double nextSwitch;
    double writerCycle = 0.0;
    double writerCallback = 0.0;
    double readerCallback = 0.0;
    uint64_t readerBlocks = 0;
    uint64_t sourceFrame = 0;
    bool burstDone = false;
    size_t nextLate = 0;
    bool shifted = false;
    uint32_t irregular = 0;
};

// ---------------------------------------------------------------------------
// What the tests measure

// Whether the output is the noise source, frame for frame, at one constant
// shift. It locks onto the source at the first sound; silence from a padded
// block unlocks it, and the next sound locks it again.
class ExactCopyCheck
{
public:
    void add(const Block& block)
    {
        for (uint32_t i = 0; i < block.frames; ++i)
            addFrame(block.left[i], block.right[i], block.result.paddedFrames > 0);
    }

    int locks = 0;
    uint64_t mismatches = 0;
    uint64_t matched = 0;

private:
    void addFrame(float l, float r, bool padded)
    {
        const bool silent = l == 0.0f && r == 0.0f;
        if (locked && l == noiseSample(next, 0) && r == noiseSample(next, 1))
        {
            ++next;
            ++matched;
        }
        else if (locked && silent && padded)
        {
            locked = false;
        }
        else if (locked)
        {
            ++mismatches;
            ++next;
        }
        else if (!silent)
        {
            lock(l, r);
        }
    }

    void lock(float l, float r)
    {
        // A copy that is not one fails after a few searches, not one per frame.
        if (searches++ >= kMaxSearches)
        {
            ++mismatches;
            return;
        }
        // The source only moves on: search from where the last lock left off.
        for (uint64_t s = next; s < next + 10 * kRate; ++s)
        {
            if (noiseSample(s, 0) == l && noiseSample(s, 1) == r)
            {
                locked = true;
                ++locks;
                next = s + 1;
                ++matched;
                return;
            }
        }
        ++mismatches;
    }

    static constexpr int kMaxSearches = 8;
    bool locked = false;
    uint64_t next = 0;
    int searches = 0;
};

// Whether every sound of the noise source with gaps came out, frame for
// frame and in order: between two sounding output frames lie exactly the
// source's silent frames between them, or fewer (silence left out), never
// a sounding one.
class GappedCopyCheck
{
public:
    explicit GappedCopyCheck(const Scenario& s) : scenario(s) {}

    void add(const Block& block)
    {
        for (uint32_t i = 0; i < block.frames; ++i)
            addFrame(block.left[i], block.right[i]);
    }

    uint64_t mismatches = 0;
    uint64_t matched = 0;
    uint64_t silentOut = 0;

private:
    void addFrame(float l, float r)
    {
        if (l == 0.0f && r == 0.0f)
        {
            ++silentOut;
            return;
        }
        if (!locked)
        {
            for (uint64_t s = 0; s < 10 * kRate && !locked; ++s)
                if (noiseSample(s, 0) == l && noiseSample(s, 1) == r)
                    locked = true, next = s;
            if (!locked)
                ++mismatches;
        }
        while (scenario.silentFrame(next))
            ++next;
        if (l == noiseSample(next, 0) && r == noiseSample(next, 1))
            ++matched;
        else
            ++mismatches;
        ++next;
    }

    const Scenario& scenario;
    bool locked = false;
    uint64_t next = 0;
};

// SINAD of the 997 Hz tone per one-second window: a least-squares fit of the
// amplitude and phase of a sine at the known frequency, whose phase advances
// by the input position per output frame, against the residual.
//
// Tracking (the assertion): the position advances by the ratio the bridge
// applied, block by block (1 in bypass), so that a skipped or repeated frame,
// a jump on engaging, a ratio other than the one applied, or the resampler's
// own distortion land in the residual; the deliberate slow steering does not.
// Fixed (a figure only): the position advances by the ideal ratio, so that
// the steering's frequency wander counts as well.
class ToneFit
{
public:
    static constexpr uint32_t kWindow = kRate;

    explicit ToneFit(double fixedRatio = 0.0) : fixed(fixedRatio) {}

    void add(const Block& block)
    {
        for (uint32_t i = 0; i < block.frames; ++i)
        {
            if (!window.empty())
                position += fixed > 0.0 ? fixed : previousRatio;
            previousRatio = block.status->ratio;
            window.push_back({position, block.left[i], block.right[i]});
            if (window.size() == kWindow)
                closeWindow();
        }
    }

    double worstDb() const { return worst; }
    int windows = 0;

private:
    struct Sample
    {
        double position;
        float left, right;
    };

    void closeWindow()
    {
        double signal = 0.0, residual = 0.0;
        for (int channel = 0; channel < 2; ++channel)
            fit(channel, signal, residual);
        worst = std::min(worst, 10.0 * std::log10(signal / residual));
        ++windows;
        window.clear();
        position = 0.0; // a fresh origin per window keeps the sum exact
    }

    void fit(int channel, double& signal, double& residual)
    {
        const double omega = 2.0 * kPi * kToneHz / kRate;
        double ss = 0, sc = 0, cc = 0, xs = 0, xc = 0;
        for (const Sample& s : window)
        {
            const double x = channel == 0 ? s.left : s.right;
            const double sn = std::sin(omega * s.position), cs = std::cos(omega * s.position);
            ss += sn * sn, sc += sn * cs, cc += cs * cs, xs += x * sn, xc += x * cs;
        }
        const double det = ss * cc - sc * sc;
        const double a = (xs * cc - xc * sc) / det, b = (xc * ss - xs * sc) / det;
        // Each channel at its own level: catches swapped or mixed channels.
        if (fixed == 0.0)
        {
            EXPECT_NEAR(std::hypot(a, b), kAmplitude[channel], 1e-4) << "channel " << channel;
        }
        for (const Sample& s : window)
        {
            const double x = channel == 0 ? s.left : s.right;
            const double model =
                a * std::sin(omega * s.position) + b * std::cos(omega * s.position);
            signal += model * model;
            residual += (x - model) * (x - model);
        }
    }

    double fixed;
    std::vector<Sample> window;
    double position = 0.0;
    double previousRatio = 1.0;
    double worst = 1e9;
};

// Block-wise figures over a span.
struct Figures
{
    std::vector<double> fillError; // fill - target, frames
    double ratioSum = 0.0, ratioSquares = 0.0;
    uint64_t blocks = 0;
    uint64_t padded = 0, skipped = 0, resyncs = 0, allocations = 0;

    void add(const Block& block)
    {
        const ClockBridge::Status& s = *block.status;
        fillError.push_back(s.fillFrames - s.targetFrames);
        ratioSum += s.ratio;
        ratioSquares += s.ratio * s.ratio;
        ++blocks;
        padded += block.result.paddedFrames;
        skipped += block.result.skippedFrames;
        resyncs += block.result.resync != ClockBridge::Resync::None;
        allocations += block.allocations;
    }
    double meanRatio() const { return ratioSum / blocks; }
    double ratioStdPpm() const
    {
        const double mean = meanRatio();
        return std::sqrt(std::max(ratioSquares / blocks - mean * mean, 0.0)) * 1e6;
    }
    double fillPercentile(double p) const
    {
        std::vector<double> sorted = fillError;
        std::sort(sorted.begin(), sorted.end());
        return sorted[static_cast<size_t>(p * static_cast<double>(sorted.size() - 1))];
    }
};

// Runs until the resampler engages (or `limit` seconds pass); -1 if it did not.
double runUntilEngaged(Simulation& sim, double limit, Figures& before,
                       std::vector<ToneFit*> fits = {})
{
    while (sim.time() < limit)
    {
        const Block block = sim.nextBlock();
        if (block.status->priming)
            continue;
        before.add(block);
        for (ToneFit* fit : fits)
            fit->add(block);
        if (block.status->engaged)
            return block.time;
    }
    return -1.0;
}

// ---------------------------------------------------------------------------
// WriterStamp

TEST(ClockBridgeStamp, ReadsNothingBeforeTheFirstPublicationAndTheLatestAfter)
{
    WriterStamp stamp;
    WriterStampValue value;
    value.writePos = 77;
    EXPECT_FALSE(stamp.read(value));
    EXPECT_EQ(value.writePos, 77u); // left alone

    stamp.publish(0xFFFFFFF8u, -5, 1024);
    stamp.publish(8, 123456789012345, 2048); // positions wrap like the ring's
    ASSERT_TRUE(stamp.read(value));
    EXPECT_EQ(value.writePos, 8u);
    EXPECT_EQ(value.timeNanos, 123456789012345);
    EXPECT_EQ(value.quantumFrames, 2048u);
    EXPECT_EQ(value.sequence, 4u);

    stamp.clear();
    EXPECT_FALSE(stamp.read(value));
    // The next writer's first stamp is new to a reader that kept the old
    // sequence, even though positions start over.
    stamp.publish(0, 7, 256);
    ASSERT_TRUE(stamp.read(value));
    EXPECT_GT(value.sequence, 4u);
    EXPECT_EQ(value.quantumFrames, 256u);
}

TEST(ClockBridgeStamp, ConcurrentReaderNeverSeesAMixOfTwoPublications)
{
    // Each publication's three fields derive from one counter: a torn read
    // shows as fields from different counters. The writer goes on until the
    // reader has read often enough while it wrote, or until a bound of
    // publications: on a loaded machine the reader may get far less of the
    // processor than the writer, so only a tenth of the wished-for reads is
    // required. Under a sanitizer, whose own checks find a race in far fewer,
    // far slower reads, fewer.
    constexpr uint64_t kReads = kSanitized ? 100'000 : 2'000'000;
    constexpr uint64_t kEnoughReads = kReads / 10;
    constexpr uint32_t kMostPublications = 50'000'000;
    WriterStamp stamp;
    std::atomic<uint64_t> reads{0};
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (uint32_t k = 1; k <= kMostPublications && reads.load() < kReads; ++k)
        {
            stamp.publish(k * 8, static_cast<int64_t>(k) * 1000003, k ^ 0x5555u);
            // A real writer publishes once a quantum: leave the reader gaps
            // (short ones, so that reads still overlap publications).
            for (volatile int spin = 0; spin < 20; spin = spin + 1)
            {}
        }
        done.store(true);
    });
    uint64_t torn = 0;
    uint32_t lastSequence = 0;
    bool backwards = false;
    while (!done.load())
    {
        WriterStampValue v;
        if (!stamp.read(v))
            continue;
        reads.fetch_add(1);
        const uint32_t k = v.writePos / 8;
        torn += v.timeNanos != static_cast<int64_t>(k) * 1000003 ||
                v.quantumFrames != (k ^ 0x5555u) || v.sequence != 2 * k;
        backwards |= v.sequence < lastSequence;
        lastSequence = v.sequence;
    }
    writer.join();
    EXPECT_GE(reads.load(), kEnoughReads);
    EXPECT_EQ(torn, 0u);
    EXPECT_FALSE(backwards);
}

// ---------------------------------------------------------------------------
// FrameRing's zero-copy read

TEST(ClockBridgeRing, PeekShowsWrappedFramesInTwoRunsAndConsumeReleasesThem)
{
    FrameRing ring;
    ring.resize(8); // 64 bytes: 8 frames
    std::vector<float> frames(12);
    for (size_t i = 0; i < frames.size(); ++i)
        frames[i] = static_cast<float>(i + 1);
    ring.write(frames.data(), 6);
    ring.consume(5);
    ring.write(frames.data(), 6); // storage frames 6, 7, then 0..3: wraps

    const FrameRing::ReadView view = ring.peek(100);
    ASSERT_EQ(view.frames(), 7u);
    EXPECT_EQ(view.firstFrames, 3u);
    EXPECT_EQ(view.first[0], 11.0f); // the first packet's last frame
    EXPECT_EQ(view.first[2], 1.0f);  // then the second packet
    EXPECT_EQ(view.second[0], 5.0f); // wrapped to the storage's start
    EXPECT_EQ(view.secondFrames, 4u);
    EXPECT_EQ(ring.peek(2).frames(), 2u); // no more than asked for
    EXPECT_EQ(ring.peek(2).secondFrames, 0u);

    ring.consume(100); // no further than the writer has published
    EXPECT_EQ(ring.readPosition(), ring.writePosition());
    EXPECT_EQ(ring.peek(100).frames(), 0u);
    EXPECT_EQ(ring.write(frames.data(), 6).status, FrameRing::WriteResult::Written);
}

// ---------------------------------------------------------------------------
// Timeline

// Events every 512 frames at 48 kHz from a clock `ppm` fast, late by up to
// 2 ms; returns the track's pace error in ppm after `seconds`.
double trackPace(Timeline& t, double ppm, double seconds, uint32_t burst = 1)
{
    std::mt19937_64 random(7);
    std::uniform_real_distribution<> late(0.0, 0.002);
    const double period = 512.0 / (kRate * (1.0 + ppm * 1e-6));
    t.reset(ClockBridge::kTimelineSeconds);
    for (uint64_t n = 0; n * period < seconds; ++n)
    {
        const double at = 1000.0 + static_cast<double>(n / burst * burst) * period + late(random);
        t.update(static_cast<int64_t>(at * 1e9), n ? 512.0 : 0.0, kRate);
    }
    return (t.nanosPerFrame() * kRate * (1.0 + ppm * 1e-6) / 1e9 - 1.0) * 1e6;
}

TEST(ClockBridgeTimeline, LearnsAPaceOffNominalThroughJitterAndBursts)
{
    Timeline t;
    EXPECT_NEAR(trackPace(t, 1000.0, 20.0), 0.0, 2.0);
    EXPECT_NEAR(trackPace(t, -300.0, 20.0), 0.0, 2.0);
    // Four blocks at a time: every event is milliseconds off the average
    // pace, which must not freeze the track at the nominal one.
    EXPECT_NEAR(trackPace(t, -100.0, 60.0, 4), 0.0, 2.0);
}

TEST(ClockBridgeTimeline, TakesAConfirmedJumpAtOnceAndAnOutlierHardlyAtAll)
{
    Timeline t;
    t.reset(ClockBridge::kTimelineSeconds);
    const double step = 1e9 / kRate * 512;
    int64_t at = 1'000'000'000'000;
    for (int i = 0; i < 2000; ++i, at += static_cast<int64_t>(step))
        t.update(at, i ? 512.0 : 0.0, kRate);
    const double settled = t.nanos();

    t.update(at + 20'000'000, 512.0, kRate); // one event 20 ms late
    EXPECT_LT(std::abs(t.nanos() - (settled + step)), 0.1e6);
    at += static_cast<int64_t>(step);
    t.update(at, 512.0, kRate); // back on time
    EXPECT_LT(std::abs(t.nanos() - static_cast<double>(at)), 0.1e6);

    // Two in a row 20 ms late: the timeline moved.
    t.update((at += static_cast<int64_t>(step)) + 20'000'000, 512.0, kRate);
    t.update((at += static_cast<int64_t>(step)) + 20'000'000, 512.0, kRate);
    EXPECT_NEAR(t.nanos(), static_cast<double>(at + 20'000'000), 1.0);
    EXPECT_NEAR(t.nanosPerFrame(), 1e9 / kRate, 0.05); // the pace did not (2 ppm)

    t.rebase(at + 50'000'000);
    EXPECT_EQ(t.nanos(), static_cast<double>(at + 50'000'000));
}

// ---------------------------------------------------------------------------
// DriftDetector

// Feeds `seconds` of per-block errors (93.75 blocks a second) with noise.
bool feed(DriftDetector& d, double seconds, double (*error)(double), uint64_t seed)
{
    std::mt19937_64 random(seed);
    std::normal_distribution<> noise(0.0, 28.0); // a raw stamped fill's noise
    bool drifting = false;
    for (double t = 0.0; t < seconds; t += 512.0 / kRate)
        drifting |= d.add(t, error(t) + noise(random));
    return drifting;
}

double gStepAt = 0.0;

TEST(ClockBridgeDrift, FindsASteadySlopeButNeitherAStepNorAStationaryFill)
{
    DriftDetector d;
    d.reset(128.0, 240.0);
    // 1000 ppm: 48 frames a second, past 128 frames within 3 s.
    EXPECT_TRUE(feed(
        d, 6.0, [](double t) { return -48.0 * t; }, 1));
    EXPECT_NEAR(d.slope(), -48.0, 5.0);

    // 20 ppm: clear long before the offset matters, which it must first.
    d.reset(128.0, 240.0);
    EXPECT_FALSE(feed(
        d, 100.0, [](double t) { return 0.96 * t; }, 2));
    d.reset(128.0, 240.0);
    EXPECT_TRUE(feed(
        d, 200.0, [](double t) { return 0.96 * t; }, 2));
    EXPECT_NEAR(d.slope(), 0.96, 0.1);

    // A step far past the offset, anywhere in the window, is no drift.
    for (double at : {3.0, 30.0, 100.0})
    {
        d.reset(128.0, 240.0);
        gStepAt = at;
        EXPECT_FALSE(feed(
            d, 300.0, [](double t) { return t < gStepAt ? 0.0 : 600.0; }, 3))
            << "step at " << at;
    }
    d.reset(128.0, 240.0);
    EXPECT_FALSE(feed(
        d, 600.0, [](double) { return 40.0; }, 4));
    // Two steps in quick succession line up, but steeper than clocks drift.
    d.reset(128.0, 240.0);
    EXPECT_FALSE(feed(
        d, 5.0, [](double t) { return t < 1.2   ? 0.0
                                      : t < 2.7 ? 3600.0
                                                : 7200.0; }, 6));
    // Where the line starts does not matter: towards the target or away
    // from it, a drift is a drift.
    d.reset(128.0, 240.0);
    EXPECT_TRUE(feed(
        d, 60.0, [](double t) { return 400.0 - 5.0 * t; }, 5));
    EXPECT_NEAR(d.slope(), -5.0, 1.0);
}

// ---------------------------------------------------------------------------
// The bridge on a shared clock: an exact copy, forever

TEST(ClockBridge, SharedClockIsAnExactCopyAtOneShiftAndNeverEngages)
{
    // A plain host, and one that calls two blocks back to back.
    for (uint32_t burst : {1u, 2u})
    {
        Scenario s;
        s.source = Source::Noise;
        s.quantumSwitchSeconds = 20.0;
        s.readerBurst = burst;
        s.block = 512 / burst;
        Simulation sim(s);
        ExactCopyCheck copy;
        Figures figures;
        bool engaged = false, started = false;
        sim.runUntil(600.0 * kTimeScale, [&](const Block& b) {
            copy.add(b);
            engaged |= b.status->engaged;
            if (started)
                figures.add(b);
            started |= !b.status->priming;
        });
        EXPECT_EQ(copy.locks, 1) << "burst " << burst;
        EXPECT_EQ(copy.mismatches, 0u) << "burst " << burst;
        EXPECT_GT(copy.matched, static_cast<uint64_t>(590.0 * kTimeScale * kRate));
        EXPECT_FALSE(engaged);
        EXPECT_EQ(figures.padded + figures.skipped + figures.resyncs, 0u);
        EXPECT_EQ(figures.allocations, 0u);
        // The quantum switches between 1024 and 2048; the fill follows the
        // target, which follows the quantum.
        EXPECT_GT(figures.fillPercentile(0.0), -1024.0);
        EXPECT_LT(figures.fillPercentile(1.0), 1024.0);
        EXPECT_EQ(sim.bridge.status().ratio, 1.0);
    }
}

TEST(ClockBridge, PrimingWaitsForTheTargetThenStartsThere)
{
    Scenario s;
    s.source = Source::Noise;
    Simulation sim(s);
    uint32_t silentBlocks = 0;
    Block b = sim.nextBlock();
    for (; b.status->priming; b = sim.nextBlock())
    {
        EXPECT_EQ(b.result.paddedFrames, b.frames);
        EXPECT_EQ(b.result.ringFrames, 0u);
        ++silentBlocks;
    }
    // Target 1024 + 512 + 512 frames; the writer delivers a quantum at the
    // start of its cycle, so the rest (21 ms) takes two blocks of silence.
    // Then everything plays, from the first frame: the fill reached the
    // target with the packet that came, and lies less than a quantum and a
    // block above it.
    EXPECT_EQ(b.status->targetFrames, 2048.0);
    EXPECT_GE(silentBlocks, 2u);
    EXPECT_LE(silentBlocks, 3u);
    EXPECT_EQ(b.result.paddedFrames, 0u);
    EXPECT_EQ(b.result.skippedFrames, 0u);
    EXPECT_EQ(b.result.ringFrames, b.frames);
    EXPECT_GE(b.status->fillFrames, b.status->targetFrames);
    EXPECT_LT(b.status->fillFrames, b.status->targetFrames + 1024 + 512);
    EXPECT_EQ(b.status->skippedFrames, 0u);

    // Nobody reads for half a second (a host that stops calling while its
    // transport stands): at the transport start, what piled up is stale
    // and goes, down to the target, once.
    sim.runUntil(2.0, [](const Block&) {});
    sim.skipReader(0.5);
    sim.bridge.reprime();
    b = sim.nextBlock();
    EXPECT_FALSE(b.status->priming);
    EXPECT_GT(b.result.skippedFrames, 20000u);
    EXPECT_EQ(b.result.paddedFrames, 0u);
    EXPECT_NEAR(b.status->fillFrames, b.status->targetFrames, 64.0);
}

TEST(ClockBridge, AStepInTheFillIsNoDriftAndTheCopyStaysExact)
{
    // A packet half a quantum too long, or a quarter too short: the fill
    // jumps by more than the engaging offset, and stays.
    for (int32_t burst : {512, -256})
    {
        Scenario s;
        s.source = Source::Noise;
        s.burstAt = 10.0;
        s.burstFrames = burst;
        Simulation sim(s);
        ExactCopyCheck copy;
        Figures before, after;
        bool engaged = false;
        sim.runUntil(300.0 * kTimeScale, [&](const Block& b) {
            copy.add(b);
            engaged |= b.status->engaged;
            if (b.time > 9.0 && b.time < 10.0)
                before.add(b);
            if (b.time > 300.0 * kTimeScale - 5.0)
                after.add(b);
        });
        EXPECT_FALSE(engaged) << "burst " << burst;
        EXPECT_EQ(copy.locks, 1) << "burst " << burst;
        EXPECT_EQ(copy.mismatches, 0u) << "burst " << burst;
        // The step is seen as what it is, and left alone.
        EXPECT_NEAR(after.fillPercentile(0.5) - before.fillPercentile(0.5), burst, 16.0);
    }
}

// A burst of fresh frames plays, at that much more latency; only a pile far
// beyond it (frames that waited while the host did not call) is dropped,
// once, down to the target.
TEST(ClockBridge, PlaysABurstButSkipsAPileDownToTheTargetOnce)
{
    for (int32_t burst : {3000, 16000})
    {
        Scenario s;
        s.source = Source::Noise;
        s.burstAt = 10.0;
        s.burstFrames = burst;
        Simulation sim(s);
        Figures before, after;
        sim.runUntil(60.0, [&](const Block& b) {
            if (b.time > 9.0 && b.time < 10.0)
                before.add(b);
            if (b.time > 10.5)
                after.add(b);
        });
        const ClockBridge::Status& status = sim.bridge.status();
        const bool pile = burst > 12000 + 1024 + 512;
        EXPECT_EQ(status.fillHighResyncs, pile ? 1u : 0u) << burst;
        EXPECT_NEAR(static_cast<double>(status.skippedFrames), pile ? burst : 0.0, 100.0) << burst;
        EXPECT_EQ(status.underflows + status.fillLowResyncs, 0u) << burst;
        EXPECT_FALSE(status.engaged) << burst;
        EXPECT_EQ(after.resyncs + after.padded + after.skipped, 0u) << burst;
        const double moved = after.fillPercentile(0.5) - before.fillPercentile(0.5);
        EXPECT_NEAR(moved, pile ? 0.0 : burst, 40.0) << burst;
        EXPECT_LT(after.fillPercentile(1.0) - after.fillPercentile(0.0), 80.0) << burst;
    }
}

// A writer that stalls for 200 ms (as when nothing plays into direct links):
// the ring runs dry, the bridge sees a paused source rather than an
// underflow, re-primes and plays on at the target, in bypass and engaged
// alike.
TEST(ClockBridge, RecoversFromAWriterStallAtTheTarget)
{
    for (double ppm : {0.0, -1000.0})
    {
        Scenario s;
        s.ppm = ppm;
        s.source = Source::Noise;
        s.stallAt = 30.0;
        s.stallSeconds = 0.2;
        Simulation sim(s);
        ExactCopyCheck copy;
        Figures after, late;
        uint64_t allocations = 0;
        sim.runUntil(60.0, [&](const Block& b) {
            if (ppm == 0.0)
                copy.add(b);
            allocations += b.allocations;
            if (b.time > 31.0)
                after.add(b);
            if (b.time > 40.0)
                late.add(b);
        });
        const ClockBridge::Status& status = sim.bridge.status();
        EXPECT_EQ(status.engaged, ppm != 0.0);
        EXPECT_EQ(status.idlePauses, 1u) << ppm;
        EXPECT_EQ(status.underflows + status.fillLowResyncs + status.fillHighResyncs, 0u) << ppm;
        // Playing again within a second of the stall, from the first frame
        // that came, and clean since. In bypass the fill stays where that
        // packet left it, less than a quantum and a block above the target;
        // engaged, it glides back to the target within seconds.
        EXPECT_EQ(after.padded + after.skipped + after.resyncs, 0u) << ppm;
        EXPECT_GT(after.fillPercentile(0.0), -96.0) << ppm;
        EXPECT_LT(after.fillPercentile(1.0), 1024.0 + 512.0) << ppm;
        if (ppm != 0.0)
        {
            EXPECT_LT(std::abs(late.fillPercentile(0.0)), 96.0) << ppm;
            EXPECT_LT(std::abs(late.fillPercentile(1.0)), 96.0) << ppm;
            // A transport start re-primes but keeps the clocks' estimate:
            // still engaged, back at the target, without a fault.
            sim.bridge.reprime();
            Figures reprimed;
            sim.runUntil(70.0, [&](const Block& b) {
                if (b.time > 65.0)
                    reprimed.add(b);
            });
            EXPECT_TRUE(status.engaged);
            EXPECT_EQ(reprimed.padded + reprimed.skipped + reprimed.resyncs, 0u);
            EXPECT_LT(std::abs(reprimed.fillPercentile(1.0)), 96.0);
        }
        EXPECT_EQ(allocations, 0u);
        if (ppm == 0.0)
        {
            // An exact copy before and after, at two shifts.
            EXPECT_EQ(copy.locks, 2);
            EXPECT_EQ(copy.mismatches, 0u);
        }
    }
}

// A machine whose PipeWire side stalls for several milliseconds every few
// minutes (as a virtual machine's does, idle): a stall once the margin has
// come down finds it too short, but the margin then keeps room for it until
// well past the next one, minutes later, which costs nothing.
TEST(ClockBridge, AStallMinutesAfterTheLastFindsTheMarginStillHoldingIt)
{
    Scenario s;
    s.ppm = -100.0;
    const double first = FillTarget::kHoldSeconds + FillTarget::kLearningSeconds + 10.0;
    const double second = first + 420.0;
    s.lateAt = {first, second};
    s.block = 256;
    s.lateSeconds = 0.010;
    Simulation sim(s);
    double marginAtSecond = 0.0;
    uint64_t faultsAtFirst = 0, faultsAfterFirst = 0, allocations = 0;
    sim.runUntil(second + 30.0, [&](const Block& b) {
        allocations += b.allocations;
        if (b.time < second)
            marginAtSecond = b.status->marginFrames;
        const uint64_t faults = b.result.paddedFrames + b.result.skippedFrames;
        if (b.time > first && b.time <= first + 1.0)
            faultsAtFirst += faults;
        if (b.time > first + 1.0)
            faultsAfterFirst += faults;
    });
    // The first stall came after the margin had come down below it...
    EXPECT_GT(faultsAtFirst, 0u);
    // ...and the margin still holds it when the second comes (up to the start
    // margin, beyond which a writer counts as paused): no fault then.
    EXPECT_GE(marginAtSecond, std::min(s.lateSeconds * kRate, FillTarget::kStartMarginFrames));
    EXPECT_EQ(faultsAfterFirst, 0u);
    EXPECT_EQ(allocations, 0u);
}

// ---------------------------------------------------------------------------
// Drifting clocks

constexpr double kSettleSeconds = 30.0;
constexpr double kMeasureSeconds = 120.0;
// By then a stream has come down from its start margin to the learnt one.
constexpr double kLearntBy = FillTarget::kHoldSeconds + FillTarget::kLearningSeconds + 5.0;

class ClockBridgeDrifting : public ::testing::TestWithParam<double>
{};

TEST_P(ClockBridgeDrifting, EngagesSettlesAndPlaysCleanly)
{
    Scenario s;
    s.ppm = GetParam();
    s.seed = static_cast<uint64_t>(std::abs(s.ppm)) + (s.ppm < 0);
    Simulation sim(s);
    ToneFit tracking, fixed(s.idealRatio());
    Figures before;
    const double engagedAt = runUntilEngaged(sim, 400.0, before, {&tracking});
    ASSERT_GT(engagedAt, 0.0) << "never engaged";
    const ClockBridge::Status& status = sim.bridge.status();
    const double fillWhenEngaging = status.fillFrames - status.targetFrames;
    double fillAfterEngaging = 0.0;
    bool firstBlock = true;

    Figures settled;
    uint64_t allocations = before.allocations;
    const double settledFrom = std::max(engagedAt + kSettleSeconds, kLearntBy);
    sim.runUntil(settledFrom + kMeasureSeconds, [&](const Block& b) {
        if (firstBlock)
            fillAfterEngaging = b.status->fillFrames - b.status->targetFrames;
        firstBlock = false;
        tracking.add(b);
        allocations += b.allocations;
        if (b.time < settledFrom)
            return;
        settled.add(b);
        fixed.add(b);
    });

    const double ratioError = (settled.meanRatio() - s.idealRatio()) * 1e6;
    std::printf("[ figures  ] clock %+5.0f ppm: engaged after %5.1f s at %+7.1f ppm | settled "
                "%.0f s: ratio %+.2f ppm off, std %.2f ppm | fill - target min %+.1f median "
                "%+.1f max %+.1f | SINAD worst %.1f dB over %d s (fixed frequency %.1f dB)\n",
                s.ppm, status.engageSeconds, status.engagePpm, kMeasureSeconds, ratioError,
                settled.ratioStdPpm(), settled.fillPercentile(0.0), settled.fillPercentile(0.5),
                settled.fillPercentile(1.0), tracking.worstDb(), tracking.windows, fixed.worstDb());

    // Bypass played every frame from priming until it engaged, early
    // enough: the drift never moved the fill by the jitter margin.
    EXPECT_EQ(before.resyncs, 0u);
    EXPECT_LT(before.fillPercentile(1.0) - before.fillPercentile(0.0), 512.0);
    EXPECT_NEAR(status.engagePpm, -s.ppm, 0.15 * std::abs(s.ppm));
    // The frames the resampler took in ahead of its output still count:
    // engaging does not move the fill (one block later it is where it was).
    EXPECT_NEAR(fillAfterEngaging, fillWhenEngaging, 4.0);
    // After settling: nothing padded, dropped or resynchronised, the fill
    // at its target, the ratio at the clocks' on average.
    EXPECT_EQ(settled.padded + settled.skipped + settled.resyncs, 0u);
    EXPECT_EQ(status.underflows + status.fillLowResyncs + status.fillHighResyncs, 0u);
    EXPECT_GT(settled.fillPercentile(0.0), -1024.0);
    EXPECT_LT(settled.fillPercentile(1.0), 1024.0);
    EXPECT_NEAR(ratioError, 0.0, 2.0);
    // From the first frame on, across engaging, as clean as the resampler.
    EXPECT_GE(tracking.worstDb(), 110.0);
    EXPECT_EQ(allocations, 0u);
}

INSTANTIATE_TEST_SUITE_P(ClockBridge, ClockBridgeDrifting,
                         ::testing::Values(-1000.0, -100.0, -20.0, 20.0, 100.0, 1000.0),
                         [](const ::testing::TestParamInfo<double>& info) {
                             const int ppm = static_cast<int>(info.param);
                             return (ppm < 0 ? "Minus" : "Plus") + std::to_string(std::abs(ppm));
                         });

// Blocks shorter than the filter's history: the frames played last come
// from several blocks, and engaging is still seamless.
TEST(ClockBridge, EngagesSeamlesslyOnBlocksShorterThanTheFilterHistory)
{
    Scenario s;
    s.ppm = 1000.0;
    s.block = 16;
    Simulation sim(s);
    ToneFit tracking;
    Figures before;
    const double engagedAt = runUntilEngaged(sim, 20.0, before, {&tracking});
    ASSERT_GT(engagedAt, 0.0);
    sim.runUntil(engagedAt + 3.0, [&](const Block& b) { tracking.add(b); });
    EXPECT_GE(tracking.windows, 4);
    EXPECT_GE(tracking.worstDb(), 110.0);
    EXPECT_EQ(sim.bridge.status().underflows, 0u);
}

// What the resampler is primed with is what was played last, frame for
// frame, whether it lies in the ring behind the read position (copies) or was
// remembered (silence, padding), across underflows, skips and reprimes, and
// whether or not the ring keeps frames behind its reader. Looked at after
// every `every` blocks of `block` frames, so that the ring's part spans
// several blocks or a part of one.
struct PrimingRun
{
    ClockBridge::Status status;
    uint64_t checks = 0, skips = 0;
};

PrimingRun primeAlong(int32_t burst, uint32_t kept, uint32_t block, uint32_t every)
{
    Scenario s;
    s.block = block;
    s.source = Source::Noise;
    s.stallAt = 0.6;
    s.stallSeconds = 0.05;
    s.burstAt = 1.0;
    s.burstFrames = burst;
    Simulation sim(s);
    sim.ring.keepBehindReader(kept);
    std::vector<float> playedLeft(ClockBridge::kHistoryFrames, 0.0f);
    std::vector<float> playedRight = playedLeft, left, right;
    PrimingRun run;
    uint64_t blocks = 0;
    bool reprimed = false;
    sim.runUntil(1.6, [&](const Block& b) {
        if (!reprimed && b.time > 1.3)
        {
            sim.bridge.reprime();
            reprimed = true;
        }
        run.skips += b.result.skippedFrames > 0;
        for (uint32_t i = 0; i < b.frames; ++i)
        {
            playedLeft.erase(playedLeft.begin());
            playedLeft.push_back(b.left[i]);
            playedRight.erase(playedRight.begin());
            playedRight.push_back(b.right[i]);
        }
        if (++blocks % every != 0 || ::testing::Test::HasFailure())
            return;
        Strovik::ClockBridgeTestAccess::history(sim.bridge, left, right);
        EXPECT_EQ(left, playedLeft) << "block " << blocks;
        EXPECT_EQ(right, playedRight) << "block " << blocks;
        ++run.checks;
    });
    run.status = sim.bridge.status();
    return run;
}

TEST(ClockBridge, PrimesFromExactlyTheFramesPlayedLast)
{
    // A burst far above the target (skipped down to it), or a packet of 4
    // frames where 1024 were due (the ring runs dry within a short block);
    // a writer stall (idle) and a transport start (reprimed, skipping) in both.
    for (int32_t burst : {20000, -1020})
        for (uint32_t kept : {ClockBridge::kHistoryFrames, 0u})
            for (uint32_t block : {8u, 16u, 40u})
                for (uint32_t every : {1u, 3u, 7u})
                {
                    SCOPED_TRACE(::testing::Message() << "burst " << burst << " kept " << kept
                                                      << " block " << block << " every " << every);
                    const PrimingRun run = primeAlong(burst, kept, block, every);
                    EXPECT_GT(run.checks, 100u);
                    EXPECT_GE(run.status.idlePauses, 1u);
                    EXPECT_GE(run.skips, 1u);
                    if (burst > 0)
                    {
                        EXPECT_EQ(run.status.fillHighResyncs, 1u);
                    }
                    else if (block < 40)
                    {
                        EXPECT_EQ(run.status.underflows, 1u);
                    }
                }
}

// The first player joining raises the graph's quantum, and the fill steps
// up by a quantum soon after (the server hands over an extra one): on
// clocks 1000 ppm apart the bridge still engages within seconds of it,
// where the step would otherwise hide the drift for tens of seconds.
TEST(ClockBridge, AStepSoonAfterANewQuantumDoesNotHideADrift)
{
    Scenario s;
    s.ppm = 1000.0;
    s.quantumRiseAt = 0.5;
    s.burstAt = 0.55;
    s.burstFrames = 1024;
    Simulation sim(s);
    Figures before;
    const double engagedAt = runUntilEngaged(sim, 60.0, before);
    ASSERT_GT(engagedAt, 0.0) << "never engaged";
    EXPECT_LT(engagedAt, s.burstAt + 6.0);
    EXPECT_EQ(before.resyncs, 0u);
    // Engaged early, it then settles as it does without the step.
    Figures settled;
    const double settledFrom = std::max(engagedAt + kSettleSeconds, kLearntBy);
    sim.runUntil(settledFrom + kMeasureSeconds, [&](const Block& b) {
        if (b.time > settledFrom)
            settled.add(b);
    });
    EXPECT_EQ(settled.padded + settled.skipped + settled.resyncs, 0u);
    EXPECT_NEAR((settled.meanRatio() - s.idealRatio()) * 1e6, 0.0, 2.0);
}

// Engaged, then the graph's quantum changes back and forth, PipeWire moves
// the stream onto a clock 500 ppm off, and the host calls in bursts: the
// fill stays at its target, without a gap.
TEST(ClockBridge, HoldsTheTargetThroughQuantumChangesAClockSwitchAndBursts)
{
    Scenario s;
    s.ppm = 100.0;
    s.quantumSwitchSeconds = 15.0;
    s.writerPpmAt = 90.0;
    s.writerPpm = 500.0;
    s.block = 256;
    s.readerBurst = 4;
    Simulation sim(s);
    Figures before;
    const double engagedAt = runUntilEngaged(sim, 200.0, before);
    ASSERT_GT(engagedAt, 0.0);
    Figures after;
    sim.runUntil(180.0, [&](const Block& b) { after.add(b); });
    const ClockBridge::Status& status = sim.bridge.status();
    EXPECT_EQ(status.blockFrames, 1024u); // the burst, not the block
    EXPECT_EQ(before.resyncs + after.resyncs, 0u);
    EXPECT_EQ(after.padded + after.skipped, 0u);
    EXPECT_GT(after.fillPercentile(0.0), -256.0);
    EXPECT_LT(after.fillPercentile(1.0), 256.0);
    // Back on the new clock ratio (input per output: writer over reader).
    EXPECT_NEAR((status.ratio - 1.0005 / 1.0001) * 1e6, 0.0, 30.0);
    EXPECT_EQ(after.allocations, 0u);
}

// Linked anew (another default output, the monitor traded for direct
// links), the stream keeps another driver's cycle: its packets move by a
// few milliseconds, and the first ones come irregularly. On the same clock
// that is no drift, however young the writer's line was; on another clock
// the drift is still found, within seconds.
TEST(ClockBridge, ALinkToAnotherDriverIsNoDriftOnTheSameClock)
{
    for (double at : {1.5, 3.0})
        for (double shift : {-0.005, -0.0029, -0.002, 0.002, 0.0029})
            for (uint64_t seed : {1u, 2u, 3u})
            {
                Scenario s;
                s.source = Source::Noise;
                s.quantum = 2048;
                s.shiftAt = at;
                s.shiftSeconds = shift;
                s.shiftIrregularCycles = 16;
                s.shiftJitterSeconds = 0.004;
                s.seed = seed;
                Simulation sim(s);
                ExactCopyCheck copy;
                bool engaged = false;
                sim.runUntil(at + 30.0, [&](const Block& b) {
                    copy.add(b);
                    engaged |= b.status->engaged;
                });
                const std::string where = "at " + std::to_string(at) + " s, shift " +
                                          std::to_string(shift) + " s, seed " +
                                          std::to_string(seed);
                EXPECT_FALSE(engaged) << where;
                EXPECT_EQ(copy.mismatches, 0u) << where;
            }

    Scenario s;
    s.quantum = 2048;
    s.shiftAt = s.writerPpmAt = 1.5;
    s.shiftSeconds = -0.005;
    s.shiftIrregularCycles = 16;
    s.shiftJitterSeconds = 0.004;
    s.writerPpm = 1000.0;
    Simulation sim(s);
    Figures before;
    const double engagedAt = runUntilEngaged(sim, 30.0, before);
    ASSERT_GT(engagedAt, 0.0);
    EXPECT_LT(engagedAt, 1.5 + 10.0);
    Figures gliding, after;
    sim.runUntil(150.0, [&](const Block& b) { gliding.add(b); });
    sim.runUntil(180.0, [&](const Block& b) { after.add(b); });
    EXPECT_EQ(before.padded + before.skipped + before.resyncs, 0u);
    EXPECT_EQ(gliding.padded + gliding.skipped + gliding.resyncs, 0u);
    EXPECT_EQ(after.padded + after.skipped + after.resyncs, 0u);
    // Following the new clock (a little faster still, as the learnt margin
    // comes down), at the target.
    EXPECT_NEAR((after.meanRatio() - 1.001) * 1e6, 0.0, 100.0);
    EXPECT_GT(after.fillPercentile(0.0), -64.0);
    EXPECT_LT(after.fillPercentile(1.0), 64.0);
}

// ---------------------------------------------------------------------------
// Delay given back

double learntTarget(const ClockBridge::Status& s)
{
    return s.quantumFrames + s.blockFrames + s.marginFrames;
}

// On a shared clock the copy stays exact, so the delay above the learnt
// target (the start's margin, then a burst of 3000 frames from the writer)
// can only go where nothing sounds: out of the next gap of silence. Every
// sounding frame still comes out, in order.
TEST(ClockBridge, BypassGivesDelayBackOnlyFromSilence)
{
    Scenario s;
    s.source = Source::Noise;
    s.gapEverySeconds = 5.0;
    s.gapSeconds = 1.0;
    // Half a minute before the margin has come all the way down.
    const double t0 = FillTarget::kHoldSeconds + FillTarget::kLearningSeconds - 30.0;
    s.burstAt = t0 + 36.5; // just after a gap: the delay waits for the next one
    s.burstFrames = 3000;
    Simulation sim(s);
    GappedCopyCheck copy(s);
    Figures beforeBurst, waiting, after;
    uint64_t givenBackBefore = 0;
    bool started = false, engaged = false;
    sim.runUntil(t0 + 100.0, [&](const Block& b) {
        copy.add(b);
        engaged |= b.status->engaged;
        const double over = b.status->fillFrames - learntTarget(*b.status);
        if (started && b.time > t0 + 34.0 && b.time < t0 + 35.0)
            beforeBurst.fillError.push_back(over), givenBackBefore = b.status->givenBackFrames;
        if (b.time > t0 + 37.0 && b.time < t0 + 40.0)
            waiting.fillError.push_back(over);
        if (b.time > t0 + 45.0)
            after.add(b), after.fillError.back() = over;
        started |= !b.status->priming;
    });
    const ClockBridge::Status& status = sim.bridge.status();
    EXPECT_FALSE(engaged);
    EXPECT_EQ(copy.mismatches, 0u);
    EXPECT_GT(copy.matched, static_cast<uint64_t>(0.79 * (t0 + 99.0) * kRate));
    // Back at the learnt target in the gaps after the start...
    EXPECT_GT(givenBackBefore, 0u);
    EXPECT_LT(std::abs(beforeBurst.fillPercentile(0.5)), 96.0);
    EXPECT_LT(status.marginFrames, 0.5 * 512.0);
    // ...the burst's frames play, at more delay, until the next gap...
    EXPECT_NEAR(waiting.fillPercentile(0.5), 3000.0, 96.0);
    // ...which takes it back out, without a fault.
    EXPECT_LT(std::abs(after.fillPercentile(0.0)), 96.0);
    EXPECT_LT(std::abs(after.fillPercentile(1.0)), 96.0);
    EXPECT_EQ(after.padded + after.skipped + after.resyncs + after.allocations, 0u);
    EXPECT_NEAR(static_cast<double>(status.givenBackFrames - givenBackBefore), 3000.0, 96.0);
}

// Engaged, a host that stalls for 200 ms and catches up reads nothing
// ahead of time: the target stays. A burst of 3000 frames from the writer
// (a player's backlog) plays at that much more delay, which is glided back
// within a minute. Every change of the ratio on the way, engaging
// included, is a ramp.
TEST(ClockBridge, EngagedGivesABurstsDelayBackWithinAMinuteAtARampedRatio)
{
    Scenario s;
    s.ppm = -1000.0;
    // Half a minute before the margin has come all the way down.
    const double t0 = FillTarget::kHoldSeconds + FillTarget::kLearningSeconds - 30.0;
    s.hostStallAt = t0 + 60.0;
    s.hostStallSeconds = 0.2;
    s.burstAt = t0 + 70.0;
    s.burstFrames = 3000;
    Simulation sim(s);
    ToneFit tracking;
    Figures before, settled;
    const double engagedAt = runUntilEngaged(sim, 30.0, before, {&tracking});
    ASSERT_GT(engagedAt, 0.0);
    // From 1 in bypass to the first engaged block's ratio, then block by block.
    double lastRatio = sim.bridge.status().ratio, learntBefore = 0.0, highestTarget = 0.0;
    double steepest = std::abs(lastRatio - 1.0) * kRate / s.block, mostOver = 0.0;
    uint64_t allocations = 0;
    sim.runUntil(t0 + 130.0, [&](const Block& b) {
        tracking.add(b);
        allocations += b.allocations;
        steepest = std::max(steepest, std::abs(b.status->ratio - lastRatio) * kRate / b.frames);
        lastRatio = b.status->ratio;
        if (b.time < s.hostStallAt)
            learntBefore = learntTarget(*b.status);
        if (b.time > s.hostStallAt && b.time < s.burstAt)
            highestTarget = std::max(highestTarget, b.status->targetFrames);
        if (b.time > s.burstAt)
            mostOver = std::max(mostOver, b.status->fillFrames - learntBefore);
        if (b.time > t0 + 125.0)
            settled.add(b), settled.fillError.back() = b.status->fillFrames - learntBefore;
    });
    const ClockBridge::Status& status = sim.bridge.status();
    EXPECT_LT(highestTarget, learntBefore + 256.0);
    EXPECT_GT(mostOver, 2500.0);
    EXPECT_EQ(status.underflows + status.fillLowResyncs + status.fillHighResyncs, 0u);
    EXPECT_EQ(settled.padded + settled.skipped + settled.resyncs, 0u);
    EXPECT_NEAR(learntTarget(status), learntBefore, 16.0);
    EXPECT_LT(std::abs(settled.fillPercentile(0.0)), 96.0);
    EXPECT_LT(std::abs(settled.fillPercentile(1.0)), 96.0);
    EXPECT_LE(steepest, ClockBridge::kMostRatioChangePerSecond * 1.0001);
    EXPECT_GE(tracking.worstDb(), 110.0);
    EXPECT_EQ(allocations, 0u);
}

} // namespace
