// How a side's timeline tells a packet that came late from one that moved
// the timeline: what the margin learns from either.

#include "timeline.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using Strovik::Timeline;

constexpr double kRate = 48000.0;
constexpr double kQuantum = 1024.0;
constexpr double kNanosPerQuantum = kQuantum / kRate * 1e9;

TEST(Timeline, AStallIsToldAfterTheNextEventUnclampedAndAJumpIsNoStall)
{
    Timeline line;
    line.reset(16.0);
    double at = 1e12;
    auto event = [&](double lateNanos) {
        line.update(static_cast<int64_t>(at + lateNanos), kQuantum, kRate);
        at += kNanosPerQuantum;
    };
    for (int i = 0; i < 100; ++i)
        event(0.0);

    // 6 ms late, then punctual again: an outlier, told by the next event.
    event(6e6);
    EXPECT_EQ(line.outlierStall(), 0.0);
    event(0.0);
    EXPECT_NEAR(line.outlierStall(), 6e6, 1e3);
    EXPECT_NEAR(line.outlierLateness(), Timeline::kJumpSeconds * 1e9, 1e3);
    event(0.0);
    EXPECT_EQ(line.outlierStall(), 0.0);

    // 6 ms late from then on: the timeline moved, nothing stalled.
    for (int i = 0; i < 10; ++i)
    {
        event(6e6);
        EXPECT_EQ(line.outlierStall(), 0.0);
    }
}

// A stream position that went back (a ring reset under a writer that kept
// its count) is no event after the last: the line starts over from it,
// instead of its fading memory overflowing (exp of a huge positive
// argument) into a timeline of NaN.
TEST(Timeline, AnEventBehindTheLastStartsTheLineOver)
{
    Timeline line;
    line.reset(16.0);
    const double rate = 44100.0;
    for (int i = 0; i < 100; ++i)
        line.update(static_cast<int64_t>(1e12 + i * 1e7), 441.0, rate);
    line.update(static_cast<int64_t>(1e12 + 100 * 1e7), -2.6e8, rate);
    EXPECT_EQ(line.nanos(), 1e12 + 100 * 1e7);
    EXPECT_DOUBLE_EQ(line.nanosPerFrame(), 1e9 / rate);
    line.update(static_cast<int64_t>(1e12 + 101 * 1e7), 441.0, rate);
    EXPECT_TRUE(std::isfinite(line.nanos()));
    EXPECT_NEAR(line.nanos(), 1e12 + 101 * 1e7, 1e3);
}

} // namespace
