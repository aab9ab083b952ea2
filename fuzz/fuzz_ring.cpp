// Drives one FrameRing through arbitrary sequences of writes, reads,
// discards, resets and resizes, from arbitrary positions, and compares what
// comes out with a model of what went in. Packets go in as PipeWire's data
// thread hands them over: stereo as it is through write, any other channel
// count through writeAsStereo (and now and then stereo too, which it takes
// as well). AddressSanitizer catches any copy outside the storage, the
// source packet or the destination.

#include "framering.h"
#include "frameringaccess.h"
#include "fuzzsupport.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <utility>
#include <vector>

namespace {

using namespace Strovik::Fuzz;
using Access = Strovik::FrameRingTestAccess;
using Strovik::FrameRing;
using WriteResult = Strovik::FrameRing::WriteResult;

// A long packet: the most frames a PipeWire quantum usually brings.
constexpr uint32_t kLongPacket = 8192;

// One stereo frame as bit patterns, so that NaN payloads compare exactly.
using Frame = std::pair<uint32_t, uint32_t>;

// The frames the ring holds, oldest first. Known from the moment the ring is
// empty (reset, discarded, resized, or positions set equal) until arbitrary
// positions make its contents a matter of what the storage happened to hold.
struct RingModel
{
    bool known = true;
    std::deque<Frame> frames;

    void becomeEmpty()
    {
        known = true;
        frames.clear();
    }
};

// A packet of interleaved samples, allocated to exactly frames * channels
// floats so that AddressSanitizer sees any read beyond it.
struct Packet
{
    std::unique_ptr<float[]> samples;
    uint32_t frames = 0;
    uint32_t channels = 0;
};

Packet takePacket(FuzzedDataProvider& in)
{
    Packet packet;
    switch (in.ConsumeIntegralInRange<int>(0, 3))
    {
    case 0:
        packet.channels = 2;
        break;
    case 1:
        packet.channels = in.ConsumeIntegralInRange<uint32_t>(1, 64);
        break;
    case 2:
        packet.channels = in.ConsumeIntegral<uint32_t>(); // 0x40000000 and the like
        break;
    default:
        packet.channels = 0;
        break;
    }
    // Now and then the bytes are repeated, so that a small input can make a
    // packet longer than kLongPacket.
    const size_t copies =
        in.ConsumeIntegralInRange<int>(0, 15) == 15 ? in.ConsumeIntegralInRange<size_t>(2, 64) : 1;
    const std::vector<uint8_t> bytes =
        in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, in.remaining_bytes()));
    std::vector<uint8_t> tiled;
    for (size_t copy = 0; copy < copies; ++copy)
        tiled.insert(tiled.end(), bytes.begin(), bytes.end());

    // Frames follow from the bytes at hand, so the packet really holds
    // frames * channels samples; a frame of no samples needs none.
    if (packet.channels != 0)
        packet.frames = static_cast<uint32_t>(tiled.size() / (uint64_t{packet.channels} * 4));
    else // as many as other packets have, mostly few enough to fit a tiny ring
        packet.frames = in.ConsumeIntegralInRange<uint32_t>(0, copies == 1 ? 64 : 2 * kLongPacket);
    const size_t samples = size_t{packet.frames} * packet.channels;
    packet.samples.reset(new float[samples]);
    if (samples)
        std::memcpy(packet.samples.get(), tiled.data(), samples * sizeof(float));
    return packet;
}

// Rounded down, for any fill the ring can really have; nothing for a fill
// the reader is ahead of. (Past the capacity the number is not a share.)
void checkFillPercent(const FrameRing& ring)
{
    const auto fill = static_cast<int32_t>(Access::writePos(ring) - Access::readPos(ring));
    const uint32_t capacity = ring.capacityBytes();
    if (fill <= 0 || capacity == 0)
        FUZZ_CHECK(ring.fillPercent() == 0);
    else if (static_cast<uint32_t>(fill) <= capacity)
        FUZZ_CHECK(ring.fillPercent() == uint64_t{static_cast<uint32_t>(fill)} * 100 / capacity);
}

// The stereo frames the ring should take from `packet`: mono on both
// sides, the first two of more channels, none from frames of no samples.
std::vector<Frame> stereoFrames(const Packet& packet)
{
    std::vector<Frame> frames;
    if (packet.channels == 0)
        return frames;
    const size_t stride = packet.channels;
    const size_t right = packet.channels >= 2 ? 1 : 0;
    frames.reserve(packet.frames);
    for (size_t i = 0; i < packet.frames; ++i)
        frames.emplace_back(sampleBits(packet.samples[i * stride]),
                            sampleBits(packet.samples[i * stride + right]));
    return frames;
}

void write(FrameRing& ring, RingModel& model, FuzzedDataProvider& in)
{
    const bool asStereo = in.ConsumeBool();
    const Packet packet = takePacket(in);
    const std::vector<Frame> stereo = stereoFrames(packet);
    const auto frames = static_cast<uint32_t>(stereo.size());

    const uint32_t readBefore = Access::readPos(ring);
    const uint32_t writeBefore = Access::writePos(ring);
    const uint32_t capacity = ring.capacityBytes();
    const int64_t fill = static_cast<int32_t>(writeBefore - readBefore);
    const WriteResult result =
        packet.channels == 2 && !asStereo
            ? ring.write(packet.samples.get(), packet.frames)
            : ring.writeAsStereo(packet.samples.get(), packet.frames, packet.channels);
    FUZZ_CHECK(Access::readPos(ring) == readBefore); // the reader's position is the reader's

    // The result tells the positions as the writer found them.
    FUZZ_CHECK(result.fill == fill);
    FUZZ_CHECK(result.space == static_cast<int32_t>(capacity - static_cast<uint32_t>(fill)));
    const uint32_t advanced = Access::writePos(ring) - writeBefore;
    if (result.status == WriteResult::Reset)
    {
        // Emptied from the writer's side, onto the reader's position.
        FUZZ_CHECK(Access::writePos(ring) == readBefore);
        model.becomeEmpty();
    }
    else
    {
        // Whole or not at all, and never more than the storage holds.
        FUZZ_CHECK(advanced == (result.status == WriteResult::Written
                                    ? uint64_t{frames} * FrameRing::kBytesPerFrame
                                    : 0));
        FUZZ_CHECK(result.status != WriteResult::Written ||
                   uint64_t{frames} * FrameRing::kBytesPerFrame <= capacity);
    }

    if (fill >= 0 && fill <= int64_t{capacity})
    {
        // Positions a writer and a reader can leave behind are never reset,
        // and a packet goes in exactly when it fits.
        FUZZ_CHECK(result.status != WriteResult::Reset);
        const bool fits = frames != 0 && uint64_t{frames} * FrameRing::kBytesPerFrame <=
                                             uint64_t{capacity} - static_cast<uint64_t>(fill);
        FUZZ_CHECK(result.status == (fits ? WriteResult::Written : WriteResult::Dropped));
    }
    else if (fill > int64_t{capacity})
    {
        // More filled than the ring holds: the ring must not trust it.
        FUZZ_CHECK(result.status == WriteResult::Reset);
    }

    if (!model.known)
        return;
    if (result.status == WriteResult::Written)
        model.frames.insert(model.frames.end(), stereo.begin(), stereo.end());
    FUZZ_CHECK(Access::writePos(ring) - readBefore ==
               model.frames.size() * FrameRing::kBytesPerFrame);
}

void read(FrameRing& ring, RingModel& model, FuzzedDataProvider& in)
{
    uint32_t maxFrames;
    switch (in.ConsumeIntegralInRange<int>(0, 2))
    {
    case 0:
        maxFrames = in.ConsumeIntegralInRange<uint32_t>(0, 64);
        break;
    case 1:
        maxFrames = in.ConsumeIntegralInRange<uint32_t>(0, 2 * kLongPacket + 1);
        break;
    default:
        maxFrames = in.ConsumeIntegral<uint32_t>();
        break;
    }
    const uint32_t capacityFrames = ring.capacityBytes() / FrameRing::kBytesPerFrame;
    // Exactly what was asked for, so that AddressSanitizer catches a copy of
    // more; for absurd requests, what the ring promises never to exceed.
    const uint32_t dstFrames = maxFrames <= (1u << 20) ? maxFrames : capacityFrames;
    const size_t dstSamples = 2 * size_t{dstFrames};
    std::unique_ptr<float[]> dst(new float[dstSamples]);
    // Marked up to the first frame a correct read cannot reach, which is all
    // the check below looks at: a copy of too much runs into it first.
    const size_t marked = std::min(dstSamples, 2 * size_t{capacityFrames} + 2);
    std::memset(dst.get(), 0xA5, marked * sizeof(float));

    const uint32_t readBefore = Access::readPos(ring);
    const uint32_t writeBefore = Access::writePos(ring);
    const uint32_t got = ring.read(dst.get(), maxFrames);

    FUZZ_CHECK(got <= maxFrames);
    FUZZ_CHECK(got <= capacityFrames);
    FUZZ_CHECK(Access::writePos(ring) == writeBefore); // the writer's position is the writer's
    FUZZ_CHECK(Access::readPos(ring) - readBefore == got * FrameRing::kBytesPerFrame);
    if (2 * size_t{got} < marked) // nothing past the frames returned
        FUZZ_CHECK(sampleBits(dst[2 * size_t{got}]) == 0xA5A5A5A5u);

    if (!model.known)
        return;
    FUZZ_CHECK(got == std::min<uint64_t>(maxFrames, model.frames.size()));
    for (uint32_t i = 0; i < got; ++i)
    {
        FUZZ_CHECK(Frame(sampleBits(dst[2 * i]), sampleBits(dst[2 * i + 1])) ==
                   model.frames.front());
        model.frames.pop_front();
    }
}

void resize(FrameRing& ring, RingModel& model, CostBudget& budget, FuzzedDataProvider& in)
{
    const uint32_t rate = pickRingRate(in, budget);
    if (in.ConsumeBool())
        Access::releaseStorage(ring);
    ring.resize(rate);
    FUZZ_CHECK(capacityMatchesRate(ring.capacityBytes(), rate));
    FUZZ_CHECK(Access::readPos(ring) == 0 && Access::writePos(ring) == 0);
    model.becomeEmpty();
}

// Anywhere in the 32-bit position space: equal positions are an empty ring
// (of unknown history, e.g. just below 2^32), others are states the writer
// and reader may never reach on their own.
void placePositions(FrameRing& ring, RingModel& model, FuzzedDataProvider& in)
{
    const uint32_t readPos = in.ConsumeIntegral<uint32_t>();
    uint32_t writePos = readPos;
    if (in.ConsumeBool())
        writePos = readPos + in.ConsumeIntegral<uint32_t>();
    Access::setPositions(ring, readPos, writePos);
    model.becomeEmpty();
    model.known = readPos == writePos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // One ring for the whole run; every input sizes its storage and places
    // its positions afresh.
    static FrameRing ring;

    FuzzedDataProvider in(data, size);
    RingModel model;
    CostBudget budget(data, size);
    Access::releaseStorage(ring);
    resize(ring, model, budget, in);
    placePositions(ring, model, in);

    for (int op = 0; op < 256 && in.remaining_bytes() > 0; ++op)
    {
        switch (in.ConsumeIntegralInRange<int>(0, 6))
        {
        case 0:
        case 1:
            write(ring, model, in);
            break;
        case 2:
        case 3:
            read(ring, model, in);
            break;
        case 4:
        {
            const uint32_t writeBefore = Access::writePos(ring);
            ring.discard(); // from the reader's side: the writer's position stays
            FUZZ_CHECK(Access::writePos(ring) == writeBefore);
            FUZZ_CHECK(Access::readPos(ring) == writeBefore);
            model.becomeEmpty();
            break;
        }
        case 5:
            if (in.ConsumeBool())
            {
                ring.reset();
                FUZZ_CHECK(Access::readPos(ring) == 0 && Access::writePos(ring) == 0);
                model.becomeEmpty();
            }
            else
            {
                resize(ring, model, budget, in);
            }
            break;
        default:
            placePositions(ring, model, in);
            break;
        }
        checkFillPercent(ring);
    }
    // Nothing allocated outlives the input: libFuzzer's leak check stays quiet.
    Access::releaseStorage(ring);
    return 0;
}
