#pragma once

#include <cstdint>
#include <ctime>

namespace Strovik {

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
