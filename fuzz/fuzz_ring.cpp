// Drives one FrameRing through arbitrary sequences of writes, reads,
// discards, resets and resizes, from arbitrary positions, and compares what
// comes out with a model of what went in. AddressSanitizer catches any copy
// outside the storage, the source packet or the destination.

#include "diagnosticlog.h"
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

using Access = Strovik::FrameRingTestAccess;
using Strovik::FrameRing;
using StrovikFuzz::CostBudget;

// One stereo frame as bit patterns, so that NaN payloads compare exactly.
using Frame = std::pair<uint32_t, uint32_t>;

uint32_t bitsOf(float sample)
{
    uint32_t bits;
    std::memcpy(&bits, &sample, sizeof bits);
    return bits;
}

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
    // packet longer than the conversion scratch (kScratchFrames).
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
        packet.frames = in.ConsumeIntegralInRange<uint32_t>(
            0, copies == 1 ? 64 : 2 * FrameRing::kScratchFrames);
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

void write(FrameRing& ring, RingModel& model, FuzzedDataProvider& in)
{
    const Packet packet = takePacket(in);
    const uint32_t readBefore = Access::readPos(ring);
    ring.writeRing(packet.samples.get(), packet.frames, packet.channels);
    FUZZ_CHECK(Access::readPos(ring) == readBefore); // the reader's position is the reader's
    if (!model.known)
        return;

    // A packet goes in whole or not at all; a non-stereo one must fit whole
    // but only its first kScratchFrames frames are converted and kept.
    const uint64_t space =
        ring.capacityBytes() - uint64_t{model.frames.size()} * FrameRing::kBytesPerFrame;
    const bool fits =
        packet.frames != 0 && uint64_t{packet.frames} * FrameRing::kBytesPerFrame <= space;
    uint32_t kept =
        packet.channels == 2 ? packet.frames : std::min(packet.frames, FrameRing::kScratchFrames);
    if (packet.channels == 0)
        kept = 0; // frames without samples carry nothing to keep
    if (fits)
    {
        const size_t stride = packet.channels;
        const size_t right = packet.channels >= 2 ? 1 : 0;
        for (size_t i = 0; i < kept; ++i)
            model.frames.emplace_back(bitsOf(packet.samples[i * stride]),
                                      bitsOf(packet.samples[i * stride + right]));
    }
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
        maxFrames = in.ConsumeIntegralInRange<uint32_t>(0, 2 * FrameRing::kScratchFrames + 1);
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
    const uint32_t got = ring.readRing(dst.get(), maxFrames);

    FUZZ_CHECK(got <= maxFrames);
    FUZZ_CHECK(got <= capacityFrames);
    FUZZ_CHECK(Access::writePos(ring) == writeBefore); // the writer's position is the writer's
    FUZZ_CHECK(Access::readPos(ring) - readBefore == got * FrameRing::kBytesPerFrame);
    if (2 * size_t{got} < marked) // nothing past the frames returned
        FUZZ_CHECK(bitsOf(dst[2 * size_t{got}]) == 0xA5A5A5A5u);

    if (!model.known)
        return;
    FUZZ_CHECK(got == std::min<uint64_t>(maxFrames, model.frames.size()));
    for (uint32_t i = 0; i < got; ++i)
    {
        FUZZ_CHECK(Frame(bitsOf(dst[2 * i]), bitsOf(dst[2 * i + 1])) == model.frames.front());
        model.frames.pop_front();
    }
}

void resize(FrameRing& ring, RingModel& model, CostBudget& budget, FuzzedDataProvider& in)
{
    const uint32_t rate = StrovikFuzz::pickRingRate(in, budget);
    if (in.ConsumeBool())
        Access::releaseStorage(ring);
    ring.sizeRing(rate);
    FUZZ_CHECK(StrovikFuzz::capacityMatchesRate(ring.capacityBytes(), rate));
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
    // One ring for the whole run, its scratch arrays sized once as the
    // plug-in does (zeroing them per input would cost more than the rest);
    // every input sizes its storage and places its positions afresh. The log
    // is written only on an impossible fill; /dev/null keeps it off the disk.
    static Strovik::DiagnosticLog log("/dev/null");
    static FrameRing ring(log);
    static const bool scratchSized = (ring.sizeScratch(), true);
    (void)scratchSized;

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
            ring.discardRing(); // from the reader's side: the writer's position stays
            FUZZ_CHECK(Access::writePos(ring) == writeBefore);
            FUZZ_CHECK(Access::readPos(ring) == writeBefore);
            model.becomeEmpty();
            break;
        }
        case 5:
            if (in.ConsumeBool())
            {
                ring.resetRing();
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
