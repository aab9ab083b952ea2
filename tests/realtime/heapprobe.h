#pragma once

// Replaces the heap functions (malloc family, operator new/delete) and
// pthread_mutex_lock of the whole test process, so a test can see which
// thread allocates, frees or locks, and can make large allocations fail.
// The plug-in module resolves these symbols to the executable's, as it
// would to a host's.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace HeapProbe {

struct ThreadCounts
{
    int tid = 0;
    std::string name;
    uint64_t allocations = 0;
    uint64_t frees = 0;
    uint64_t locks = 0;
};

// Zeroes every counter and starts counting.
void start();
// Stops counting and returns the counts of every thread that did anything.
std::vector<ThreadCounts> stop();
// Makes every allocation of at least `bytes` fail (0: none fails).
void failFrom(size_t bytes);
int currentThreadId();

} // namespace HeapProbe
