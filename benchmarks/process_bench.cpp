// process() in the streaming state, per host block, in the state it runs in
// nearly all the time: the clock bridge past priming, copying the ring's
// frames exactly (bypass). Against its floor: de-interleaving the same frames
// from the ring's storage into the two host channels, which any capture
// plug-in has to do at least.
//
// The bridge needs a writer: it measures the fill from the stamps PipeWire's
// thread publishes after each packet. Each iteration therefore first does
// what that thread does, one packet of a block's frames written to the ring
// and stamped with the time, then the reader's work. Pausing the timer
// around the writer instead would leak about a microsecond per iteration
// (the cost of a pause and resume), more than process() itself takes for
// small blocks, and subtracting a leak that large and that noisy leaves
// nothing reliable. So the writer is timed, in the subject and in the floor
// alike, on the very same ring, stamp and host buffers:
//   process/N        writer + process(), the host passing its system time
//   process_own_clock/N  the same, without it: process() reads the clock
//   floor_process/N  writer + peek, de-interleave, consume
//   writer/N         the writer alone
// The ratio table compares the first two; both carry the writer, which
// dilutes the ratio towards 1. writer/N is listed with them ("also
// measured"), so that the reader's own ratio, (process - writer) /
// (floor_process - writer), can be worked out from the same run.
//
// A host calling back to back looks like one long burst to the bridge, whose
// target then keeps growing; that changes the numbers it compares, not the
// work it does per block. Its drift detector would take that growth for a
// clock drift after some seconds of one run (far beyond the default run
// times). Each run checks afterwards that the bridge stayed in bypass
// throughout (no priming, padding, skipping or resampling) and fails the run
// otherwise, so that a figure never comes from another state.
//
// The bridge's other state, engaged: its resampler steered by the loop once
// the clocks differ.
//   engaged/N        writer + ClockBridge::process, resampling
// A standalone bridge with its own ring and stamp, on simulated clocks: the
// writer delivers one 1024-frame quantum per quantum period, the reader
// calls one block per block period on a clock 1000 ppm fast, both stamped
// with computed times. The clocks run until the bridge engages, then on
// through the timed loop, so the writer carries N frames per block on
// average, as in the other families (in 1024-frame packets rather than
// N-frame ones), and the clocks' own arithmetic costs a few nanoseconds
// more. The run fails unless the bridge stayed engaged without
// padding, skipping or underflowing. Its rows in the table have no target,
// and it is also given as a share of one core.

#include "activeprocessor.h"
#include "monotonicclock.h"
#include "noserver.h"
#include "pagebuffer.h"
#include "processblock.h"
#include "processoraccess.h"
#include "ratioreport.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace Steinberg;
using namespace Steinberg::Vst;
using namespace Strovik::Bench;
using Strovik::ClockBridge;
using Strovik::FrameRing;
using Strovik::StrovikProcessor;
using Strovik::WriterStamp;
using Strovik::Hostkit::ProcessBlock;
using Access = Strovik::StrovikProcessorTestAccess;

namespace {

constexpr double kRate = 48000.0;
constexpr int64_t kBlocks[] = {64, 256, 512, 2048, 8192};
// The bridge's jitter margin at 48 kHz.
constexpr uint32_t kMarginFrames = 512;

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
// the output channels lie relative to the ring storage they are read from
// decides how often loads wait on unrelated stores (4K aliasing), so both
// must write to the very same buffers. A host's block: the transport playing
// at the processor's rate.
std::map<int64_t, std::unique_ptr<ProcessBlock>> hostBlocks;

std::unique_ptr<ProcessBlock> hostBlock(int32 frames)
{
    auto block = std::make_unique<ProcessBlock>(2, frames);
    block->setPlaying(true);
    block->context.sampleRate = kRate;
    return block;
}

// What PipeWire's thread does per packet: the frames into the ring, then
// the stamp of where the writer stands, when, and how long its packet was.
// Returns that time.
inline int64_t writePacket(FrameRing& ring, WriterStamp& stamp, const float* packet,
                           uint32_t frames)
{
    ring.write(packet, frames);
    const int64_t now = Strovik::monotonicNanos();
    stamp.publish(ring.writePosition(), now, frames);
    return now;
}

// Whatever the bridge did since `before` that is not bypass; empty if nothing.
std::string leftBypass(const ClockBridge::Status& before, const ClockBridge::Status& now)
{
    if (now.priming)
        return "the bridge is priming";
    if (now.engaged)
        return "the bridge resampled";
    if (now.paddedFrames != before.paddedFrames)
        return "the bridge padded with silence";
    if (now.skippedFrames != before.skippedFrames)
        return "the bridge skipped frames";
    return {};
}

// The ring emptied, then filled by whole packets beyond what the bridge's
// target asks for when it leaves priming: one quantum (here a block), one
// block and the jitter margin. The bridge must see the last stamp after its
// restart.
void prefill(FrameRing& ring, WriterStamp& stamp, const std::vector<float>& packet, uint32_t frames)
{
    ring.discard();
    for (uint32_t filled = 0; filled <= 2 * frames + kMarginFrames; filled += frames)
        writePacket(ring, stamp, packet.data(), frames);
}

// hostTime: the host passes its system time (CLOCK_MONOTONIC at the start
// of its cycle, as most hosts do), which the processor may take instead of
// reading the clock itself. The host's own clock read is not the
// processor's cost: the writer's stamp, taken just before, stands in for it.
void processBlock(benchmark::State& state, bool hostTime)
{
    StrovikProcessor& processor = **streaming;
    FrameRing& ring = Access::ring(processor);
    WriterStamp& stamp = Access::stamp(processor);
    ClockBridge& bridge = Access::bridge(processor);
    const auto frames = static_cast<uint32_t>(state.range(0));
    ProcessBlock& block = *hostBlocks.at(frames);
    const float* left = block.outBus.channelBuffers32[0];
    const float* right = block.outBus.channelBuffers32[1];
    const std::vector<float> packet = noiseFrames(frames);
    ProcessContext& context = block.context;
    if (hostTime)
        context.state |= ProcessContext::kSystemTimeValid;
    else
        context.state &= ~ProcessContext::kSystemTimeValid;
    auto write = [&] {
        context.systemTime = writePacket(ring, stamp, packet.data(), frames);
    };

    // A fresh activation, as setActive(true) prepares it: the bridge's two
    // timelines, the writer's and the host's, start together. Called back to
    // back, neither side's events are anywhere near their nominal pace, and
    // the timelines' estimates wander by up to a quantum and a margin;
    // started together and fed one packet per block, they wander alike, and
    // the fill the bridge measures is the ring's.
    if (!bridge.prepare(static_cast<uint32_t>(kRate), Access::kMaxBlockFrames))
    {
        state.SkipWithError("the bridge could not be prepared");
        return;
    }
    // Then priming, left at the first block (trimming the ring down to the
    // target), and a few blocks of bypass.
    prefill(ring, stamp, packet, frames);
    for (int i = 0; i < 8; ++i)
    {
        write();
        processor.process(block.data);
    }
    // A block must carry the ring's frames, bit for bit, and take exactly those.
    write();
    const FrameRing::ReadView view = ring.peek(frames);
    std::vector<float> expected(view.first, view.first + 2 * size_t{view.firstFrames});
    expected.insert(expected.end(), view.second, view.second + 2 * size_t{view.secondFrames});
    const uint32_t readBefore = ring.readPosition();
    const ClockBridge::Status before = bridge.status();
    processor.process(block.data);
    std::string fault = leftBypass(before, bridge.status());
    if (fault.empty() && (view.frames() != frames ||
                          ring.readPosition() - readBefore != frames * FrameRing::kBytesPerFrame))
        fault = "process did not take one block from the ring";
    for (uint32_t i = 0; fault.empty() && i < frames; ++i)
        if (std::memcmp(&left[i], &expected[2 * i], sizeof(float)) != 0 ||
            std::memcmp(&right[i], &expected[2 * i + 1], sizeof(float)) != 0)
            fault = "process did not output the ring's frames";
    if (!fault.empty())
    {
        state.SkipWithError(fault.c_str());
        return;
    }

    const ClockBridge::Status start = bridge.status();
    for (auto _ : state)
    {
        write();
        processor.process(block.data);
    }
    fault = leftBypass(start, bridge.status());
    if (!fault.empty())
    {
        state.SkipWithError(fault.c_str());
        return;
    }
    state.SetItemsProcessed(state.iterations() * frames);
    // Ring storage to the host's left channel, modulo a page: the bridge
    // de-interleaves straight from one into the other.
    state.counters["copy_distance"] =
        pageDistance(left, Strovik::FrameRingTestAccess::storage(ring));
}

void floorBlock(benchmark::State& state)
{
    // The processor's own ring, stamp and host buffers: the same distances
    // between storage and output, the same writer.
    StrovikProcessor& processor = **streaming;
    FrameRing& ring = Access::ring(processor);
    WriterStamp& stamp = Access::stamp(processor);
    const auto frames = static_cast<uint32_t>(state.range(0));
    ProcessBlock& block = *hostBlocks.at(frames);
    float* left = block.outBus.channelBuffers32[0];
    float* right = block.outBus.channelBuffers32[1];
    const std::vector<float> packet = noiseFrames(frames);
    prefill(ring, stamp, packet, frames);
    benchmark::DoNotOptimize(left);
    benchmark::DoNotOptimize(right);

    for (auto _ : state)
    {
        writePacket(ring, stamp, packet.data(), frames);
        const FrameRing::ReadView view = ring.peek(frames);
        for (uint32_t i = 0; i < view.firstFrames; ++i)
        {
            left[i] = view.first[2 * i];
            right[i] = view.first[2 * i + 1];
        }
        float* leftRest = left + view.firstFrames;
        float* rightRest = right + view.firstFrames;
        for (uint32_t i = 0; i < view.secondFrames; ++i)
        {
            leftRest[i] = view.second[2 * i];
            rightRest[i] = view.second[2 * i + 1];
        }
        ring.consume(view.frames());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * frames);
    state.counters["copy_distance"] =
        pageDistance(left, Strovik::FrameRingTestAccess::storage(ring));
}

// The writer alone, which both of the above carry: taken off them, it gives
// the reader's own ratio.
void writerBlock(benchmark::State& state)
{
    StrovikProcessor& processor = **streaming;
    FrameRing& ring = Access::ring(processor);
    WriterStamp& stamp = Access::stamp(processor);
    const auto frames = static_cast<uint32_t>(state.range(0));
    const std::vector<float> packet = noiseFrames(frames);
    // Emptied from the reader's side whenever it cannot take another
    // packet: once every 65536 / N iterations, a discard of a few nanoseconds.
    const uint32_t ringFrames =
        ring.capacityBytes() / FrameRing::kBytesPerFrame - ring.keptFrames();
    const uint32_t packetsPerFill = ringFrames / frames;
    ring.discard();
    uint32_t packetsLeft = packetsPerFill;
    for (auto _ : state)
    {
        if (packetsLeft-- == 0)
        {
            ring.discard();
            packetsLeft = packetsPerFill - 1;
        }
        writePacket(ring, stamp, packet.data(), frames);
    }
    state.SetItemsProcessed(state.iterations() * frames);
}

// Two clocks that differ, in simulated time: PipeWire's (the writer's,
// nominal) and a host's 1000 ppm fast. Each step delivers the writer's
// packets due by the reader's next cycle, at the start of their own cycles,
// then runs that cycle.
class DriftingClocks
{
public:
    static constexpr uint32_t kQuantum = 1024;
    static constexpr double kReaderPpm = 1000.0;

    DriftingClocks(uint32_t blockFrames, float* left, float* right)
        : packet(noiseFrames(kQuantum)), frames(blockFrames), left(left), right(right),
          writerPeriodNs(kQuantum * 1e9 / kRate),
          readerPeriodNs(blockFrames * 1e9 / (kRate * (1.0 + kReaderPpm * 1e-6)))
    {
        ring.resize(static_cast<uint32_t>(kRate));
    }

    // As the processor prepares its own bridge.
    bool prepare() { return bridge.prepare(static_cast<uint32_t>(kRate), Access::kMaxBlockFrames); }

    void step()
    {
        const int64_t now = nanos(readerBlocks++ * readerPeriodNs);
        for (int64_t due = nanos(writerCycles * writerPeriodNs); due <= now;
             due = nanos(writerCycles * writerPeriodNs))
        {
            ring.write(packet.data(), kQuantum);
            stamp.publish(ring.writePosition(), due, kQuantum);
            ++writerCycles;
        }
        bridge.process(ring, stamp, now, left, right, frames);
    }

    double seconds() const { return readerBlocks * readerPeriodNs * 1e-9; }

    FrameRing ring;
    WriterStamp stamp;
    ClockBridge bridge;

private:
    // Times as the bridge sees them, far from zero as CLOCK_MONOTONIC is on
    // a running machine.
    static int64_t nanos(double sinceStart) { return 1'000'000'000'000 + std::llround(sinceStart); }

    const std::vector<float> packet;
    const uint32_t frames;
    float* const left;
    float* const right;
    const double writerPeriodNs;
    const double readerPeriodNs;
    // Cycle counts, exact in a double far beyond any run: times are computed
    // from them, never summed, so they do not wander by rounding however
    // long a run lasts.
    double writerCycles = 0;
    double readerBlocks = 0;
};

// Whatever the bridge did since `before` that is not steady resampling;
// empty if nothing.
std::string leftEngaged(const ClockBridge::Status& before, const ClockBridge::Status& now)
{
    if (!now.engaged)
        return "the bridge is not resampling";
    if (now.priming)
        return "the bridge is priming";
    if (now.underflows != before.underflows)
        return "the ring ran dry";
    if (now.paddedFrames != before.paddedFrames)
        return "the bridge padded with silence";
    if (now.skippedFrames != before.skippedFrames)
        return "the bridge skipped frames";
    return {};
}

void engagedBlock(benchmark::State& state)
{
    const auto frames = static_cast<uint32_t>(state.range(0));
    // The family's host buffers, as for the floor: the same distances from
    // the ring's storage (placed alike by fixedlayout.cpp).
    ProcessBlock& block = *hostBlocks.at(frames);
    float* left = block.outBus.channelBuffers32[0];
    DriftingClocks clocks(frames, left, block.outBus.channelBuffers32[1]);
    if (!clocks.prepare())
    {
        state.SkipWithError("the bridge could not be prepared");
        return;
    }
    // Far beyond the few seconds a 1000 ppm drift takes to show.
    constexpr double kGiveUpSeconds = 120.0;
    while (!clocks.bridge.status().engaged && clocks.seconds() < kGiveUpSeconds)
        clocks.step();
    if (!clocks.bridge.status().engaged)
    {
        state.SkipWithError("the bridge did not engage within 120 s of simulated time");
        return;
    }

    const ClockBridge::Status start = clocks.bridge.status();
    for (auto _ : state)
        clocks.step();
    const std::string fault = leftEngaged(start, clocks.bridge.status());
    if (!fault.empty())
    {
        state.SkipWithError(fault.c_str());
        return;
    }
    state.SetItemsProcessed(state.iterations() * frames);
    state.counters["engage_s"] = start.engageSeconds;
    state.counters["ratio"] = clocks.bridge.status().ratio;
    state.counters["copy_distance"] =
        pageDistance(left, Strovik::FrameRingTestAccess::storage(clocks.ring));
}

} // namespace

int main(int argc, char** argv)
{
    // No server: the processor's own PipeWire thread must not run beside the
    // figures, and the process cycle needs none in the streaming state.
    Strovik::Hostkit::NoServerEnvironment noServer;
    streaming = new ActiveProcessor(Access::kMaxBlockFrames, kRate);
    Access::enterStreaming(**streaming);

    std::vector<RatioPair> pairs, ownClockPairs, engagedPairs;
    std::vector<CoreShare> shares;
    for (int64_t frames : kBlocks)
    {
        hostBlocks[frames] = hostBlock(static_cast<int32>(frames));
        benchmark::RegisterBenchmark("process", processBlock, true)
            ->Arg(frames)
            ->Unit(benchmark::kNanosecond);
        benchmark::RegisterBenchmark("process_own_clock", processBlock, false)
            ->Arg(frames)
            ->Unit(benchmark::kNanosecond);
        benchmark::RegisterBenchmark("floor_process", floorBlock)
            ->Arg(frames)
            ->Unit(benchmark::kNanosecond);
        benchmark::RegisterBenchmark("writer", writerBlock)
            ->Arg(frames)
            ->Unit(benchmark::kNanosecond);
        benchmark::RegisterBenchmark("engaged", engagedBlock)
            ->Arg(frames)
            ->Unit(benchmark::kNanosecond);
        const std::string arg = "/" + std::to_string(frames);
        pairs.push_back({"process" + arg, "floor_process" + arg, 1.2});
        ownClockPairs.push_back({"process_own_clock" + arg, "floor_process" + arg, 1.2});
        // Resampling costs what it costs: measured and reported, no target.
        engagedPairs.push_back({"engaged" + arg, "floor_process" + arg, std::nullopt});
        // One block is N frames of 48 kHz stereo audio.
        shares.push_back({"engaged" + arg, frames * 1e9 / kRate});
    }
    pairs.insert(pairs.end(), ownClockPairs.begin(), ownClockPairs.end());
    pairs.insert(pairs.end(), engagedPairs.begin(), engagedPairs.end());
    const int rc = runWithRatios(argc, argv, "process() per host block", pairs, shares);
    hostBlocks.clear();
    Access::leaveStreaming(**streaming);
    delete streaming;
    return rc;
}
