#include "levelmeter.h"

#include "captureanalysis.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace Strovik::Probe {

namespace {

constexpr int kBarWidth = 12;
constexpr double kFloorDb = -60;

std::string channelName(size_t index, size_t count)
{
    if (count == 2)
        return index == 0 ? "L" : "R";
    return std::to_string(index + 1);
}

std::string db(double linear)
{
    const double value = toDbfs(linear);
    if (value < -99.9)
        return "-inf";
    char text[16];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

int barCells(double linear)
{
    const double value = toDbfs(linear);
    if (!(value > kFloorDb))
        return 0;
    const double fraction = std::min(1.0, (value - kFloorDb) / -kFloorDb);
    return static_cast<int>(std::lround(fraction * kBarWidth));
}

} // namespace

void LevelMeter::add(const std::vector<const float*>& channels, size_t count)
{
    for (size_t c = 0; c < peaks.size(); ++c)
        for (size_t i = 0; i < count; ++i)
        {
            const double s = channels[c][i];
            peaks[c] = std::max(peaks[c], std::fabs(s));
            sums[c] += s * s;
        }
    frames += count;
}

std::vector<Level> LevelMeter::take()
{
    std::vector<Level> levels(peaks.size());
    for (size_t c = 0; c < peaks.size(); ++c)
    {
        levels[c].peak = peaks[c];
        levels[c].rms = frames ? std::sqrt(sums[c] / double(frames)) : 0;
        peaks[c] = sums[c] = 0;
    }
    frames = 0;
    return levels;
}

std::string meterLine(double elapsed, double total, const std::vector<Level>& levels)
{
    char time[32];
    std::snprintf(time, sizeof time, "%5.1f/%.1f s", elapsed, total);
    std::string line = time;
    for (size_t c = 0; c < levels.size(); ++c)
    {
        const int rmsCells = barCells(levels[c].rms);
        const int peakCells = std::max(rmsCells, barCells(levels[c].peak));
        line += "  " + channelName(c, levels.size()) + " [" + std::string(size_t(rmsCells), '#') +
                std::string(size_t(peakCells - rmsCells), '=') +
                std::string(size_t(kBarWidth - peakCells), '-') + "] " + db(levels[c].peak) + "/" +
                db(levels[c].rms) + " dB";
    }
    return line;
}

std::string meterText(double elapsed, const std::vector<Level>& levels)
{
    char time[32];
    std::snprintf(time, sizeof time, "t=%.1fs", elapsed);
    std::string line = time;
    for (size_t c = 0; c < levels.size(); ++c)
        line += "  " + channelName(c, levels.size()) + " peak " + db(levels[c].peak) +
                " dBFS rms " + db(levels[c].rms) + " dBFS";
    return line;
}

} // namespace Strovik::Probe
