#include "clockbridge.h"

#include "framering.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace Strovik {

namespace {

constexpr double kNanosPerSecond = 1e9;

double secondsBetween(int64_t fromNanos, int64_t toNanos)
{
    return static_cast<double>(toNanos - fromNanos) / kNanosPerSecond;
}

// Interleaved stereo to two planar channels: the whole of bypass's work.
void deinterleave(const float* stereo, uint32_t frames, float* left, float* right)
{
    for (uint32_t i = 0; i < frames; ++i)
    {
        left[i] = stereo[2 * i];
        right[i] = stereo[2 * i + 1];
    }
}

void silence(float* left, float* right, uint32_t frames)
{
    std::memset(left, 0, sizeof(float) * frames);
    std::memset(right, 0, sizeof(float) * frames);
}

} // namespace

// ---------------------------------------------------------------------------
// ClockBridge: setup

bool ClockBridge::prepare(uint32_t sampleRate, uint32_t maxBlockFrames)
{
    if (sampleRate == 0)
        return false;
    scratchFrames = std::max(maxBlockFrames, kHistoryFrames);
    scratch.assign(2 * static_cast<size_t>(scratchFrames), 0.0f);
    // Nominal ratio 1: both sides run at the same nominal rate, and only the
    // relative ratio moves. So the filter does not depend on the rate, and is
    // worked out once (its tables take milliseconds).
    if (!resamplerReady)
    {
        if (resampler.setup(1.0, 2, kHalfFilterFrames) != 0)
            return false;
        resamplerReady = true;
    }
    rate = sampleRate;
    marginFrames = std::max(static_cast<double>(kJitterMarginFrames),
                            std::round(kJitterMarginSeconds * sampleRate));
    writerTime.reset(kTimelineSeconds);
    readerTime.reset(kTimelineSeconds);
    stampSeen = false;
    lastCallFrames = 0;
    lastCallNanos = 0;
    restart();
    return true;
}

void ClockBridge::restart()
{
    state = Status{};
    // A stamp published before the restart may describe a ring that has
    // since been reset: wait for a fresh one.
    haveStamp = false;
    lastSequence = stampValue.sequence;
    burstFrames = 0;
    stepWatchUntilNanos = 0;
    dropAboveTarget = false;
    started = false;
    historyLeft.fill(0.0f);
    historyRight.fill(0.0f);
    restartTrend(0);
}

void ClockBridge::reprime()
{
    state.priming = true;
    dropAboveTarget = true;
}

// ---------------------------------------------------------------------------
// ClockBridge: the cycle

ClockBridge::BlockResult ClockBridge::process(FrameRing& ring, const WriterStamp& stamp,
                                              int64_t nowNanos, float* left, float* right,
                                              uint32_t frames)
{
    BlockResult result;
    if (frames == 0)
        return result;
    if (rate == 0)
    {
        silence(left, right, frames);
        result.paddedFrames = frames;
        return result;
    }

    takeStamp(stamp);
    takeCycle(nowNanos, frames);
    const double lastTarget = state.targetFrames;
    const double lastError = state.fillFrames - lastTarget;
    state.targetFrames = targetFill();
    double error = measureFill(ring) - state.targetFrames;

    if (!state.priming && error > excessLimit())
        error -= resynchroniseHigh(ring, error, nowNanos, result);
    else if (!state.priming && error < -faultLimit())
        enterPriming(Resync::FillLow, result);

    if (state.priming)
    {
        // Not on a writer timeline in doubt either: after a stall, the first
        // packet's stamp still looks like an outlier, and the fill like more
        // than there is.
        if (!haveStamp || writerTime.unsettled() || error < 0.0)
        {
            state.fillFrames = state.targetFrames + error;
            silence(left, right, frames);
            result.paddedFrames = frames;
            finishBlock(left, right, frames, result);
            return result;
        }
        error -= leavePriming(ring, error, nowNanos, result);
    }
    state.fillFrames = state.targetFrames + error;

    if (!state.engaged)
    {
        watchForStep(lastTarget, lastError, error, nowNanos);
        if (drift.add(secondsBetween(trendStartNanos, nowNanos), error) && pacesConfirmDrift())
            engage(error, nowNanos, result);
    }

    uint32_t written = 0;
    if (state.engaged)
    {
        // The glide's own pace goes straight into the ratio: through the
        // loop, its integral would learn the glide as a clock difference
        // and overshoot the target when the glide ends.
        const double glideStep = glide(error, frames);
        resampler.set_rratio(1.0 /
                             steer(error - glideFrames, glideStep / frames, frames, nowNanos));
        written = resampleFromRing(ring, left, right, frames, result.ringFrames);
    }
    else
    {
        written = copyFromRing(ring, left, right, frames);
        result.ringFrames = written;
    }

    if (written < frames)
    {
        // The ring ran dry: what is missing stays silent, and the fill has
        // to build up to the target again before output resumes. A writer
        // that has not delivered for longer than a quantum and the margin
        // paused (nothing plays into direct links, or the server went): no
        // fault of the clocks, and the fill starts over when it resumes.
        silence(left + written, right + written, frames - written);
        result.paddedFrames = frames - written;
        enterPriming(writerIdle() ? Resync::Idle : Resync::Underflow, result);
    }
    finishBlock(left, right, frames, result);
    return result;
}

void ClockBridge::finishBlock(const float* left, const float* right, uint32_t frames,
                              const BlockResult& result)
{
    // A block copied from a ring that keeps what was played is still there,
    // to prime from should the resampler engage; any other output (silence,
    // resampled frames) is remembered here.
    if (!blockFromRing)
    {
        takeTailFromRing();
        rememberTail(left, right, frames);
    }
    blockFromRing = false;
    state.paddedFrames += result.paddedFrames;
    state.skippedFrames += result.skippedFrames;
}

void ClockBridge::takeStamp(const WriterStamp& stamp)
{
    // Mostly nothing new (several blocks to a quantum): one load says so.
    if (stamp.publications() == lastSequence)
        return;
    WriterStampValue value;
    if (!stamp.read(value) || value.sequence == lastSequence)
        return; // nothing new (or the writer was busy): keep the last one
    // Frames the writer delivered since the stamp before, modulo 2^32 like
    // the ring's positions; 0 for the first.
    const double frames = stampSeen ? static_cast<int32_t>(value.writePos - stampValue.writePos) /
                                          static_cast<double>(FrameRing::kBytesPerFrame)
                                    : 0.0;
    // A new quantum moves the writer's timeline by the difference (packets
    // are delivered at the start of their cycle): a known jump, taken at once.
    const bool quantumChanged = stampSeen && value.quantumFrames != stampValue.quantumFrames;
    stampValue = value;
    lastSequence = value.sequence;
    stampSeen = haveStamp = true;
    if (quantumChanged)
        writerTime.rebase(value.timeNanos);
    else
        writerTime.update(value.timeNanos, frames, rate);
    state.quantumFrames = value.quantumFrames;
}

void ClockBridge::takeCycle(int64_t nowNanos, uint32_t frames)
{
    readerTime.update(nowNanos, lastCallFrames, rate);
    // A host that calls several blocks back to back (sooner than half the
    // last block's duration) takes them all at once: the target must hold
    // the whole burst, not one block.
    const double halfLastBlock = 0.5 * lastCallFrames / rate * kNanosPerSecond;
    const bool sameBurst = lastCallFrames != 0 && nowNanos - lastCallNanos < halfLastBlock;
    burstFrames = std::min(sameBurst ? burstFrames + frames : frames, kLongestBurstFrames);
    state.blockFrames = std::max(state.blockFrames, burstFrames);
    lastCallFrames = frames;
    lastCallNanos = nowNanos;
}

double ClockBridge::targetFill() const
{
    // Just before a packet arrives the ring holds the fill less one quantum;
    // a block (or burst) must still be there then, with room for lateness.
    return static_cast<double>(state.quantumFrames) + state.blockFrames + marginFrames;
}

double ClockBridge::excessLimit() const
{
    return faultLimit() + kMostExcessSeconds * rate;
}

double ClockBridge::faultLimit() const
{
    return static_cast<double>(state.quantumFrames) + state.blockFrames;
}

bool ClockBridge::writerIdle() const
{
    // A packet is due every quantum, give or take its jitter: more than
    // half the margin beyond that, and the writer is not merely late.
    const double due = (state.quantumFrames + 0.5 * marginFrames) / rate * kNanosPerSecond;
    return !haveStamp || readerTime.nanos() - writerTime.nanos() > due;
}

double ClockBridge::measureFill(const FrameRing& ring) const
{
    if (!haveStamp)
        return 0.0;
    // Frames the writer had delivered by its stamp, less those read since...
    const int32_t stampedBytes = static_cast<int32_t>(stampValue.writePos - ring.readPosition());
    const double stamped = static_cast<double>(stampedBytes) / FrameRing::kBytesPerFrame;
    // ...plus what it has produced since, at its pace, between the two
    // sides' smoothed timelines: the fill at the start of this cycle, free of
    // the sawtooth of packets arriving and blocks leaving. A stalled writer
    // stops counting after a quantum and a margin.
    const double limit = (state.quantumFrames + marginFrames) / rate * kNanosPerSecond;
    const double elapsed = std::clamp(readerTime.nanos() - writerTime.nanos(), -limit, limit);
    double fill = stamped + elapsed / writerTime.nanosPerFrame();
    // Frames already inside the resampler, ahead of the next output, are
    // still buffered: counting them keeps the fill continuous on engaging.
    if (state.engaged && !state.priming)
        fill += resampler.inpdist();
    return fill;
}

uint32_t ClockBridge::skip(FrameRing& ring, double frames)
{
    if (frames < 1.0)
        return 0;
    const uint32_t wanted = static_cast<uint32_t>(std::min(frames, 4294967295.0));
    takeTailFromRing(); // before the read position leaves the frames played
    const uint32_t skipped = ring.peek(wanted).frames();
    ring.consume(skipped);
    return skipped;
}

// ---------------------------------------------------------------------------
// ClockBridge: priming, resynchronisation, engaging

void ClockBridge::enterPriming(Resync reason, BlockResult& result)
{
    state.priming = true;
    result.resync = reason;
    state.lastResync = reason;
    if (reason == Resync::Underflow)
        ++state.underflows;
    else if (reason == Resync::Idle)
        ++state.idlePauses;
    else
        ++state.fillLowResyncs;
}

uint32_t ClockBridge::leavePriming(FrameRing& ring, double error, int64_t nowNanos,
                                   BlockResult& result)
{
    // Packets come a quantum at a time (a few at once, after a pause), so
    // the fill that first reaches the target may lie above it. Those frames
    // are fresh, the very start of a sound, maybe: they play. Only at a
    // transport start is what lies above the target stale: it piled up
    // while the host did not call, and the recording starts now.
    const uint32_t skipped = dropAboveTarget ? skip(ring, error) : 0;
    dropAboveTarget = false;
    result.skippedFrames += skipped;
    state.priming = false;
    if (!started)
    {
        started = true;
        firstOutputNanos = nowNanos;
    }
    restartTrend(nowNanos);
    if (state.engaged)
    {
        // The filter's contents are stale: start it afresh from what was
        // played last (silence, mostly), keeping the loop's clock estimate.
        primeResampler();
        dropLoopError(nowNanos);
        glideFrames = error - skipped;
    }
    return skipped;
}

uint32_t ClockBridge::resynchroniseHigh(FrameRing& ring, double error, int64_t nowNanos,
                                        BlockResult& result)
{
    const uint32_t skipped = skip(ring, error);
    result.skippedFrames += skipped;
    result.resync = Resync::FillHigh;
    state.lastResync = Resync::FillHigh;
    ++state.fillHighResyncs;
    if (state.engaged)
        dropLoopError(nowNanos);
    else
        restartTrend(nowNanos);
    return skipped;
}

void ClockBridge::restartTrend(int64_t nowNanos)
{
    // The fill was just set: a trend starts afresh from there.
    trendStartNanos = nowNanos;
    drift.reset(marginFrames * kEngageMarginFraction, kMaxRatioDeviation * rate);
}

void ClockBridge::watchForStep(double lastTarget, double lastError, double error, int64_t nowNanos)
{
    // A new quantum or a longer burst moves the target, and the fill error
    // often steps within a cycle or two after it, by as much as a quantum
    // (the first player joining, as a rule). A step that size would hide a
    // drift behind it for tens of seconds on a busy machine, so the trend
    // is judged from after it. Steps the error does not take (a quantum
    // going back to a height the fill already allowed for) keep the trend.
    if (state.targetFrames != lastTarget)
    {
        stepWatchError = lastError;
        stepWatchUntilNanos =
            nowNanos + static_cast<int64_t>(2.0 * state.quantumFrames / rate * kNanosPerSecond);
    }
    if (nowNanos <= stepWatchUntilNanos &&
        std::abs(error - stepWatchError) > kGlideStepFraction * marginFrames)
    {
        restartTrend(nowNanos);
        stepWatchUntilNanos = 0;
    }
}

double ClockBridge::paceRatio() const
{
    return readerTime.nanosPerFrame() / writerTime.nanosPerFrame();
}

bool ClockBridge::pacesConfirmDrift() const
{
    // Two clocks that differ make the fill drift and the two sides' paces
    // differ alike. A fill that only seems to drift (a host starved of CPU
    // for a while, calling late and then in bursts, bends the timelines'
    // phases for some seconds) leaves the paces alone: no reason to leave
    // the exact copy.
    const double fromSlope = drift.slope() / rate;
    const double fromPaces = paceRatio() - 1.0;
    return fromSlope * fromPaces > 0.0 &&
           std::abs(fromPaces - fromSlope) <= kPaceAgreement * std::abs(fromSlope);
}

void ClockBridge::engage(double error, int64_t nowNanos, BlockResult& result)
{
    // The clock difference is the ratio of the two sides' paces as their
    // timelines tracked them (input frames per output frame); the drift's
    // slope says the same, but less exactly, as it is fitted to a fill that
    // may hold a step. Starting the loop there avoids a transient.
    const double ratio =
        std::clamp(paceRatio(), 1.0 - kMaxRatioDeviation, 1.0 + kMaxRatioDeviation);
    primeResampler();
    startLoop(ratio, nowNanos);
    // Wherever the fill stands now, the loop starts there and glides to the
    // target: the ratio stays at the clock difference, not at a clamp.
    glideFrames = error;
    state.engaged = true;
    state.engagePpm = (ratio - 1.0) * 1e6;
    state.engageSeconds = secondsBetween(firstOutputNanos, nowNanos);
    result.engagedNow = true;
}

void ClockBridge::primeResampler()
{
    // zita's first output after reset() sits kHalfFilterFrames - 1 inputs
    // in: feeding exactly the frames played last puts the next output on the
    // next ring frame, with the filter's past filled by what was heard.
    takeTailFromRing();
    resampler.reset();
    for (uint32_t i = 0; i < kHistoryFrames; ++i)
    {
        scratch[2 * i] = historyLeft[i];
        scratch[2 * i + 1] = historyRight[i];
    }
    resampler.inp_data = scratch.data();
    resampler.inp_count = kHistoryFrames;
    // It only takes input while an output is asked for; none comes yet.
    resampler.out_data = nullptr;
    resampler.out_count = 1;
    resampler.process();
}

void ClockBridge::startLoop(double ratio, int64_t nowNanos)
{
    spa_dll_init(&dll);
    loopBandwidth = 0.0; // forces spa_dll_set_bw on the first update
    // The loop returns 1 - (z2 + z3); z3 is its integral, the clock estimate.
    dll.z3 = 1.0 - ratio;
    wideUntilNanos = nowNanos + static_cast<int64_t>(kWideSeconds * kNanosPerSecond);
}

void ClockBridge::dropLoopError(int64_t nowNanos)
{
    // The error the loop was working off is gone with a resynchronisation;
    // its clock estimate (the integral) stays, and it listens wide again.
    dll.z1 = dll.z2 = 0.0;
    glideFrames = 0.0;
    wideUntilNanos = nowNanos + static_cast<int64_t>(kWideSeconds * kNanosPerSecond);
}

double ClockBridge::glide(double error, uint32_t frames)
{
    // A step in the fill (a new quantum, a late burst of packets) is taken
    // whole into the point the loop aims at, which then moves back to the
    // target no faster than kGlideRate: latency recovers at an inaudible
    // pitch offset instead of the loop slamming the ratio to its bound.
    // Drift never steps: the loop holds the error near the glide point.
    if (std::abs(error - glideFrames) > kGlideStepFraction * marginFrames)
        glideFrames = error;
    // Exponentially near the end, so that the pitch returns as smoothly.
    const double most = kGlideRate * frames;
    const double step = std::clamp(glideFrames * frames / (kGlideSeconds * rate), -most, most);
    glideFrames -= step;
    return step;
}

double ClockBridge::steer(double error, double feedForward, uint32_t frames, int64_t nowNanos)
{
    const double bandwidth = nowNanos < wideUntilNanos ? kWideBandwidthHz : kNarrowBandwidthHz;
    if (bandwidth != loopBandwidth || frames != loopPeriod)
    {
        spa_dll_set_bw(&dll, bandwidth, frames, rate);
        loopBandwidth = bandwidth;
        loopPeriod = frames;
    }
    // The loop's error is how far the fill is below target: positive asks
    // for less input per output frame.
    const double integral = dll.z3;
    double ratio = spa_dll_update(&dll, -error) + feedForward;
    const double low = 1.0 - kMaxRatioDeviation, high = 1.0 + kMaxRatioDeviation;
    if (ratio < low || ratio > high)
    {
        // Anti-windup: while the ratio is at its bound the integral (the
        // clock estimate) stops integrating an error the resampler cannot
        // act on, so that the ratio leaves the bound as smoothly as the
        // error falls.
        dll.z3 = integral;
        ratio = std::clamp(1.0 - (dll.z2 + dll.z3) + feedForward, low, high);
    }
    state.ratio = ratio;
    return ratio;
}

// ---------------------------------------------------------------------------
// ClockBridge: moving frames

uint32_t ClockBridge::copyFromRing(FrameRing& ring, float* left, float* right, uint32_t frames)
{
    const FrameRing::ReadView view = ring.peek(frames);
    // Frames played from the ring are primed from where they lie, as long as
    // they lie straight behind the read position: something other than this
    // copy moving it (a discard before a restart) ends that.
    if (ringTailFrames > 0 && (&ring != tailRing || ring.readPosition() != tailEnd))
        ringTailFrames = 0;
    // The ring runs dry within this block: silence follows, which the
    // history has to take after the frames played so far.
    if (view.frames() < frames)
        takeTailFromRing();
    deinterleave(view.first, view.firstFrames, left, right);
    deinterleave(view.second, view.secondFrames, left + view.firstFrames, right + view.firstFrames);
    ring.consume(view.frames());
    if (view.frames() == frames && ring.keptFrames() >= kHistoryFrames)
    {
        ringTailFrames = std::min(ringTailFrames + frames, kHistoryFrames);
        tailRing = &ring;
        tailEnd = ring.readPosition();
        blockFromRing = true;
    }
    return view.frames();
}

void ClockBridge::takeTailFromRing()
{
    // The history's newest frames become the ring's ringTailFrames behind
    // the read position (unless it moved: then they are gone, and the older
    // ones are all there is), after the older ones it already holds.
    const uint32_t frames = ringTailFrames;
    ringTailFrames = 0;
    if (frames == 0 || tailRing->readPosition() != tailEnd)
        return;
    const FrameRing::ReadView view = tailRing->played(frames);
    if (view.frames() != frames)
        return; // the ring no longer keeps them
    const uint32_t keep = kHistoryFrames - frames;
    std::copy(historyLeft.end() - keep, historyLeft.end(), historyLeft.begin());
    std::copy(historyRight.end() - keep, historyRight.end(), historyRight.begin());
    deinterleave(view.first, view.firstFrames, historyLeft.data() + keep,
                 historyRight.data() + keep);
    deinterleave(view.second, view.secondFrames, historyLeft.data() + keep + view.firstFrames,
                 historyRight.data() + keep + view.firstFrames);
}

uint32_t ClockBridge::resampleFromRing(FrameRing& ring, float* left, float* right, uint32_t frames,
                                       uint32_t& ringFrames)
{
    // zita writes interleaved frames: through the scratch, in pieces of its size.
    uint32_t done = 0;
    while (done < frames)
    {
        const uint32_t piece = std::min(frames - done, scratchFrames);
        const uint32_t made = resampleChunk(ring, piece, ringFrames);
        deinterleave(scratch.data(), made, left + done, right + done);
        done += made;
        if (made < piece)
            break; // the ring ran dry
    }
    return done;
}

uint32_t ClockBridge::resampleChunk(FrameRing& ring, uint32_t frames, uint32_t& ringFrames)
{
    resampler.out_data = scratch.data();
    resampler.out_count = frames;
    while (resampler.out_count > 0)
    {
        // Straight from the ring's storage, one contiguous run at a time;
        // zita takes only what the outputs asked for need.
        const FrameRing::ReadView view = ring.peek(~uint32_t{0});
        if (view.firstFrames == 0)
            break;
        // zita's input pointer is not const, but it only reads through it.
        resampler.inp_data = const_cast<float*>(view.first);
        resampler.inp_count = view.firstFrames;
        resampler.process();
        const uint32_t used = view.firstFrames - resampler.inp_count;
        ring.consume(used);
        ringFrames += used;
    }
    return frames - resampler.out_count;
}

void ClockBridge::rememberTail(const float* left, const float* right, uint32_t frames)
{
    if (frames >= kHistoryFrames)
    {
        std::copy(left + frames - kHistoryFrames, left + frames, historyLeft.begin());
        std::copy(right + frames - kHistoryFrames, right + frames, historyRight.begin());
        return;
    }
    const uint32_t keep = kHistoryFrames - frames;
    std::copy(historyLeft.end() - keep, historyLeft.end(), historyLeft.begin());
    std::copy(historyRight.end() - keep, historyRight.end(), historyRight.begin());
    std::copy(left, left + frames, historyLeft.begin() + keep);
    std::copy(right, right + frames, historyRight.begin() + keep);
}

} // namespace Strovik
