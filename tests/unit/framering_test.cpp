#include "diagnosticlog.h"
#include "framering.h"
#include "frameringaccess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
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

class FrameRingTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/strovik-ring-test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        logPath = dir + "/strovik.log";
        log = std::make_unique<Strovik::DiagnosticLog>(logPath.c_str());
        ring = std::make_unique<Strovik::FrameRing>(*log);
        ring->sizeScratch();
    }
    void TearDown() override
    {
        ring.reset();
        log.reset();
        std::filesystem::remove_all(dir);
    }

    std::string logText()
    {
        std::stringstream text;
        text << std::ifstream(logPath).rdbuf();
        return text.str();
    }
    void write(const Floats& stereo) { ring->writeRing(stereo.data(), stereo.size() / 2, 2); }
    Floats read(uint32_t maxFrames)
    {
        Floats out(2 * static_cast<size_t>(maxFrames));
        out.resize(2 * static_cast<size_t>(ring->readRing(out.data(), maxFrames)));
        return out;
    }
    uint32_t fill() { return Access::writePos(*ring) - Access::readPos(*ring); }

    std::string dir, logPath;
    std::unique_ptr<Strovik::DiagnosticLog> log;
    std::unique_ptr<Strovik::FrameRing> ring;
};

TEST_F(FrameRingTest, SizeRingRoundsUpToAPowerOfTwoAndResetsPositions)
{
    const std::pair<uint32_t, uint32_t> cases[] = {
        {48000, 524288}, {44100, 524288}, {65536, 524288}, {96000, 1048576}, {8192, 65536},
        {8, 64},         {1, 8},          {0, 0},          {0x20000000, 0}, // rate*8 wraps to 0
    };
    for (const auto& [rate, bytes] : cases)
    {
        Access::setPositions(*ring, 40, 48);
        ring->sizeRing(rate);
        EXPECT_EQ(ring->capacityBytes(), bytes) << rate;
        EXPECT_EQ(Access::readPos(*ring) | Access::writePos(*ring), 0u) << rate;
    }
}

TEST_F(FrameRingTest, ZeroSizedRingDropsEverythingSilently)
{
    for (bool sized : {false, true})
    {
        if (sized)
            ring->sizeRing(0);
        const Floats samples = counting(1000, 1);
        for (uint32_t channels : {1u, 2u, 3u})
            for (uint32_t frames : {1u, 100u})
                ring->writeRing(samples.data(), frames, channels);
        EXPECT_EQ(Access::writePos(*ring), 0u);
        EXPECT_TRUE(read(8192).empty());
        EXPECT_EQ(ring->fillPercent(), 0u);
    }
    EXPECT_EQ(logText(), "");
}

TEST_F(FrameRingTest, ChannelLayoutsAreStoredAsStereo)
{
    const std::pair<uint32_t, Floats> cases[] = {
        {1, {1, 1, 2, 2, 3, 3}},
        {2, {1, 2, 3, 4, 5, 6}},
        {3, {1, 2, 4, 5, 7, 8}},
        {6, {1, 2, 7, 8, 13, 14}},
    };
    ring->sizeRing(8);
    for (const auto& [channels, expected] : cases)
    {
        const Floats src = counting(9, 1); // 18 samples: 3 frames of up to 6 channels
        ring->writeRing(src.data(), 3, channels);
        EXPECT_EQ(read(8), expected) << channels << " channels";
    }
}

TEST_F(FrameRingTest, FramesOfNoChannelsAreDropped)
{
    // Such a packet holds no samples at all: nothing may be read from it,
    // nor stored as if its frames had any.
    ring->sizeRing(8);
    const Floats one{7};
    ring->writeRing(one.data(), 3, 0);
    EXPECT_EQ(Access::writePos(*ring), 0u);
    EXPECT_TRUE(read(8).empty());
}

TEST_F(FrameRingTest, NonStereoPacketsAreCutToTheScratchButMustFitWhole)
{
    ring->sizeRing(16384); // 131072 bytes
    Floats mono(10000);
    for (size_t i = 0; i < mono.size(); ++i)
        mono[i] = static_cast<float>(i);

    // Space of exactly 10000 frames: stored, as its first 8192 frames.
    const uint32_t base = 131072 - 80000;
    Access::setPositions(*ring, 0, base);
    ring->writeRing(mono.data(), 10000, 1);
    ASSERT_EQ(Access::writePos(*ring), base + 8192 * 8);
    Access::setPositions(*ring, base, base + 8192 * 8);
    const Floats got = read(10000);
    ASSERT_EQ(got.size(), 2u * 8192);
    for (size_t i = 0; i < 8192; ++i)
        ASSERT_TRUE(got[2 * i] == mono[i] && got[2 * i + 1] == mono[i]) << i;

    // One frame less of space: the whole packet goes, though 8192 frames would fit.
    Access::setPositions(*ring, 0, base + 8);
    ring->writeRing(mono.data(), 10000, 1);
    EXPECT_EQ(Access::writePos(*ring), base + 8);

    // Stereo has no scratch limit: 10000 frames are kept whole.
    Access::setPositions(*ring, base, base);
    write(counting(10000, 0));
    EXPECT_EQ(read(10000), counting(10000, 0));
    EXPECT_EQ(logText(), "");
}

TEST_F(FrameRingTest, PacketsFitWholeOrAreDroppedSilently)
{
    ring->sizeRing(8);       // 64 bytes, 8 frames
    write(counting(9, 500)); // longer than the ring
    write({});               // zero frames
    EXPECT_EQ(fill(), 0u);
    write(counting(5, 0));
    write(counting(4, 100)); // 32 bytes into 24 of space
    EXPECT_EQ(fill(), 40u);
    write(counting(3, 10)); // exactly the space left
    EXPECT_EQ(fill(), 64u);
    EXPECT_EQ(ring->fillPercent(), 100u);
    write(counting(1, 200)); // full ring
    EXPECT_EQ(fill(), 64u);

    Floats expected = counting(5, 0), tail = counting(3, 10);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(read(8192), expected);
    EXPECT_EQ(logText(), "");
}

TEST_F(FrameRingTest, ReadRingReturnsAtMostWhatIsHeldAndAsked)
{
    ring->sizeRing(8192);
    write(counting(100, 0));
    float sentinel = -1;
    EXPECT_EQ(ring->readRing(&sentinel, 0), 0u);
    EXPECT_EQ(sentinel, -1);
    EXPECT_EQ(fill(), 800u);

    EXPECT_EQ(read(30), counting(30, 0));
    // Nothing past the frames returned may be touched.
    Floats dst(2 * 8192, -1.0f);
    ASSERT_EQ(ring->readRing(dst.data(), 8192), 70u);
    EXPECT_EQ(Floats(dst.begin(), dst.begin() + 140), counting(70, 60));
    EXPECT_EQ(dst[140], -1);
    EXPECT_EQ(Access::readPos(*ring), 800u);
}

TEST_F(FrameRingTest, CopiesSplitAtTheEndOfStorage)
{
    // Offset 48 of a 64-byte ring: two frames at the end, three at the start.
    ring->sizeRing(8);
    write(counting(6, 0));
    read(6);
    write(counting(5, 100));
    const float* storage = Access::storage(*ring);
    EXPECT_EQ(Floats(storage + 12, storage + 16), counting(2, 100));
    EXPECT_EQ(Floats(storage, storage + 6), counting(3, 104));
    EXPECT_EQ(read(8), counting(5, 100));

    // The same across 2^32: 8 bytes held just below it.
    ring->sizeRing(8192);
    Access::setPositions(*ring, 0u - 16, 0u - 8);
    write(counting(2, 1));
    storage = Access::storage(*ring);
    EXPECT_EQ(Floats(storage + 16382, storage + 16384), counting(1, 1));
    EXPECT_EQ(Floats(storage, storage + 2), counting(1, 3));
    EXPECT_EQ(Access::writePos(*ring), 8u);
    EXPECT_EQ(fill(), 24u);
    const Floats got = read(3);
    EXPECT_EQ(Floats(got.begin() + 2, got.end()), counting(2, 1));
    EXPECT_EQ(Access::readPos(*ring), 8u);
}

TEST_F(FrameRingTest, ImpossibleFillIsLoggedAndEmptiedFromTheWriterSide)
{
    ring->sizeRing(8192);
    Access::setPositions(*ring, 8, 8 + 65536 + 8);
    write(counting(1, 0));
    EXPECT_EQ(logText(), "[strovik] writeRing RESET fill=65544 space=-8 ringBytes=65536\n");
    // The reader's position is the reader's alone; the writer moved its own.
    EXPECT_EQ(Access::readPos(*ring), 8u);
    EXPECT_EQ(Access::writePos(*ring), 8u);
    EXPECT_TRUE(read(8192).empty());
    write(counting(2, 7));
    EXPECT_EQ(read(8192), counting(2, 7));
    // Whatever the positions say, a read never returns more than the storage holds.
    Access::setPositions(*ring, 0, 65536 + 64);
    EXPECT_EQ(read(9000).size(), 2u * 8192);
}

TEST_F(FrameRingTest, NegativeFillNeverCopiesOutsideTheStorage)
{
    // With the reader ahead, space looks larger than the ring; AddressSanitizer
    // catches a copy that trusted it.
    ring->sizeRing(8192);
    Access::setPositions(*ring, 64, 0);
    EXPECT_TRUE(read(8192).empty());
    EXPECT_EQ(ring->fillPercent(), 0u);
    const Floats big = counting(8193, 0);
    ring->writeRing(big.data(), 8193, 2);
    ring->writeRing(big.data(), 8193, 1);
    EXPECT_EQ(Access::writePos(*ring), 0u);
    EXPECT_EQ(Access::readPos(*ring), 64u);
    EXPECT_EQ(logText(), "");
}

TEST_F(FrameRingTest, DiscardRingEmptiesFromTheReaderSide)
{
    ring->sizeRing(8);
    write(counting(5, 0));
    ring->discardRing();
    EXPECT_EQ(Access::readPos(*ring), 40u);
    EXPECT_EQ(Access::writePos(*ring), 40u);
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
        if (ring->capacityBytes() != c.rate * 8)
            ring->sizeRing(c.rate);
        Access::setPositions(*ring, 0u - 8, c.fill - 8);
        EXPECT_EQ(ring->fillPercent(), c.percent) << c.rate << " " << c.fill;
    }
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
    std::atomic<bool> done{false};
    ring->sizeRing(8192);

    std::thread writer([&] {
        Floats packet(2 * 1024);
        for (uint32_t p = 0; p < packets; ++p)
        {
            for (uint32_t k = 0; k < start[p + 1] - start[p]; ++k)
            {
                packet[2 * k] = static_cast<float>((start[p] + k) & 0xFFFFFF);
                packet[2 * k + 1] = static_cast<float>(p);
            }
            const uint32_t before = Access::writePos(*ring); // the writer's own position
            ring->writeRing(packet.data(), start[p + 1] - start[p], 2);
            stored[p] = Access::writePos(*ring) != before;
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
        const uint32_t got = ring->readRing(dst.data(), maxFrames);
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
            ring->discardRing();
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
    EXPECT_EQ(logText(), "");
    std::printf("[          ] %u packets, %zu stored, %zu frames read, %zu discards\n", packets,
                static_cast<size_t>(std::count(stored.begin(), stored.end(), 1)), received,
                discards);
}

} // namespace
