// process() in the streaming state with a filled ring, per host block,
// against its floor: copying the same interleaved frames out of a buffer of
// the ring's size and de-interleaving them into two channel buffers, which
// any capture plug-in has to do at least.
//
// Refilling: the ring holds one second (65536 frames at 48 kHz). Both the
// subject and the floor refill their whole buffer once it is drained, with
// the timer paused, i.e. once every 65536 / block iterations. A pause and
// resume leaks about a microsecond into the measured time, so it is done as
// rarely as possible and its leak is measured on its own ("harness_pause/N":
// the same loop with no work), next to the figures.
// Refilling a block's worth on every iteration would add a memcpy as large
// as the work measured; pausing on every iteration would swamp small blocks.

#include "activeprocessor.h"
#include "noserver.h"
#include "pagebuffer.h"
#include "processblock.h"
#include "processoraccess.h"
#include "ratioreport.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <vector>

using namespace Steinberg;
using namespace Steinberg::Vst;
using namespace Strovik::Bench;
using Strovik::FrameRing;
using Strovik::StrovikProcessor;
using Strovik::Hostkit::ProcessBlock;
using Access = Strovik::StrovikProcessorTestAccess;

namespace {

constexpr double kRate = 48000.0;
// What resize(48000) makes: 384000 bytes rounded up to 2^19, 8 bytes a frame.
constexpr uint32_t kRingFrames = 65536;
constexpr int64_t kBlocks[] = {64, 256, 512, 2048, 8192};

std::vector<float> noiseFrames(size_t frames)
{
    std::mt19937 generator(7);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    std::vector<float> interleaved(frames * 2);
    for (float& s : interleaved)
        s = sample(generator);
    return interleaved;
}

// One initialized processor, put in the streaming state, for the whole run.
ActiveProcessor* streaming = nullptr;

// One set of host buffers per block size, shared by subject and floor: where
// the output channels lie relative to the block frames they are read from
// decides how often loads wait on unrelated stores (4K aliasing again), so
// both must write to the very same buffers. A host's block: the transport
// playing at the processor's rate.
std::map<int64_t, std::unique_ptr<ProcessBlock>> hostBlocks;

std::unique_ptr<ProcessBlock> hostBlock(int32 frames)
{
    auto block = std::make_unique<ProcessBlock>(2, frames);
    block->setPlaying(true);
    block->context.sampleRate = kRate;
    return block;
}

void processBlock(benchmark::State& state)
{
    StrovikProcessor& processor = **streaming;
    FrameRing& ring = Access::ring(processor);
    const auto frames = static_cast<int32>(state.range(0));
    const uint32_t ringFrames = ring.capacityBytes() / FrameRing::kBytesPerFrame;
    if (ringFrames != kRingFrames)
    {
        state.SkipWithError("the ring is not the size the floor assumes");
        return;
    }
    const uint32_t blocksPerFill = ringFrames / static_cast<uint32_t>(frames);
    const std::vector<float> packet = noiseFrames(ringFrames);
    ProcessBlock& block = *hostBlocks.at(frames);

    // The first playing block after a stop empties the ring; have it happen
    // here, then check that a block really carries the ring's frames.
    processor.process(block.data);
    ring.discard();
    ring.write(packet.data(), ringFrames);
    processor.process(block.data);
    if (std::memcmp(&block.channel(0)[0], &packet[0], sizeof(float)) != 0 ||
        std::memcmp(&block.channel(1)[frames - 1], &packet[2 * frames - 1], sizeof(float)) != 0)
    {
        state.SkipWithError("process did not output the ring's frames");
        return;
    }

    uint32_t blocksLeft = 0;
    for (auto _ : state)
    {
        if (blocksLeft == 0)
        {
            state.PauseTiming();
            ring.discard();
            ring.write(packet.data(), ringFrames);
            blocksLeft = blocksPerFill;
            state.ResumeTiming();
        }
        processor.process(block.data);
        --blocksLeft;
    }
    state.SetItemsProcessed(state.iterations() * frames);
    state.counters["copy_distance"] =
        pageDistance(Access::blockFrames(processor), Strovik::FrameRingTestAccess::storage(ring));
}

void floorBlock(benchmark::State& state)
{
    // The same storage-to-block-frames distance, modulo a page, as the
    // processor's own ring and block frames (see pagebuffer.h).
    StrovikProcessor& processor = **streaming;
    const float* ringStorage = Strovik::FrameRingTestAccess::storage(Access::ring(processor));
    PageBuffer storage(kRingFrames * 2, pageOffset(ringStorage));
    PageBuffer scratch(size_t{Access::kMaxBlockFrames} * 2,
                       pageOffset(Access::blockFrames(processor)));
    const auto frames = static_cast<size_t>(state.range(0));
    const size_t blocksPerFill = kRingFrames / frames;
    const std::vector<float> packet = noiseFrames(kRingFrames);
    ProcessBlock& block = *hostBlocks.at(state.range(0));
    float* left = block.outBus.channelBuffers32[0];
    float* right = block.outBus.channelBuffers32[1];
    const float* from = scratch.data();
    benchmark::DoNotOptimize(storage.data());
    benchmark::DoNotOptimize(scratch.data());
    benchmark::DoNotOptimize(left);
    benchmark::DoNotOptimize(right);

    size_t blocksLeft = 0;
    size_t offset = 0;
    for (auto _ : state)
    {
        if (blocksLeft == 0)
        {
            state.PauseTiming();
            std::memcpy(storage.data(), packet.data(), packet.size() * sizeof(float));
            blocksLeft = blocksPerFill;
            offset = 0;
            state.ResumeTiming();
        }
        std::memcpy(scratch.data(), storage.data() + 2 * offset, frames * 2 * sizeof(float));
        for (size_t i = 0; i < frames; ++i)
        {
            left[i] = from[2 * i];
            right[i] = from[2 * i + 1];
        }
        benchmark::ClobberMemory();
        offset += frames;
        --blocksLeft;
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(frames));
    state.counters["copy_distance"] = pageDistance(scratch.data(), storage.data());
}

// The loop above with nothing in it: what pausing once per fill costs per
// iteration, which both subject and floor carry.
void harnessPause(benchmark::State& state)
{
    const size_t blocksPerFill = kRingFrames / static_cast<size_t>(state.range(0));
    size_t blocksLeft = 0;
    for (auto _ : state)
    {
        if (blocksLeft == 0)
        {
            state.PauseTiming();
            blocksLeft = blocksPerFill;
            state.ResumeTiming();
        }
        benchmark::ClobberMemory();
        --blocksLeft;
    }
}

} // namespace

int main(int argc, char** argv)
{
    // No server: the processor's own PipeWire thread must not run beside the
    // figures, and the process cycle needs none in the streaming state.
    Strovik::Hostkit::NoServerEnvironment noServer;
    streaming = new ActiveProcessor(Access::kMaxBlockFrames, kRate);
    Access::enterStreaming(**streaming);

    std::vector<RatioPair> pairs;
    for (int64_t frames : kBlocks)
    {
        hostBlocks[frames] = hostBlock(static_cast<int32>(frames));
        benchmark::RegisterBenchmark("process", processBlock)
            ->Arg(frames)
            ->Unit(benchmark::kNanosecond);
        benchmark::RegisterBenchmark("floor_process", floorBlock)
            ->Arg(frames)
            ->Unit(benchmark::kNanosecond);
        benchmark::RegisterBenchmark("harness_pause", harnessPause)
            ->Arg(frames)
            ->Unit(benchmark::kNanosecond);
        const std::string arg = "/" + std::to_string(frames);
        pairs.push_back({"process" + arg, "floor_process" + arg, 1.5});
    }
    const int rc = runWithRatios(argc, argv, "process() per host block", pairs);
    hostBlocks.clear();
    Access::leaveStreaming(**streaming);
    delete streaming;
    return rc;
}
