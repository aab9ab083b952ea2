#pragma once

// Reaches the ring's private state from tests, benchmarks and fuzzers:
// positions a test could otherwise reach only after some 2^32 bytes of
// traffic (or never), the fill as the reader sees it, and the storage.

#include "framering.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace Strovik {

struct FrameRingTestAccess
{
    static void setPositions(FrameRing& ring, uint32_t readPos, uint32_t writePos)
    {
        ring.readPos.store(readPos);
        ring.writePos.store(writePos);
    }
    static uint32_t readPos(const FrameRing& ring) { return ring.readPos.load(); }
    static uint32_t writePos(const FrameRing& ring) { return ring.writePos.load(); }

    // Read from the reader's thread, between its own reads: the writer may
    // only add to it meanwhile.
    static uint32_t fillFrames(const FrameRing& ring)
    {
        const uint32_t written = ring.writePos.load(std::memory_order_acquire);
        const uint32_t read = ring.readPos.load(std::memory_order_relaxed);
        return (written - read) / FrameRing::kBytesPerFrame;
    }

    static const float* storage(const FrameRing& ring) { return ring.storage.data(); }
    // Frees the storage, so that a smaller ring sized next is allocated
    // exactly and AddressSanitizer sees a copy past its end (in a larger
    // ring's spare capacity it would not).
    static void releaseStorage(FrameRing& ring) { std::vector<float>().swap(ring.storage); }
};

} // namespace Strovik
