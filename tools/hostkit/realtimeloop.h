#pragma once

// Calls process() block after block, one block per block-length of wall
// time, as a host's audio thread does.

#include "processblock.h"

#include <cstddef>
#include <functional>

namespace Strovik::Hostkit {

// Called before each block; may change it (transport state, position, ...).
using BeforeBlock = std::function<void(size_t index, ProcessBlock& block)>;
// Called after each block with what the plug-in output; false stops the loop.
using AfterBlock = std::function<bool(size_t index, const ProcessBlock& block)>;

// Runs at most `blocks` blocks and returns how many ran. A late block does
// not shift the schedule: the following ones catch up, as they must for a
// stream that plays at the sample rate.
size_t runBlocksInRealtime(IAudioProcessor& processor, ProcessBlock& block, double sampleRate,
                           size_t blocks, const BeforeBlock& before, const AfterBlock& after);

} // namespace Strovik::Hostkit
