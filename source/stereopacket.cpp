#include "stereopacket.h"

#include <algorithm>
#include <cstddef>

namespace Strovik {

uint32_t toStereo(const float* in, uint32_t frames, uint32_t channels, float* out,
                  uint32_t maxFrames)
{
    if (channels == 0)
        return 0;
    const uint32_t n = std::min(frames, maxFrames);
    if (channels == 1)
    {
        // Its own loop: with a fixed stride and no aliasing the compiler
        // vectorises it.
        const float* __restrict from = in;
        float* __restrict to = out;
        for (size_t i = 0; i < n; ++i)
        {
            to[2 * i] = from[i];
            to[2 * i + 1] = from[i];
        }
        return n;
    }
    const size_t stride = channels;
    for (size_t i = 0; i < n; ++i)
    {
        out[2 * i] = in[i * stride];
        out[2 * i + 1] = in[i * stride + 1];
    }
    return n;
}

} // namespace Strovik
