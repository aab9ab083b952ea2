#pragma once

// The report at the end of a run.

#include "captureanalysis.h"
#include "capturerun.h"
#include "logreport.h"

#include <ostream>
#include <string>

namespace Strovik::Probe {

struct SummaryInput
{
    const CaptureAnalysis& analysis;
    const RunResult& run;
    const RunSettings& settings;
    const LogReport& log;
    bool logFound;
    std::string wavPath; // empty when the WAV could not be written
};

void printSummary(std::ostream& out, const SummaryInput& in);

} // namespace Strovik::Probe
