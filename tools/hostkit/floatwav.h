#pragma once

// 32-bit float WAV files (format 3, IEEE float), written as they grow: the
// header's sizes are filled in by finish().

#include <cstddef>
#include <fstream>
#include <string>
#include <vector>

namespace Strovik::Hostkit {

class FloatWavWriter
{
public:
    // Throws std::runtime_error when the file cannot be created.
    FloatWavWriter(const std::string& path, int channels, int rate);

    void appendInterleaved(const float* frames, size_t count);
    // One block in the host's layout: one buffer per channel.
    void appendPlanar(const std::vector<const float*>& channels, size_t count);
    // Writes the sizes into the header and closes the file. Throws
    // std::runtime_error when anything could not be written.
    void finish();

    size_t frames() const { return written; }

private:
    std::ofstream out;
    std::string path;
    int channels;
    size_t written = 0;
    std::vector<float> interleaved;
};

void writeFloatWav(const std::string& path, const std::vector<float>& interleaved, int channels,
                   int rate);

} // namespace Strovik::Hostkit
