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
    shutdown();
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
        // Sized here, on the main thread, so that process never allocates it.
        blockFrames.resize(static_cast<size_t>(kMaxBlockFrames) * 2);
        client.connect();
    }
    catch (...)
    {
        // Out of memory while building the instance: nothing may escape to the host.
        shutdown();
        AudioEffect::terminate();
        return kOutOfMemory;
    }
    return kResultOk;
}

tresult PLUGIN_API StrovikProcessor::terminate()
{
    shutdown();
    return AudioEffect::terminate();
}

void StrovikProcessor::shutdown()
{
    client.disconnect();
    streamOpen = false;
    // Last: the client's teardown stopped the threads that post lines, so
    // whatever they left queued lands in the file now.
    log.close();
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

tresult PLUGIN_API StrovikProcessor::setActive(TBool state)
{
    if (state)
    {
        // A host changes its sample rate by deactivating, setting the new
        // rate up and activating again. A stream opened at the old rate
        // would deliver the desktop at the wrong pitch (and overflow or
        // starve the ring): it goes, and the next process call opens one at
        // the new rate.
        updateSampleRate(processSetup.sampleRate);
        if (streamOpen && streamRate != sampleRate)
        {
            client.closeStream();
            streamOpen = false;
        }
    }
    return AudioEffect::setActive(state);
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

void StrovikProcessor::startCapture()
{
    try
    {
        ring.resize(sampleRate);
    }
    catch (...)
    {
        return; // out of memory: stay silent, the next cycle tries again
    }
    log.audioThread().post("%s rate=%u ringBytes=%u\n", LogText::kConnectStream, sampleRate,
                           ring.capacityBytes());
    streamOpen = client.openStream(sampleRate);
    streamRate = sampleRate;
}

void StrovikProcessor::writeOutput(AudioBusBuffers& bus, int32_t numSamples, uint32_t frames)
{
    const float* frame = blockFrames.data();
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

    if (!client.isConnected())
    {
        silence(bus, data.numSamples);
        return kResultOk;
    }

    if (!streamOpen)
    {
        startCapture();
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
        log.audioThread().post("%s\n", LogText::kTransportReset);
        // Emptied from the reader's side, so a writer mid-packet cannot meet
        // the reset and leave stale frames or an impossible fill behind.
        ring.discard();
        resetPending = false;
        silence(bus, data.numSamples);
        return kResultOk;
    }

    const uint32_t wanted = std::min(static_cast<uint32_t>(data.numSamples), kMaxBlockFrames);
    const uint32_t frames = ring.read(blockFrames.data(), wanted);
    writeOutput(bus, data.numSamples, frames);

    // A status line every 1000 packets, once per count: while no packet
    // arrives the count stands still and must not write a line every block.
    const uint64_t seq = client.packetCount();
    if (seq % 1000 == 0 && seq != lastStatusPacket)
    {
        lastStatusPacket = seq;
        log.audioThread().post("%s%llu seq=%lu fill=%u%% frames=%u/%u\n", LogText::kProcStatus,
                               monotonicMillis(), static_cast<unsigned long>(seq),
                               ring.fillPercent(), frames, static_cast<uint32_t>(data.numSamples));
    }
    return kResultOk;
}

} // namespace Strovik
