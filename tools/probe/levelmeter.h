#pragma once

// The live view while the probe runs: peak and RMS per channel since the
// last reading, drawn as one line that a terminal redraws in place, or as
// plain lines for a log or a pipe.

#include <cstddef>
#include <string>
#include <vector>

namespace Strovik::Probe {

struct Level
{
    double peak = 0; // linear, 0..1 for full scale
    double rms = 0;
};

class LevelMeter
{
public:
    explicit LevelMeter(int channels) : peaks(size_t(channels)), sums(size_t(channels)) {}

    void add(const std::vector<const float*>& channels, size_t frames);
    // The levels since the previous reading; starts the next one.
    std::vector<Level> take();

private:
    std::vector<double> peaks;
    std::vector<double> sums;
    size_t frames = 0;
};

// "  1.2/5.0 s  L [#####=-----] -6.0/-9.0 dB  R [...] ...": peak and RMS in
// dBFS, and a bar from -60 dBFS to full scale, '#' up to the RMS level and
// '=' on to the peak. Fits in 80 columns for two channels.
std::string meterLine(double elapsed, double total, const std::vector<Level>& levels);

// "t=1.0s  L peak -6.0 dBFS rms -9.0 dBFS  R peak ...": one line per
// reading where nothing can be redrawn.
std::string meterText(double elapsed, const std::vector<Level>& levels);

} // namespace Strovik::Probe
