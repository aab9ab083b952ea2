#pragma once

// What the probe learns from the plug-in's output as it streams by: levels
// and the dominant frequency per channel, and which blocks came out silent.

#include "spectrum.h"

#include <cstddef>
#include <vector>

namespace Strovik::Probe {

class CaptureAnalysis
{
public:
    explicit CaptureAnalysis(int channels);

    // One process call's output, one buffer per channel.
    void addBlock(const std::vector<const float*>& channels, size_t frames);

    int channels() const { return static_cast<int>(perChannel.size()); }
    size_t frames() const { return totalFrames; }
    size_t blocks() const { return totalBlocks; }
    double peak(int channel) const;
    double rms(int channel) const;
    double dominantFrequency(int channel, double sampleRate) const;

    // Blocks before the first sound: the stream is being created and linked.
    size_t startupBlocks() const { return leadingSilent; }
    // After the first sound: blocks that were all zeros, and blocks whose
    // end was zeros on every channel, which is how the plug-in pads a block
    // its buffer could not fill (underflow). Silence in the source itself
    // looks the same.
    size_t silentBlocks() const { return silent; }
    size_t partlySilentBlocks() const { return partlySilent; }

private:
    struct Channel
    {
        double peak = 0;
        double sumSquares = 0;
        SpectrumAccumulator spectrum;
    };
    std::vector<Channel> perChannel;
    size_t totalFrames = 0;
    size_t totalBlocks = 0;
    bool heardSound = false;
    size_t leadingSilent = 0;
    size_t silent = 0;
    size_t partlySilent = 0;
};

// 20·log10(value); -infinity for 0.
double toDbfs(double value);

} // namespace Strovik::Probe
