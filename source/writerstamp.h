#pragma once

#include <atomic>
#include <cstdint>

namespace Strovik {

// What the writer last delivered: the ring's write position after a packet
// (bytes, free-running modulo 2^32 like the ring's own positions), the
// CLOCK_MONOTONIC time that packet belongs to, and its length (the graph's
// quantum). The reader interpolates the writer's position to its own cycle
// start from it, which is far steadier than the fill it sees directly.
struct WriterStampValue
{
    uint32_t writePos = 0;
    uint32_t quantumFrames = 0;
    int64_t timeNanos = 0;
    // Even and rising by 2 per publication: tells the reader a new packet came.
    uint32_t sequence = 0;
    // Which links the packet came through: another number after the stream
    // was linked anew, and with that to another driver's cycle, whose phase
    // the packets now keep.
    uint32_t links = 0;
};

// One writer (the PipeWire data thread) publishes a stamp after each packet;
// one reader (the host's audio thread) takes consistent copies. A sequence
// lock: neither side waits, allocates or makes a system call, and the reader
// gives up after a few tries rather than spin behind a preempted writer.
class WriterStamp
{
public:
    // Writer side, after the packet is in the ring; quantumFrames > 0.
    void publish(uint32_t writePos, int64_t timeNanos, uint32_t quantumFrames, uint32_t links = 0);

    // Reader side: copies the latest stamp into `out` and returns true, or
    // returns false (leaving `out` alone) when nothing was published yet or
    // the writer was mid-publication on every try.
    bool read(WriterStampValue& out) const;

    // Reader side: the sequence as it stands, for a cheap look whether
    // anything was published since a stamp already taken (equal: nothing
    // was). Relaxed: a value not seen yet is seen on the next look, and
    // read() orders the fields itself.
    uint32_t publications() const { return sequence.load(std::memory_order_relaxed); }

    // Only while no writer runs: forgets every publication. The sequence
    // still rises, so the next writer's stamps are new to any reader.
    void clear();

private:
    // Enough for a writer that is merely running its four stores at the
    // same moment; a writer preempted inside them costs the reader one
    // cycle of an older stamp, not a wait.
    static constexpr int kReadAttempts = 4;

    // Odd while the writer is storing; 0 before the first publication (and
    // for one publication in 2^31, when it wraps: the reader then keeps its
    // previous stamp for a cycle). A quantum of 0 means "cleared". The
    // fields are atomics so that a torn read is a detected retry, never a
    // data race.
    std::atomic<uint32_t> sequence{0};
    std::atomic<uint32_t> writePos{0};
    std::atomic<uint32_t> quantumFrames{0};
    std::atomic<int64_t> timeNanos{0};
    std::atomic<uint32_t> links{0};

    static_assert(std::atomic<int64_t>::is_always_lock_free,
                  "the stamp must not hide a lock inside a 64-bit atomic");
};

} // namespace Strovik
