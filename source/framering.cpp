#include "framering.h"

#include <algorithm>
#include <cstring>

namespace Strovik {

// Memory orderings, one hand-over each way:
// - The writer stores writePos with release after its bytes are in
//   storage; the reader loads writePos with acquire before copying out,
//   so it never sees a position ahead of the bytes it covers.
// - The reader stores readPos with release after its copy-out; the writer
//   loads readPos with acquire before copying in, so it never overwrites
//   bytes the reader is still copying.
// - A side's own position is loaded relaxed: only that side stores it.

namespace {

// One mono frame as stereo at byte address `to`: the same sample on both sides.
inline void storeMonoFrame(unsigned char* to, float sample)
{
    std::memcpy(to, &sample, sizeof(float));
    std::memcpy(to + sizeof(float), &sample, sizeof(float));
}

// `count` frames of `channels` samples (neither 0 nor 2) from `src`, as
// stereo from byte address `dst` on. Stored through memcpy into bytes: only
// positions placed off a frame boundary, which the writer never makes,
// would leave a sample unaligned, and it must still land where write()'s
// byte copy would put it. A packet never overlaps the storage; __restrict
// says so, since at -O2 GCC will not vectorise behind a runtime overlap check.
void storeAsStereo(unsigned char* __restrict dst, const float* __restrict src, uint32_t count,
                   uint32_t channels)
{
    constexpr size_t kFrame = FrameRing::kBytesPerFrame;
    if (channels == 1)
    {
        // In blocks of four frames: at -O2 GCC vectorises only loops whose
        // trip count it knows to be a multiple of the vector length (its
        // "very cheap" cost model), so the plain loop stays one frame at a
        // time and this one becomes one load, two shuffles and two stores.
        size_t i = 0;
        for (; i + 4 <= count; i += 4)
            for (size_t k = 0; k < 4; ++k)
                storeMonoFrame(dst + (i + k) * kFrame, src[i + k]);
        for (; i < count; ++i)
            storeMonoFrame(dst + i * kFrame, src[i]);
        return;
    }
    // The first two samples of a frame are already a stereo frame.
    const size_t stride = channels;
    for (size_t i = 0; i < count; ++i)
        std::memcpy(dst + i * kFrame, src + i * stride, kFrame);
}

} // namespace

template <typename StoreRun>
FrameRing::WriteResult FrameRing::append(uint32_t frames, StoreRun storeRun)
{
    const uint32_t w = writePos.load(std::memory_order_relaxed);
    const uint32_t r = readPos.load(std::memory_order_acquire);
    const uint32_t bytes = ringBytes;
    const int32_t fill = static_cast<int32_t>(w - r);
    const int32_t space = static_cast<int32_t>(bytes - static_cast<uint32_t>(fill));

    if (fill > static_cast<int32_t>(bytes) || space < 0)
    {
        // Empty the ring from the writer's side: moving the writer's own
        // position back onto the reader's never races with the reader's store.
        writePos.store(r, std::memory_order_release);
        return {WriteResult::Reset, fill, space};
    }

    // 64-bit, so that no frame count can wrap the length into a small one.
    // A negative fill makes space look larger than the ring; no packet may
    // ever be longer than the storage itself.
    // The frames kept behind the reader are no space: a fill that already
    // reaches into them (only if they were set mid-stream) leaves none.
    const int32_t usable = space - static_cast<int32_t>(keptBytes);
    const uint64_t len = static_cast<uint64_t>(frames) * kBytesPerFrame;
    if (len == 0 || usable < 0 || len > static_cast<uint32_t>(usable) || len > bytes)
        return {WriteResult::Dropped, fill, usable};

    // Whole frames up to the end of the storage, the rest from its start.
    const uint32_t offset = w & (bytes - 1);
    const uint32_t tillEnd = bytes - offset;
    auto* const base = reinterpret_cast<unsigned char*>(storage.data());
    const uint32_t beforeEnd = std::min(frames, tillEnd / kBytesPerFrame);
    storeRun(base + offset, 0, beforeEnd);
    if (beforeEnd < frames)
    {
        uint32_t next = beforeEnd;
        unsigned char* to = base;
        const uint32_t cut = tillEnd % kBytesPerFrame;
        if (cut != 0)
        {
            // Only positions placed off a frame boundary split a frame at
            // the end: it is made aside and copied in two pieces.
            unsigned char frame[kBytesPerFrame];
            storeRun(frame, next, 1);
            std::memcpy(base + offset + beforeEnd * kBytesPerFrame, frame, cut);
            std::memcpy(base, frame + cut, kBytesPerFrame - cut);
            to += kBytesPerFrame - cut;
            ++next;
        }
        storeRun(to, next, frames - next);
    }
    writePos.store(w + static_cast<uint32_t>(len), std::memory_order_release);
    return {WriteResult::Written, fill, usable};
}

FrameRing::WriteResult FrameRing::write(const float* stereo, uint32_t frames)
{
    return append(frames, [stereo](unsigned char* to, uint32_t first, uint32_t count) {
        std::memcpy(to, stereo + 2 * static_cast<size_t>(first),
                    static_cast<size_t>(count) * kBytesPerFrame);
    });
}

FrameRing::WriteResult FrameRing::writeAsStereo(const float* samples, uint32_t frames,
                                                uint32_t channels)
{
    if (channels == 2)
        return write(samples, frames);
    // Frames of no channels are no frames: the ring treats them as an
    // empty packet.
    const uint32_t stereoFrames = channels == 0 ? 0 : frames;
    return append(
        stereoFrames, [samples, channels](unsigned char* to, uint32_t first, uint32_t count) {
            storeAsStereo(to, samples + static_cast<size_t>(first) * channels, count, channels);
        });
}

FrameRing::WriteResult FrameRing::writeSilence(uint32_t frames)
{
    return append(frames, [](unsigned char* to, uint32_t, uint32_t count) {
        std::memset(to, 0, static_cast<size_t>(count) * kBytesPerFrame);
    });
}

uint32_t FrameRing::read(float* dst, uint32_t maxFrames)
{
    const uint32_t r = readPos.load(std::memory_order_relaxed);
    const uint32_t w = writePos.load(std::memory_order_acquire);
    const int32_t avail = static_cast<int32_t>(w - r);
    if (avail <= 0 || ringBytes == 0)
        return 0;

    // Never more than the storage holds, whatever the positions say.
    uint64_t bytes =
        std::min<uint64_t>(static_cast<uint64_t>(maxFrames) * kBytesPerFrame,
                           std::min<uint32_t>(static_cast<uint32_t>(avail), ringBytes));
    const uint32_t frames = static_cast<uint32_t>(bytes / kBytesPerFrame);
    if (frames == 0)
        return 0;
    bytes = static_cast<uint64_t>(frames) * kBytesPerFrame;

    const uint32_t offset = r & (ringBytes - 1);
    const uint32_t tillEnd = ringBytes - offset;
    const auto* from = reinterpret_cast<const unsigned char*>(storage.data());
    auto* to = reinterpret_cast<unsigned char*>(dst);
    if (bytes <= tillEnd)
    {
        std::memcpy(to, from + offset, bytes);
    }
    else
    {
        std::memcpy(to, from + offset, tillEnd);
        std::memcpy(to + tillEnd, from, bytes - tillEnd);
    }
    readPos.store(r + static_cast<uint32_t>(bytes), std::memory_order_release);
    return frames;
}

void FrameRing::discard()
{
    // Acquire pairs with the writer's release as in read; the release
    // store hands the emptied space back to the writer.
    readPos.store(writePos.load(std::memory_order_acquire), std::memory_order_release);
}

void FrameRing::resize(uint32_t sampleRate)
{
    // Smallest power of two not below sampleRate * 8, in wrapping 32-bit
    // arithmetic: a product that is a power of two gives itself, 0 gives 0.
    uint32_t v = sampleRate * kBytesPerFrame - 1;
    v |= v >> 1;
    v |= v >> 2;
    v |= v >> 4;
    v |= v >> 8;
    v |= v >> 16;
    const uint32_t bytes = v + 1;
    storage.resize(bytes / sizeof(float)); // may throw; then nothing changed
    ringBytes = bytes;
    reset();
}

void FrameRing::reset()
{
    // Only called while no writer runs (before the stream exists); creating
    // the stream under PipeWire's loop lock orders these stores before the
    // writer's first load, so relaxed is enough.
    readPos.store(0, std::memory_order_relaxed);
    writePos.store(0, std::memory_order_relaxed);
}

FrameRing::ReadView FrameRing::peek(uint32_t maxFrames) const
{
    // Orderings as in read: acquire on the writer's position before the
    // caller touches the bytes it covers.
    const uint32_t r = readPos.load(std::memory_order_relaxed);
    const uint32_t w = writePos.load(std::memory_order_acquire);
    const int32_t avail = static_cast<int32_t>(w - r);
    if (avail <= 0 || ringBytes == 0)
        return {};
    const uint32_t frames = static_cast<uint32_t>(std::min<uint64_t>(
        maxFrames, std::min<uint32_t>(static_cast<uint32_t>(avail), ringBytes) / kBytesPerFrame));
    return runsFrom(r, frames);
}

FrameRing::ReadView FrameRing::runsFrom(uint32_t position, uint32_t frames) const
{
    ReadView view;
    const uint32_t offset = position & (ringBytes - 1);
    const uint32_t tillEndFrames = (ringBytes - offset) / kBytesPerFrame;
    view.first = storage.data() + offset / sizeof(float);
    view.firstFrames = std::min(frames, tillEndFrames);
    view.second = storage.data();
    view.secondFrames = frames - view.firstFrames;
    return view;
}

void FrameRing::consume(uint32_t frames)
{
    const uint32_t r = readPos.load(std::memory_order_relaxed);
    const int32_t avail = static_cast<int32_t>(writePos.load(std::memory_order_acquire) - r);
    const uint64_t bytes = std::min<uint64_t>(static_cast<uint64_t>(frames) * kBytesPerFrame,
                                              avail > 0 ? static_cast<uint32_t>(avail) : 0u);
    // Release: the reader is done with these bytes before the writer may reuse them.
    readPos.store(r + static_cast<uint32_t>(bytes), std::memory_order_release);
}

FrameRing::ReadView FrameRing::played(uint32_t maxFrames) const
{
    // The reader's own position, relaxed; the writer never touches these
    // bytes (its acquire of readPos bounds what it overwrites), so nothing
    // else orders them.
    const uint32_t r = readPos.load(std::memory_order_relaxed);
    if (ringBytes == 0)
        return {};
    const uint32_t frames =
        std::min({maxFrames, keptBytes / kBytesPerFrame, ringBytes / kBytesPerFrame});
    return runsFrom(r - frames * kBytesPerFrame, frames);
}

uint32_t FrameRing::fillPercent() const
{
    // A report only, read from either thread: relaxed loads suffice.
    const int32_t fill = static_cast<int32_t>(writePos.load(std::memory_order_relaxed) -
                                              readPos.load(std::memory_order_relaxed));
    if (fill <= 0 || ringBytes == 0)
        return 0;
    // 64-bit: in a ring of 64 MiB or more, fill * 100 no longer fits in 32 bits.
    return static_cast<uint32_t>(static_cast<uint64_t>(fill) * 100u / ringBytes);
}

} // namespace Strovik
