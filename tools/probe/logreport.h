#pragma once

// What the plug-in's diagnostic log (LogText::kPath) says about a run:
// whether PipeWire was reached, and how full the capture buffer was. The
// lines are told apart by the beginnings the plug-in writes them with
// (source/logtext.h).

#include "logtext.h"

#include <cstddef>
#include <string>

namespace Strovik::Probe {

struct LogReport
{
    bool connected = false;     // LogText::kSetupDone
    bool connectFailed = false; // LogText::kConnectFailed
    unsigned streamRate = 0;    // LogText::kConnectStream's " rate=N", 0 if none
    // "fill=NN%" of the status lines (kPwStatus, kProcStatus), in the order
    // they were written.
    size_t fillLines = 0;
    unsigned fillMin = 0, fillMax = 0, fillLast = 0;
    size_t ringResets = 0; // LogText::kRingReset: the buffer overflowed and was emptied
};

LogReport analyzeLog(const std::string& text);

// The whole file; empty when it cannot be read.
std::string readTextFile(const std::string& path);

} // namespace Strovik::Probe
