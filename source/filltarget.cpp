#include "filltarget.h"

#include <algorithm>

namespace Strovik {

namespace {
constexpr double kNanosPerSecond = 1e9;
}

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
        sinceFirstCycle = (nowNanos - firstCycleNanos) / kNanosPerSecond;
        learning = sinceFirstCycle < kLearningSeconds;
    }
    changed |= rollWindows(nowNanos);
    changed |= burstFrames.add(std::min(burst, kLongestBurstFrames));
    if (nowNanos >= switchUntilNanos)
        changed |= earlyFrames.add(earlyNanos * framesPerNano);
    if (changed)
        relearn();
}

void FillTarget::addPacket(double lateNanos, int64_t nowNanos)
{
    if (nowNanos >= switchUntilNanos && lateFrames.add(lateNanos * framesPerNano))
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
    const auto halfLife = static_cast<int64_t>(kLessonHalfLifeSeconds * kNanosPerSecond);
    if (lessonFrames > 0.0 && nowNanos - lessonDecayNanos >= halfLife)
    {
        lessonFrames = lessonFrames < kLeastMarginFrames ? 0.0 : 0.5 * lessonFrames;
        lessonDecayNanos = nowNanos;
        rolled = true;
    }
    return rolled;
}

double FillTarget::workOutMargin() const
{
    // Packets late and host cycles early add up: the ring runs dry when the
    // one meets the other. The sum of each side's worst is what both at
    // their worst at once would need.
    const double seen =
        kLeastMarginFrames + lateFrames.peak() + earlyFrames.peak() + kHeadroomFrames;
    // A stream's first half minute has shown too little of the machine to
    // bet on: from the start margin down to what was seen, across it. (A
    // busy machine's worst moments come tens of seconds apart: coming down
    // within the first window, a 60 s capture on a loaded machine had its
    // only underflow 30 s in.)
    const double unseenShare = std::max(0.0, 1.0 - sinceFirstCycle / kLearningSeconds);
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
