#pragma once

// Reaches into a processor the way only benchmarks may: the ring, the
// stream pointer and the counters that decide what a process call does.

#include "strovikprocessor.h"

#include <cstdint>

namespace Strovik {

struct StrovikProcessorTestAccess
{
    // Puts an initialized processor in the streaming state with no server:
    // the process cycle only asks whether `stream` is null and whether
    // `pwReady` is set, so a stand-in pointer that nothing dereferences is
    // enough. The callback count is set off a multiple of 1000, or every
    // block would write a status line to the log and the figure would be
    // file I/O.
    static void enterStreaming(StrovikProcessor& processor)
    {
        processor.ring.sizeScratch();
        processor.ring.sizeRing(48000);
        processor.stream = reinterpret_cast<pw_stream*>(&streamStandIn);
        processor.pwReady.store(true);
        processor.pwCallbackCount.store(1);
    }

    // Undoes enterStreaming before shutdown, which would otherwise hand the
    // stand-in to PipeWire.
    static void leaveStreaming(StrovikProcessor& processor)
    {
        processor.stream = nullptr;
        processor.pwReady.store(false);
    }

    static FrameRing& ring(StrovikProcessor& processor) { return processor.ring; }
    static bool ready(const StrovikProcessor& processor) { return processor.pwReady.load(); }
    static bool hasStream(const StrovikProcessor& processor) { return processor.stream != nullptr; }
    static uint64_t callbacks(const StrovikProcessor& processor)
    {
        return processor.pwCallbackCount.load();
    }

private:
    static inline char streamStandIn = 0;
};

} // namespace Strovik
