#pragma once

// The buffers and context a host hands process() for one block: stereo in
// (which the plug-in ignores) and out, with the transport playing.

#include "pluginterfaces/vst/ivstaudioprocessor.h"
#include "pluginterfaces/vst/ivstprocesscontext.h"

#include <vector>

namespace StrovikBench {

class HostBlock
{
public:
    HostBlock(Steinberg::int32 frames, double sampleRate)
        : in(2, std::vector<float>(frames)), out(2, std::vector<float>(frames)),
          inPointers{in[0].data(), in[1].data()}, outPointers{out[0].data(), out[1].data()}
    {
        using namespace Steinberg::Vst;
        inBus.numChannels = 2;
        inBus.channelBuffers32 = inPointers;
        outBus.numChannels = 2;
        outBus.channelBuffers32 = outPointers;
        context.state = ProcessContext::kPlaying;
        context.sampleRate = sampleRate;
        data.processMode = kRealtime;
        data.symbolicSampleSize = kSample32;
        data.numSamples = frames;
        data.numInputs = 1;
        data.inputs = &inBus;
        data.numOutputs = 1;
        data.outputs = &outBus;
        data.processContext = &context;
    }
    HostBlock(const HostBlock&) = delete;
    HostBlock& operator=(const HostBlock&) = delete;

    Steinberg::Vst::ProcessData data{};
    std::vector<std::vector<float>> in, out;

private:
    float* inPointers[2];
    float* outPointers[2];
    Steinberg::Vst::AudioBusBuffers inBus{};
    Steinberg::Vst::AudioBusBuffers outBus{};
    Steinberg::Vst::ProcessContext context{};
};

} // namespace StrovikBench
