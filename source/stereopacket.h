#pragma once

#include <cstdint>

namespace Strovik {

// Whole frames in one mapped PipeWire data chunk. The chunk's size comes
// from the other end of the graph; it is trusted only as far as the mapping
// reaches (maxSize), so a malformed chunk can never make us read past the
// buffer. 64-bit arithmetic: no channel count can wrap the frame size.
inline uint32_t framesInChunk(uint32_t chunkSize, uint32_t maxSize, uint32_t channels)
{
    if (channels == 0)
        return 0;
    const uint64_t bytes = chunkSize < maxSize ? chunkSize : maxSize;
    return static_cast<uint32_t>(bytes / (static_cast<uint64_t>(channels) * sizeof(float)));
}

} // namespace Strovik
