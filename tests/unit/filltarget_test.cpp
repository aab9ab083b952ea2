// What the bridge learns to keep buffered: the margin from both sides'
// lateness, the allowance from the host's bursts, and how each rises at
// once and falls only after the windows have forgotten what raised it.

#include "filltarget.h"

#include <gtest/gtest.h>

namespace {

using Strovik::FillTarget;

constexpr uint32_t kRate = 48000;
constexpr double kNanosPerFrame = 1e9 / kRate;

// A host calling 512-frame blocks and a graph delivering 1024-frame
// quanta, each a fixed lateness off its timeline, from `from` to `until`
// seconds; returns the time reached.
struct Feed
{
    FillTarget& target;
    double lateFrames = 48.0;  // packets: 1 ms late
    double earlyFrames = 10.0; // host cycles: 0.2 ms early
    uint32_t burst = 512;

    void run(double from, double until)
    {
        const double block = 512.0 / kRate;
        int cycle = 0;
        for (double t = from; t < until; t += block, ++cycle)
        {
            const auto now = nanos(t);
            if (cycle % 2 == 0)
                target.addPacket(lateFrames * kNanosPerFrame, 0.0, now);
            target.addCycle(now, burst, earlyFrames * kNanosPerFrame);
        }
    }
    static int64_t nanos(double seconds) { return static_cast<int64_t>((seconds + 1000.0) * 1e9); }
};

// A stream past its first minutes, and the start margin given back.
constexpr double kSettled = FillTarget::kHoldSeconds + FillTarget::kLearningSeconds + 5.0;
void settle(Feed& feed)
{
    feed.target.reset(kRate);
    feed.target.setQuantum(1024, Feed::nanos(0));
    feed.run(0.0, kSettled);
    feed.target.lower(1e6);
}

double seen(double late, double early)
{
    return FillTarget::kLeastMarginFrames + late + early + FillTarget::kHeadroomFrames;
}

TEST(FillTarget, StartsSafeHoldsAMinuteAndComesDownToWhatBothSidesShowed)
{
    FillTarget target;
    target.reset(kRate);
    target.setQuantum(1024, Feed::nanos(0));
    Feed feed{target};
    // Too little is known yet: as safe as a margin that was never learnt.
    feed.run(0.0, FillTarget::kHoldSeconds - 0.1);
    EXPECT_DOUBLE_EQ(target.learntMargin(), FillTarget::kStartMarginFrames);
    EXPECT_DOUBLE_EQ(target.inForce(), 1024 + 512 + FillTarget::kStartMarginFrames);
    const double halfway = FillTarget::kHoldSeconds + 0.5 * FillTarget::kLearningSeconds;
    feed.run(FillTarget::kHoldSeconds - 0.1, halfway);
    EXPECT_NEAR(target.learntMargin(), 0.5 * FillTarget::kStartMarginFrames, 2.0);
    feed.run(halfway, kSettled - 3.0);
    EXPECT_DOUBLE_EQ(target.learntMargin(), seen(48.0, 10.0));
    EXPECT_DOUBLE_EQ(target.learnt(), 1024 + 512 + seen(48.0, 10.0));
    // The target in force waits for the delay to be given back...
    EXPECT_DOUBLE_EQ(target.inForce(), 1024 + 512 + FillTarget::kStartMarginFrames);
    // ...and never goes below the learnt one.
    EXPECT_DOUBLE_EQ(target.lower(100.0), 100.0);
    EXPECT_DOUBLE_EQ(target.lower(1e6), FillTarget::kStartMarginFrames - 100.0 - seen(48.0, 10.0));
    EXPECT_DOUBLE_EQ(target.inForce(), target.learnt());
}

TEST(FillTarget, RisesAtOnceAndForgetsLatenessAndBurstsAfterTwoWindows)
{
    FillTarget target;
    Feed feed{target};
    settle(feed);
    const double settled = target.inForce();

    // One packet 3 ms late and one burst of four blocks: both count now.
    target.addPacket(144.0 * kNanosPerFrame, 0.0, Feed::nanos(kSettled));
    target.addCycle(Feed::nanos(kSettled), 2048, 0.0);
    EXPECT_DOUBLE_EQ(target.learntMargin(), seen(144.0, 10.0));
    EXPECT_DOUBLE_EQ(target.learntAllowance(), 2048.0);
    EXPECT_DOUBLE_EQ(target.inForce(), settled + (144.0 - 48.0) + (2048.0 - 512.0));

    // Held for at least a window, gone after two.
    feed.run(kSettled, kSettled + 10.0);
    EXPECT_DOUBLE_EQ(target.learntAllowance(), 2048.0);
    feed.run(kSettled + 10.0, kSettled + 21.0);
    EXPECT_DOUBLE_EQ(target.learntAllowance(), 512.0);
    EXPECT_DOUBLE_EQ(target.learntMargin(), seen(48.0, 10.0));
    target.lower(1e6);
    EXPECT_DOUBLE_EQ(target.inForce(), settled);
}

// A host or a server that stopped for a while shows up as lateness far
// beyond any jitter: the margin holds no more than where it started.
TEST(FillTarget, LatenessBeyondTheStartMarginIsAStallNotJitter)
{
    FillTarget target;
    Feed feed{target};
    settle(feed);
    target.addPacket(1e6 * kNanosPerFrame, 0.0, Feed::nanos(kSettled));
    target.addCycle(Feed::nanos(kSettled), 512, 1e6 * kNanosPerFrame);
    EXPECT_DOUBLE_EQ(target.learntMargin(), FillTarget::kStartMarginFrames);
    target.underflow(Feed::nanos(kSettled));
    EXPECT_DOUBLE_EQ(target.learntMargin(), FillTarget::kStartMarginFrames + 32.0);
}

// A writer that stalled once (a packet 6 ms late among punctual ones) will
// again: that is remembered for minutes, long after the windows forgot it,
// and then only halved, unless it stalls again.
TEST(FillTarget, AStallOfTheWriterIsRememberedForMinutes)
{
    FillTarget target;
    Feed feed{target};
    settle(feed);
    const double stall = 288.0;
    target.addPacket(144.0 * kNanosPerFrame, stall * kNanosPerFrame, Feed::nanos(kSettled));
    EXPECT_DOUBLE_EQ(target.learntMargin(), seen(stall, 10.0));
    feed.run(kSettled, kSettled + FillTarget::kStallHalfLifeSeconds - 1.0);
    EXPECT_DOUBLE_EQ(target.learntMargin(), seen(stall, 10.0));
    feed.run(kSettled + FillTarget::kStallHalfLifeSeconds - 1.0,
             kSettled + FillTarget::kStallHalfLifeSeconds + 1.0);
    EXPECT_DOUBLE_EQ(target.learntMargin(), seen(stall / 2, 10.0));
    // Another stall of that length renews it.
    const double again = kSettled + FillTarget::kStallHalfLifeSeconds + 1.0;
    target.addPacket(48.0 * kNanosPerFrame, stall * kNanosPerFrame, Feed::nanos(again));
    feed.run(again, again + FillTarget::kStallHalfLifeSeconds - 1.0);
    EXPECT_DOUBLE_EQ(target.learntMargin(), seen(stall, 10.0));
    // A stall longer than the start margin is a writer that paused: no more
    // than the start margin waits for it.
    target.addPacket(48.0 * kNanosPerFrame, 1e6 * kNanosPerFrame, Feed::nanos(again + 120.0));
    EXPECT_DOUBLE_EQ(target.learntMargin(), FillTarget::kStartMarginFrames);
}

TEST(FillTarget, AnUnderflowTeachesMoreMarginEachTimeAndIsForgottenSlowly)
{
    FillTarget target;
    Feed feed{target};
    settle(feed);
    const double margin = target.learntMargin();

    target.underflow(Feed::nanos(kSettled));
    EXPECT_DOUBLE_EQ(target.learntMargin(), margin + 32.0);
    target.underflow(Feed::nanos(kSettled + 0.1));
    EXPECT_DOUBLE_EQ(target.learntMargin(), margin + 64.0);
    EXPECT_DOUBLE_EQ(target.inForce() - target.quantumFrames(), 512.0 + margin + 64.0);
    // Still there long after the windows forgot the lateness around it...
    feed.run(kSettled + 0.1, kSettled + 280.0);
    EXPECT_DOUBLE_EQ(target.learntMargin(), margin + 64.0);
    // ...then halved at each half-life.
    feed.run(kSettled + 280.0, kSettled + 310.0);
    EXPECT_DOUBLE_EQ(target.learntMargin(), margin + 32.0);

    // While the graph switches to a new quantum, its cycles are irregular:
    // no lateness and no lesson.
    const double before = target.learntMargin();
    target.setQuantum(256, Feed::nanos(kSettled + 310.0));
    target.underflow(Feed::nanos(kSettled + 310.2));
    target.addPacket(144.0 * kNanosPerFrame, 0.0, Feed::nanos(kSettled + 310.3));
    EXPECT_DOUBLE_EQ(target.learntMargin(), before);
    target.addPacket(144.0 * kNanosPerFrame, 0.0, Feed::nanos(kSettled + 311.5));
    EXPECT_DOUBLE_EQ(target.learntMargin(), before - 48.0 + 144.0);
}

} // namespace
