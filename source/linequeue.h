#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace Strovik {

// Log lines from one real-time thread on their way to the file: the thread
// formats each line into a preallocated slot (no allocation, no lock, no
// system call), and whoever writes the file takes them out later, in order.
// One producer, one consumer. When every slot is taken, lines are dropped
// and counted; the next line that gets through carries the count.
class LineQueue
{
public:
    static constexpr uint32_t kSlots = 64; // a power of two
    static constexpr uint32_t kLineBytes = 160;

    // Producer: one printf-style line, formatted now (so "t=" is the moment
    // of the event), cut to kLineBytes - 1 characters.
    void post(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Consumer: hands every waiting line to sink(droppedBefore, text, length)
    // in the order posted and frees its slot.
    template <typename Sink> void drain(Sink&& sink)
    {
        const uint32_t t = tail.load(std::memory_order_relaxed);
        const uint32_t h = head.load(std::memory_order_acquire);
        for (uint32_t i = t; i != h; ++i)
        {
            const Slot& slot = slots[i & (kSlots - 1)];
            sink(slot.droppedBefore, slot.text, slot.length);
        }
        tail.store(h, std::memory_order_release);
    }

    // Consumer: whether a line waits.
    bool hasLines() const
    {
        return head.load(std::memory_order_acquire) != tail.load(std::memory_order_relaxed);
    }

    // Takes the count of lines dropped since the last one that got through:
    // only once the producer has stopped, for a count no later line carries.
    uint32_t takeDroppedAtEnd() { return dropped.exchange(0, std::memory_order_relaxed); }

private:
    struct Slot
    {
        uint32_t droppedBefore = 0;
        uint32_t length = 0;
        char text[kLineBytes] = {};
    };

    Slot slots[kSlots];
    // Memory orderings: the producer stores head with release after the
    // slot's text is complete, and the consumer loads it with acquire before
    // reading slots; the consumer stores tail with release once it is done
    // with the slots, and the producer loads it with acquire before reusing
    // one. Each side loads its own index relaxed: only it stores that index.
    alignas(64) std::atomic<uint32_t> head{0};
    alignas(64) std::atomic<uint32_t> tail{0};
    // Stored by the producer (and by takeDroppedAtEnd once it has stopped);
    // relaxed, as it is only a count.
    alignas(64) std::atomic<uint32_t> dropped{0};
};

} // namespace Strovik
