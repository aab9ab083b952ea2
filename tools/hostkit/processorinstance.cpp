#include "processorinstance.h"

#include <stdexcept>

namespace Strovik::Hostkit {

ProcessorInstance::ProcessorInstance(IPluginFactory& factory, const TUID classId)
{
    void* object = nullptr;
    if (factory.createInstance(classId, IComponent::iid, &object) != kResultOk || !object)
        throw std::runtime_error("createInstance failed");
    component = static_cast<IComponent*>(object);
    if (component->queryInterface(IAudioProcessor::iid, reinterpret_cast<void**>(&processor)) !=
        kResultOk)
    {
        release();
        throw std::runtime_error("no IAudioProcessor");
    }
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

} // namespace Strovik::Hostkit
