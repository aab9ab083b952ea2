#pragma once

// Runs the capture processor in real time as a host's audio thread would,
// sending every block to the WAV file, the analysis and the live meter.

#include "captureanalysis.h"
#include "floatwav.h"
#include "processorinstance.h"

#include <ostream>

namespace Strovik::Probe {

struct RunSettings
{
    double seconds = 5;
    int rate = 48000;
    int block = 512;
    bool terminal = false; // redraw one meter line rather than print lines
};

struct RunResult
{
    size_t blocksPlanned = 0;
    size_t blocksRun = 0;
    int stoppedBy = 0; // the signal that ended the run early, or 0
};

RunResult runCapture(Steinberg::Vst::IAudioProcessor& processor, const RunSettings& settings,
                     Hostkit::FloatWavWriter& wav, CaptureAnalysis& analysis, std::ostream& out);

} // namespace Strovik::Probe
