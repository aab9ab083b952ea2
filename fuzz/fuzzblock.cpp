#include "fuzzblock.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>

namespace Strovik::Fuzz {

using namespace Steinberg::Vst;

float ringSample(uint32_t bits)
{
    if (bits == kUntouched)
        bits ^= 1;
    float sample;
    std::memcpy(&sample, &bits, sizeof sample);
    return sample;
}

bool allSamplesAre(const float* samples, size_t count, uint32_t bits)
{
    // The first sample matches, and each equals the next: one memcmp instead
    // of a loop whose every comparison the coverage tracing would call out of.
    if (count == 0)
        return true;
    return sampleBits(samples[0]) == bits &&
           std::memcmp(samples, samples + 1, (count - 1) * sizeof(float)) == 0;
}

double pickHostRate(FuzzedDataProvider& in)
{
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    static constexpr double kEdges[] = {44100.0,
                                        48000.0,
                                        96000.4, // usual, one rounded to whole Hz
                                        0.0,
                                        -0.0,
                                        -48000.0,
                                        0.49,
                                        DBL_TRUE_MIN, // none or rounding to none
                                        4294967295.0,
                                        4294967295.49,
                                        4294967295.5,
                                        4294967296.0, // the 32-bit limit
                                        1e300,
                                        DBL_MAX,
                                        kInfinity,
                                        -kInfinity,
                                        std::numeric_limits<double>::quiet_NaN()};
    switch (in.ConsumeIntegralInRange<int>(0, 2))
    {
    case 0:
        return kEdges[in.ConsumeIntegralInRange<size_t>(0, std::size(kEdges) - 1)];
    case 1:
        return in.ConsumeFloatingPoint<double>();
    default:
    {
        const uint64_t bits = in.ConsumeIntegral<uint64_t>(); // NaN payloads included
        double rate;
        std::memcpy(&rate, &bits, sizeof rate);
        return rate;
    }
    }
}

namespace {

// Mostly small blocks, as hosts use; up to and across the 8192-frame read
// cap less often; the largest (up to 2^20 samples per channel) only when the
// budget allows.
int32_t pickSampleCount(FuzzedDataProvider& in, CostBudget& budget)
{
    const int kind = in.ConsumeIntegralInRange<int>(0, 255);
    if (kind < 160)
        return in.ConsumeIntegralInRange<int32_t>(0, 64);
    if (kind < 224)
        return in.ConsumeIntegralInRange<int32_t>(0, 1024);
    if (kind < 240)
        return in.ConsumeIntegralInRange<int32_t>(0, 16384);
    if (kind < 255 || !budget.takeHugeBlock())
        return in.ConsumeIntegralInRange<int32_t>(std::numeric_limits<int32_t>::min(), -1);
    return in.ConsumeIntegralInRange<int32_t>(0, 1 << 20);
}

// Mono and stereo most, up to 16 often, negative now and then.
int32_t pickChannelCount(FuzzedDataProvider& in)
{
    const int kind = in.ConsumeIntegralInRange<int>(0, 7);
    if (kind < 4)
        return in.ConsumeIntegralInRange<int32_t>(0, 2);
    if (kind < 7)
        return in.ConsumeIntegralInRange<int32_t>(0, 16);
    return in.ConsumeIntegralInRange<int32_t>(std::numeric_limits<int32_t>::min(), -1);
}

} // namespace

FuzzBlock::FuzzBlock(FuzzedDataProvider& in, int32_t processMode, CostBudget& budget)
{
    data.processMode = processMode;
    data.symbolicSampleSize = kSample32;
    int32_t numSamples = pickSampleCount(in, budget);

    // With no buses declared, one is still there: process() must not touch it.
    data.numOutputs = in.ConsumeIntegralInRange<int32_t>(-1, 4);
    outputBusCount = std::max(data.numOutputs, 1);
    makeBuses(in, outputBusCount, outputBuses);
    if (!in.ConsumeBool())
        data.outputs = outputBuses.get();
    // The plug-in has an input bus but reads nothing from it.
    data.numInputs = in.ConsumeIntegralInRange<int32_t>(0, 1);
    inputBusCount = 1;
    makeBuses(in, inputBusCount, inputBuses);
    if (!in.ConsumeBool())
        data.inputs = inputBuses.get();

    if (numSamples > 0 && !bufferSlots.empty())
        numSamples = static_cast<int32_t>(
            std::min<int64_t>(numSamples, kMaxSamples / static_cast<int64_t>(bufferSlots.size())));
    data.numSamples = numSamples;
    for (float** slot : bufferSlots)
    {
        const size_t samples = static_cast<size_t>(samplesPerBuffer());
        buffers.emplace_back(new float[samples]);
        *slot = buffers.back().get();
        std::memset(*slot, kUntouched & 0xFF, samples * sizeof(float));
    }

    if (in.ConsumeBool())
    {
        context.state = in.ConsumeIntegral<uint32_t>();
        context.sampleRate = pickHostRate(in);
        context.projectTimeSamples = in.ConsumeIntegral<int64_t>();
        data.processContext = &context;
    }
}

void FuzzBlock::makeBuses(FuzzedDataProvider& in, int32_t count,
                          std::unique_ptr<AudioBusBuffers[]>& buses)
{
    buses.reset(new AudioBusBuffers[count]);
    for (int32_t b = 0; b < count; ++b)
    {
        AudioBusBuffers& bus = buses[b];
        bus.numChannels = pickChannelCount(in);
        bus.channelBuffers32 = nullptr;
        if (in.ConsumeIntegralInRange<int>(0, 7) == 7)
            continue; // no pointer array at all
        // Exactly numChannels pointers: reading one more is a fault.
        const size_t channels = static_cast<size_t>(std::max(bus.numChannels, 0));
        pointerArrays.emplace_back(new float*[channels]());
        bus.channelBuffers32 = pointerArrays.back().get();
        for (size_t c = 0; c < channels; ++c)
            if (in.ConsumeIntegralInRange<int>(0, 7) != 7)
                bufferSlots.push_back(&bus.channelBuffers32[c]);
    }
}

bool FuzzBlock::busUntouched(const AudioBusBuffers& bus) const
{
    if (!bus.channelBuffers32)
        return true;
    for (int32_t c = 0; c < bus.numChannels; ++c)
    {
        const float* buffer = bus.channelBuffers32[c];
        if (buffer && !allSamplesAre(buffer, static_cast<size_t>(samplesPerBuffer()), kUntouched))
            return false;
    }
    return true;
}

bool FuzzBlock::mainOutputWritable() const
{
    return data.outputs && data.numOutputs > 0 && data.numSamples > 0 &&
           data.outputs[0].numChannels > 0 && data.outputs[0].channelBuffers32;
}

bool FuzzBlock::mainOutputUntouched() const
{
    return busUntouched(outputBuses[0]);
}

bool FuzzBlock::othersUntouched() const
{
    for (int32_t b = 1; b < outputBusCount; ++b)
        if (!busUntouched(outputBuses[b]))
            return false;
    for (int32_t b = 0; b < inputBusCount; ++b)
        if (!busUntouched(inputBuses[b]))
            return false;
    return true;
}

} // namespace Strovik::Fuzz
