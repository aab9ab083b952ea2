#include "clockbridge.h"

#include "framering.h"
#include "monotonicclock.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace Strovik {

namespace {

double secondsBetween(int64_t fromNanos, int64_t toNanos)
{
    return static_cast<double>(toNanos - fromNanos) * kSecondsPerNano;
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

// A count of frames worked out in doubles, as whole frames no more than the
// ring holds: 0 below one, and for a fill not worked out (NaN), so that the
// cast to a count is always defined.
uint32_t wholeFrames(const FrameRing& ring, double frames)
{
    if (!(frames >= 1.0))
        return 0;
    const double most = ring.capacityBytes() / FrameRing::kBytesPerFrame;
    return static_cast<uint32_t>(std::min(frames, most));
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
    nanosPerFrame = kNanosPerSecond / sampleRate;
    target.reset(sampleRate);
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
    lastFrameSilent = false;
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

    takeStamp(stamp, nowNanos);
    takeCycle(nowNanos, frames);
    const double lastTarget = state.targetFrames;
    const double lastError = state.fillFrames - lastTarget + givenBackSinceTrend;
    state.targetFrames = target.inForce();
    state.marginFrames = target.learntMargin();
    state.latePacketFrames = target.latePacketFrames();
    state.earlyCycleFrames = target.earlyCycleFrames();
    double error = measureFill(ring) - state.targetFrames;

    if (!state.priming && error > excessLimit())
        error -= resynchroniseHigh(ring, error, nowNanos, result);
    else if (!state.priming && error < -faultLimit())
        enterPriming(Resync::FillLow, nowNanos, result);

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
        error -= giveBack(ring, error, result);
        state.fillFrames = target.inForce() + error;
        state.targetFrames = target.inForce();
        const double trendError = error + givenBackSinceTrend;
        watchForStep(lastTarget, lastError, trendError, nowNanos);
        // A writer line that just started over (a stream's start, a jump, a
        // new link) bends its pace with every irregular packet, and the fill
        // measured along it slides: no trend is judged before it settles.
        if (writerTime.eventsOnLine() < kJudgeAfterPackets)
            restartTrend(nowNanos);
        else if (drift.add(secondsBetween(trendStartNanos, nowNanos), trendError) &&
                 pacesConfirmDrift())
            engage(error, nowNanos, result);
    }

    uint32_t written = 0;
    if (state.engaged)
    {
        // The glides' own pace goes straight into the ratio: through the
        // loop, its integral would learn a glide as a clock difference and
        // overshoot the target when the glide ends.
        const double glideStep = glide(error, frames);
        error = state.fillFrames - target.inForce();
        state.targetFrames = target.inForce();
        resampler.set_rratio(
            1.0 / steer(error - fillGlide.frames(), glideStep / frames, frames, nowNanos));
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
        enterPriming(writerIdle() ? Resync::Idle : Resync::Underflow, nowNanos, result);
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
    lastFrameSilent = left[frames - 1] == 0.0f && right[frames - 1] == 0.0f;
    state.paddedFrames += result.paddedFrames;
    state.skippedFrames += result.skippedFrames;
    state.givenBackFrames += result.givenBackFrames;
}

void ClockBridge::takeStamp(const WriterStamp& stamp, int64_t nowNanos)
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
    // Linked anew, the packets keep another driver's cycle: its phase is
    // anyone's guess, and so, at first, is its pace.
    const bool relinked = stampSeen && value.links != stampValue.links;
    stampValue = value;
    lastSequence = value.sequence;
    stampSeen = haveStamp = true;
    if (relinked)
        writerTime.startOver(value.timeNanos);
    else if (quantumChanged)
        writerTime.rebase(value.timeNanos);
    else
        writerTime.update(value.timeNanos, frames, rate);
    state.quantumFrames = value.quantumFrames;
    target.setQuantum(value.quantumFrames, nowNanos);
    target.addPacket(std::max(writerTime.lateness(), writerTime.outlierLateness()),
                     writerTime.outlierStall(), nowNanos);
}

void ClockBridge::takeCycle(int64_t nowNanos, uint32_t frames)
{
    readerTime.update(nowNanos, lastCallFrames, rate);
    // A host that calls several blocks back to back (sooner than half the
    // last block's duration, and than kBurstGapSeconds) takes them all at
    // once: the target must hold the whole burst, not one block. A call
    // that merely follows a late one on time is no burst: it is not early,
    // and short blocks (1.3 ms at 64 frames) see that on every hiccup.
    const double gap =
        std::min(0.5 * lastCallFrames * nanosPerFrame, kBurstGapSeconds * kNanosPerSecond);
    const bool sameBurst = lastCallFrames != 0 && nowNanos - lastCallNanos < gap;
    if (!sameBurst)
        burstLateFrames = std::max(readerTime.rawDeviation(), 0.0) * rate * kSecondsPerNano;
    burstFrames =
        std::min(sameBurst ? burstFrames + frames : frames, FillTarget::kLongestBurstFrames);
    // A host catching up after a stall calls back to back too, but only the
    // blocks it fell behind by: they came while it stalled, and it reads
    // nothing ahead of time. A burst whose first call came that late (most
    // of the burst's length) asks only for what it reads beyond that.
    const bool catchingUp = burstLateFrames >= kCatchUpShare * (burstFrames - frames);
    const double ahead = catchingUp ? std::max(burstFrames - burstLateFrames, 0.0) : burstFrames;
    // The timeline's lateness of a host cycle is how late it came: early
    // is what brings a read before the packet it needs.
    target.addCycle(nowNanos, static_cast<uint32_t>(std::max<double>(ahead, frames)),
                    -std::min(readerTime.lateness(), readerTime.outlierLateness()));
    state.blockFrames = static_cast<uint32_t>(target.learntAllowance());
    lastCallFrames = frames;
    lastCallNanos = nowNanos;
}

double ClockBridge::excessLimit() const
{
    return static_cast<double>(state.quantumFrames) + state.blockFrames + kMostExcessSeconds * rate;
}

double ClockBridge::faultLimit() const
{
    // Below the margin for lateness: a few late packets from running dry.
    return target.inForce() - state.marginFrames;
}

bool ClockBridge::writerIdle() const
{
    // A packet is due every quantum, give or take its jitter: more than
    // half the margin beyond that, and the writer is not merely late.
    const double due = (state.quantumFrames + 0.5 * target.startMarginFrames()) * nanosPerFrame;
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
    const double limit = (state.quantumFrames + target.startMarginFrames()) * nanosPerFrame;
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
    const uint32_t wanted = wholeFrames(ring, frames);
    if (wanted == 0)
        return 0;
    takeTailFromRing(); // before the read position leaves the frames played
    const uint32_t skipped = ring.peek(wanted).frames();
    ring.consume(skipped);
    return skipped;
}

double ClockBridge::giveBack(FrameRing& ring, double error, BlockResult& result)
{
    // Bypass cannot move the fill without changing what plays, except where
    // nothing plays: frames of digital silence left out make a gap between
    // sounds shorter and leave every other frame as it came. Waiting for
    // such a gap is the price of an exact copy; the desktop has them.
    const uint32_t most = wholeFrames(ring, target.inForce() + error - target.learnt());
    if (most == 0 || !lastFrameSilent)
        return 0.0;
    const uint32_t wanted = most + kSilentRunFrames;
    const FrameRing::ReadView view = ring.peek(wanted);
    uint32_t silent = 0;
    for (const auto& [run, count] :
         {std::pair{view.first, view.firstFrames}, std::pair{view.second, view.secondFrames}})
    {
        uint32_t i = 0;
        while (i < count && run[2 * i] == 0.0f && run[2 * i + 1] == 0.0f)
            ++i;
        silent += i;
        if (i < count)
            break;
    }
    if (silent < kSilentRunFrames)
        return 0.0;
    // Out of the middle of the gap: at least half the run stays before the
    // next sound.
    const uint32_t left = std::min(silent - kSilentRunFrames / 2, most);
    takeTailFromRing(); // before the read position leaves the frames played
    ring.consume(left);
    result.givenBackFrames += left;
    // What lay above the target in force comes off the error; the rest
    // lowers the target in force towards the learnt one.
    const double offError = std::clamp(error, 0.0, static_cast<double>(left));
    target.lower(left - offError);
    givenBackSinceTrend += offError;
    return offError;
}

// ---------------------------------------------------------------------------
// ClockBridge: priming, resynchronisation, engaging

void ClockBridge::enterPriming(Resync reason, int64_t nowNanos, BlockResult& result)
{
    state.priming = true;
    // A stream filling up again has nothing to give back: it fills to the
    // learnt target, and after an underflow to one that has learnt from it.
    if (reason == Resync::Underflow)
        target.underflow(nowNanos);
    target.settle();
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
        fillGlide.set(error - skipped);
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
    givenBackSinceTrend = 0.0;
    drift.reset(engageMove(), kMaxRatioDeviation * rate);
}

double ClockBridge::engageMove() const
{
    // A share of the margin a stream starts at, not of the learnt one: a
    // fill that only seems to move (a timeline relearning its line after a
    // jump) must not pass for a drift on a shared clock, and a drift too
    // slow to pass it before it uses up a learnt margin underflows once and
    // teaches the margin to hold it.
    return kEngageMarginFraction * target.startMarginFrames();
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
            nowNanos + static_cast<int64_t>(2.0 * state.quantumFrames * nanosPerFrame);
    }
    if (nowNanos <= stepWatchUntilNanos &&
        std::abs(error - stepWatchError) > kGlideStepFraction * target.startMarginFrames())
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
    fillGlide.reset();
    fillGlide.set(error);
    targetGlide.reset();
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
    fillGlide.reset();
    wideUntilNanos = nowNanos + static_cast<int64_t>(kWideSeconds * kNanosPerSecond);
}

double ClockBridge::glide(double error, uint32_t frames)
{
    // A step in the fill (a new quantum, a late burst of packets) is taken
    // whole into the point the loop aims at, which then glides back to the
    // target: latency recovers at an inaudible pitch offset instead of the
    // loop slamming the ratio to its bound. Drift never steps: the loop
    // holds the error near the glide point.
    // What the target in force holds above the fill is no delay, only an
    // aim the fill was gliding up to: what the learnt target no longer
    // needs of it goes at once, and the glide aims that much lower.
    const double aimOnly = std::min(target.inForce() - target.learnt(), -error);
    if (aimOnly > 0.0)
    {
        target.lower(aimOnly);
        fillGlide.set(fillGlide.frames() + aimOnly);
        error += aimOnly;
    }
    if (std::abs(error - fillGlide.frames()) > kGlideStepFraction * state.marginFrames)
        fillGlide.set(error);
    // The target in force comes down to the learnt one the same way: the
    // delay the margin or the allowance no longer needs is given back.
    // One pitch offset at a time: the target's glide takes what the fill's
    // leaves of the most pace.
    const double fillStep = fillGlide.advance(frames, rate);
    targetGlide.set(target.inForce() - target.learnt());
    const double spare = std::max(Glide::kMostPace - std::abs(fillGlide.pace()), 0.0);
    const double lowered = target.lower(std::max(targetGlide.advance(frames, rate, spare), 0.0));
    return fillStep + lowered;
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
    const double change = kMostRatioChangePerSecond * frames / rate;
    const double low = std::max(1.0 - kMaxRatioDeviation, state.ratio - change);
    const double high = std::min(1.0 + kMaxRatioDeviation, state.ratio + change);
    if (ratio < low || ratio > high)
    {
        // Anti-windup: while the ratio is at a bound (of deviation or of
        // change) the integral (the clock estimate) stops integrating an
        // error the resampler cannot act on yet, so that the ratio leaves
        // the bound as smoothly as the error falls.
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
