#pragma once

// One process() call's worth of host data in any shape a host could pass,
// sane or not, with every sample buffer owned here, allocated to exactly its
// length (so AddressSanitizer sees a write past it) and prefilled with a
// marker (so a check can tell which samples process() wrote).

#include "fuzzsupport.h"

#include "pluginterfaces/vst/ivstaudioprocessor.h"
#include "pluginterfaces/vst/ivstprocesscontext.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace Strovik::Fuzz {

// A NaN no sample in the ring ever carries: the fuzz input's samples have it
// replaced before they go in (see ringSample). One byte repeated, so that
// memset can lay it.
constexpr uint32_t kUntouched = 0xFFFFFFFFu;

// A fuzz-chosen sample for the ring: any bit pattern but the marker.
float ringSample(uint32_t bits);

// Whether all `count` samples have the bit pattern `bits`.
bool allSamplesAre(const float* samples, size_t count, uint32_t bits);

// Host sample rates: the usual ones, the edges of what rounds into 32 bits,
// and NaN, infinities, zero, negative and denormal ones.
double pickHostRate(FuzzedDataProvider& in);

class FuzzBlock
{
public:
    // No more samples than this across all buffers of one block.
    static constexpr int64_t kMaxSamples = int64_t{8} << 20;

    // `processMode` is passed through to ProcessData as a host would.
    FuzzBlock(FuzzedDataProvider& in, int32_t processMode, CostBudget& budget);
    FuzzBlock(const FuzzBlock&) = delete;
    FuzzBlock& operator=(const FuzzBlock&) = delete;

    Steinberg::Vst::ProcessData data;

    // Whether process() may write output bus 0: the bus is declared, has
    // channels and a channel pointer array, and the sample count is positive.
    bool mainOutputWritable() const;
    // Every buffer except those of output bus 0 still holds only the marker.
    bool othersUntouched() const;
    // All of output bus 0's buffers still hold only the marker.
    bool mainOutputUntouched() const;

private:
    void makeBuses(FuzzedDataProvider& in, int32_t count,
                   std::unique_ptr<Steinberg::Vst::AudioBusBuffers[]>& buses);
    bool busUntouched(const Steinberg::Vst::AudioBusBuffers& bus) const;
    int32_t samplesPerBuffer() const { return data.numSamples > 0 ? data.numSamples : 0; }

    std::unique_ptr<Steinberg::Vst::AudioBusBuffers[]> outputBuses, inputBuses;
    int32_t outputBusCount = 0, inputBusCount = 0;
    std::vector<std::unique_ptr<float*[]>> pointerArrays;
    // The channel pointers that get a buffer, filled in once the sample count is final.
    std::vector<float**> bufferSlots;
    std::vector<std::unique_ptr<float[]>> buffers;
    Steinberg::Vst::ProcessContext context{};
};

} // namespace Strovik::Fuzz
