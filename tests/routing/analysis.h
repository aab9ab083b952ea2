#pragma once

// Measurements for the routing tests: the level of given tones in a
// capture, and the moments the plug-in wrote its routing lines.

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Strovik::Test {

// The amplitude of each of `hz` in `samples`, fitted together by least
// squares (a sine and a cosine per tone, and a constant): a tone that is
// not there comes out at the level of what no sum of the others explains,
// which for float samples is far below -120 dBFS, where a windowed
// spectrum would be lost in the leakage of the loud tone next to it.
std::vector<double> toneAmplitudes(const std::vector<float>& samples, double rate,
                                   const std::vector<double>& hz);
double dbfs(double amplitude);

// Watches the diagnostic log from a thread of its own, every millisecond,
// and notes when each line first appeared.
class LogWatcher
{
public:
    using Clock = std::chrono::steady_clock;
    struct Line
    {
        Clock::time_point seen;
        std::string text;
    };

    explicit LogWatcher(std::string path);
    ~LogWatcher();

    std::vector<Line> lines() const;
    // The first line since `after` that begins with `prefix`; false when
    // none appeared within `timeout`.
    bool waitFor(const std::string& prefix, Clock::time_point after, Clock::duration timeout,
                 Line* found = nullptr) const;
    size_t count(const std::string& prefix) const;
    // Forgets the lines seen so far (a long test would otherwise grow the
    // list, and its own memory, with every instance it starts).
    void forget();

private:
    void run();

    std::string path;
    mutable std::mutex mutex;
    std::vector<Line> seen;
    std::atomic<bool> stopping{false};
    std::thread thread;
};

} // namespace Strovik::Test
