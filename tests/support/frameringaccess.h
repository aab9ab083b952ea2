#pragma once

// Reaches the ring's private state from tests and fuzzers: positions a
// test could otherwise reach only after some 2^32 bytes of traffic (or
// never), and the storage itself.

#include "framering.h"

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
    static const float* storage(const FrameRing& ring) { return ring.ringStorage.data(); }
    // Frees the storage, so that a smaller ring sized next is allocated
    // exactly and AddressSanitizer sees a copy past its end (in a larger
    // ring's spare capacity it would not).
    static void releaseStorage(FrameRing& ring) { std::vector<float>().swap(ring.ringStorage); }
};

} // namespace Strovik
