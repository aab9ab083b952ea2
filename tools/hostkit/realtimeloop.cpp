#include "realtimeloop.h"

#include <chrono>
#include <thread>

namespace Strovik::Hostkit {

size_t runBlocksInRealtime(IAudioProcessor& processor, ProcessBlock& block, double sampleRate,
                           size_t blocks, const BeforeBlock& before, const AfterBlock& after)
{
    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(block.samples() / sampleRate));
    auto next = Clock::now();
    size_t b = 0;
    while (b < blocks)
    {
        if (before)
            before(b, block);
        block.run(processor);
        const bool goOn = !after || after(b, block);
        ++b;
        if (!goOn)
            break;
        next += period;
        std::this_thread::sleep_until(next);
    }
    return b;
}

} // namespace Strovik::Hostkit
