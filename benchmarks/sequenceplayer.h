#pragma once

// A small PipeWire playback client that plays a sequence whose every sample
// names its own frame index, into the default sink, and stamps the moment it
// hands each buffer to the graph. Plays what pw-play --latency=N would (a
// stream asking the graph for an N-frame quantum), but knows exactly when
// each frame left it.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include <pipewire/pipewire.h>

namespace Strovik::Bench {

// Frame i carries (i + 1) / 2^24 on the left and its negation on the right:
// exact in float (an integer times a power of two), non-zero, and unchanged
// by a graph that mixes a single stream at unity gain.
float sequenceSample(uint32_t index);
// The index a left sample names, or false for silence and anything else.
bool sequenceIndex(float left, float right, uint32_t frames, uint32_t& index);

class SequencePlayer
{
public:
    // One buffer handed to the graph: frames [firstIndex, firstIndex + frames)
    // of the sequence (negative: the silence before it).
    struct Handoff
    {
        int64_t firstIndex;
        uint32_t frames;
        uint32_t requested; // frames the graph asked for: its quantum
        int64_t ns;         // CLOCK_MONOTONIC on entry to the callback
    };

    // Plays leadFrames of digital silence, then the sequence.
    SequencePlayer(uint32_t sequenceFrames, uint32_t quantum, uint32_t rate,
                   uint32_t leadFrames = 0);
    ~SequencePlayer();
    SequencePlayer(const SequencePlayer&) = delete;
    SequencePlayer& operator=(const SequencePlayer&) = delete;

    // Connects to the server named by this process's environment and starts
    // playing as soon as the graph runs the stream; silence after the end.
    bool start(std::string& whyNot);
    void stop();

    // Complete once stop() has returned.
    std::vector<Handoff> handoffs() const;

private:
    void process();
    static const pw_stream_events events;

    const uint32_t sequenceFrames;
    const uint32_t leadFrames;
    const uint32_t quantum;
    const uint32_t rate;
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    int64_t nextIndex = 0;    // data thread only
    std::vector<Handoff> log; // sized up front: the callback never allocates
    std::atomic<size_t> logged{0};
};

} // namespace Strovik::Bench
