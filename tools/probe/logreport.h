#pragma once

// What the plug-in's diagnostic log (/tmp/strovik.log) says about a run:
// whether PipeWire was reached, and how full the capture buffer was.

#include <cstddef>
#include <string>

namespace Strovik::Probe {

constexpr const char* kPluginLogPath = "/tmp/strovik.log";

struct LogReport
{
    bool connected = false;     // "setupPipeWire done pwReady=1"
    bool connectFailed = false; // "setupPipeWire: pw_context_connect failed"
    unsigned streamRate = 0;    // "PROC connect stream rate=N", 0 if none
    // "fill=NN%" of the PW and PROC lines, in the order they were written.
    size_t fillLines = 0;
    unsigned fillMin = 0, fillMax = 0, fillLast = 0;
    size_t ringResets = 0; // "writeRing RESET": the buffer overflowed and was emptied
};

LogReport analyzeLog(const std::string& text);

// The whole file; empty when it cannot be read.
std::string readTextFile(const std::string& path);

} // namespace Strovik::Probe
