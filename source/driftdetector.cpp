#include "driftdetector.h"

#include <algorithm>
#include <cmath>

namespace Strovik {

void DriftDetector::reset(double minimumMoveFrames, double maximumSlopeFramesPerSecond)
{
    count = 0;
    cellSeconds = kFirstCellSeconds;
    cellStart = 0.0;
    sumTime = sumError = 0.0;
    samples = 0;
    minimumMove = minimumMoveFrames;
    maximumSlope = maximumSlopeFramesPerSecond;
    lastSlope = 0.0;
}

bool DriftDetector::add(double seconds, double errorFrames)
{
    if (samples == 0)
        cellStart = seconds;
    sumTime += seconds;
    sumError += errorFrames;
    ++samples;
    if (seconds - cellStart < cellSeconds)
        return false;
    closeCell();
    return judge();
}

void DriftDetector::closeCell()
{
    if (count == kCells)
    {
        // Full: halve the time resolution to keep the whole history, until
        // cells are as long as they may get; then the window slides.
        if (cellSeconds < kLongestCellSeconds)
            mergePairs();
        else
            dropOldest();
    }
    time[count] = sumTime / samples;
    error[count] = sumError / samples;
    weight[count] = samples;
    ++count;
    sumTime = sumError = 0.0;
    samples = 0;
}

void DriftDetector::mergePairs()
{
    for (int i = 0; i < count / 2; ++i)
    {
        const int a = 2 * i, b = 2 * i + 1;
        const double w = weight[a] + weight[b];
        time[i] = (time[a] * weight[a] + time[b] * weight[b]) / w;
        error[i] = (error[a] * weight[a] + error[b] * weight[b]) / w;
        weight[i] = w;
    }
    count /= 2;
    cellSeconds *= 2.0;
}

void DriftDetector::dropOldest()
{
    std::copy(time.begin() + 1, time.begin() + count, time.begin());
    std::copy(error.begin() + 1, error.begin() + count, error.begin());
    std::copy(weight.begin() + 1, weight.begin() + count, weight.begin());
    --count;
}

bool DriftDetector::judge()
{
    if (count < kMinimumCells)
        return false;
    double meanTime = 0.0, meanError = 0.0;
    for (int i = 0; i < count; ++i)
    {
        meanTime += time[i];
        meanError += error[i];
    }
    meanTime /= count;
    meanError /= count;

    // Centred sums: the fill can sit hundreds of frames off zero, and the
    // line and step residuals are small differences of large sums otherwise.
    std::array<double, kCells> centred{};
    double stt = 0.0, ste = 0.0, see = 0.0;
    for (int i = 0; i < count; ++i)
    {
        const double dt = time[i] - meanTime;
        centred[i] = error[i] - meanError;
        stt += dt * dt;
        ste += dt * centred[i];
        see += centred[i] * centred[i];
    }
    if (stt <= 0.0)
        return false;
    lastSlope = ste / stt;
    const double lineResidual = std::max(see - lastSlope * ste, 0.0);
    const double slopeSigma = std::sqrt(lineResidual / (count - 2) / stt);
    // How far the drift has moved the fill over the window: where the fill
    // started (up to a quantum above the target, as packets come) does not
    // matter, nor whether it is moving towards the target or away: either
    // way the clocks differ.
    const double moved = std::abs(lastSlope * (time[count - 1] - time[0]));

    const bool significant = std::abs(lastSlope) > kSignificance * slopeSigma;
    const bool lineNotStep = lineResidual < bestStepResidual(centred.data());
    const bool large = moved >= minimumMove;
    // Steeper than any two clocks differ: steps in quick succession.
    const bool plausible = std::abs(lastSlope) <= maximumSlope;
    return significant && lineNotStep && large && plausible;
}

double DriftDetector::bestStepResidual(const double* centred) const
{
    // Split after cell k: each side around its own mean. Prefix sums make
    // every split O(1).
    double total = 0.0, totalSquares = 0.0;
    for (int i = 0; i < count; ++i)
    {
        total += centred[i];
        totalSquares += centred[i] * centred[i];
    }
    double best = totalSquares;
    double left = 0.0, leftSquares = 0.0;
    for (int k = 1; k < count; ++k)
    {
        left += centred[k - 1];
        leftSquares += centred[k - 1] * centred[k - 1];
        const double right = total - left;
        const double residual = (leftSquares - left * left / k) +
                                (totalSquares - leftSquares - right * right / (count - k));
        best = std::min(best, residual);
    }
    return best;
}

} // namespace Strovik
