#include "floatwav.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <unistd.h>

using Strovik::Hostkit::FloatWavWriter;

namespace {

std::vector<char> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

uint32_t u32(const std::vector<char>& b, size_t at)
{
    uint32_t v = 0;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

uint16_t u16(const std::vector<char>& b, size_t at)
{
    uint16_t v = 0;
    std::memcpy(&v, b.data() + at, 2);
    return v;
}

TEST(FloatWav, PlanarBlocksBecomeInterleavedFramesWithMatchingSizes)
{
    const std::string path = "/tmp/strovik-floatwav-test-" + std::to_string(::getpid()) + ".wav";
    FloatWavWriter wav(path, 2, 44100);
    const float l1[] = {0.1f, 0.2f}, r1[] = {-0.1f, -0.2f}, l2[] = {0.3f}, r2[] = {-0.3f};
    wav.appendPlanar({l1, r1}, 2);
    wav.appendPlanar({l2, r2}, 1);
    wav.finish();
    EXPECT_EQ(wav.frames(), 3u);

    const auto b = readFile(path);
    ::unlink(path.c_str());
    ASSERT_EQ(b.size(), 58u + 3 * 2 * 4);
    EXPECT_EQ(std::string(b.data(), 4), "RIFF");
    EXPECT_EQ(u32(b, 4), b.size() - 8);
    EXPECT_EQ(std::string(b.data() + 8, 8), "WAVEfmt ");
    EXPECT_EQ(u16(b, 20), 3);          // IEEE float
    EXPECT_EQ(u16(b, 22), 2);          // channels
    EXPECT_EQ(u32(b, 24), 44100);      // rate
    EXPECT_EQ(u32(b, 28), 44100u * 8); // bytes per second
    EXPECT_EQ(u16(b, 32), 8);          // bytes per frame
    EXPECT_EQ(u16(b, 34), 32);         // bits
    EXPECT_EQ(std::string(b.data() + 38, 4), "fact");
    EXPECT_EQ(u32(b, 46), 3u);
    EXPECT_EQ(std::string(b.data() + 50, 4), "data");
    EXPECT_EQ(u32(b, 54), 24u);
    float samples[6];
    std::memcpy(samples, b.data() + 58, sizeof samples);
    const float expected[] = {0.1f, -0.1f, 0.2f, -0.2f, 0.3f, -0.3f};
    EXPECT_EQ(0, std::memcmp(samples, expected, sizeof samples));
}

TEST(FloatWav, UnwritablePathFailsAtOnce)
{
    EXPECT_THROW(FloatWavWriter("/nonexistent-dir/x.wav", 2, 48000), std::runtime_error);
}

} // namespace
