#include "capturerun.h"

#include "levelmeter.h"
#include "realtimeloop.h"
#include "stopsignal.h"

#include <cmath>

namespace Strovik::Probe {

using namespace Steinberg::Vst;

namespace {

constexpr int kChannels = 2;
constexpr double kRedrawsPerSecond = 10; // often enough to watch, rarely enough to read

} // namespace

RunResult runCapture(IAudioProcessor& processor, const RunSettings& s, Hostkit::FloatWavWriter& wav,
                     CaptureAnalysis& analysis, std::ostream& out)
{
    RunResult result;
    result.blocksPlanned = static_cast<size_t>(std::ceil(s.seconds * s.rate / s.block));

    Hostkit::ProcessBlock block(kChannels, s.block);
    // A host that is playing: the plug-in starts its capture afresh when
    // the transport starts, as it would when the user presses play.
    block.context.sampleRate = s.rate;
    block.context.tempo = 120;
    block.context.timeSigNumerator = block.context.timeSigDenominator = 4;
    block.context.state =
        ProcessContext::kPlaying | ProcessContext::kTempoValid | ProcessContext::kTimeSigValid;

    LevelMeter meter(kChannels);
    const size_t blocksPerReading = static_cast<size_t>(std::max(
        1.0, std::round(s.rate / double(s.block) / (s.terminal ? kRedrawsPerSecond : 1.0))));
    std::vector<const float*> planes(kChannels);

    const auto before = [&](size_t index, Hostkit::ProcessBlock& b) {
        b.context.projectTimeSamples = static_cast<Steinberg::int64>(index) * s.block;
    };
    const auto after = [&](size_t index, const Hostkit::ProcessBlock& b) {
        for (int c = 0; c < kChannels; ++c)
            planes[size_t(c)] = b.channel(c).data();
        wav.appendPlanar(planes, size_t(s.block));
        analysis.addBlock(planes, size_t(s.block));
        meter.add(planes, size_t(s.block));
        const size_t done = index + 1;
        // The last, partial reading only when it is worth a line of its own.
        const size_t sinceReading = done % blocksPerReading;
        const bool last = done == result.blocksPlanned;
        if (sinceReading == 0 || (last && (s.terminal || 2 * sinceReading >= blocksPerReading)))
        {
            const double elapsed = double(done) * s.block / s.rate;
            if (s.terminal)
                out << "\r" << meterLine(elapsed, s.seconds, meter.take()) << "\x1b[K"
                    << std::flush;
            else
                out << meterText(elapsed, meter.take()) << std::endl;
        }
        return stopSignal() == 0;
    };
    result.blocksRun =
        Hostkit::runBlocksInRealtime(processor, block, s.rate, result.blocksPlanned, before, after);
    if (s.terminal)
        out << "\n";
    result.stoppedBy = stopSignal();
    return result;
}

} // namespace Strovik::Probe
