#include "captureanalysis.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace Strovik::Probe {

namespace {

// Two zero frames in a row on every channel: a sine at the end of a block
// has one exact zero at most, so this is padding (or silence) in practice.
constexpr size_t kPaddingFrames = 2;

} // namespace

CaptureAnalysis::CaptureAnalysis(int channels) : perChannel(static_cast<size_t>(channels)) {}

void CaptureAnalysis::addBlock(const std::vector<const float*>& channels, size_t frames)
{
    size_t soundEnd = 0; // one past the last frame with a non-zero sample on any channel
    for (size_t c = 0; c < perChannel.size(); ++c)
    {
        Channel& ch = perChannel[c];
        const float* samples = channels[c];
        for (size_t i = 0; i < frames; ++i)
        {
            const double s = samples[i];
            ch.peak = std::max(ch.peak, std::fabs(s));
            ch.sumSquares += s * s;
            if (s != 0.0)
                soundEnd = std::max(soundEnd, i + 1);
        }
        ch.spectrum.add(samples, frames);
    }
    totalFrames += frames;
    ++totalBlocks;

    if (soundEnd == 0)
    {
        ++(heardSound ? silent : leadingSilent);
        return;
    }
    heardSound = true;
    if (frames - soundEnd >= kPaddingFrames)
        ++partlySilent;
}

double CaptureAnalysis::peak(int channel) const
{
    return perChannel.at(static_cast<size_t>(channel)).peak;
}

double CaptureAnalysis::rms(int channel) const
{
    if (totalFrames == 0)
        return 0;
    return std::sqrt(perChannel.at(static_cast<size_t>(channel)).sumSquares / double(totalFrames));
}

double CaptureAnalysis::dominantFrequency(int channel, double sampleRate) const
{
    return perChannel.at(static_cast<size_t>(channel)).spectrum.dominantFrequency(sampleRate);
}

double toDbfs(double value)
{
    return value > 0 ? 20 * std::log10(value) : -std::numeric_limits<double>::infinity();
}

} // namespace Strovik::Probe
