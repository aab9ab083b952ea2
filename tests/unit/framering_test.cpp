#include "framering.h"
#include "frameringaccess.h"
#include "stereopacket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Access = Strovik::FrameRingTestAccess;
using Floats = std::vector<float>;

// Stereo frames whose samples count up from `first`.
Floats counting(uint32_t frames, float first)
{
    Floats samples(2 * static_cast<size_t>(frames));
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = first + static_cast<float>(i);
    return samples;
}

using Status = Strovik::FrameRing::WriteResult::Status;

class FrameRingTest : public ::testing::Test
{
protected:
    Status write(const Floats& stereo)
    {
        return ring.write(stereo.data(), static_cast<uint32_t>(stereo.size() / 2)).status;
    }
    Floats read(uint32_t maxFrames)
    {
        Floats out(2 * static_cast<size_t>(maxFrames));
        out.resize(2 * static_cast<size_t>(ring.read(out.data(), maxFrames)));
        return out;
    }
    uint32_t fill() { return Access::writePos(ring) - Access::readPos(ring); }

    Strovik::FrameRing ring;
};

TEST_F(FrameRingTest, ResizeRoundsUpToAPowerOfTwoAndResetsPositions)
{
    const std::pair<uint32_t, uint32_t> cases[] = {
        {48000, 524288}, {44100, 524288}, {65536, 524288}, {96000, 1048576}, {8192, 65536},
        {8, 64},         {1, 8},          {0, 0},          {0x20000000, 0}, // rate*8 wraps to 0
    };
    for (const auto& [rate, bytes] : cases)
    {
        Access::setPositions(ring, 40, 48);
        ring.resize(rate);
        EXPECT_EQ(ring.capacityBytes(), bytes) << rate;
        EXPECT_EQ(Access::readPos(ring) | Access::writePos(ring), 0u) << rate;
    }
}

TEST_F(FrameRingTest, ZeroSizedRingDropsEverythingWithoutAReset)
{
    for (bool sized : {false, true})
    {
        if (sized)
            ring.resize(0);
        for (uint32_t frames : {1u, 100u})
            EXPECT_EQ(write(counting(frames, 1)), Status::Dropped) << frames;
        EXPECT_EQ(Access::writePos(ring), 0u);
        EXPECT_TRUE(read(8192).empty());
        EXPECT_EQ(ring.fillPercent(), 0u);
    }
}

TEST_F(FrameRingTest, PacketsFitWholeOrAreDroppedWithoutAReset)
{
    ring.resize(8);                                      // 64 bytes, 8 frames
    EXPECT_EQ(write(counting(9, 500)), Status::Dropped); // longer than the ring
    EXPECT_EQ(write({}), Status::Dropped);               // zero frames
    EXPECT_EQ(fill(), 0u);
    EXPECT_EQ(write(counting(5, 0)), Status::Written);
    EXPECT_EQ(write(counting(4, 100)), Status::Dropped); // 32 bytes into 24 of space
    EXPECT_EQ(fill(), 40u);
    EXPECT_EQ(write(counting(3, 10)), Status::Written); // exactly the space left
    EXPECT_EQ(fill(), 64u);
    EXPECT_EQ(ring.fillPercent(), 100u);
    const Strovik::FrameRing::WriteResult full = ring.write(counting(1, 200).data(), 1);
    EXPECT_EQ(full.status, Status::Dropped);
    EXPECT_EQ(full.fill, 64);
    EXPECT_EQ(full.space, 0);
    EXPECT_EQ(fill(), 64u);

    Floats expected = counting(5, 0), tail = counting(3, 10);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(read(8192), expected);
}

TEST_F(FrameRingTest, ReadReturnsAtMostWhatIsHeldAndAsked)
{
    ring.resize(8192);
    write(counting(100, 0));
    float sentinel = -1;
    EXPECT_EQ(ring.read(&sentinel, 0), 0u);
    EXPECT_EQ(sentinel, -1);
    EXPECT_EQ(fill(), 800u);

    EXPECT_EQ(read(30), counting(30, 0));
    // Nothing past the frames returned may be touched.
    Floats dst(2 * 8192, -1.0f);
    ASSERT_EQ(ring.read(dst.data(), 8192), 70u);
    EXPECT_EQ(Floats(dst.begin(), dst.begin() + 140), counting(70, 60));
    EXPECT_EQ(dst[140], -1);
    EXPECT_EQ(Access::readPos(ring), 800u);
}

TEST_F(FrameRingTest, CopiesSplitAtTheEndOfStorage)
{
    // Offset 48 of a 64-byte ring: two frames at the end, three at the start.
    ring.resize(8);
    write(counting(6, 0));
    read(6);
    write(counting(5, 100));
    const float* storage = Access::storage(ring);
    EXPECT_EQ(Floats(storage + 12, storage + 16), counting(2, 100));
    EXPECT_EQ(Floats(storage, storage + 6), counting(3, 104));
    EXPECT_EQ(read(8), counting(5, 100));

    // The same across 2^32: 8 bytes held just below it.
    ring.resize(8192);
    Access::setPositions(ring, 0u - 16, 0u - 8);
    write(counting(2, 1));
    storage = Access::storage(ring);
    EXPECT_EQ(Floats(storage + 16382, storage + 16384), counting(1, 1));
    EXPECT_EQ(Floats(storage, storage + 2), counting(1, 3));
    EXPECT_EQ(Access::writePos(ring), 8u);
    EXPECT_EQ(fill(), 24u);
    const Floats got = read(3);
    EXPECT_EQ(Floats(got.begin() + 2, got.end()), counting(2, 1));
    EXPECT_EQ(Access::readPos(ring), 8u);
}

// Frames of `channels` samples, sample c of frame k being 100 * k + c + 1.
Floats interleaved(uint32_t frames, uint32_t channels)
{
    Floats samples(static_cast<size_t>(frames) * channels);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<float>(100 * (i / channels) + i % channels + 1);
    return samples;
}

// What writeAsStereo should store: the first two channels, mono on both sides.
Floats asStereo(const Floats& samples, uint32_t channels)
{
    Floats stereo;
    for (size_t i = 0; i < samples.size(); i += channels)
    {
        stereo.push_back(samples[i]);
        stereo.push_back(samples[i + (channels > 1 ? 1 : 0)]);
    }
    return stereo;
}

TEST_F(FrameRingTest, ConvertedPacketsSplitAtTheEndOfStorage)
{
    for (uint32_t channels : {1u, 6u})
    {
        const Floats packet = interleaved(5, channels);
        const Floats stereo = asStereo(packet, channels);
        // Two frames before the end of the storage, three from its start:
        // at offset 48 of a 64-byte ring, then the same across 2^32.
        for (const auto& [rate, position] : {std::pair{8u, 48u}, std::pair{8192u, 0u - 16}})
        {
            ring.resize(rate);
            Access::setPositions(ring, position, position);
            ASSERT_EQ(ring.writeAsStereo(packet.data(), 5, channels).status, Status::Written);
            const float* end = Access::storage(ring) + ring.capacityBytes() / sizeof(float);
            EXPECT_EQ(Floats(end - 4, end), Floats(stereo.begin(), stereo.begin() + 4))
                << channels << " channels, ring of " << rate;
            EXPECT_EQ(Floats(Access::storage(ring), Access::storage(ring) + 6),
                      Floats(stereo.begin() + 4, stereo.end()))
                << channels << " channels, ring of " << rate;
            EXPECT_EQ(Access::writePos(ring), position + 40);
            EXPECT_EQ(read(8), stereo);
        }
    }
}

TEST_F(FrameRingTest, ConvertedPacketsFitWholeOrAreDropped)
{
    for (uint32_t channels : {1u, 6u})
    {
        ring.resize(8); // 8 frames
        const Floats first = interleaved(5, channels), rest = interleaved(3, channels);
        ASSERT_EQ(ring.writeAsStereo(first.data(), 5, channels).status, Status::Written);
        // Four frames into the three left: none of them goes in.
        const Floats before(Access::storage(ring), Access::storage(ring) + 16);
        const auto tooLong = ring.writeAsStereo(interleaved(4, channels).data(), 4, channels);
        EXPECT_EQ(tooLong.status, Status::Dropped) << channels;
        EXPECT_EQ(tooLong.fill, 40);
        EXPECT_EQ(tooLong.space, 24);
        EXPECT_EQ(fill(), 40u);
        EXPECT_EQ(Floats(Access::storage(ring), Access::storage(ring) + 16), before);
        // Exactly the space left, then nothing more.
        EXPECT_EQ(ring.writeAsStereo(rest.data(), 3, channels).status, Status::Written);
        EXPECT_EQ(ring.writeAsStereo(rest.data(), 1, channels).status, Status::Dropped);
        Floats expected = asStereo(first, channels), tail = asStereo(rest, channels);
        expected.insert(expected.end(), tail.begin(), tail.end());
        EXPECT_EQ(read(8), expected) << channels;
    }
}

// Whatever the positions, even ones off a frame boundary that only a test
// can place, a converted packet does to the ring exactly what write() does
// with the same frames already in stereo, and both put byte j of the
// stereo frames at position w + j modulo the storage.
TEST_F(FrameRingTest, ConvertedPacketsGoWhereWriteWouldPutThem)
{
    std::vector<std::pair<uint32_t, uint32_t>> positions{{8, 8 + 72}, {64, 0}}; // reset, negative
    for (uint32_t p = 0; p < 128; ++p)
    {
        positions.emplace_back(0u - 64 + p, 0u - 64 + p);
        positions.emplace_back(0u - 64 + p, 0u - 64 + p + 20);
    }
    Strovik::FrameRing stereoRing;
    for (uint32_t channels : {1u, 3u, 6u})
        for (uint32_t frames : {1u, 5u, 8u, 9u})
        {
            const Floats packet = interleaved(frames, channels);
            const Floats stereo = asStereo(packet, channels);
            const auto* stereoBytes = reinterpret_cast<const unsigned char*>(stereo.data());
            for (const auto& [r, w] : positions)
            {
                for (Strovik::FrameRing* each : {&ring, &stereoRing})
                {
                    Access::releaseStorage(*each); // zeroed afresh
                    each->resize(8);
                    Access::setPositions(*each, r, w);
                }
                const auto got = ring.writeAsStereo(packet.data(), frames, channels);
                const auto want = stereoRing.write(stereo.data(), frames);
                std::vector<unsigned char> expected(64, 0);
                if (want.status == Status::Written)
                    for (uint32_t j = 0; j < frames * 8; ++j)
                        expected[(w + j) & 63] = stereoBytes[j];
                ASSERT_TRUE(got.status == want.status && got.fill == want.fill &&
                            got.space == want.space &&
                            Access::writePos(ring) == Access::writePos(stereoRing) &&
                            std::memcmp(Access::storage(ring), expected.data(), 64) == 0 &&
                            std::memcmp(Access::storage(stereoRing), expected.data(), 64) == 0)
                    << channels << " channels, " << frames << " frames at " << r << ", " << w;
            }
        }
}

// Silence in place of a packet: over storage that held other frames, at
// any position (across the end, off a frame boundary, on a full or reset
// ring), exactly what write() does with as many zero frames.
TEST_F(FrameRingTest, SilenceGoesWhereAndAsWriteWouldPutZeros)
{
    Strovik::FrameRing zerosRing;
    for (uint32_t frames : {1u, 5u, 8u, 9u})
    {
        const Floats zeros(2 * frames, 0.0f);
        for (uint32_t p = 0; p < 72; ++p)
            for (uint32_t ahead : {0u, 20u, 72u})
            {
                for (Strovik::FrameRing* each : {&ring, &zerosRing})
                {
                    each->resize(8);
                    Access::setPositions(*each, 0, 0);
                    ASSERT_EQ(each->write(counting(8, 1).data(), 8).status, Status::Written);
                    Access::setPositions(*each, 0u - 36 + p, 0u - 36 + p + ahead);
                }
                const auto got = ring.writeSilence(frames);
                const auto want = zerosRing.write(zeros.data(), frames);
                ASSERT_TRUE(got.status == want.status && got.fill == want.fill &&
                            got.space == want.space &&
                            Access::writePos(ring) == Access::writePos(zerosRing) &&
                            std::memcmp(Access::storage(ring), Access::storage(zerosRing), 64) == 0)
                    << frames << " frames at " << p << ", " << ahead << " ahead";
            }
    }
}

TEST_F(FrameRingTest, ImpossibleFillIsReportedAndEmptiedFromTheWriterSide)
{
    ring.resize(8192);
    Access::setPositions(ring, 8, 8 + 65536 + 8);
    // The client logs the RESET line from what the write reports.
    const Strovik::FrameRing::WriteResult result = ring.write(counting(1, 0).data(), 1);
    EXPECT_EQ(result.status, Status::Reset);
    EXPECT_EQ(result.fill, 65544);
    EXPECT_EQ(result.space, -8);
    // The reader's position is the reader's alone; the writer moved its own.
    EXPECT_EQ(Access::readPos(ring), 8u);
    EXPECT_EQ(Access::writePos(ring), 8u);
    EXPECT_TRUE(read(8192).empty());
    write(counting(2, 7));
    EXPECT_EQ(read(8192), counting(2, 7));
    // Whatever the positions say, a read never returns more than the storage holds.
    Access::setPositions(ring, 0, 65536 + 64);
    EXPECT_EQ(read(9000).size(), 2u * 8192);
}

TEST_F(FrameRingTest, NegativeFillNeverCopiesOutsideTheStorage)
{
    // With the reader ahead, space looks larger than the ring; AddressSanitizer
    // catches a copy that trusted it.
    ring.resize(8192);
    Access::setPositions(ring, 64, 0);
    EXPECT_TRUE(read(8192).empty());
    EXPECT_EQ(ring.fillPercent(), 0u);
    // Longer than the storage, though shorter than the space it seems to have.
    EXPECT_EQ(write(counting(8193, 0)), Status::Dropped);
    EXPECT_EQ(Access::writePos(ring), 0u);
    EXPECT_EQ(Access::readPos(ring), 64u);
}

TEST_F(FrameRingTest, DiscardEmptiesFromTheReaderSide)
{
    ring.resize(8);
    write(counting(5, 0));
    ring.discard();
    EXPECT_EQ(Access::readPos(ring), 40u);
    EXPECT_EQ(Access::writePos(ring), 40u);
    EXPECT_TRUE(read(8).empty());
    write(counting(8, 50)); // the whole ring is free again
    EXPECT_EQ(read(8), counting(8, 50));
}

TEST_F(FrameRingTest, FillPercentRoundsDown)
{
    struct Case
    {
        uint32_t rate, fill, percent;
    };
    // The last three: in a 64 MiB ring, fill * 100 no longer fits in 32 bits.
    const Case cases[] = {{8, 0, 0},
                          {8, 8, 12},
                          {8, 32, 50},
                          {8, 56, 87},
                          {8, 64, 100},
                          {8388608, 1u << 26, 100},
                          {8388608, (1u << 26) - 8, 99},
                          {8388608, 1u << 25, 50}};
    for (const Case& c : cases)
    {
        if (ring.capacityBytes() != c.rate * 8)
            ring.resize(c.rate);
        Access::setPositions(ring, 0u - 8, c.fill - 8);
        EXPECT_EQ(ring.fillPercent(), c.percent) << c.rate << " " << c.fill;
    }
}

TEST_F(FrameRingTest, FramesKeptBehindTheReaderStayPlayedAndUnwritten)
{
    ring.resize(8); // 8 frames, 3 of them kept behind the reader
    ring.keepBehindReader(3);
    EXPECT_EQ(write(counting(6, 0)), Status::Dropped); // would reach into them
    EXPECT_EQ(write(counting(5, 0)), Status::Written);
    EXPECT_EQ(read(4), counting(4, 0));
    // Space: 8 - 1 held - 3 kept. Wrapping past the storage's end.
    const Strovik::FrameRing::WriteResult full = ring.write(counting(5, 100).data(), 5);
    EXPECT_EQ(full.status, Status::Dropped);
    EXPECT_EQ(full.space, 32);
    EXPECT_EQ(write(counting(4, 100)), Status::Written);
    EXPECT_EQ(write(counting(1, 200)), Status::Dropped);

    // What was read last is still there, oldest first, no further back
    // than kept; across the storage's end too.
    auto played = [&](uint32_t frames) {
        const Strovik::FrameRing::ReadView view = ring.played(frames);
        Floats out(view.first, view.first + 2 * view.firstFrames);
        out.insert(out.end(), view.second, view.second + 2 * view.secondFrames);
        return out;
    };
    EXPECT_EQ(played(2), Floats({4, 5, 6, 7}));
    EXPECT_EQ(played(9), Floats({2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(read(3), Floats({8, 9, 100, 101, 102, 103}));
    EXPECT_EQ(played(3), Floats({8, 9, 100, 101, 102, 103}));
    EXPECT_EQ(read(8), Floats({104, 105, 106, 107}));
    EXPECT_EQ(Access::readPos(ring), 72u);
    EXPECT_EQ(played(3), Floats({102, 103, 104, 105, 106, 107}));

    // Without frames kept, played() shows none, and the whole ring fills.
    ring.keepBehindReader(0);
    EXPECT_TRUE(played(3).empty());
    EXPECT_EQ(write(counting(8, 300)), Status::Written);
    EXPECT_EQ(fill(), 64u);
}

// A writer at full speed into a small ring that is full nearly all the
// time: the frames the reader took last are still there, intact, however
// soon after its read it looks back (ThreadSanitizer sees a writer that
// touched them as a race).
TEST_F(FrameRingTest, ConcurrentWriterLeavesTheKeptFramesAlone)
{
    ring.resize(64);
    ring.keepBehindReader(31);
    constexpr uint32_t kFrames = 200000;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        Floats packet(2 * 16);
        for (uint32_t frame = 0; frame < kFrames;)
        {
            const uint32_t frames = 1 + frame % 16;
            for (uint32_t k = 0; k < frames; ++k)
                packet[2 * k] = packet[2 * k + 1] = static_cast<float>(frame + k);
            if (ring.write(packet.data(), frames).status == Status::Written)
                frame += frames;
            else
                std::this_thread::yield();
        }
        done = true;
    });
    Floats last; // the last 31 frames read, oldest first
    size_t bad = 0, looks = 0;
    std::mt19937 rng(99);
    for (;;)
    {
        const bool finished = done;
        const Floats got = read(std::uniform_int_distribution<uint32_t>(1, 40)(rng));
        last.insert(last.end(), got.begin(), got.end());
        if (last.size() > 2 * 31)
            last.erase(last.begin(), last.end() - 2 * 31);
        const Strovik::FrameRing::ReadView view = ring.played(31);
        Floats kept(view.first, view.first + 2 * view.firstFrames);
        kept.insert(kept.end(), view.second, view.second + 2 * view.secondFrames);
        if (last.size() == 2 * 31)
        {
            bad += kept != last;
            ++looks;
        }
        if (finished && got.empty())
            break;
    }
    writer.join();
    EXPECT_GE(last.back(), static_cast<float>(kFrames - 1)); // all were read
    EXPECT_GT(looks, 1000u);
    EXPECT_EQ(bad, 0u);
}

// One writer and one reader at full speed on a small ring that wraps and
// overflows all the time. Frame k of packet p carries (start[p] + k) modulo
// 2^24 on the left and p on the right, both exact in a float, so every frame
// the reader sees names its packet and its place in it.
TEST_F(FrameRingTest, ConcurrentWriterAndReaderKeepWholePacketsInOrder)
{
    const char* env = std::getenv("STROVIK_STRESS_PACKETS");
    const uint32_t packets = env ? static_cast<uint32_t>(std::strtoul(env, nullptr, 10)) : 100000;
    ASSERT_LT(packets, 1u << 24);
    std::mt19937 rng(1234);
    std::vector<uint32_t> start{0};
    for (uint32_t p = 0; p < packets; ++p)
        start.push_back(start.back() + std::uniform_int_distribution<uint32_t>(1, 1024)(rng));
    std::vector<char> stored(packets);
    // Writer's own counts, read once it is joined.
    size_t resets = 0, wrongStatus = 0;
    std::atomic<bool> done{false};
    ring.resize(8192);

    std::thread writer([&] {
        Floats packet(2 * 1024);
        for (uint32_t p = 0; p < packets; ++p)
        {
            for (uint32_t k = 0; k < start[p + 1] - start[p]; ++k)
            {
                packet[2 * k] = static_cast<float>((start[p] + k) & 0xFFFFFF);
                packet[2 * k + 1] = static_cast<float>(p);
            }
            const uint32_t before = Access::writePos(ring); // the writer's own position
            const Status status = ring.write(packet.data(), start[p + 1] - start[p]).status;
            stored[p] = Access::writePos(ring) != before;
            resets += status == Status::Reset;
            wrongStatus += stored[p] != (status == Status::Written);
            if (p % 32 == 0)
                std::this_thread::yield();
        }
        done = true;
    });

    // Runs of consecutive frames of one packet, checked once the writer is done.
    struct Run
    {
        uint32_t packet, first, last;
        bool afterDiscard;
    };
    std::vector<Run> runs;
    const auto exact = [](float v, uint32_t below) {
        return v >= 0 && v < below && v == int64_t(v);
    };
    Floats dst(2 * 8192 + 2);
    size_t badFrames = 0, discards = 0, received = 0;
    bool discarded = false;
    for (;;)
    {
        const bool finished = done;
        const uint32_t maxFrames = std::uniform_int_distribution<uint32_t>(1, 8192)(rng);
        dst[2 * maxFrames] = -1;
        const uint32_t got = ring.read(dst.data(), maxFrames);
        badFrames += got > maxFrames || dst[2 * maxFrames] != -1;
        for (uint32_t i = 0; i < got; ++i)
        {
            const float left = dst[2 * i], right = dst[2 * i + 1];
            if (!exact(right, packets) || !exact(left, 1u << 24))
            {
                ++badFrames;
                continue;
            }
            const auto p = static_cast<uint32_t>(right);
            const uint32_t k = (static_cast<uint32_t>(left) - start[p]) & 0xFFFFFF;
            if (k >= start[p + 1] - start[p])
                ++badFrames;
            else if (!runs.empty() && runs.back().packet == p && runs.back().last + 1 == k)
                runs.back().last = k;
            else
                runs.push_back({p, k, k, std::exchange(discarded, false)});
        }
        received += got;
        if (finished && got == 0)
            break;
        if (got == 0)
            std::this_thread::yield();
        else if (!finished && rng() % 64 == 0)
        {
            ring.discard();
            discarded = true;
            ++discards;
        }
    }
    writer.join();
    ASSERT_EQ(badFrames, 0u);
    runs.push_back({packets, 0, 0, discarded}); // the end, after the last stored packet

    // Each run starts a stored packet after the one before. Unless a discard
    // came between, the run before ended its packet, and every packet in
    // between was dropped by the writer.
    for (size_t i = 0; i < runs.size(); ++i)
    {
        const Run& run = runs[i];
        const int64_t before = i ? int64_t(runs[i - 1].packet) : -1;
        ASSERT_TRUE(run.first == 0 && run.packet > before &&
                    (run.packet == packets || stored[run.packet]))
            << "run " << i << ": packet " << run.packet << " from frame " << run.first;
        if (run.afterDiscard)
            continue;
        ASSERT_TRUE(i == 0 || runs[i - 1].last + 1 == start[before + 1] - start[before])
            << "packet " << before << " cut short";
        for (int64_t q = before + 1; q < run.packet; ++q)
            ASSERT_FALSE(stored[q]) << "stored packet " << q << " never read";
    }
    EXPECT_EQ(resets, 0u);
    EXPECT_EQ(wrongStatus, 0u) << "a write reported other than what it did";
    std::printf("[          ] %u packets, %zu stored, %zu frames read, %zu discards\n", packets,
                static_cast<size_t>(std::count(stored.begin(), stored.end(), 1)), received,
                discards);
}

} // namespace
