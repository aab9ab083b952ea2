#include "capturepacket.h"

#include <gtest/gtest.h>

namespace {

struct BlockCase
{
    uint32_t chunkSize, maxSize, channels, frames;
};

TEST(FramesInBlock, WholeFramesWithinTheMapping)
{
    const BlockCase cases[] = {
        {4096, 4096, 2, 512},
        {4100, 8192, 2, 512}, // a partial trailing frame is not a frame
        {2048, 2048, 1, 512},
        {4800, 4800, 6, 200},
        {8192, 4096, 2, 512}, // a chunk claiming more than is mapped is clamped
        {4096, 0, 2, 0},
        {4096, 4096, 0, 0},
        {0xFFFFFFFF, 0xFFFFFFFF, 0x10000000, 3},
        // 32-bit channels*4 would wrap to 4 and 0 and claim a huge or divide-by-zero count.
        {0xFFFFFFFF, 0xFFFFFFFF, 0x40000001, 0},
        {0xFFFFFFFF, 0xFFFFFFFF, 0x40000000, 0},
        {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0},
    };
    for (const BlockCase& c : cases)
        EXPECT_EQ(Strovik::framesInBlock(c.chunkSize, c.maxSize, c.channels), c.frames)
            << "chunk=" << c.chunkSize << " max=" << c.maxSize << " ch=" << c.channels;
}

} // namespace
