// What PipeWire's data thread does with each packet, per packet, against a
// memcpy of the packet's input bytes: FrameRing::write for stereo (a
// straight copy); for mono and 6 channels FrameRing::writeAsStereo, which
// makes the frames stereo on their way into the ring's storage.
//
// Emptying: the one-second ring takes 65536 / frames packets before it is
// full; then both positions are reset. That reset is two stores once per
// ring's worth of packets, so it stays inside the timed loop (it adds well
// under 0.01 ns a packet); pausing the timer around it instead would leak
// more than that (see harness_pause in the process benchmark). The floor
// copies into a buffer of the same footprint at the same advancing offsets,
// starting at the same place within a page as the ring's storage, so both
// see the same cache behaviour and the same source-to-destination distances
// (pagebuffer.h). Packets start 128 bytes into a page, where PipeWire's
// mapped buffers started on the machine these figures were taken on.
//
// The aliased_memcpy rows show what such a distance can cost: the same
// copy with its destination 16 bytes after its source modulo a page, and
// half a page away.

#include "framering.h"
#include "frameringaccess.h"
#include "pagebuffer.h"
#include "ratioreport.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using namespace Strovik::Bench;
using Strovik::FrameRing;
using RingAccess = Strovik::FrameRingTestAccess;

namespace {

constexpr uint32_t kRate = 48000;
constexpr uint32_t kRingFrames = 65536; // what resize(48000) makes
constexpr uint32_t kPackets[] = {256, 1024, 8192};
constexpr size_t kPacketPageOffset = 128;

struct Layout
{
    const char* name;
    uint32_t channels;
    double target;
};
constexpr Layout kLayouts[] = {{"stereo", 2, 1.5}, {"mono", 1, 3.0}, {"6ch", 6, 3.0}};

// A packet as PipeWire maps it, filled with noise.
class Packet
{
public:
    Packet(uint32_t frames, uint32_t channels)
        : samples(static_cast<size_t>(frames) * channels), buffer(samples, kPacketPageOffset)
    {
        std::mt19937 generator(11);
        std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
        for (size_t i = 0; i < samples; ++i)
            buffer.data()[i] = sample(generator);
    }
    const float* data() const { return buffer.data(); }
    float operator[](size_t i) const { return buffer.data()[i]; }
    size_t size() const { return samples; }

private:
    size_t samples;
    PageBuffer buffer;
};

// The client's packet step: stereo goes into the ring as it is, any other
// channel count is made stereo on its way in.
FrameRing::WriteResult deliver(FrameRing& ring, const Packet& packet, uint32_t frames,
                               uint32_t channels)
{
    if (channels == 2)
        return ring.write(packet.data(), frames);
    return ring.writeAsStereo(packet.data(), frames, channels);
}

// The stereo frames the ring should hold for `packet`: mono doubled, the
// first two channels of anything wider.
bool ringHolds(FrameRing& ring, const Packet& packet, uint32_t frames, uint32_t channels)
{
    std::vector<float> out(static_cast<size_t>(frames) * 2);
    if (ring.read(out.data(), frames) != frames)
        return false;
    for (size_t i = 0; i < frames; ++i)
    {
        const float left = packet[i * channels];
        const float right = packet[i * channels + (channels >= 2 ? 1 : 0)];
        if (out[2 * i] != left || out[2 * i + 1] != right)
            return false;
    }
    return true;
}

void writePacket(benchmark::State& state, uint32_t channels, uint32_t frames)
{
    FrameRing ring;
    ring.resize(kRate);
    if (ring.capacityBytes() / FrameRing::kBytesPerFrame != kRingFrames)
    {
        state.SkipWithError("the ring is not the size the floor assumes");
        return;
    }
    const Packet packet(frames, channels);
    if (deliver(ring, packet, frames, channels).status != FrameRing::WriteResult::Written ||
        !ringHolds(ring, packet, frames, channels))
    {
        state.SkipWithError("the packet did not go into the ring as stereo");
        return;
    }
    ring.reset();

    const uint32_t packetsPerFill = kRingFrames / frames;
    uint32_t written = 0;
    for (auto _ : state)
    {
        deliver(ring, packet, frames, channels);
        if (++written == packetsPerFill)
        {
            ring.reset();
            written = 0;
        }
    }
    state.SetItemsProcessed(state.iterations() * frames);
    state.counters["copy_distance"] = pageDistance(RingAccess::storage(ring), packet.data());
}

// Where the ring's storage starts within a page, as writePacket's ring has it.
size_t ringPageOffset()
{
    FrameRing ring;
    ring.resize(kRate);
    return pageOffset(RingAccess::storage(ring));
}

void copyPacket(benchmark::State& state, uint32_t channels, uint32_t frames)
{
    const Packet packet(frames, channels);
    const uint32_t packetsPerFill = kRingFrames / frames;
    PageBuffer storage(static_cast<size_t>(packetsPerFill) * packet.size(), ringPageOffset());
    benchmark::DoNotOptimize(storage.data());
    const size_t bytes = packet.size() * sizeof(float);
    uint32_t written = 0;
    for (auto _ : state)
    {
        std::memcpy(storage.data() + written * packet.size(), packet.data(), bytes);
        benchmark::ClobberMemory();
        if (++written == packetsPerFill)
            written = 0;
    }
    state.SetItemsProcessed(state.iterations() * frames);
    state.counters["copy_distance"] = pageDistance(storage.data(), packet.data());
}

void aliasedCopy(benchmark::State& state, size_t bytes, size_t distance)
{
    PageBuffer source(bytes / sizeof(float), 0);
    PageBuffer destination(bytes / sizeof(float), distance);
    benchmark::DoNotOptimize(source.data());
    benchmark::DoNotOptimize(destination.data());
    for (auto _ : state)
    {
        std::memcpy(destination.data(), source.data(), bytes);
        benchmark::ClobberMemory();
    }
    state.counters["copy_distance"] = pageDistance(destination.data(), source.data());
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<RatioPair> pairs;
    for (const Layout& layout : kLayouts)
        for (uint32_t frames : kPackets)
        {
            const std::string suffix =
                std::string("/") + layout.name + "/" + std::to_string(frames);
            const std::string subject = "write" + suffix;
            const std::string floor = "floor_memcpy" + suffix;
            benchmark::RegisterBenchmark(subject.c_str(), writePacket, layout.channels, frames)
                ->Unit(benchmark::kNanosecond);
            benchmark::RegisterBenchmark(floor.c_str(), copyPacket, layout.channels, frames)
                ->Unit(benchmark::kNanosecond);
            pairs.push_back({subject, floor, layout.target});
        }
    for (size_t distance : {size_t{16}, size_t{2048}})
    {
        const std::string name = "aliased_memcpy/8192B/distance" + std::to_string(distance);
        benchmark::RegisterBenchmark(name.c_str(), aliasedCopy, size_t{8192}, distance)
            ->Unit(benchmark::kNanosecond);
    }
    return runWithRatios(argc, argv, "FrameRing::write() per packet (writeAsStereo unless stereo)",
                         pairs);
}
