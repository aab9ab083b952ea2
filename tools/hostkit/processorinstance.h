#pragma once

// One audio processor created through a module's factory, as a host
// creates it, with the host context a DAW would pass to initialize.

#include "pluginterfaces/base/ipluginbase.h"
#include "pluginterfaces/vst/ivstaudioprocessor.h"
#include "pluginterfaces/vst/ivstcomponent.h"
#include "public.sdk/source/vst/hosting/hostclasses.h"

namespace Strovik::Hostkit {

using namespace Steinberg;
using namespace Steinberg::Vst;

class ProcessorInstance
{
public:
    // Throws std::runtime_error when the class cannot be created or is no
    // audio processor.
    ProcessorInstance(IPluginFactory& factory, const TUID classId);
    ~ProcessorInstance(); // releases (without terminate unless it was called)
    ProcessorInstance(const ProcessorInstance&) = delete;
    ProcessorInstance& operator=(const ProcessorInstance&) = delete;

    tresult initialize();
    tresult terminate();
    // setupProcessing for 32-bit real-time processing, then setActive(true).
    tresult setup(double sampleRate, int32 maxBlock);
    tresult setArrangement(SpeakerArrangement in, SpeakerArrangement out);
    void release();

    IComponent* component = nullptr;
    IAudioProcessor* processor = nullptr;

private:
    HostApplication host;
};

} // namespace Strovik::Hostkit
