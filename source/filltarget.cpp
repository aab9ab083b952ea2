#include "filltarget.h"

#include "monotonicclock.h"

#include <algorithm>

namespace Strovik {

namespace {
// Multiplied by rather than divided by, on every host cycle while learning.
constexpr double kLearningPerSecond = 1.0 / FillTarget::kLearningSeconds;
} // namespace

void FillTarget::reset(uint32_t sampleRate)
{
    *this = FillTarget{};
    framesPerNano = sampleRate / kNanosPerSecond;
    startMargin = std::max(kStartMarginFrames, kStartMarginSeconds * sampleRate);
    margin = startMargin;
    headroomInForce = startMargin;
}

void FillTarget::setQuantum(uint32_t frames, int64_t nowNanos)
{
    if (frames != quantum && quantum != 0)
        switchUntilNanos = nowNanos + static_cast<int64_t>(kSwitchSeconds * kNanosPerSecond);
    quantum = frames;
}

void FillTarget::addCycle(int64_t nowNanos, uint32_t burst, double earlyNanos)
{
    if (!cycleSeen)
    {
        cycleSeen = true;
        firstCycleNanos = windowStartNanos = nowNanos;
        lessonDecayNanos = nowNanos;
    }
    // What is learnt is worked out again only when something it depends
    // on changed: this runs on every host cycle.
    bool changed = learning;
    if (learning)
    {
        sinceFirstCycle = (nowNanos - firstCycleNanos) * kSecondsPerNano;
        learning = sinceFirstCycle < kHoldSeconds + kLearningSeconds;
    }
    changed |= rollWindows(nowNanos);
    changed |= burstFrames.add(std::min(burst, kLongestBurstFrames));
    if (nowNanos >= switchUntilNanos)
        changed |= earlyFrames.add(earlyNanos * framesPerNano);
    if (changed)
        relearn();
}

void FillTarget::addPacket(double lateNanos, double stallNanos, int64_t nowNanos)
{
    if (nowNanos < switchUntilNanos)
        return;
    bool changed = lateFrames.add(lateNanos * framesPerNano);
    // No longer than the start margin: beyond it the writer had paused,
    // which no margin waits for (see workOutMargin()).
    const double stalled = std::min(stallNanos * framesPerNano, startMargin);
    if (stalled > stall)
    {
        stall = stalled;
        stallDecayNanos = nowNanos;
        changed = true;
    }
    if (changed)
        relearn();
}

void FillTarget::relearn()
{
    margin = workOutMargin();
    allowance = burstFrames.peak();
    // Rising at once: a longer burst or a later packet needs the room now.
    headroomInForce = std::max(headroomInForce, allowance + margin);
}

void FillTarget::underflow(int64_t nowNanos)
{
    if (nowNanos < switchUntilNanos)
        return;
    lessonFrames = std::min(std::max(2.0 * lessonFrames, kLeastMarginFrames), startMargin);
    lessonDecayNanos = nowNanos;
    relearn();
}

bool FillTarget::rollWindows(int64_t nowNanos)
{
    bool rolled = false;
    const auto window = static_cast<int64_t>(kWindowSeconds * kNanosPerSecond);
    if (nowNanos - windowStartNanos >= window)
    {
        lateFrames.roll();
        earlyFrames.roll();
        burstFrames.roll();
        // A gap of more than a window (a host that stopped calling) leaves
        // nothing of before it in the previous window either.
        if (nowNanos - windowStartNanos >= 2 * window)
        {
            lateFrames.roll();
            earlyFrames.roll();
            burstFrames.roll();
        }
        windowStartNanos = nowNanos;
        rolled = true;
    }
    rolled |= halve(lessonFrames, lessonDecayNanos, kLessonHalfLifeSeconds, nowNanos);
    rolled |= halve(stall, stallDecayNanos, kStallHalfLifeSeconds, nowNanos);
    return rolled;
}

bool FillTarget::halve(double& frames, int64_t& sinceNanos, double halfLifeSeconds,
                       int64_t nowNanos)
{
    if (frames <= 0.0 ||
        nowNanos - sinceNanos < static_cast<int64_t>(halfLifeSeconds * kNanosPerSecond))
        return false;
    frames = frames < kLeastMarginFrames ? 0.0 : 0.5 * frames;
    sinceNanos = nowNanos;
    return true;
}

double FillTarget::workOutMargin() const
{
    // Packets late and host cycles early add up: the ring runs dry when the
    // one meets the other. The sum of each side's worst is what both at
    // their worst at once would need.
    // A stall remembered counts like a packet that late.
    const double seen = kLeastMarginFrames + std::max(lateFrames.peak(), stall) +
                        earlyFrames.peak() + kHeadroomFrames;
    // A stream's first minutes have shown too little of the machine to bet
    // on: the start margin first, then down to what was seen.
    const double unseenShare =
        std::clamp(1.0 - (sinceFirstCycle - kHoldSeconds) * kLearningPerSecond, 0.0, 1.0);
    // Never above where a stream starts, but for what underflows taught:
    // lateness beyond it is a stall (a host or a server that stopped for a
    // while), which the timelines take for a jump, not jitter to wait for.
    return std::min(std::max(seen, unseenShare * startMargin), startMargin) + lessonFrames;
}

double FillTarget::lower(double frames)
{
    const double fell = std::clamp(headroomInForce - (learnt() - quantum), 0.0, frames);
    headroomInForce -= fell;
    return fell;
}

} // namespace Strovik
