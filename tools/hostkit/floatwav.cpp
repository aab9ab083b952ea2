#include "floatwav.h"

#include <cstdint>
#include <limits>
#include <stdexcept>

namespace Strovik::Hostkit {

namespace {

// RIFF header, an 18-byte fmt chunk and a fact chunk: a format other than
// integer PCM needs both, or readers (sox among them) complain.
constexpr uint32_t kHeaderBytes = 58;
constexpr std::streamoff kFactFramesAt = 46;
constexpr std::streamoff kDataSizeAt = 54;

void put(std::ofstream& out, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.put(static_cast<char>((value >> (8 * i)) & 0xFF));
}

} // namespace

FloatWavWriter::FloatWavWriter(const std::string& path, int channels, int rate)
    : out(path, std::ios::binary | std::ios::trunc), path(path), channels(channels)
{
    if (!out)
        throw std::runtime_error("cannot create " + path);
    out.write("RIFF", 4);
    put(out, 0, 4); // sizes follow in finish()
    out.write("WAVEfmt ", 8);
    put(out, 18, 4);
    put(out, 3, 2); // IEEE float
    put(out, static_cast<uint32_t>(channels), 2);
    put(out, static_cast<uint32_t>(rate), 4);
    put(out, static_cast<uint32_t>(rate * channels * 4), 4);
    put(out, static_cast<uint32_t>(channels * 4), 2);
    put(out, 32, 2);
    put(out, 0, 2); // no extension
    out.write("fact", 4);
    put(out, 4, 4);
    put(out, 0, 4); // frames, in finish()
    out.write("data", 4);
    put(out, 0, 4);
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

void FloatWavWriter::appendInterleaved(const float* frames, size_t count)
{
    out.write(reinterpret_cast<const char*>(frames),
              static_cast<std::streamsize>(count * static_cast<size_t>(channels) * sizeof(float)));
    written += count;
}

void FloatWavWriter::appendPlanar(const std::vector<const float*>& planes, size_t count)
{
    interleaved.resize(count * static_cast<size_t>(channels));
    for (size_t i = 0; i < count; ++i)
        for (int c = 0; c < channels; ++c)
            interleaved[i * static_cast<size_t>(channels) + static_cast<size_t>(c)] =
                planes[static_cast<size_t>(c)][i];
    appendInterleaved(interleaved.data(), count);
}

void FloatWavWriter::finish()
{
    const uint64_t dataBytes = uint64_t(written) * uint64_t(channels) * sizeof(float);
    // A RIFF file counts its size in 32 bits: past 4 GiB the header would lie.
    if (dataBytes > std::numeric_limits<uint32_t>::max() - kHeaderBytes)
        throw std::runtime_error(path + ": too long for a WAV file");
    out.seekp(4);
    put(out, static_cast<uint32_t>(dataBytes + kHeaderBytes - 8), 4);
    out.seekp(kFactFramesAt);
    put(out, static_cast<uint32_t>(written), 4);
    out.seekp(kDataSizeAt);
    put(out, static_cast<uint32_t>(dataBytes), 4);
    out.close();
    if (out.fail())
        throw std::runtime_error("cannot write " + path);
}

void writeFloatWav(const std::string& path, const std::vector<float>& interleaved, int channels,
                   int rate)
{
    FloatWavWriter writer(path, channels, rate);
    writer.appendInterleaved(interleaved.data(), interleaved.size() / size_t(channels));
    writer.finish();
}

} // namespace Strovik::Hostkit
