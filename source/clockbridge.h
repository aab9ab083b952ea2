#pragma once

#include "driftdetector.h"
#include "filltarget.h"
#include "glide.h"
#include "timeline.h"
#include "writerstamp.h"

#include <spa/utils/dll.h>
#include <zita-resampler/vresampler.h>

#include <array>
#include <cstdint>
#include <vector>

namespace Strovik {

class FrameRing;

// The reader's end of the bridge between PipeWire's clock and the host's:
// fills each host block from the frame ring, either as an exact copy
// (bypass, ratio 1) or, once the fill shows that the two clocks differ,
// through an adaptive resampler whose ratio a delay-locked loop steers so
// that the fill stays at its target.
//
// The fill is the writer's stamped position, interpolated to the start of
// the reader's cycle along both sides' smoothed timelines, less the reader's
// position; the target (see FillTarget) is one quantum + the host's burst
// (usually one block) + a margin learnt from both sides' lateness, and the
// delay above it is given back (see Glide, and giveBack() in bypass). Every
// stream starts by priming (silence until the fill reaches the target),
// then runs in bypass; the resampler engages at most once per restart(),
// and faults resynchronise the fill to the target.
//
// prepare() runs on the main thread; restart(), reprime(), process() and
// status() on the audio thread, where they neither allocate, lock nor call
// the system (the clock is read by the caller).
class ClockBridge
{
public:
    // zita's half filter length, in input frames: ~138 dB SINAD at a fixed
    // ratio for a 997 Hz tone, and a lookahead (added latency) of 32 frames.
    static constexpr unsigned kHalfFilterFrames = 32;
    // Exactly what primes the filter so that its next output is the next
    // ring frame, at no jump in time.
    static constexpr uint32_t kHistoryFrames = kHalfFilterFrames - 1;
    // The drift must have moved the fill this far (a share of the margin a
    // stream starts at) before it counts: a stationary fill never gets
    // there, and a real drift still has most of that margin left when the
    // loop takes over.
    static constexpr double kEngageMarginFraction = 0.25;
    // ...and the two sides' tracked paces must tell the same difference,
    // to within this share of it.
    static constexpr double kPaceAgreement = 0.5;
    // Packets on the writer's line, since it last started over, before the
    // fill measured along it is judged for a drift.
    static constexpr uint64_t kJudgeAfterPackets = 32;
    // The timelines' memory. The fill's noise is the stamps' jitter; the
    // longer the memory, the less of it reaches the loop. Pace steps (a new
    // device clock) are relearnt through the jump logic, not by waiting.
    static constexpr double kTimelineSeconds = 16.0;
    // The resampler never runs further than this from ratio 1; larger clock
    // differences than 0.5 % are faults, not drift.
    static constexpr double kMaxRatioDeviation = 0.005;
    // Loop bandwidths: wide while the ratio settles after engaging (or after
    // a resynchronisation), then narrow, so that jitter barely moves it.
    static constexpr double kWideBandwidthHz = 0.25;
    static constexpr double kNarrowBandwidthHz = 0.05;
    static constexpr double kWideSeconds = 5.0;
    // Calls closer together than this (and than half a block) are one
    // burst: a host working through blocks back to back takes microseconds
    // between them.
    static constexpr double kBurstGapSeconds = 0.0005;
    // A burst that began this late, as a share of its blocks beyond the
    // first, is a host catching up. A host that works ahead in bursts has
    // its first call late against its own average pace too, but by half
    // the burst or less (1.5 of 4 blocks).
    static constexpr double kCatchUpShare = 0.75;
    // A step of the fill (a new quantum, a late burst of packets) counts
    // when it moves the fill by more than this share of the margin at once:
    // it is glided back (see Glide) rather than left to the loop.
    static constexpr double kGlideStepFraction = 0.5;
    // Every change of the ratio is a ramp: the loop's own corrections are
    // far slower than this, and the glides ramp at this pace themselves, so
    // the bound only shapes what would otherwise step (engaging at the
    // clocks' difference, a glide starting while another ends).
    static constexpr double kMostRatioChangePerSecond = 0.002;
    // In bypass, delay is given back only from inside digital silence at
    // least this long (the frame played last silent as well): such a gap
    // gets shorter, and every frame that plays is as it came.
    static constexpr uint32_t kSilentRunFrames = 64;

    // Frames that arrive in a burst (a player moving to another device's
    // clock delivers several quanta at once) are fresh: they play, at that
    // much more latency, which an engaged loop glides back down. Only an
    // excess beyond a quantum, a block and this much is a fault: frames
    // that piled up while the host did not call, dropped to the target.
    static constexpr double kMostExcessSeconds = 0.25;

    enum class Resync : uint8_t
    {
        None,
        Underflow, // the ring ran dry inside a block: re-primed
        FillLow,   // far below the target: re-primed
        FillHigh,  // far above the target (see kMostExcessSeconds): skipped down to it
        Idle,      // the writer stopped delivering (nothing plays): re-primed
    };

    struct BlockResult
    {
        uint32_t ringFrames = 0;      // frames taken from the ring to make the output
        uint32_t paddedFrames = 0;    // output frames of silence (priming or underflow)
        uint32_t skippedFrames = 0;   // ring frames dropped to come down to the target
        uint32_t givenBackFrames = 0; // ring frames of silence left out (bypass)
        Resync resync = Resync::None;
        bool engagedNow = false; // the resampler took over in this block
    };

    // For the log; updated by every process().
    struct Status
    {
        bool priming = true;
        bool engaged = false;
        double engagePpm = 0.0;        // clock difference measured when engaging
        double engageSeconds = 0.0;    // from the first output frame to engaging
        double ratio = 1.0;            // input frames per output frame, last block
        double fillFrames = 0.0;       // fill the last block ran at
        double targetFrames = 0.0;     // in force (see FillTarget)
        double marginFrames = 0.0;     // the margin for lateness, as learnt
        double latePacketFrames = 0.0; // from the worst lateness of packets...
        double earlyCycleFrames = 0.0; // ...and of host cycles lately
        uint32_t quantumFrames = 0;
        uint32_t blockFrames = 0; // largest block (or burst of blocks) lately
        uint64_t underflows = 0;
        uint64_t fillLowResyncs = 0;
        uint64_t fillHighResyncs = 0;
        uint64_t idlePauses = 0;
        Resync lastResync = Resync::None;
        uint64_t paddedFrames = 0;
        uint64_t skippedFrames = 0;
        uint64_t givenBackFrames = 0;
    };

    // Main thread, before the stream runs. Allocates everything process
    // needs for blocks up to maxBlockFrames (longer ones are resampled in
    // pieces), sets the resampler up and restarts; may throw std::bad_alloc.
    // False when the rate is 0 or the resampler refused its setup.
    bool prepare(uint32_t sampleRate, uint32_t maxBlockFrames);

    // Audio thread: a stream (re)start. Back to priming and bypass; the ring
    // is left alone (its frames play once the fill has reached the target),
    // and so are the two timelines (a ring reset shows in them as a jump).
    void restart();

    // Audio thread: a transport start. Output starts afresh at the target
    // fill (priming, which drops what piled up above it), but the clocks
    // are the same: an engaged resampler stays engaged, with its estimate.
    void reprime();

    // Audio thread, once per host block: writes `frames` frames to left and
    // right (both required), silence where there is nothing to play.
    // nowNanos is CLOCK_MONOTONIC at the start of the host's cycle.
    BlockResult process(FrameRing& ring, const WriterStamp& stamp, int64_t nowNanos, float* left,
                        float* right, uint32_t frames);

    const Status& status() const { return state; }

private:
    // Tests look at the frames the resampler would be primed with.
    friend struct ClockBridgeTestAccess;

    void takeStamp(const WriterStamp& stamp, int64_t nowNanos);
    void takeCycle(int64_t nowNanos, uint32_t frames);
    double faultLimit() const;
    double excessLimit() const;
    bool writerIdle() const;
    double measureFill(const FrameRing& ring) const;
    uint32_t skip(FrameRing& ring, double frames);
    double giveBack(FrameRing& ring, double error, BlockResult& result);
    void finishBlock(const float* left, const float* right, uint32_t frames,
                     const BlockResult& result);

    void enterPriming(Resync reason, int64_t nowNanos, BlockResult& result);
    uint32_t leavePriming(FrameRing& ring, double error, int64_t nowNanos, BlockResult& result);
    uint32_t resynchroniseHigh(FrameRing& ring, double error, int64_t nowNanos,
                               BlockResult& result);
    void restartTrend(int64_t nowNanos);
    double engageMove() const;
    void watchForStep(double lastTarget, double lastError, double error, int64_t nowNanos);
    double paceRatio() const;
    bool pacesConfirmDrift() const;
    void engage(double error, int64_t nowNanos, BlockResult& result);

    void primeResampler();
    void startLoop(double ratio, int64_t nowNanos);
    void dropLoopError(int64_t nowNanos);
    // Moves the loop's aim and the target in force; returns by how much,
    // in frames of fill.
    double glide(double error, uint32_t frames);
    double steer(double error, double feedForward, uint32_t frames, int64_t nowNanos);

    uint32_t copyFromRing(FrameRing& ring, float* left, float* right, uint32_t frames);
    void takeTailFromRing();
    uint32_t resampleFromRing(FrameRing& ring, float* left, float* right, uint32_t frames,
                              uint32_t& ringFrames);
    uint32_t resampleChunk(FrameRing& ring, uint32_t frames, uint32_t& ringFrames);
    void rememberTail(const float* left, const float* right, uint32_t frames);

    uint32_t rate = 0;
    double nanosPerFrame = 0.0; // at the nominal rate
    FillTarget target;
    VResampler resampler;
    bool resamplerReady = false;
    std::vector<float> scratch; // interleaved resampler output, or priming input
    uint32_t scratchFrames = 0;
    // The frames played last: the last ringTailFrames of them straight
    // behind the read position of tailRing (a ring that keeps them there,
    // while it stands at tailEnd), the ones before in these.
    std::array<float, kHistoryFrames> historyLeft{};
    std::array<float, kHistoryFrames> historyRight{};
    const FrameRing* tailRing = nullptr;
    uint32_t tailEnd = 0;
    uint32_t ringTailFrames = 0;
    bool blockFromRing = false; // the block's output was all a copy from the ring

    DriftDetector drift;
    int64_t trendStartNanos = 0;
    spa_dll dll{};
    double loopBandwidth = 0.0;
    uint32_t loopPeriod = 0;
    int64_t wideUntilNanos = 0;
    Glide fillGlide;   // the fill error the loop aims at for now
    Glide targetGlide; // the target in force, down to the learnt one

    // The writer's side: its latest stamp and timeline.
    WriterStampValue stampValue;
    uint32_t lastSequence = 0;
    bool stampSeen = false; // since prepare()
    bool haveStamp = false; // since restart()
    Timeline writerTime;
    // The reader's side: its cycles' timeline and bursts.
    Timeline readerTime;
    uint32_t lastCallFrames = 0;
    int64_t lastCallNanos = 0;
    uint32_t burstFrames = 0;
    double burstLateFrames = 0.0; // how late the burst's first call came
    // After a change of the target: until when a step of the fill error
    // counts as its consequence, and the error it is measured from.
    int64_t stepWatchUntilNanos = 0;
    double stepWatchError = 0.0;
    // Silence given back in bypass that lowered the fill error: added back
    // for the drift's trend, which must not take it for a drift.
    double givenBackSinceTrend = 0.0;
    bool lastFrameSilent = false;

    bool dropAboveTarget = false; // set by reprime(), until priming ends
    bool started = false;         // output has begun since restart()
    int64_t firstOutputNanos = 0;
    Status state;
};

} // namespace Strovik
