#pragma once

#include "monotonicclock.h"

#include <cstdint>

namespace Strovik {

// The start of the host's cycle on CLOCK_MONOTONIC, for the clock bridge.
// Most hosts hand it to process() (the process context's system time),
// which spares the audio thread a clock read per block; but no host
// promises which clock that is. So its time is only taken once it has
// agreed with CLOCK_MONOTONIC on its first calls, and is checked against
// it again every kCheckCalls calls or kCheckNanos of its own time; a host
// time that disagrees once, or does not advance, is refused until reset().
//
// cycleStart() runs on the audio thread (no allocation, lock or system
// call: the clock is read through the vDSO); reset() while it does not.
class HostClock
{
public:
    using Clock = int64_t (*)();

    // Within this of CLOCK_MONOTONIC, the host's time is on that clock: far
    // more than a call's lateness after its cycle start, far less than any
    // other clock's offset (another epoch) or a drift worth correcting.
    static constexpr int64_t kToleranceNanos = 1'000'000;
    // Agreements in a row before the host's time is taken.
    static constexpr uint32_t kTrustAfter = 4;
    static constexpr uint32_t kCheckCalls = 256;
    static constexpr int64_t kCheckNanos = 250'000'000;

    explicit HostClock(Clock ownClock = monotonicNanos) : clock(ownClock) {}

    // Forgets what the host's time has shown so far.
    void reset();

    // This cycle's start: the host's time (when valid) once trusted, else
    // CLOCK_MONOTONIC read now.
    int64_t cycleStart(bool hostTimeValid, int64_t hostNanos);

    bool trusted() const { return state == State::Trusted; }

private:
    enum class State : uint8_t
    {
        Checking, // agreements so far: `agreements`
        Trusted,
        Refused,
    };

    int64_t check(int64_t hostNanos);

    Clock clock;
    State state = State::Checking;
    uint32_t agreements = 0;
    uint32_t callsUntilCheck = 0;
    int64_t lastHostNanos = 0;
    int64_t lastCheckNanos = 0;
};

} // namespace Strovik
