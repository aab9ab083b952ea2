#pragma once

#include "diagnosticlog.h"
#include "framering.h"

#include "public.sdk/source/vst/vstaudioeffect.h"

#include <atomic>
#include <cstdint>

#include <pipewire/pipewire.h>

namespace Strovik {

// The audio processor of "Strovik Capture", and the one state record of an
// instance: its PipeWire client, its frame ring and its diagnostic log.
// Each instance is an independent PipeWire client.
class StrovikProcessor : public Steinberg::Vst::AudioEffect
{
public:
    StrovikProcessor();
    ~StrovikProcessor() override;

    static Steinberg::FUnknown* createInstance(void* context);

    Steinberg::tresult PLUGIN_API initialize(Steinberg::FUnknown* context) override;
    Steinberg::tresult PLUGIN_API terminate() override;
    Steinberg::tresult PLUGIN_API setState(Steinberg::IBStream* state) override;
    Steinberg::tresult PLUGIN_API getState(Steinberg::IBStream* state) override;
    Steinberg::tresult PLUGIN_API setBusArrangements(Steinberg::Vst::SpeakerArrangement* inputs,
                                                     Steinberg::int32 numIns,
                                                     Steinberg::Vst::SpeakerArrangement* outputs,
                                                     Steinberg::int32 numOuts) override;
    Steinberg::tresult PLUGIN_API
    canProcessSampleSize(Steinberg::int32 symbolicSampleSize) override;
    Steinberg::tresult PLUGIN_API process(Steinberg::Vst::ProcessData& data) override;

private:
    // Benchmarks and fuzzers reach the ring and put the instance in the
    // streaming state without a server.
    friend struct StrovikProcessorTestAccess;

    // PipeWire client (pipewireclient.cpp).
    void setupPipeWire();
    void shutdownPipeWire();
    void ensureStream(uint32_t rate);
    void connectStream(uint32_t rate);
    void disconnectStream();
    void onStreamParamChanged(uint32_t id, const spa_pod* param);
    void onStreamProcess();
    static const pw_stream_events streamEvents;

    // Process cycle steps (strovikprocessor.cpp).
    void updateSampleRate(double hostRate);
    void connectStep();
    void writeOutput(Steinberg::Vst::AudioBusBuffers& bus, int32_t numSamples, uint32_t frames);

    pw_thread_loop* threadLoop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    spa_hook streamListener{};
    std::atomic<uint32_t> channels{2};
    uint32_t sampleRate = 48000;
    DiagnosticLog diagnosticLog;
    FrameRing ring{diagnosticLog};
    std::atomic<bool> pwReady{false};
    bool wasPlaying = false;
    bool resetPending = false;
    std::atomic<uint64_t> pwCallbackCount{0};
};

} // namespace Strovik
