#pragma once

#include <cstdint>

namespace Strovik {

// Takes a quantity of fill (frames the ring holds beyond or short of where
// the bridge wants it) back to zero through the resampler's ratio, at a
// pitch offset nobody hears: at most kMostPace frames of fill per output
// frame (0.2 %, 3.5 cents, 96 frames a second at 48 kHz), slowing down
// exponentially over the last stretch, and never changing its pace faster
// than kPaceChangePerSecond, so that the pitch glides in and out instead of
// stepping.
class Glide
{
public:
    static constexpr double kMostPace = 0.002;
    static constexpr double kTailSeconds = 2.0;
    // Full pace is reached in a second: a step of 0.2 % within a block is a
    // click-free but audible jump of pitch on a held tone; a ramp over a
    // second is not.
    static constexpr double kPaceChangePerSecond = 0.002;

    void reset() { remaining = currentPace = 0.0; }
    // What is left to take back is now `frames`; the pace carries on.
    void set(double frames) { remaining = frames; }
    double frames() const { return remaining; }

    double pace() const { return currentPace; }

    // One block of `frames` output frames at `rate`, at most `mostPace`
    // (another glide may be using the rest): the fill taken back in it
    // (the ratio moves by that over `frames`).
    double advance(uint32_t frames, double rate, double mostPace = kMostPace);

private:
    double remaining = 0.0;
    double currentPace = 0.0; // frames of fill per output frame
};

} // namespace Strovik
