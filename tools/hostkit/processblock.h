#pragma once

// Output (and ignored input) buffers for one process call, with a process
// context. The buffers start non-zero (input 0.5, output 0.25), so output
// the plug-in left unwritten, or input it passed through, stands out.

#include "pluginterfaces/vst/ivstaudioprocessor.h"
#include "pluginterfaces/vst/ivstprocesscontext.h"

#include <vector>

namespace Strovik::Hostkit {

using namespace Steinberg;
using namespace Steinberg::Vst;

class ProcessBlock
{
public:
    ProcessBlock(int32 outputChannels, int32 samples, int32 inputChannels = 2);

    tresult run(IAudioProcessor& processor);
    void setPlaying(bool playing);
    void dropContext() { data.processContext = nullptr; }
    void fill(float value);
    const std::vector<float>& channel(int32 c) const { return outputs[c]; }
    int32 channels() const { return static_cast<int32>(outputs.size()); }
    int32 samples() const { return data.numSamples; }
    bool silent() const;

    ProcessData data{};
    AudioBusBuffers inBus{};
    AudioBusBuffers outBus{};
    ProcessContext context{};

private:
    std::vector<std::vector<float>> inputs;
    std::vector<std::vector<float>> outputs;
    std::vector<float*> inPointers;
    std::vector<float*> outPointers;
};

} // namespace Strovik::Hostkit
