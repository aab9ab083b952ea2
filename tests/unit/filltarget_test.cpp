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
                target.addPacket(lateFrames * kNanosPerFrame, now);
            target.addCycle(now, burst, earlyFrames * kNanosPerFrame);
        }
    }
    static int64_t nanos(double seconds) { return static_cast<int64_t>((seconds + 1000.0) * 1e9); }
};

// A stream past its first half minute, and the start margin given back.
constexpr double kSettled = 35.0;
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

TEST(FillTarget, StartsSafeAndComesDownToWhatBothSidesShowedOverHalfAMinute)
{
    FillTarget target;
    target.reset(kRate);
    target.setQuantum(1024, Feed::nanos(0));
    Feed feed{target};
    feed.run(0.0, 0.1);
    // Nothing is known yet: as safe as a margin that was never learnt.
    EXPECT_GT(target.learntMargin(), 0.95 * FillTarget::kStartMarginFrames);
    EXPECT_DOUBLE_EQ(target.inForce(), 1024 + 512 + FillTarget::kStartMarginFrames);
    feed.run(0.1, 15.0);
    EXPECT_NEAR(target.learntMargin(), 0.5 * FillTarget::kStartMarginFrames, 2.0);
    feed.run(15.0, 32.0);
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
    target.addPacket(144.0 * kNanosPerFrame, Feed::nanos(kSettled));
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
    target.addPacket(1e6 * kNanosPerFrame, Feed::nanos(kSettled));
    target.addCycle(Feed::nanos(kSettled), 512, 1e6 * kNanosPerFrame);
    EXPECT_DOUBLE_EQ(target.learntMargin(), FillTarget::kStartMarginFrames);
    target.underflow(Feed::nanos(kSettled));
    EXPECT_DOUBLE_EQ(target.learntMargin(), FillTarget::kStartMarginFrames + 32.0);
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
    target.addPacket(144.0 * kNanosPerFrame, Feed::nanos(kSettled + 310.3));
    EXPECT_DOUBLE_EQ(target.learntMargin(), before);
    target.addPacket(144.0 * kNanosPerFrame, Feed::nanos(kSettled + 311.5));
    EXPECT_DOUBLE_EQ(target.learntMargin(), before - 48.0 + 144.0);
}

} // namespace
