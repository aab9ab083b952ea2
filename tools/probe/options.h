#pragma once

// strovik-probe's command line.

#include <string>
#include <vector>

namespace Strovik::Probe {

struct Options
{
    double seconds = 5;
    int rate = 48000;
    int block = 512;
    std::string output = "strovik-capture.wav";
    std::string spectrogram; // empty: none
    std::string bundle;      // empty: the installed one
    bool help = false;
};

struct ParsedOptions
{
    Options options;
    std::string error; // empty when the arguments were good
};

// `args` without the program name.
ParsedOptions parseOptions(const std::vector<std::string>& args);

std::string usage(const std::string& program);

} // namespace Strovik::Probe
