#include "writerstamp.h"

namespace Strovik {

void WriterStamp::publish(uint32_t newWritePos, int64_t newTimeNanos, uint32_t newQuantumFrames,
                          uint32_t newLinks)
{
    // Only this thread stores the sequence, so its own load may be relaxed.
    const uint32_t seq = sequence.load(std::memory_order_relaxed);
    // Odd: "being written". Relaxed, because the release stores below
    // order it before themselves.
    sequence.store(seq + 1, std::memory_order_relaxed);
    // Release, each: a reader whose acquire load sees one of these values
    // also sees the odd sequence stored before it, so that its closing
    // sequence load cannot match its opening one.
    writePos.store(newWritePos, std::memory_order_release);
    quantumFrames.store(newQuantumFrames, std::memory_order_release);
    timeNanos.store(newTimeNanos, std::memory_order_release);
    links.store(newLinks, std::memory_order_release);
    // Release: a reader that acquires this even value sees all four fields.
    sequence.store(seq + 2, std::memory_order_release);
}

bool WriterStamp::read(WriterStampValue& out) const
{
    for (int attempt = 0; attempt < kReadAttempts; ++attempt)
    {
        // Acquire: pairs with the writer's closing release store, so the
        // fields loaded below are at least those of this publication.
        const uint32_t before = sequence.load(std::memory_order_acquire);
        if (before == 0)
            return false; // nothing published since the last clear
        if (before & 1u)
            continue; // the writer is storing right now
        // Acquire, each: pairs with the field's release store (see publish),
        // and keeps the closing sequence load from moving up before it.
        WriterStampValue value;
        value.writePos = writePos.load(std::memory_order_acquire);
        value.quantumFrames = quantumFrames.load(std::memory_order_acquire);
        value.timeNanos = timeNanos.load(std::memory_order_acquire);
        value.links = links.load(std::memory_order_acquire);
        value.sequence = before;
        // Relaxed: ordered after the field loads by their acquire; unchanged
        // means no publication overlapped them.
        if (sequence.load(std::memory_order_relaxed) == before)
        {
            if (value.quantumFrames == 0)
                return false; // cleared, nothing published since
            out = value;
            return true;
        }
    }
    return false;
}

void WriterStamp::clear()
{
    // No writer runs. The sequence keeps rising, so that the first stamp of
    // the next writer can never look like one the reader has already taken;
    // a quantum of 0 marks "nothing published". Relaxed: starting the next
    // writer orders these stores before it, and a reader in between finds a
    // consistent "nothing" (or a retry) through the sequence as usual.
    const uint32_t seq = sequence.load(std::memory_order_relaxed);
    sequence.store(seq + 1, std::memory_order_relaxed);
    writePos.store(0, std::memory_order_release);
    quantumFrames.store(0, std::memory_order_release);
    timeNanos.store(0, std::memory_order_release);
    links.store(0, std::memory_order_release);
    sequence.store(seq + 2, std::memory_order_release);
}

} // namespace Strovik
