#include "strovikprocessor.h"

#include "strovikcids.h"

#include "pluginterfaces/vst/ivstprocesscontext.h"
#include "pluginterfaces/vst/vstspeaker.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace Strovik {

using namespace Steinberg;
using namespace Steinberg::Vst;

StrovikProcessor::StrovikProcessor()
{
    setControllerClass(kStrovikControllerUID);
}

StrovikProcessor::~StrovikProcessor()
{
    // Hosts may release without terminate; tear PipeWire down either way.
    shutdownPipeWire();
    AudioEffect::terminate();
}

FUnknown* StrovikProcessor::createInstance(void* /*context*/)
{
    auto* processor = new (std::nothrow) StrovikProcessor;
    return processor ? static_cast<IAudioProcessor*>(processor) : nullptr;
}

tresult PLUGIN_API StrovikProcessor::initialize(FUnknown* context)
{
    // A host context is what makes the base refuse a second initialize; with
    // a null one it would not, so the buses (present exactly while
    // initialized) are the test: never add buses twice or set PipeWire up
    // over a live connection.
    if (audioInputs.size() != 0 || audioOutputs.size() != 0)
        return kResultFalse;
    const tresult result = AudioEffect::initialize(context);
    if (result != kResultOk)
        return result;
    try
    {
        addAudioInput(STR16("PipeWire In"), SpeakerArr::kStereo, kMain, BusInfo::kDefaultActive);
        addAudioOutput(STR16("PipeWire Out"), SpeakerArr::kStereo, kMain, BusInfo::kDefaultActive);
        setupPipeWire();
    }
    catch (...)
    {
        // Out of memory while building the instance: nothing may escape to the host.
        shutdownPipeWire();
        AudioEffect::terminate();
        return kOutOfMemory;
    }
    return kResultOk;
}

tresult PLUGIN_API StrovikProcessor::terminate()
{
    shutdownPipeWire();
    return AudioEffect::terminate();
}

tresult PLUGIN_API StrovikProcessor::setState(IBStream* /*state*/)
{
    return kResultOk; // nothing to restore: the plug-in has no settings
}

tresult PLUGIN_API StrovikProcessor::getState(IBStream* /*state*/)
{
    return kResultOk; // an empty state
}

tresult PLUGIN_API StrovikProcessor::setBusArrangements(SpeakerArrangement* inputs, int32 numIns,
                                                        SpeakerArrangement* outputs, int32 numOuts)
{
    if (numIns != 1 || numOuts != 1 || !inputs || !outputs)
        return kResultFalse;
    // Only the channel counts must agree; the layouts may differ, since
    // process maps its stereo frames onto whatever channels it is given.
    if (SpeakerArr::getChannelCount(inputs[0]) != SpeakerArr::getChannelCount(outputs[0]))
        return kResultFalse;
    AudioBus* input = getAudioInput(0);
    AudioBus* output = getAudioOutput(0);
    if (!input || !output)
        return kResultFalse; // not initialized: no bus to take the arrangement
    input->setArrangement(inputs[0]);
    output->setArrangement(outputs[0]);
    return kResultOk;
}

tresult PLUGIN_API StrovikProcessor::canProcessSampleSize(int32 symbolicSampleSize)
{
    return symbolicSampleSize == kSample32 ? kResultTrue : kResultFalse;
}

void StrovikProcessor::updateSampleRate(double hostRate)
{
    // Round to whole Hz. A rate that is not finite, not positive, or too
    // large for 32 bits keeps the last good one: converting it would be
    // undefined, or size a ring of gigabytes on the audio thread.
    if (!std::isfinite(hostRate) || hostRate <= 0.0)
        return;
    const double rounded = std::floor(hostRate + 0.5);
    if (rounded > 4294967295.0)
        return;
    sampleRate = static_cast<uint32_t>(rounded);
}

namespace {

void silence(AudioBusBuffers& bus, int32_t numSamples)
{
    for (int32 c = 0; c < bus.numChannels; ++c)
        if (float* out = bus.channelBuffers32[c])
            std::memset(out, 0, sizeof(float) * static_cast<size_t>(numSamples));
}

} // namespace

void StrovikProcessor::connectStep()
{
    try
    {
        ring.sizeRing(sampleRate);
    }
    catch (...)
    {
        return; // out of memory: stay silent, the next cycle tries again
    }
    diagnosticLog.logMessage("[strovik] PROC connect stream rate=%u ringBytes=%u\n", sampleRate,
                             ring.capacityBytes());
    pw_thread_loop_lock(threadLoop);
    ensureStream(sampleRate);
    pw_thread_loop_unlock(threadLoop);
}

void StrovikProcessor::writeOutput(AudioBusBuffers& bus, int32_t numSamples, uint32_t frames)
{
    const float* frame = ring.readScratchData();
    float* left = bus.channelBuffers32[0];
    float* right = bus.numChannels >= 2 ? bus.channelBuffers32[1] : nullptr;
    const size_t padding = sizeof(float) * static_cast<size_t>(numSamples - int32_t(frames));
    if (left)
    {
        for (uint32_t i = 0; i < frames; ++i)
            left[i] = frame[2 * i];
        std::memset(left + frames, 0, padding);
    }
    if (right)
    {
        for (uint32_t i = 0; i < frames; ++i)
            right[i] = frame[2 * i + 1];
        std::memset(right + frames, 0, padding);
    }
    for (int32 c = 2; c < bus.numChannels; ++c)
        if (float* out = bus.channelBuffers32[c])
            std::memset(out, 0, sizeof(float) * static_cast<size_t>(numSamples));
}

tresult PLUGIN_API StrovikProcessor::process(ProcessData& data)
{
    updateSampleRate(processSetup.sampleRate);

    if (!data.outputs || data.numOutputs <= 0)
        return kResultOk;
    AudioBusBuffers& bus = data.outputs[0];
    if (data.numSamples <= 0 || bus.numChannels <= 0 || !bus.channelBuffers32)
        return kResultOk;

    if (!pwReady.load())
    {
        silence(bus, data.numSamples);
        return kResultOk;
    }

    if (!stream)
    {
        connectStep();
        silence(bus, data.numSamples);
        return kResultOk;
    }

    if (data.processContext)
    {
        const bool playing = (data.processContext->state & ProcessContext::kPlaying) != 0;
        if (playing && !wasPlaying)
            resetPending = true;
        wasPlaying = playing;
    }
    if (resetPending)
    {
        diagnosticLog.logMessage("[strovik] PROC transport start, reset ring\n");
        // Emptied from the reader's side, so a writer mid-packet cannot meet
        // the reset and leave stale frames or an impossible fill behind.
        ring.discardRing();
        resetPending = false;
        silence(bus, data.numSamples);
        return kResultOk;
    }

    const uint32_t wanted =
        std::min(static_cast<uint32_t>(data.numSamples), FrameRing::kScratchFrames);
    const uint32_t frames = ring.readRing(ring.readScratchData(), wanted);
    writeOutput(bus, data.numSamples, frames);

    const uint64_t seq = pwCallbackCount.load();
    if (seq % 1000 == 0)
        diagnosticLog.logMessage("[strovik] PROC t=%llu seq=%lu fill=%u%% frames=%u/%u\n",
                                 monotonicMillis(), static_cast<unsigned long>(seq),
                                 ring.fillPercent(), frames,
                                 static_cast<uint32_t>(data.numSamples));
    return kResultOk;
}

} // namespace Strovik
