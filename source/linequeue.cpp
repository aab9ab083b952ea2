#include "linequeue.h"

#include <cstdarg>
#include <cstdio>

namespace Strovik {

void LineQueue::post(const char* format, ...)
{
    const uint32_t h = head.load(std::memory_order_relaxed);
    if (h - tail.load(std::memory_order_acquire) >= kSlots)
    {
        dropped.store(dropped.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        return;
    }
    Slot& slot = slots[h & (kSlots - 1)];
    va_list args;
    va_start(args, format);
    // vsnprintf into a caller's buffer with integer conversions neither
    // allocates nor locks.
    const int n = std::vsnprintf(slot.text, kLineBytes, format, args);
    va_end(args);
    if (n < 0)
        return;
    slot.length = static_cast<uint32_t>(n);
    if (slot.length >= kLineBytes)
    {
        // Cut, but still a line of its own.
        slot.length = kLineBytes - 1;
        slot.text[slot.length - 1] = '\n';
    }
    slot.droppedBefore = dropped.load(std::memory_order_relaxed);
    dropped.store(0, std::memory_order_relaxed);
    head.store(h + 1, std::memory_order_release);
}

} // namespace Strovik
