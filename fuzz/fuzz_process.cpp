// Calls StrovikProcessor::process with host data of any shape, in the two
// states a fuzzer can reach without a PipeWire server: not ready (no server
// answered) and streaming (a connected client with its stream open as far as
// process() can tell, the ring filled by the fuzzer in place of PipeWire's
// thread). The third state, connected without a stream, would open one on a
// server and is left out.
//
// Every process() call must return kResultOk, write only output bus 0, and
// write exactly what the ring held after the frames the clock bridge skipped
// (or silence) and zeros after it. Each input restarts the bridge and lasts
// far less than the seconds of drift it needs before resampling, so the
// bridge only ever copies: bit-exact frames can be checked.

#include "fuzzblock.h"
#include "fuzzsupport.h"
#include "monotonicclock.h"
#include "noserver.h"
#include "processoraccess.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <utility>
#include <vector>

namespace {

using namespace Steinberg;
using namespace Steinberg::Vst;
using namespace Strovik::Fuzz;
using Strovik::ClockBridge;
using Strovik::FrameRing;
using Strovik::StrovikProcessor;
using RingAccess = Strovik::FrameRingTestAccess;
using Access = Strovik::StrovikProcessorTestAccess;
using Frame = std::pair<uint32_t, uint32_t>; // left and right sample bits

// One instance for the whole run: initialize() brings PipeWire's context up,
// far too slow for every input. Each input sets all the state process()
// reads, so inputs stay independent of each other.
StrovikProcessor* processor = nullptr;
// Kept for the whole run: whatever the processor's client does, it finds no server.
Strovik::Hostkit::NoServerEnvironment* noServer = nullptr;

void shutDownProcessor()
{
    Access::leaveStreaming(*processor);
    processor->terminate();
    processor->release();
    processor = nullptr;
    delete noServer;
    noServer = nullptr;
}

// The stereo frames the ring holds, oldest first; unknown after the fuzzer
// put the positions anywhere (the ring is then read for whatever it has).
struct RingModel
{
    bool known = true;
    std::deque<Frame> frames;
};

// The longest packet made from a seed: more than the bridge's target for
// blocks of up to a few thousand frames.
constexpr uint32_t kLongPacketFrames = 4096;

// What PipeWire's thread would do: append a stereo packet, whole or not at
// all, then stamp where it stands for the bridge, whatever the write did.
void deliverPacket(FrameRing& ring, RingModel& model, FuzzedDataProvider& in)
{
    // Spelt out sample by sample, or a long run from a seed: the bridge
    // plays nothing before the fill reaches a quantum, a block and a margin
    // of at least 512 frames, more than a short input can spell out.
    const bool seeded = in.ConsumeBool();
    const uint32_t frames = seeded
                                ? in.ConsumeIntegralInRange<uint32_t>(0, kLongPacketFrames)
                                : in.ConsumeIntegralInRange<uint32_t>(0, in.remaining_bytes() / 8);
    const uint32_t seed = seeded ? in.ConsumeIntegral<uint32_t>() : 0;
    std::vector<float> samples(2 * size_t{frames});
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] =
            ringSample(seeded ? seed + static_cast<uint32_t>(i) : in.ConsumeIntegral<uint32_t>());
    const uint32_t fill = RingAccess::writePos(ring) - RingAccess::readPos(ring);
    const FrameRing::WriteResult result = ring.write(samples.data(), frames);
    Access::stamp(*processor).publish(ring.writePosition(), Strovik::monotonicNanos(), frames);
    if (!model.known)
        return;
    // The processor keeps the frames played last behind the reader (the
    // resampler is primed from them): they are no space for the writer.
    const int64_t usable = int64_t{ring.capacityBytes()} - fill -
                           int64_t{ring.keptFrames()} * FrameRing::kBytesPerFrame;
    const bool fits = frames != 0 && int64_t{frames} * FrameRing::kBytesPerFrame <= usable;
    FUZZ_CHECK(result.status ==
               (fits ? FrameRing::WriteResult::Written : FrameRing::WriteResult::Dropped));
    if (fits)
        for (uint32_t i = 0; i < frames; ++i)
            model.frames.emplace_back(sampleBits(samples[2 * i]), sampleBits(samples[2 * i + 1]));
    FUZZ_CHECK(RingAccess::writePos(ring) - RingAccess::readPos(ring) ==
               model.frames.size() * FrameRing::kBytesPerFrame);
}

// A host rate process() takes (rounded to whole Hz, as it does); any other
// leaves the processor's rate alone.
bool usableRate(double hostRate)
{
    return std::isfinite(hostRate) && hostRate >= 0.5 && hostRate < 4294967295.5;
}

void enterStreaming(RingModel& model, double hostRate, CostBudget& budget, FuzzedDataProvider& in)
{
    FrameRing& ring = Access::ring(*processor);
    // No writer runs: a stamp left by the last input must not describe this one's ring.
    Access::stamp(*processor).clear();
    const uint32_t rate = pickRingRate(in, budget);
    RingAccess::releaseStorage(ring);
    ring.resize(rate);
    FUZZ_CHECK(capacityMatchesRate(ring.capacityBytes(), rate));
    // Anywhere in the 32-bit position space, now and then with an impossible
    // fill; always on whole frames, as the writer and reader move, so that
    // every sample read is one that was stored (fuzz_ring covers the rest).
    constexpr uint32_t kFrameMask = ~(FrameRing::kBytesPerFrame - 1);
    const uint32_t readPos = in.ConsumeIntegral<uint32_t>() & kFrameMask;
    const uint32_t writePos = in.ConsumeIntegralInRange<int>(0, 7) == 7
                                  ? readPos + (in.ConsumeIntegral<uint32_t>() & kFrameMask)
                                  : readPos;
    RingAccess::setPositions(ring, readPos, writePos);
    model.known = readPos == writePos;
    for (int packets = in.ConsumeIntegralInRange<int>(0, 3); packets > 0; --packets)
        deliverPacket(ring, model, in);

    const bool wasPlaying = in.ConsumeBool();
    Access::setTransport(*processor, wasPlaying, in.ConsumeBool());
    // process() posts a status line whenever the count is a new multiple
    // of 1000; 1 keeps the line out of most inputs.
    Access::setPacketCount(
        *processor, in.ConsumeIntegralInRange<int>(0, 7) == 7 ? in.ConsumeIntegral<uint64_t>() : 1);
    // The bridge prepared for the rate process() will run at, as
    // setActive(true) would have done after the host's setupProcessing;
    // then a fresh stream: priming, and no resampling within one input.
    if (usableRate(hostRate))
        Access::setSampleRate(*processor, static_cast<uint32_t>(std::floor(hostRate + 0.5)));
    Access::setStreaming(*processor, true);
    Access::bridge(*processor).restart();
}

// What the host last told setupProcessing; ProcessData repeats its mode.
struct HostSetup
{
    double sampleRate = 0;
    int32 processMode = kRealtime;
};

HostSetup setUpProcessing(FuzzedDataProvider& in)
{
    ProcessSetup setup{};
    setup.processMode = in.ConsumeIntegralInRange<int32>(kRealtime, kOffline);
    setup.symbolicSampleSize = kSample32; // the only size the plug-in takes
    setup.maxSamplesPerBlock = in.ConsumeIntegral<int32>();
    setup.sampleRate = pickHostRate(in);
    FUZZ_CHECK(processor->setupProcessing(setup) == kResultOk);
    return {setup.sampleRate, setup.processMode};
}

// Samples [from, to) of a channel are all +0.0.
bool silentFrom(const float* channel, int32_t from, int32_t to)
{
    return allSamplesAre(channel + from, static_cast<size_t>(to - from), 0);
}

// One channel of a streaming block: the frames output, one side of each,
// taken after the `skipped` ones, then zeros. Unknown ring contents must
// still have been written over.
void checkStreamedChannel(const float* channel, const RingModel& model, uint32_t skipped,
                          uint32_t frames, bool right, int32_t numSamples)
{
    if (!channel)
        return;
    for (uint32_t i = 0; i < frames; ++i)
    {
        const uint32_t bits = sampleBits(channel[i]);
        if (model.known)
        {
            const Frame& frame = model.frames[skipped + i];
            FUZZ_CHECK(bits == (right ? frame.second : frame.first));
        }
        else
            FUZZ_CHECK(bits != kUntouched);
    }
    FUZZ_CHECK(silentFrom(channel, static_cast<int32_t>(frames), numSamples));
}

void runBlock(bool streaming, RingModel& model, const HostSetup& host, CostBudget& budget,
              FuzzedDataProvider& in)
{
    FuzzBlock block(in, host.processMode, budget);
    const double hostRate = host.sampleRate;
    ProcessData& data = block.data;
    FrameRing& ring = Access::ring(*processor);
    const uint32_t readBefore = RingAccess::readPos(ring);
    const uint32_t writeBefore = RingAccess::writePos(ring);
    const bool wasPlaying = Access::wasPlaying(*processor);
    const bool resetPending = Access::resetPending(*processor);
    const uint32_t rateBefore = Access::sampleRate(*processor);
    const ClockBridge& bridge = Access::bridge(*processor);
    const uint64_t skippedBefore = bridge.status().skippedFrames;
    const uint64_t givenBackBefore = bridge.status().givenBackFrames;
    const uint64_t paddedBefore = bridge.status().paddedFrames;

    FUZZ_CHECK(processor->process(data) == kResultOk);

    // A usable host rate is taken, rounded to whole Hz; any other keeps the last one.
    const uint32_t rate = Access::sampleRate(*processor);
    if (usableRate(hostRate))
        FUZZ_CHECK(std::fabs(static_cast<double>(rate) - hostRate) <= 0.5);
    else
        FUZZ_CHECK(rate == rateBefore);

    FUZZ_CHECK(block.othersUntouched());
    FUZZ_CHECK(RingAccess::writePos(ring) == writeBefore); // only PipeWire's thread writes
    if (!block.mainOutputWritable())
    {
        FUZZ_CHECK(block.mainOutputUntouched());
        FUZZ_CHECK(RingAccess::readPos(ring) == readBefore);
        FUZZ_CHECK(Access::wasPlaying(*processor) == wasPlaying);
        FUZZ_CHECK(Access::resetPending(*processor) == resetPending);
        return;
    }

    const AudioBusBuffers& bus = data.outputs[0];
    const int32_t numSamples = data.numSamples;
    // Not streaming, or a host rate the bridge was not prepared for (the
    // host changed it without activating again): silence, and neither the
    // ring nor the transport state is touched.
    bool silent = !streaming || Access::bridgeRate(*processor) != rate;
    if (!silent)
    {
        // A transport start (or one still pending) restarts the bridge and
        // outputs silence for that block; the ring is left to the bridge's
        // priming, which trims it when it has reached the target.
        const bool playing =
            data.processContext && (data.processContext->state & ProcessContext::kPlaying);
        const bool reset = resetPending || (playing && !wasPlaying);
        FUZZ_CHECK(Access::wasPlaying(*processor) == (data.processContext ? playing : wasPlaying));
        FUZZ_CHECK(!Access::resetPending(*processor));
        if (reset)
        {
            // Priming again; what it drops or pads shows only from the next block.
            FUZZ_CHECK(bridge.status().priming);
            FUZZ_CHECK(bridge.status().skippedFrames == skippedBefore &&
                       bridge.status().paddedFrames == paddedBefore);
            silent = true;
        }
    }
    else
    {
        FUZZ_CHECK(Access::wasPlaying(*processor) == wasPlaying);
        FUZZ_CHECK(Access::resetPending(*processor) == resetPending);
    }
    if (silent)
    {
        FUZZ_CHECK(RingAccess::readPos(ring) == readBefore);
        for (int32_t c = 0; c < bus.numChannels; ++c)
            if (const float* channel = bus.channelBuffers32[c])
                FUZZ_CHECK(silentFrom(channel, 0, numSamples));
        return;
    }

    // Every frame the bridge took from the ring was either skipped or left
    // out as silence to give delay back (both counted, both before what it
    // played) or output as it is: it never resamples within one input.
    const ClockBridge::Status& status = bridge.status();
    FUZZ_CHECK(!status.engaged);
    const uint32_t consumedBytes = RingAccess::readPos(ring) - readBefore;
    FUZZ_CHECK(consumedBytes % FrameRing::kBytesPerFrame == 0);
    const uint32_t consumed = consumedBytes / FrameRing::kBytesPerFrame;
    const uint64_t givenBack = status.givenBackFrames - givenBackBefore;
    const uint64_t skipped = status.skippedFrames - skippedBefore + givenBack;
    FUZZ_CHECK(skipped <= consumed);
    // Only digital silence is ever left out.
    if (model.known)
        for (uint64_t i = skipped - givenBack; i < skipped; ++i)
            FUZZ_CHECK((model.frames[i].first & 0x7fffffffu) == 0 &&
                       (model.frames[i].second & 0x7fffffffu) == 0);
    const auto frames = static_cast<uint32_t>(consumed - skipped);
    const uint32_t limit = std::min<uint32_t>(numSamples, Access::kMaxBlockFrames);
    FUZZ_CHECK(frames <= limit);
    if (model.known)
        FUZZ_CHECK(consumed <= model.frames.size());
    // Silence only while priming: either nothing was taken, or the ring ran
    // dry inside the block (and the bridge primes again). Out of priming, a
    // whole block was played. What it padded is counted (a bridge never
    // prepared, at rate 0, pads without counting).
    if (status.priming)
        FUZZ_CHECK(consumed == 0 ||
                   (frames < limit && (!model.known || consumed == model.frames.size())));
    else
        FUZZ_CHECK(frames == limit);
    if (rate != 0)
        FUZZ_CHECK(frames + (status.paddedFrames - paddedBefore) == limit);
    checkStreamedChannel(bus.channelBuffers32[0], model, skipped, frames, false, numSamples);
    if (bus.numChannels >= 2)
        checkStreamedChannel(bus.channelBuffers32[1], model, skipped, frames, true, numSamples);
    for (int32_t c = 2; c < bus.numChannels; ++c)
        if (const float* channel = bus.channelBuffers32[c])
            FUZZ_CHECK(silentFrom(channel, 0, numSamples));
    if (model.known)
        model.frames.erase(model.frames.begin(), model.frames.begin() + consumed);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    // An empty runtime directory: no PipeWire server can answer, so
    // initialize() leaves the instance not ready, and nothing the fuzzer
    // does can reach a real desktop session.
    noServer = new Strovik::Hostkit::NoServerEnvironment;
    processor = new StrovikProcessor;
    FUZZ_CHECK(processor->initialize(nullptr) == kResultOk);
    FUZZ_CHECK(!Access::ready(*processor));
    std::atexit(shutDownProcessor);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    // Any rate the processor can hold: whole Hz, never 0.
    Access::setSampleRate(*processor, in.ConsumeIntegralInRange<uint32_t>(1, UINT32_MAX));
    HostSetup host = setUpProcessing(in);
    const bool streaming = in.ConsumeBool();
    RingModel model;
    CostBudget budget(data, size);
    if (streaming)
        enterStreaming(model, host.sampleRate, budget, in);

    for (int blocks = in.ConsumeIntegralInRange<int>(1, 4); blocks > 0; --blocks)
    {
        if (in.ConsumeIntegralInRange<int>(0, 3) == 3)
            host = setUpProcessing(in);
        if (streaming && in.ConsumeBool())
            deliverPacket(Access::ring(*processor), model, in);
        runBlock(streaming, model, host, budget, in);
    }

    Access::leaveStreaming(*processor);
    RingAccess::releaseStorage(Access::ring(*processor));
    return 0;
}
