#pragma once

#include "diagnosticlog.h"
#include "framering.h"
#include "hostclock.h"
#include "pipewireclient.h"
#include "writerstamp.h"

#include "public.sdk/source/vst/vstaudioeffect.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace Strovik {

class ClockBridge;

// The audio processor of "Strovik Capture", and the one state record of an
// instance: its PipeWire client, its frame ring and its diagnostic log.
// Each instance is an independent PipeWire client.
class StrovikProcessor : public Steinberg::Vst::AudioEffect
{
public:
    StrovikProcessor();
    ~StrovikProcessor() override;
    StrovikProcessor(const StrovikProcessor&) = delete;
    StrovikProcessor& operator=(const StrovikProcessor&) = delete;

    static Steinberg::FUnknown* createInstance(void* context);

    Steinberg::tresult PLUGIN_API initialize(Steinberg::FUnknown* context) override;
    Steinberg::tresult PLUGIN_API terminate() override;
    Steinberg::tresult PLUGIN_API setState(Steinberg::IBStream* state) override;
    Steinberg::tresult PLUGIN_API getState(Steinberg::IBStream* state) override;
    Steinberg::tresult PLUGIN_API setBusArrangements(Steinberg::Vst::SpeakerArrangement* inputs,
                                                     Steinberg::int32 numIns,
                                                     Steinberg::Vst::SpeakerArrangement* outputs,
                                                     Steinberg::int32 numOuts) override;
    Steinberg::tresult PLUGIN_API setActive(Steinberg::TBool state) override;
    Steinberg::tresult PLUGIN_API
    canProcessSampleSize(Steinberg::int32 symbolicSampleSize) override;
    Steinberg::tresult PLUGIN_API process(Steinberg::Vst::ProcessData& data) override;

private:
    // Tests, benchmarks and fuzzers reach the ring and the process cycle's state.
    friend struct StrovikProcessorTestAccess;

    // The most frames one process call takes from the ring; a longer block
    // gets the rest as silence.
    static constexpr uint32_t kMaxBlockFrames = 8192;

    void shutdown();
    void updateSampleRate(double hostRate);
    void startCapture();
    uint32_t playBlock(Steinberg::Vst::AudioBusBuffers& bus, int32_t numSamples,
                       int64_t cycleNanos);

    DiagnosticLog log;
    FrameRing ring;
    WriterStamp stamp;
    PipeWireClient client{log, ring, stamp};
    // The reader's end of the bridge between PipeWire's clock and the
    // host's; made in initialize, prepared for the rate in setActive.
    std::unique_ptr<ClockBridge> bridge;
    uint32_t bridgeRate = 0;
    // Where the bridge writes a channel the host's bus does not have.
    std::vector<float> spareChannels;
    uint32_t sampleRate = 48000;
    // The audio thread's, and the main thread's while the host does not
    // process (between setProcessing(false) and setActive(true)).
    bool streamOpen = false;
    uint32_t streamRate = 0;
    // The client's stream generation the reader last started from.
    uint32_t streamGeneration = 0;
    // Audio thread only (reset while the host does not process).
    HostClock hostClock;
    bool wasPlaying = false;
    bool resetPending = false;
    uint64_t lastPacket = ~uint64_t{0}; // the packet count the last status check saw
};

} // namespace Strovik
