#pragma once

// Reads a ring's private state for the benchmarks: its fill as seen from the
// reader's side, and where its storage lies.

#include "framering.h"

#include <cstdint>

namespace Strovik {

struct FrameRingTestAccess
{
    // Read from the reader's thread, between its own reads: the writer may
    // only add to it meanwhile.
    static uint32_t fillFrames(const FrameRing& ring)
    {
        const uint32_t written = ring.writePos.load(std::memory_order_acquire);
        const uint32_t read = ring.readPos.load(std::memory_order_relaxed);
        return (written - read) / FrameRing::kBytesPerFrame;
    }

    static const float* storage(const FrameRing& ring) { return ring.ringStorage.data(); }
    static const float* convertScratch(const FrameRing& ring) { return ring.convertScratch.data(); }
};

} // namespace Strovik
