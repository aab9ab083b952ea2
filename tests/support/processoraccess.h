#pragma once

// Reaches into a processor from tests, benchmarks and fuzzers: its ring,
// its PipeWire client and the state that decides what a process call does.

#include "clockbridge.h"
#include "frameringaccess.h"
#include "pipewireclientaccess.h"
#include "strovikprocessor.h"

#include <cstdint>

namespace Strovik {

struct StrovikProcessorTestAccess
{
    // The most frames one process call takes from the ring.
    static constexpr uint32_t kMaxBlockFrames = StrovikProcessor::kMaxBlockFrames;

    // Puts an initialized processor in the streaming state with no server:
    // the process cycle only asks whether the client is connected and
    // whether its stream is open. The packet count is set off a multiple of
    // 1000, so that no status line is posted.
    static void enterStreaming(StrovikProcessor& processor, uint32_t ringRate = 48000)
    {
        processor.ring.resize(ringRate);
        setStreaming(processor, true);
        PipeWireClientTestAccess::setPacketCount(processor.client, 1);
    }
    // Takes the streaming state back (also before terminate, which then
    // finds no connection to tear down).
    static void leaveStreaming(StrovikProcessor& processor) { setStreaming(processor, false); }
    static void setStreaming(StrovikProcessor& processor, bool streaming)
    {
        processor.streamOpen = streaming;
        // The bridge as setActive(true) would have prepared it for the rate.
        if (streaming && processor.bridgeRate != processor.sampleRate)
            processor.bridgeRate =
                processor.bridge->prepare(processor.sampleRate, StrovikProcessor::kMaxBlockFrames)
                    ? processor.sampleRate
                    : 0;
        PipeWireClientTestAccess::setConnected(processor.client, streaming);
    }

    static FrameRing& ring(StrovikProcessor& processor) { return processor.ring; }
    static PipeWireClient& client(StrovikProcessor& processor) { return processor.client; }
    static ClockBridge& bridge(StrovikProcessor& processor) { return *processor.bridge; }
    static WriterStamp& stamp(StrovikProcessor& processor) { return processor.stamp; }
    // The rate the bridge was prepared for (0: none); process() only runs it at that rate.
    static uint32_t bridgeRate(const StrovikProcessor& processor) { return processor.bridgeRate; }
    static bool ready(const StrovikProcessor& processor) { return processor.client.isConnected(); }
    static bool hasStream(const StrovikProcessor& processor)
    {
        return PipeWireClientTestAccess::hasStream(processor.client);
    }
    static uint64_t packets(const StrovikProcessor& processor)
    {
        return processor.client.packetCount();
    }
    static void setPacketCount(StrovikProcessor& processor, uint64_t count)
    {
        PipeWireClientTestAccess::setPacketCount(processor.client, count);
    }

    static void setTransport(StrovikProcessor& processor, bool wasPlaying, bool resetPending)
    {
        processor.wasPlaying = wasPlaying;
        processor.resetPending = resetPending;
    }
    static bool wasPlaying(const StrovikProcessor& processor) { return processor.wasPlaying; }
    static bool resetPending(const StrovikProcessor& processor) { return processor.resetPending; }
    static void setSampleRate(StrovikProcessor& processor, uint32_t rate)
    {
        processor.sampleRate = rate;
    }
    static uint32_t sampleRate(const StrovikProcessor& processor) { return processor.sampleRate; }
};

} // namespace Strovik
