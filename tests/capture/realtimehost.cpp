#include "realtimehost.h"

#include <chrono>
#include <thread>

namespace StrovikTest {

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
    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(blockSize / sampleRate));
    const size_t blocks = static_cast<size_t>(seconds * sampleRate / blockSize);

    Capture capture;
    capture.blockSize = blockSize;
    capture.channels.assign(outputChannels, {});
    for (auto& c : capture.channels)
        c.reserve(blocks * blockSize);

    ProcessBlock block(outputChannels, blockSize);
    auto next = Clock::now();
    for (size_t b = 0; b < blocks; ++b)
    {
        if (before)
            before(b, block);
        block.run(processor);
        for (int32 c = 0; c < outputChannels; ++c)
            capture.channels[c].insert(capture.channels[c].end(), block.channel(c).begin(),
                                       block.channel(c).end());
        next += period;
        std::this_thread::sleep_until(next);
    }
    return capture;
}

} // namespace StrovikTest
