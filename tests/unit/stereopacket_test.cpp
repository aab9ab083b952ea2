// A PipeWire packet on its way into the ring: how many frames a chunk holds,
// and how packets of other than two channels go into the ring as stereo.

#include "framering.h"
#include "frameringaccess.h"
#include "stereopacket.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

using Floats = std::vector<float>;
using Status = Strovik::FrameRing::WriteResult::Status;

struct ChunkCase
{
    uint32_t chunkSize, maxSize, channels, frames;
};

TEST(FramesInChunk, WholeFramesWithinTheMapping)
{
    const ChunkCase cases[] = {
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
    for (const ChunkCase& c : cases)
        EXPECT_EQ(Strovik::framesInChunk(c.chunkSize, c.maxSize, c.channels), c.frames)
            << "chunk=" << c.chunkSize << " max=" << c.maxSize << " ch=" << c.channels;
}

// Samples counting up from `first`.
Floats counting(size_t samples, float first)
{
    Floats out(samples);
    for (size_t i = 0; i < samples; ++i)
        out[i] = first + static_cast<float>(i);
    return out;
}

using Access = Strovik::FrameRingTestAccess;

// Everything the ring holds, read back.
Floats readAll(Strovik::FrameRing& ring)
{
    Floats out(2 * static_cast<size_t>(ring.capacityBytes() / 8));
    out.resize(2 * static_cast<size_t>(ring.read(out.data(), ring.capacityBytes() / 8)));
    return out;
}

TEST(WriteAsStereo, ChannelLayoutsBecomeStereo)
{
    const std::pair<uint32_t, Floats> cases[] = {
        {1, {1, 1, 2, 2, 3, 3}},
        {2, {1, 2, 3, 4, 5, 6}},
        {3, {1, 2, 4, 5, 7, 8}},
        {6, {1, 2, 7, 8, 13, 14}},
    };
    const Floats src = counting(18, 1); // 3 frames of up to 6 channels
    for (const auto& [channels, expected] : cases)
    {
        Strovik::FrameRing ring;
        ring.resize(8);
        // Exactly three frames, and nothing past them in the storage.
        const Floats untouched(Access::storage(ring) + 6, Access::storage(ring) + 16);
        EXPECT_EQ(ring.writeAsStereo(src.data(), 3, channels).status, Status::Written) << channels;
        EXPECT_EQ(Access::writePos(ring), 24u) << channels;
        EXPECT_EQ(Floats(Access::storage(ring) + 6, Access::storage(ring) + 16), untouched)
            << channels;
        EXPECT_EQ(readAll(ring), expected) << channels << " channels";
    }
}

TEST(WriteAsStereo, FramesOfNoChannelsGiveNone)
{
    // Such a packet holds no samples at all: nothing may be read from it,
    // nor stored as if its frames had any. It is an empty packet, dropped,
    // unless the positions make the writer empty the ring first.
    const Floats one{7};
    Strovik::FrameRing ring;
    ring.resize(8);
    const Strovik::FrameRing::WriteResult result = ring.writeAsStereo(one.data(), 3, 0);
    EXPECT_EQ(result.status, Status::Dropped);
    EXPECT_EQ(result.space, 64);
    EXPECT_EQ(Access::writePos(ring), 0u);

    Access::setPositions(ring, 8, 8 + 72);
    EXPECT_EQ(ring.writeAsStereo(one.data(), 3, 0).status, Status::Reset);
    EXPECT_EQ(Access::writePos(ring), 8u);
}

// No conversion buffer stands between the packet and the ring any more: a
// 10000-frame mono packet goes in whole when the ring has room for all of
// it, and not at all with a frame less.
TEST(WriteAsStereo, LongPacketsGoInWholeOrNotAtAll)
{
    constexpr uint32_t kFrames = 10000;
    Strovik::FrameRing ring;
    ring.resize(16384); // 131072 bytes
    const Floats mono = counting(kFrames, 0);

    const uint32_t base = 131072 - kFrames * 8;
    Access::setPositions(ring, 0, base);
    EXPECT_EQ(ring.writeAsStereo(mono.data(), kFrames, 1).status, Status::Written);
    ASSERT_EQ(Access::writePos(ring), base + kFrames * 8);
    Access::setPositions(ring, base, base + kFrames * 8);
    Floats got(2 * kFrames + 2);
    ASSERT_EQ(ring.read(got.data(), kFrames + 1), kFrames);
    for (size_t i = 0; i < kFrames; ++i)
        ASSERT_TRUE(got[2 * i] == mono[i] && got[2 * i + 1] == mono[i]) << i;

    Access::setPositions(ring, 0, base + 8);
    EXPECT_EQ(ring.writeAsStereo(mono.data(), kFrames, 1).status, Status::Dropped);
    EXPECT_EQ(Access::writePos(ring), base + 8);
}

TEST(WriteAsStereo, PacketLongerThanTheStorageIsDroppedWhateverTheSpace)
{
    // With the reader ahead, space looks larger than the ring; AddressSanitizer
    // catches a copy that trusted it. 4097 frames become 4097 stereo ones,
    // one more than the 4096 the ring holds.
    for (uint32_t channels : {1u, 6u})
    {
        Strovik::FrameRing ring;
        ring.resize(4096);
        Access::setPositions(ring, 64, 0);
        const Floats packet = counting(4097 * static_cast<size_t>(channels), 0);
        EXPECT_EQ(ring.writeAsStereo(packet.data(), 4097, channels).status, Status::Dropped)
            << channels;
        EXPECT_EQ(Access::writePos(ring), 0u) << channels;
    }
}

} // namespace
