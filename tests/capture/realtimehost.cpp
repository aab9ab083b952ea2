#include "realtimehost.h"

#include "realtimeloop.h"

#include <chrono>

namespace Strovik::Test {

std::vector<size_t> Capture::silentBlocks() const
{
    std::vector<size_t> silent;
    const auto& left = channels.at(0);
    for (size_t b = 0; b * blockSize < left.size(); ++b)
    {
        bool allZero = true;
        for (size_t i = b * blockSize; i < (b + 1) * blockSize && i < left.size(); ++i)
            allZero = allZero && left[i] == 0.0f;
        if (allZero)
            silent.push_back(b);
    }
    return silent;
}

Capture runRealtime(IAudioProcessor& processor, int32 outputChannels, int32 blockSize,
                    double sampleRate, double seconds, const BeforeBlock& before)
{
    const size_t blocks = static_cast<size_t>(seconds * sampleRate / blockSize);

    Capture capture;
    capture.blockSize = blockSize;
    capture.channels.assign(outputChannels, {});
    for (auto& c : capture.channels)
        c.reserve(blocks * blockSize);

    // A block this late behind the schedule: the machine did not run the
    // host's thread in time, and the blocks that catch up take what the
    // plug-in had buffered faster than it comes in.
    using Clock = std::chrono::steady_clock;
    const auto stall = std::chrono::milliseconds(kHostStallMs);
    const auto period = std::chrono::duration<double>(blockSize / sampleRate);
    const auto start = Clock::now();
    bool stalled = false;
    const auto timedBefore = [&](size_t index, ProcessBlock& b) {
        const bool late = Clock::now() - start > index * period + stall;
        capture.hostStalls += late && !stalled;
        stalled = late;
        if (before)
            before(index, b);
    };

    ProcessBlock block(outputChannels, blockSize);
    Strovik::Hostkit::runBlocksInRealtime(
        processor, block, sampleRate, blocks, timedBefore, [&](size_t, const ProcessBlock& done) {
            for (int32 c = 0; c < outputChannels; ++c)
                capture.channels[c].insert(capture.channels[c].end(), done.channel(c).begin(),
                                           done.channel(c).end());
            return true;
        });
    return capture;
}

} // namespace Strovik::Test
