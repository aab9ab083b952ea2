#include "timeline.h"

#include "monotonicclock.h"

#include <algorithm>
#include <cmath>

namespace Strovik {

void Timeline::reset(double smoothingSeconds)
{
    smoothing = smoothingSeconds;
    memoryFrames = -1.0;
    seeded = false;
    jumpPending = false;
}

void Timeline::learnSpread(double absoluteDeviation)
{
    // A running mean, over all events at first and the last
    // kSpreadEvents later. A jump adds at most twice the limit, so that one
    // cannot blind the detector to the next.
    double weight = 1.0 / kSpreadEvents;
    if (spreadEvents < kSpreadEvents)
        weight = 1.0 / static_cast<double>(++spreadEvents);
    spread += weight * (absoluteDeviation - spread);
}

void Timeline::rebase(int64_t timeNanos)
{
    estimate = static_cast<double>(timeNanos);
    jumpPending = false;
}

void Timeline::startLine(double timeNanos)
{
    // From this event on, the line fit starts over, from the pace it had.
    estimate = timeNanos;
    events = 0;
    fitting = true;
}

void Timeline::startOver(int64_t timeNanos)
{
    startLine(static_cast<double>(timeNanos));
    jumpPending = false;
    lastDeviation = lastOutlier = lastOutlierStall = lastRaw = 0.0;
}

void Timeline::update(int64_t timeNanos, double frames, double rate)
{
    const double stamped = static_cast<double>(timeNanos);
    lastDeviation = 0.0;
    lastOutlier = 0.0;
    lastOutlierStall = 0.0;
    lastRaw = 0.0;
    // An event behind the last (a stream position that went back, as a
    // ring reset under a writer that kept counting makes it) is no later
    // point on this line: the line starts over from it. (Fed on, the
    // fading memory of a negative spacing overflows into NaN.)
    if (!seeded || frames < 0.0)
    {
        estimate = stamped;
        period = kNanosPerSecond / rate;
        events = 0;
        fitting = true;
        spread = 0.0;
        spreadEvents = 0;
        seeded = true;
        secondEvent = true;
        return;
    }
    const double predicted = estimate + frames * period;
    double deviation = stamped - predicted;
    lastRaw = deviation;
    const double jump = std::max(kJumpSeconds * kNanosPerSecond, kJumpSpreads * spread);
    if (secondEvent)
    {
        secondEvent = false;
        if (std::abs(deviation) > jump)
        {
            // One event is no line to be off: the first cycles of a stream
            // come irregularly. Start from this one instead of doubting it.
            estimate = stamped;
            return;
        }
    }
    learnSpread(std::min(std::abs(deviation), 2.0 * jump));
    if (std::abs(deviation) > jump)
    {
        // Confirmed by a second event that lands as far off: the timeline
        // moved. The line fit then starts over, so that a pace that changed
        // with it (a new device clock) is relearnt within a second or so.
        const bool confirmed = jumpPending && std::abs(deviation - pendingJump) <= jump;
        if (jumpPending && !confirmed && events >= kSettlingEvents)
            tellOutlier(); // the one before was no jump either
        jumpPending = !confirmed;
        pendingJump = deviation;
        if (confirmed)
        {
            startLine(stamped);
            return;
        }
        // Otherwise an outlier: it counts, but no more than the limit. (Not
        // ignoring it keeps a host that calls in bursts, whose every event
        // is that far off its average pace, from freezing the track.)
        pendingOutlierStall = deviation;
        deviation = std::clamp(deviation, -jump, jump);
        pendingOutlier = deviation;
    }
    else
    {
        if (jumpPending && events >= kSettlingEvents)
            tellOutlier(); // no jump: it was that late
        jumpPending = false;
        // Not while a line that just started over settles: its first
        // events lie off it by its own error, not by theirs.
        if (events >= kSettlingEvents)
            lastDeviation = deviation;
    }
    // Phase and pace, tracked with the gains of a straight-line fit to all
    // events so far (an unbiased start, at the nominal pace or not), until
    // those fall below the gains of a fading memory of `smoothing` seconds.
    // Tracking the pace follows a clock that is ppm off nominal without
    // the lag a plain average would show as a fill offset.
    ++events;
    // Events mostly come a constant number of frames apart (a quantum, a
    // block): what depends only on that number, the fading memory's gains
    // among it, is worked out once per such number, not per event.
    if (frames != memoryFrames || rate != memoryRate)
        learnSpacing(frames, rate);
    double phaseGain = memoryPhaseGain;
    double paceGainPerFrame = memoryPaceGainPerFrame;
    if (fitting)
    {
        // The fit's gains only fall as events add up: once both are below
        // the memory's, they stay there until the fit starts over.
        const double n = static_cast<double>(events);
        const double fitPhase = 2.0 * (2.0 * n + 1.0) / ((n + 2.0) * (n + 1.0));
        const double fitPace = 6.0 / ((n + 2.0) * (n + 1.0));
        fitting = fitPhase > memoryPhaseGain || fitPace > memoryPaceGain;
        phaseGain = std::max(fitPhase, memoryPhaseGain);
        paceGainPerFrame = std::max(fitPace, memoryPaceGain) * framesInverse;
    }
    estimate = predicted + phaseGain * deviation;
    period = std::clamp(period + paceGainPerFrame * deviation, slowestPeriod, fastestPeriod);
}

void Timeline::tellOutlier()
{
    lastOutlier = pendingOutlier;
    lastOutlierStall = pendingOutlierStall;
}

void Timeline::learnSpacing(double frames, double rate)
{
    memoryFrames = frames;
    memoryRate = rate;
    const double memory = std::exp(-frames / rate / smoothing);
    memoryPhaseGain = 1.0 - memory * memory;
    memoryPaceGain = (1.0 - memory) * (1.0 - memory);
    // Events 0 frames apart (the first of a reader) tell nothing of the pace.
    framesInverse = frames > 0.0 ? 1.0 / frames : 0.0;
    memoryPaceGainPerFrame = memoryPaceGain * framesInverse;
    const double nominalPeriod = kNanosPerSecond / rate;
    slowestPeriod = nominalPeriod * (1.0 - kMaxPaceDeviation);
    fastestPeriod = nominalPeriod * (1.0 + kMaxPaceDeviation);
    fitting = true;
}

} // namespace Strovik
