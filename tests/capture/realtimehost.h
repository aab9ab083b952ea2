#pragma once

// Drives a processor's process() in real time, block after block, as a
// host's audio thread does, and keeps everything it output.

#include "pluginhost.h"

#include <functional>
#include <vector>

namespace Strovik::Test {

// Shorter delays of the host than this leave the plug-in enough buffered.
inline constexpr int kHostStallMs = 10;

struct Capture
{
    std::vector<std::vector<float>> channels;
    int32 blockSize = 0;
    // Stretches of blocks that began more than kHostStallMs behind their
    // schedule: each may empty what the plug-in had buffered, once.
    size_t hostStalls = 0;

    // Blocks (by index) whose samples on channel 0 are all zero.
    std::vector<size_t> silentBlocks() const;
};

// Called before each block; may change the block (transport state, ...).
using BeforeBlock = std::function<void(size_t index, ProcessBlock& block)>;

Capture runRealtime(IAudioProcessor& processor, int32 outputChannels, int32 blockSize,
                    double sampleRate, double seconds, const BeforeBlock& before = {});

} // namespace Strovik::Test
