#include "hostclock.h"

namespace Strovik {

void HostClock::reset()
{
    state = State::Checking;
    agreements = 0;
    callsUntilCheck = 0;
}

int64_t HostClock::cycleStart(bool hostTimeValid, int64_t hostNanos)
{
    if (!hostTimeValid || state == State::Refused)
        return clock();
    // A host time that stands still or runs back is no clock at all.
    const bool first = state == State::Checking && agreements == 0;
    const bool advanced = first || hostNanos > lastHostNanos;
    lastHostNanos = hostNanos;
    if (!advanced)
    {
        state = State::Refused;
        return clock();
    }
    if (state == State::Trusted && --callsUntilCheck != 0 &&
        hostNanos - lastCheckNanos < kCheckNanos)
        return hostNanos;
    return check(hostNanos);
}

int64_t HostClock::check(int64_t hostNanos)
{
    const int64_t own = clock();
    const int64_t apart = hostNanos - own;
    if (apart > kToleranceNanos || apart < -kToleranceNanos)
    {
        state = State::Refused;
        return own;
    }
    if (state == State::Checking && ++agreements >= kTrustAfter)
        state = State::Trusted;
    callsUntilCheck = kCheckCalls;
    lastCheckNanos = hostNanos;
    // Agreeing, the host's time is the one to go on: switching between it
    // and a read taken later in the cycle would add that lateness as jitter.
    return hostNanos;
}

} // namespace Strovik
