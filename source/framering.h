#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

namespace Strovik {

// Carries captured audio from PipeWire's real-time thread (the one writer)
// to the host's audio thread (the one reader) without locks or waiting.
// Frames are interleaved stereo 32-bit floats, 8 bytes each, in a
// power-of-two byte area holding between one and two seconds of audio.
// The byte positions run free and wrap modulo 2^32; fill = writePos - readPos.
class FrameRing
{
public:
    static constexpr uint32_t kBytesPerFrame = 8;

    // What a write did. On Reset the positions were found inconsistent
    // (fill and space as found then) and the ring was emptied.
    struct WriteResult
    {
        enum Status
        {
            Written,
            Dropped,
            Reset
        } status;
        int32_t fill = 0;
        int32_t space = 0;
    };

    // Writer side (PipeWire data thread). Appends a packet of interleaved
    // stereo frames; drops it whole when it does not fit.
    WriteResult write(const float* stereo, uint32_t frames);

    // Writer side: appends a packet of interleaved frames of `channels`
    // samples each, made stereo on its way into the storage: mono goes to
    // both sides, more channels keep their first two, and frames of no
    // channels hold no samples and give none. Dropped whole, emptied and
    // published exactly as write() does.
    WriteResult writeAsStereo(const float* samples, uint32_t frames, uint32_t channels);

    // Writer side: appends a packet of `frames` silent frames in place of
    // one whose samples must not be heard. Dropped whole, emptied and
    // published exactly as write() does.
    WriteResult writeSilence(uint32_t frames);

    // Reader side (host audio thread). Copies up to maxFrames stereo frames
    // into dst and returns how many it copied.
    uint32_t read(float* dst, uint32_t maxFrames);

    // Reader side: empties the ring by consuming everything the writer has
    // published so far. Safe while the writer runs.
    void discard();

    // Only while no writer runs: sizes the storage for one second at
    // sampleRate (rounded up to a power of two) and resets both positions.
    // May throw std::bad_alloc; the ring is then unchanged.
    void resize(uint32_t sampleRate);
    void reset();

    uint32_t fillPercent() const;
    uint32_t capacityBytes() const { return ringBytes; }

    // Only while no writer runs: the writer leaves this many frames behind
    // the read position alone (it drops a packet that would reach into
    // them), so that the reader may look back at what it took last (see
    // played()). Kept across resize(); 0 unless set.
    void keepBehindReader(uint32_t frames) { keptBytes = frames * kBytesPerFrame; }
    uint32_t keptFrames() const { return keptBytes / kBytesPerFrame; }

    // Reader side, without copying: the frames that can be read now (at most
    // maxFrames), as up to two runs of the storage, the second where they
    // wrap past its end. The writer leaves them alone until consume() hands
    // them back, so the reader may de-interleave or resample straight from them.
    struct ReadView
    {
        const float* first = nullptr;
        uint32_t firstFrames = 0;
        const float* second = nullptr;
        uint32_t secondFrames = 0;
        uint32_t frames() const { return firstFrames + secondFrames; }
    };
    ReadView peek(uint32_t maxFrames) const;
    // Reader side: releases the oldest `frames` frames (never more than the
    // writer has published).
    void consume(uint32_t frames);
    // Reader side: the last `frames` frames it consumed, as up to two runs
    // like peek's, oldest first. No more than the ring keeps behind the
    // reader: those the writer may already have overwritten are not shown.
    ReadView played(uint32_t frames) const;
    // Each side's own position, read by that side (the writer stamps it
    // after a write; the reader measures the fill from it).
    uint32_t readPosition() const { return readPos.load(std::memory_order_relaxed); }
    uint32_t writePosition() const { return writePos.load(std::memory_order_relaxed); }

private:
    // `frames` frames from byte position `position`, as up to two runs of
    // the storage (the second where they wrap past its end).
    ReadView runsFrom(uint32_t position, uint32_t frames) const;

    // Lets the tests place the positions near 2^32 or in states the writer
    // and reader never reach on their own.
    friend struct FrameRingTestAccess;

    // What both writes share: the checks, the place in the storage and the
    // publication. storeRun(to, first, count) stores the packet's frames
    // first .. first + count - 1 as stereo from byte address `to` on.
    template <typename StoreRun> WriteResult append(uint32_t frames, StoreRun storeRun);

    std::vector<float> storage;
    // Each position has one storing thread: writePos the writer, readPos the
    // reader (resets happen only while no writer runs, or touch only the
    // resetting side's own position). Kept on separate cache lines so the two
    // threads do not invalidate each other's line on every store.
    alignas(64) std::atomic<uint32_t> readPos{0};
    alignas(64) std::atomic<uint32_t> writePos{0};
    alignas(64) uint32_t ringBytes = 0;
    uint32_t keptBytes = 0;
};

} // namespace Strovik
