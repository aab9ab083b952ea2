#pragma once

// A minimal VST 3 host for tests: loads the built bundle with dlopen and
// drives it through the same calls, in the same order, as a DAW does.

#include "pluginterfaces/base/ipluginbase.h"
#include "pluginterfaces/vst/ivstaudioprocessor.h"
#include "pluginterfaces/vst/ivstcomponent.h"
#include "pluginterfaces/vst/ivsteditcontroller.h"
#include "pluginterfaces/vst/ivstprocesscontext.h"
#include "public.sdk/source/vst/hosting/hostclasses.h"

#include <memory>
#include <string>
#include <vector>

namespace StrovikTest {

using namespace Steinberg;
using namespace Steinberg::Vst;

// Class IDs byte by byte as a host stores them in a project, so a change of
// value or byte order shows up as a mismatch.
inline constexpr uint8 kProcessorCid[16] = {0x9E, 0x1B, 0x3F, 0x2A, 0x8C, 0x4D, 0x6E, 0x5F,
                                            0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5, 0x06, 0x17};
inline constexpr uint8 kControllerCid[16] = {0x71, 0x82, 0x93, 0x04, 0xA5, 0xB6, 0xC7, 0xD8,
                                             0xE9, 0xFA, 0x0B, 0x1C, 0x2D, 0x3E, 0x4F, 0x50};
inline FIDString cidString(const uint8* cid)
{
    return reinterpret_cast<FIDString>(cid);
}

// The module's shared library inside the freshly built bundle.
std::string bundleLibraryPath();
// The diagnostic log every processor instance writes.
constexpr const char* kLogPath = "/tmp/strovik.log";
std::string readLog();
void removeLog();

class PluginModule
{
public:
    explicit PluginModule(const std::string& path = bundleLibraryPath());
    ~PluginModule(); // ModuleExit, then dlclose

    bool moduleEntry();
    bool moduleExit();
    // One reference for the caller.
    IPtr<IPluginFactory> factory();
    void* symbol(const char* name) const;

private:
    void* handle = nullptr;
};

// One "Strovik Capture" processor, created through the factory as a host does.
class ProcessorInstance
{
public:
    explicit ProcessorInstance(IPluginFactory& factory);
    ~ProcessorInstance(); // releases (without terminate unless it was called)

    tresult initialize();
    tresult terminate();
    tresult setup(double sampleRate, int32 maxBlock);
    tresult setArrangement(SpeakerArrangement in, SpeakerArrangement out);
    void release();

    IComponent* component = nullptr;
    IAudioProcessor* processor = nullptr;

private:
    HostApplication host;
};

// Output (and ignored input) buffers for one process call.
class ProcessBlock
{
public:
    ProcessBlock(int32 outputChannels, int32 samples, int32 inputChannels = 2);

    tresult run(IAudioProcessor& processor);
    void setPlaying(bool playing);
    void dropContext() { data.processContext = nullptr; }
    void fill(float value);
    const std::vector<float>& channel(int32 c) const { return outputs[c]; }
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

} // namespace StrovikTest
