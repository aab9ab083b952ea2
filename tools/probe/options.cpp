#include "options.h"

#include "logtext.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace Strovik::Probe {

namespace {

// Limits a host could really run with. The plug-in hands out at most 8192
// frames per call, so a larger block would come out partly silent.
constexpr double kMaxSeconds = 24 * 3600;
constexpr int kMinRate = 8000, kMaxRate = 384000;
constexpr int kMinBlock = 16, kMaxBlock = 8192;

bool parseNumber(const std::string& text, double& value)
{
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text.c_str(), &end);
    return errno == 0 && *end == '\0' && std::isfinite(value);
}

bool parseWhole(const std::string& text, int& value)
{
    double d = 0;
    if (!parseNumber(text, d) || d != std::floor(d) || std::fabs(d) > 1e9)
        return false;
    value = static_cast<int>(d);
    return true;
}

std::string range(int low, int high)
{
    return "a whole number from " + std::to_string(low) + " to " + std::to_string(high);
}

} // namespace

ParsedOptions parseOptions(const std::vector<std::string>& args)
{
    ParsedOptions parsed;
    Options& o = parsed.options;
    auto fail = [&](const std::string& why) {
        parsed.error = why;
        return parsed;
    };

    bool optionsEnded = false; // after "--", a bundle path may start with '-'
    for (size_t i = 0; i < args.size(); ++i)
    {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-')
        {
            if (!o.bundle.empty())
                return fail("only one bundle may be given ('" + o.bundle + "' and '" + arg + "')");
            o.bundle = arg;
            continue;
        }
        if (arg == "--")
        {
            optionsEnded = true;
            continue;
        }

        // --name=value or --name value
        const size_t eq = arg.rfind("--", 0) == 0 ? arg.find('=') : std::string::npos;
        const std::string name = arg.substr(0, eq);
        const bool inlineValue = eq != std::string::npos;
        std::string value = inlineValue ? arg.substr(eq + 1) : "";

        if (name == "--help" || name == "-h")
        {
            if (inlineValue)
                return fail("--help takes no value");
            o.help = true;
            continue;
        }
        if (name != "--seconds" && name != "--rate" && name != "--block" && name != "--output" &&
            name != "--spectrogram")
            return fail("unknown option '" + arg + "'");
        if (!inlineValue)
        {
            if (i + 1 >= args.size())
                return fail(name + " needs a value");
            value = args[++i];
        }

        if (name == "--seconds")
        {
            if (!parseNumber(value, o.seconds) || o.seconds <= 0 || o.seconds > kMaxSeconds)
                return fail("--seconds must be a number of seconds above 0 and at most " +
                            std::to_string(static_cast<int>(kMaxSeconds)) + ", not '" + value +
                            "'");
        }
        else if (name == "--rate")
        {
            if (!parseWhole(value, o.rate) || o.rate < kMinRate || o.rate > kMaxRate)
                return fail("--rate must be " + range(kMinRate, kMaxRate) + " (Hz), not '" + value +
                            "'");
        }
        else if (name == "--block")
        {
            if (!parseWhole(value, o.block) || o.block < kMinBlock || o.block > kMaxBlock)
                return fail("--block must be " + range(kMinBlock, kMaxBlock) + " (frames), not '" +
                            value + "'");
        }
        else if (value.empty())
            return fail(name + " needs a file name");
        else if (name == "--output")
            o.output = value;
        else
            o.spectrogram = value;
    }
    return parsed;
}

std::string usage(const std::string& program)
{
    std::ostringstream text;
    text << "Usage: " << program << " [options] [BUNDLE]\n"
         << R"(
Loads the Strovik Capture plug-in as a VST 3 host does, prints what its
factory says, and runs it in real time: whatever the desktop plays comes
out of the plug-in and into a WAV file.

BUNDLE  the .vst3 bundle (or its module's .so) to load. Default: the first
        installed one of ~/.vst3/StrovikCapture.vst3,
        /usr/lib/vst3/StrovikCapture.vst3, /usr/local/lib/vst3/StrovikCapture.vst3

Options:
  --seconds N         how long to run (default 5; Ctrl-C stops early)
  --rate HZ           the host's sample rate (default 48000)
  --block N           frames per process call (default 512)
  --output FILE       32-bit float WAV of the capture (default strovik-capture.wav)
  --spectrogram PNG   also draw the capture's spectrogram with sox
  -h, --help          this text

The summary gives peak and RMS per channel in dBFS, the dominant frequency,
silent blocks (underflow) and the capture buffer's fill as the plug-in's
log ()" << LogText::kPath
         << R"() reported it.

Exit status: 0 done (also when stopped by Ctrl-C), 2 bad arguments,
3 no bundle found, 4 not a VST 3 module, 5 no Strovik Capture processor in
the module, 6 the plug-in refused to start, 7 the WAV could not be written,
8 the spectrogram could not be drawn.
)";
    return text.str();
}

} // namespace Strovik::Probe
