// A PipeWire packet on its way into the ring: how many frames a chunk holds,
// and how packets of other than two channels become stereo.

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

// The packet as the client hands it to the ring: converted into `stereo`
// (its capacity is the conversion buffer), then written whole or dropped.
Strovik::FrameRing::WriteResult deliver(Strovik::FrameRing& ring, const Floats& samples,
                                        uint32_t frames, uint32_t channels, Floats& stereo)
{
    const uint32_t converted = Strovik::toStereo(samples.data(), frames, channels, stereo.data(),
                                                 static_cast<uint32_t>(stereo.size() / 2));
    return ring.write(stereo.data(), converted);
}

TEST(ToStereo, ChannelLayoutsBecomeStereo)
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
        // One frame more room than needed: it must stay untouched.
        Floats out(8, -1.0f);
        EXPECT_EQ(Strovik::toStereo(src.data(), 3, channels, out.data(), 4), 3u) << channels;
        EXPECT_EQ(Floats(out.begin(), out.begin() + 6), expected) << channels << " channels";
        EXPECT_EQ(Floats(out.begin() + 6, out.end()), Floats(2, -1.0f)) << channels;
    }
}

TEST(ToStereo, FramesOfNoChannelsGiveNone)
{
    // Such a packet holds no samples at all: nothing may be read from it,
    // nor stored as if its frames had any.
    const Floats one{7};
    Floats out(8, -1.0f);
    EXPECT_EQ(Strovik::toStereo(one.data(), 3, 0, out.data(), 4), 0u);
    EXPECT_EQ(out, Floats(8, -1.0f));

    Strovik::FrameRing ring;
    ring.resize(8);
    EXPECT_EQ(deliver(ring, one, 3, 0, out).status, Status::Dropped);
    EXPECT_EQ(Strovik::FrameRingTestAccess::writePos(ring), 0u);
}

// The cut comes first, then the ring takes the cut packet whole or not at
// all: a 10000-frame mono packet needs room for its first 8192 frames only.
TEST(ToStereo, LongPacketsAreCutToTheBufferAndTheCutPacketMustFitWhole)
{
    using Access = Strovik::FrameRingTestAccess;
    constexpr uint32_t kCut = 8192;
    Strovik::FrameRing ring;
    ring.resize(16384); // 131072 bytes
    const Floats mono = counting(10000, 0);
    Floats roomy(2 * kCut + 2, -1.0f);
    EXPECT_EQ(Strovik::toStereo(mono.data(), 10000, 1, roomy.data(), kCut), kCut);
    EXPECT_EQ(Floats(roomy.end() - 2, roomy.end()), Floats(2, -1.0f)) << "written past the cut";
    Floats stereo(2 * kCut); // the client's conversion buffer

    // Room for exactly the cut packet: stored, as the first 8192 frames.
    const uint32_t base = 131072 - kCut * 8;
    Access::setPositions(ring, 0, base);
    EXPECT_EQ(deliver(ring, mono, 10000, 1, stereo).status, Status::Written);
    ASSERT_EQ(Access::writePos(ring), base + kCut * 8);
    Access::setPositions(ring, base, base + kCut * 8);
    Floats got(2 * 10000);
    ASSERT_EQ(ring.read(got.data(), 10000), kCut);
    for (size_t i = 0; i < kCut; ++i)
        ASSERT_TRUE(got[2 * i] == mono[i] && got[2 * i + 1] == mono[i]) << i;

    // One frame less: the whole packet goes, none of it is stored.
    Access::setPositions(ring, 0, base + 8);
    EXPECT_EQ(deliver(ring, mono, 10000, 1, stereo).status, Status::Dropped);
    EXPECT_EQ(Access::writePos(ring), base + 8);
}

TEST(ToStereo, ConvertedPacketLongerThanTheStorageIsDroppedWhateverTheSpace)
{
    // With the reader ahead, space looks larger than the ring; AddressSanitizer
    // catches a copy that trusted it. 4097 mono frames become 4097 stereo
    // ones, one more than the 4096 the ring holds.
    Strovik::FrameRing ring;
    ring.resize(4096);
    Strovik::FrameRingTestAccess::setPositions(ring, 64, 0);
    Floats stereo(2 * 8192);
    EXPECT_EQ(deliver(ring, counting(4097, 0), 4097, 1, stereo).status, Status::Dropped);
    EXPECT_EQ(Strovik::FrameRingTestAccess::writePos(ring), 0u);
}

} // namespace
