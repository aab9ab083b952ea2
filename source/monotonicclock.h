#pragma once

#include <cstdint>
#include <ctime>

namespace Strovik {

// Its nanoseconds per second, and the reciprocal: what runs every cycle
// multiplies by the one rather than divide by the other (a division takes
// several times as long).
constexpr double kNanosPerSecond = 1e9;
constexpr double kSecondsPerNano = 1e-9;

// CLOCK_MONOTONIC, the one clock of an instance: the "t=" of its log lines,
// the writer's stamps, the reader's cycle starts, the router's settling.
// Read through the vDSO: no system call, so the real-time threads may use it.
inline int64_t monotonicNanos()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// In whole milliseconds, for the lines that carry "t=".
inline unsigned long long monotonicMillis()
{
    return static_cast<unsigned long long>(monotonicNanos()) / 1000000ull;
}

} // namespace Strovik
