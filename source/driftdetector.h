#pragma once

#include <array>
#include <cstdint>

namespace Strovik {

// Tells a steady drift of the fill from a step. Two clocks that differ make
// the fill error a straight line in time; a quantum change, a lost packet or
// a burst make it jump once and stay. Errors are averaged into cells of
// fixed duration; the cells cover everything since reset(), up to a longest
// window, by merging pairs as the store fills, so that a slow drift is
// judged over a long span and a fast one over a short one, in fixed memory.
// The verdict needs all of: a slope far outside its own noise, a straight
// line fitting the cells better than the best single step, a move along
// that line, over the window, large enough to matter, and a slope no steeper
// than clocks differ.
class DriftDetector
{
public:
    static constexpr int kCells = 64;
    static constexpr double kFirstCellSeconds = 0.25;
    static constexpr double kLongestCellSeconds = 4.0; // a window of up to 256 s
    // Fewer cells cannot tell a line from a step in noise.
    static constexpr int kMinimumCells = 8;
    // Slope over its standard error; cells are near-independent averages,
    // so five sigma keeps a stationary fill from ever passing by chance.
    static constexpr double kSignificance = 5.0;

    // Starts over; `minimumMoveFrames` is the least fitted move that counts,
    // `maximumSlopeFramesPerSecond` the steepest slope that is a drift.
    void reset(double minimumMoveFrames, double maximumSlopeFramesPerSecond);
    // Adds one fill error (frames) seen `seconds` after reset(). True when a
    // cell closed and the cells now show a drift (see slope()).
    bool add(double seconds, double errorFrames);
    // From the last judgement: fill error change in frames per second.
    double slope() const { return lastSlope; }

private:
    void closeCell();
    void mergePairs();
    void dropOldest();
    bool judge();
    // Residual sum of squares of the best two-level fit to centred errors.
    double bestStepResidual(const double* centred) const;

    std::array<double, kCells> time{};
    std::array<double, kCells> error{};
    std::array<double, kCells> weight{};
    int count = 0;
    double cellSeconds = kFirstCellSeconds;
    double cellStart = 0.0;
    double sumTime = 0.0;
    double sumError = 0.0;
    uint32_t samples = 0;
    double minimumMove = 0.0;
    double maximumSlope = 0.0;
    double lastSlope = 0.0;
};

} // namespace Strovik
