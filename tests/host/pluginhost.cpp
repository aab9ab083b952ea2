#include "pluginhost.h"

#include <dlfcn.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace StrovikTest {

std::string bundleLibraryPath()
{
    return STROVIK_BUNDLE_LIBRARY;
}

std::string readLog()
{
    std::ifstream in(kLogPath);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void removeLog()
{
    ::unlink(kLogPath);
}

PluginModule::PluginModule(const std::string& path)
{
    handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        throw std::runtime_error(std::string("dlopen: ") + ::dlerror());
    if (!moduleEntry())
        throw std::runtime_error("ModuleEntry returned false");
}

PluginModule::~PluginModule()
{
    moduleExit();
    ::dlclose(handle);
}

void* PluginModule::symbol(const char* name) const
{
    return ::dlsym(handle, name);
}

bool PluginModule::moduleEntry()
{
    auto entry = reinterpret_cast<bool (*)(void*)>(symbol("ModuleEntry"));
    return entry && entry(handle);
}

bool PluginModule::moduleExit()
{
    auto exit = reinterpret_cast<bool (*)()>(symbol("ModuleExit"));
    return exit && exit();
}

IPtr<IPluginFactory> PluginModule::factory()
{
    auto get = reinterpret_cast<IPluginFactory* (*)()>(symbol("GetPluginFactory"));
    if (!get)
        throw std::runtime_error("no GetPluginFactory");
    return owned(get());
}

ProcessorInstance::ProcessorInstance(IPluginFactory& factory)
{
    // The processor's class ID as the factory lists it at index 0.
    PClassInfo info{};
    if (factory.getClassInfo(0, &info) != kResultOk)
        throw std::runtime_error("no class 0");
    void* object = nullptr;
    if (factory.createInstance(info.cid, IComponent::iid, &object) != kResultOk || !object)
        throw std::runtime_error("createInstance failed");
    component = static_cast<IComponent*>(object);
    if (component->queryInterface(IAudioProcessor::iid, reinterpret_cast<void**>(&processor)) !=
        kResultOk)
        throw std::runtime_error("no IAudioProcessor");
}

ProcessorInstance::~ProcessorInstance()
{
    release();
}

void ProcessorInstance::release()
{
    if (processor)
        processor->release();
    if (component)
        component->release();
    processor = nullptr;
    component = nullptr;
}

tresult ProcessorInstance::initialize()
{
    return component->initialize(static_cast<IHostApplication*>(&host));
}

tresult ProcessorInstance::terminate()
{
    return component->terminate();
}

tresult ProcessorInstance::setup(double sampleRate, int32 maxBlock)
{
    ProcessSetup setup{kRealtime, kSample32, maxBlock, sampleRate};
    const tresult result = processor->setupProcessing(setup);
    if (result != kResultOk)
        return result;
    return component->setActive(true);
}

tresult ProcessorInstance::setArrangement(SpeakerArrangement in, SpeakerArrangement out)
{
    return processor->setBusArrangements(&in, 1, &out, 1);
}

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

} // namespace StrovikTest
