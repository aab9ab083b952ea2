#include "strovikprocessor.h"

#include "clockbridge.h"
#include "monotonicclock.h"
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
    // The bridge primes its resampler from the frames it copied last, where
    // they still lie in the ring: the writer must leave them alone.
    ring.keepBehindReader(ClockBridge::kHistoryFrames);
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
        // Made here, on the main thread, so that process never allocates.
        // Kept across terminate and initialize, like the host's setup: a
        // host may process again without activating again.
        if (!bridge)
            bridge = std::make_unique<ClockBridge>();
        spareChannels.resize(static_cast<size_t>(kMaxBlockFrames) * 2);
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
        // The bridge's buffers and resampler, for this rate, here on the
        // main thread: process never allocates them.
        bridgeRate = 0;
        // Whatever host calls next, its time has to prove itself afresh.
        hostClock.reset();
        try
        {
            if (bridge && bridge->prepare(sampleRate, kMaxBlockFrames))
                bridgeRate = sampleRate;
        }
        catch (...)
        {
            return kOutOfMemory;
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
    // Round to whole Hz. A rate that is not finite, rounds to 0, or is too
    // large for 32 bits keeps the last good one: converting it would be
    // undefined, size a ring of gigabytes on the audio thread, or leave no
    // rate at all. Every process() call comes here: one comparison covers
    // all of that (NaN and infinities fail it too), and truncation of what
    // passes rounds half up as std::floor would, at a fraction of its cost.
    const double shifted = hostRate + 0.5;
    if (!(shifted >= 1.0 && shifted < 4294967296.0))
        return;
    sampleRate = static_cast<uint32_t>(shifted);
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
    // The last stamp describes the ring before its resize: gone, before
    // the new stream's writer can publish.
    stamp.clear();
    streamOpen = client.openStream(sampleRate);
    streamRate = sampleRate;
    streamGeneration = client.streamGeneration();
    bridge->restart();
}

namespace {

// Tenths of a value, split for a printf without floating point (which the
// audio thread avoids: its formatting may allocate).
struct Tenths
{
    const char* sign;
    unsigned long long whole;
    unsigned tenth;
};

Tenths tenths(double value)
{
    const double magnitude = std::min(std::fabs(value), 1e15);
    const auto scaled = static_cast<unsigned long long>(std::llround(magnitude * 10.0));
    return {value < 0.0 ? "-" : "+", scaled / 10, static_cast<unsigned>(scaled % 10)};
}

const char* resyncReason(ClockBridge::Resync reason)
{
    switch (reason)
    {
    case ClockBridge::Resync::Underflow:
        return "underflow";
    case ClockBridge::Resync::FillLow:
        return "fill-low";
    case ClockBridge::Resync::FillHigh:
        return "fill-high";
    case ClockBridge::Resync::Idle:
        return "source-idle";
    case ClockBridge::Resync::None:
        break;
    }
    return "none";
}

void postBridgeEvent(LineQueue& lines, const ClockBridge::Status& status,
                     const ClockBridge::BlockResult& result)
{
    if (result.engagedNow)
    {
        const Tenths ppm = tenths(status.engagePpm);
        const Tenths after = tenths(status.engageSeconds);
        lines.post("%s t=%llu ppm=%s%llu.%u after=%llu.%us\n", LogText::kBridgeEngaged,
                   monotonicMillis(), ppm.sign, ppm.whole, ppm.tenth, after.whole, after.tenth);
    }
    if (result.resync != ClockBridge::Resync::None)
        lines.post("%s t=%llu %s padded=%u skipped=%u\n", LogText::kBridgeResync, monotonicMillis(),
                   resyncReason(result.resync), result.paddedFrames, result.skippedFrames);
}

// The bridge's state every 100 packets: the frames buffered ahead of the
// output (its latency), what it steers them to, the clock difference it
// corrects (0 in bypass), the margin it learnt, the host's longest burst of
// blocks lately and the frames of silence it has left out to give delay back.
void postBridgeStatus(LineQueue& lines, const ClockBridge::Status& status)
{
    auto frames = [](double value) {
        return static_cast<unsigned>(std::lround(std::clamp(value, 0.0, 1e9)));
    };
    const Tenths ppm = tenths(status.engaged ? (status.ratio - 1.0) * 1e6 : 0.0);
    lines.post("%s%llu latency=%u target=%u ppm=%s%llu.%u margin=%u block=%u gaveback=%llu\n",
               LogText::kBridgeStatus, monotonicMillis(), frames(status.fillFrames),
               frames(status.targetFrames), ppm.sign, ppm.whole, ppm.tenth,
               frames(status.marginFrames), status.blockFrames,
               static_cast<unsigned long long>(status.givenBackFrames));
}

} // namespace

uint32_t StrovikProcessor::playBlock(AudioBusBuffers& bus, int32_t numSamples, int64_t cycleNanos)
{
    // The bridge writes both sides; a side the bus lacks goes to a spare.
    float* spare = spareChannels.data();
    float* left = bus.channelBuffers32[0] ? bus.channelBuffers32[0] : spare;
    float* right = bus.numChannels >= 2 && bus.channelBuffers32[1] ? bus.channelBuffers32[1]
                                                                   : spare + kMaxBlockFrames;
    const uint32_t frames = std::min(static_cast<uint32_t>(numSamples), kMaxBlockFrames);
    const ClockBridge::BlockResult result =
        bridge->process(ring, stamp, cycleNanos, left, right, frames);
    // Beyond the bridge's two channels and its longest block: silence. The
    // usual stereo bus of a block it fills whole has none, and skips the loop.
    if (frames < static_cast<uint32_t>(numSamples) || bus.numChannels > 2)
    {
        const size_t padding = sizeof(float) * (static_cast<size_t>(numSamples) - frames);
        for (int32 c = 0; c < bus.numChannels; ++c)
            if (float* out = bus.channelBuffers32[c])
            {
                if (c < 2)
                    std::memset(out + frames, 0, padding);
                else
                    std::memset(out, 0, sizeof(float) * static_cast<size_t>(numSamples));
            }
    }
    if (result.engagedNow || result.resync != ClockBridge::Resync::None)
        postBridgeEvent(log.audioThread(), bridge->status(), result);
    return frames - result.paddedFrames;
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

    // Not activated at this rate (0: not at all): the bridge has nothing
    // set up for it.
    if (bridgeRate != sampleRate)
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

    // The connection was lost and the client opened the stream anew: what
    // the ring still holds is from before the loss, and the bridge primes
    // again from the new stream's packets, as after a first open.
    const uint32_t generation = client.streamGeneration();
    if (generation != streamGeneration)
    {
        streamGeneration = generation;
        ring.discard();
        bridge->restart();
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
        // The recording starts now: the bridge primes afresh, dropping from
        // the reader's side whatever piled up beyond its target (a writer
        // mid-packet cannot meet that and leave an impossible fill behind).
        bridge->reprime();
        resetPending = false;
        silence(bus, data.numSamples);
        return kResultOk;
    }

    // The cycle's start, from the host's system time where that has shown
    // itself to be CLOCK_MONOTONIC.
    const ProcessContext* context = data.processContext;
    const bool hostTimeValid = context && (context->state & ProcessContext::kSystemTimeValid);
    const int64_t cycleNanos =
        hostClock.cycleStart(hostTimeValid, hostTimeValid ? context->systemTime : 0);
    const uint32_t frames = playBlock(bus, data.numSamples, cycleNanos);

    // Status lines every 100 and every 1000 packets, once per count: the
    // count moves once a quantum, and while it stands still (most blocks,
    // or no packets at all) there is nothing to write.
    const uint64_t seq = client.packetCount();
    if (seq != lastPacket)
    {
        lastPacket = seq;
        if (seq % 100 == 0)
            postBridgeStatus(log.audioThread(), bridge->status());
        if (seq % 1000 == 0)
            log.audioThread().post("%s%llu seq=%lu fill=%u%% frames=%u/%u\n", LogText::kProcStatus,
                                   monotonicMillis(), static_cast<unsigned long>(seq),
                                   ring.fillPercent(), frames,
                                   static_cast<uint32_t>(data.numSamples));
    }
    return kResultOk;
}

} // namespace Strovik
