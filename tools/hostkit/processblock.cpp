#include "processblock.h"

#include <algorithm>

namespace Strovik::Hostkit {

ProcessBlock::ProcessBlock(int32 outputChannels, int32 samples, int32 inputChannels)
    : inputs(inputChannels, std::vector<float>(samples, 0.5f)),
      outputs(outputChannels, std::vector<float>(samples, 0.25f))
{
    for (auto& c : inputs)
        inPointers.push_back(c.data());
    for (auto& c : outputs)
        outPointers.push_back(c.data());
    inBus.numChannels = inputChannels;
    inBus.channelBuffers32 = inPointers.data();
    outBus.numChannels = outputChannels;
    outBus.channelBuffers32 = outPointers.data();
    data.processMode = kRealtime;
    data.symbolicSampleSize = kSample32;
    data.numSamples = samples;
    data.numInputs = 1;
    data.inputs = &inBus;
    data.numOutputs = 1;
    data.outputs = &outBus;
    data.processContext = &context;
}

tresult ProcessBlock::run(IAudioProcessor& processor)
{
    return processor.process(data);
}

void ProcessBlock::setPlaying(bool playing)
{
    context.state = playing ? ProcessContext::kPlaying : 0;
}

void ProcessBlock::fill(float value)
{
    for (auto& c : outputs)
        std::fill(c.begin(), c.end(), value);
}

bool ProcessBlock::silent() const
{
    for (auto& c : outputs)
        for (float s : c)
            if (s != 0.0f)
                return false;
    return true;
}

} // namespace Strovik::Hostkit
