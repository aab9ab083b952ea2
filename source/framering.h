#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

namespace Strovik {

class DiagnosticLog;

// Carries captured audio from PipeWire's real-time thread (the one writer)
// to the host's audio thread (the one reader) without locks or waiting.
// Frames are interleaved stereo 32-bit floats, 8 bytes each, in a
// power-of-two byte area holding between one and two seconds of audio.
// The byte positions run free and wrap modulo 2^32; fill = writePos - readPos.
class FrameRing
{
public:
    static constexpr uint32_t kBytesPerFrame = 8;
    // Both scratch arrays hold this many stereo frames, which caps the frames
    // read per host block and the frames converted per non-stereo packet.
    static constexpr uint32_t kScratchFrames = 8192;

    explicit FrameRing(DiagnosticLog& log) : log(log) {}

    // Writer side (PipeWire data thread). Appends a packet of interleaved
    // frames with `channels` samples each, as stereo; drops it whole when it
    // does not fit.
    void writeRing(const float* src, uint32_t frames, uint32_t channels);

    // Reader side (host audio thread). Copies up to maxFrames stereo frames
    // into dst and returns how many it copied.
    uint32_t readRing(float* dst, uint32_t maxFrames);

    // Reader side: empties the ring by consuming everything the writer has
    // published so far. Safe while the writer runs.
    void discardRing();

    // Only while no writer runs: sizes the storage for one second at
    // sampleRate (rounded up to a power of two) and resets both positions.
    // May throw std::bad_alloc; the ring is then unchanged.
    void sizeRing(uint32_t sampleRate);
    void resetRing();

    // Sizes both scratch arrays to kScratchFrames stereo frames; main thread,
    // before any reader or writer runs.
    void sizeScratch();

    uint32_t fillPercent() const;
    uint32_t capacityBytes() const { return ringBytes; }
    float* readScratchData() { return readScratch.data(); }

private:
    // Lets the unit tests place the positions near 2^32 or in states the
    // writer and reader never reach on their own.
    friend struct FrameRingTestAccess;

    DiagnosticLog& log;
    std::vector<float> ringStorage;
    // Each position has one storing thread: writePos the writer, readPos the
    // reader (resets happen only while no writer runs, or touch only the
    // resetting side's own position). Kept on separate cache lines so the two
    // threads do not invalidate each other's line on every store.
    alignas(64) std::atomic<uint32_t> readPos{0};
    alignas(64) std::atomic<uint32_t> writePos{0};
    alignas(64) uint32_t ringBytes = 0;
    std::vector<float> readScratch;
    std::vector<float> convertScratch;
};

} // namespace Strovik
