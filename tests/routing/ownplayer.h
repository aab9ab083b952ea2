#pragma once

// A playback stream of this very process into the default sink, as a DAW
// that plays through PipeWire's native API has: the output the plug-in, in
// the same process, must never capture.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <vector>

struct pw_thread_loop;
struct pw_stream;

namespace Strovik::Test {

class OwnPlayer
{
public:
    // A sine of `hz` at `amplitude` on both channels, float stereo at 48 kHz.
    OwnPlayer(double hz, double amplitude);
    ~OwnPlayer();
    OwnPlayer(const OwnPlayer&) = delete;
    OwnPlayer& operator=(const OwnPlayer&) = delete;

    // Connects the stream (the session manager links it to the default
    // sink) and returns at once. False when PipeWire is not reachable.
    bool start();
    // Destroys the stream: its links into the sink go with it.
    void stop();
    bool running() const { return stream != nullptr; }

    // When start() was called, and when the graph first asked for samples
    // (zero until it has).
    std::chrono::steady_clock::time_point started() const { return startedAt; }
    std::chrono::steady_clock::time_point firstCycle() const;
    uint64_t cycles() const { return cycleCount.load(); }

    // Before start(): instead of the sine, silence with one sample of
    // `amplitude` every `periodFrames` frames, each noted with the time of
    // the cycle that wrote it.
    void playClicks(uint32_t periodFrames) { clickPeriod = periodFrames; }
    // Those times, and the click's frame within its cycle.
    struct Click
    {
        std::chrono::steady_clock::time_point written;
        uint32_t frame;
    };
    std::vector<Click> clicks() const;

private:
    static void onProcess(void* self);
    void process();

    double step;
    double amplitude;
    double phase = 0;
    pw_thread_loop* loop = nullptr;
    pw_stream* stream = nullptr;
    std::chrono::steady_clock::time_point startedAt{};
    std::atomic<int64_t> firstCycleNanos{0};
    std::atomic<uint64_t> cycleCount{0};
    uint32_t clickPeriod = 0;
    uint64_t framesWritten = 0;
    // Filled by the real-time callback: no allocation there.
    std::array<Click, 512> clickLog{};
    std::atomic<size_t> clickCount{0};
};

} // namespace Strovik::Test
