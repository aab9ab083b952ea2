#include "summary.h"

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace Strovik::Probe {

namespace {

std::string format(const char* pattern, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

std::string dbfs(double linear)
{
    const double value = toDbfs(linear);
    return std::isinf(value) ? "-inf dBFS" : format("%.1f dBFS", value);
}

std::string seconds(size_t blocks, const RunSettings& s)
{
    return format("%.2f s", double(blocks) * s.block / s.rate);
}

std::string channelName(int index)
{
    return index == 0 ? "L" : index == 1 ? "R" : std::to_string(index + 1);
}

} // namespace

void printSummary(std::ostream& out, const SummaryInput& in)
{
    const CaptureAnalysis& a = in.analysis;
    const RunSettings& s = in.settings;
    out << "\nSummary\n";
    out << "  frames          " << a.frames() << " (" << seconds(a.blocks(), s) << " at " << s.rate
        << " Hz, " << a.blocks() << " blocks of " << s.block << ")";
    if (in.run.stoppedBy != 0)
        out << ", stopped early by " << (in.run.stoppedBy == SIGINT ? "Ctrl-C" : "SIGTERM");
    out << "\n";
    out << "  output          "
        << (in.wavPath.empty() ? "(not written)" : in.wavPath + " (32-bit float, stereo)") << "\n";
    for (int c = 0; c < a.channels(); ++c)
    {
        const double hz = a.dominantFrequency(c, s.rate);
        out << "  channel " << channelName(c) << "       peak " << dbfs(a.peak(c)) << ", RMS "
            << dbfs(a.rms(c)) << ", dominant "
            << (hz > 0 ? format("%.0f Hz", hz) : "none (silence)") << "\n";
    }
    out << "  silent blocks   ";
    if (a.startupBlocks() == a.blocks())
        out << "all " << a.blocks() << ": no sound came through"
            << (in.log.connected ? " (was anything playing?)" : "");
    else
        out << a.startupBlocks() << " at start-up (" << seconds(a.startupBlocks(), s)
            << ", while the stream was created and linked); after that " << a.silentBlocks()
            << " fully and " << a.partlySilentBlocks()
            << " partly silent (underflow, or silence in the source)";
    out << "\n";

    out << "  ring fill       ";
    if (!in.logFound)
        out << "unknown: " << LogText::kPath << " could not be read";
    else if (in.log.fillLines == 0)
        out << "no PW/PROC lines in " << LogText::kPath;
    else
        out << "min " << in.log.fillMin << "%, max " << in.log.fillMax << "%, last "
            << in.log.fillLast << "% (" << in.log.fillLines << " PW/PROC lines in "
            << LogText::kPath << ")";
    if (in.log.ringResets)
        out << "; " << in.log.ringResets << " overflow resets (writeRing RESET)";
    out << "\n";

    out << "  PipeWire        ";
    if (in.log.connectFailed)
        out << "NOT reachable (setupPipeWire: pw_context_connect failed): the plug-in put out "
               "silence. Is a PipeWire server running for this user?";
    else if (in.log.connected && in.log.streamRate)
        out << "connected, stream opened at " << in.log.streamRate << " Hz";
    else if (in.log.connected)
        out << "connected, but no stream was opened";
    else
        out << "unknown (the log says neither; another instance may have rewritten "
            << LogText::kPath << ")";
    out << "\n";
}

} // namespace Strovik::Probe
