#pragma once

// Replaces the heap functions (malloc family, operator new/delete), the
// file functions (open, openat, fopen, fflush, fwrite, fprintf, vfprintf,
// and write to a file, FIFO or character device) and pthread_mutex_lock of
// the whole test process, so a test can see which thread allocates, frees,
// locks or does file I/O, and can make large allocations fail. The plug-in
// module and the PipeWire libraries resolve these symbols to the
// executable's, as they would to a host's.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Strovik::HeapProbe {

struct ThreadCounts
{
    int tid = 0;
    std::string name;
    uint64_t allocations = 0;
    uint64_t frees = 0;
    uint64_t locks = 0;
    // Calls of the file functions above, and which ones ("write 2, fflush 1").
    uint64_t fileCalls = 0;
    std::string fileCallsByName;
    // Writes to anything else: eventfds and sockets, with which PipeWire's
    // threads wake each other. Not file I/O, but they show a thread ran.
    uint64_t otherWrites = 0;
};

// Zeroes every counter and starts counting.
void start();
// Stops counting and returns the counts of every thread that did anything.
std::vector<ThreadCounts> stop();
// Makes every allocation of at least `bytes` fail (0: none fails).
void failFrom(size_t bytes);
int currentThreadId();

} // namespace Strovik::HeapProbe
