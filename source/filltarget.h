#pragma once

#include <cstdint>

namespace Strovik {

// How many frames the clock bridge keeps buffered ahead of its output, and
// why. Just before a packet arrives the ring holds the fill less one
// quantum, and a whole host block (or burst of blocks) must still be there
// then, with room for the lateness of packets and of host cycles:
//
//     target = quantum + allowance for the host's blocks + margin for lateness
//
// The allowance and the margin are learnt from what the last seconds showed:
// the longest burst of host blocks, and the latest packet and the earliest
// host cycle relative to each side's own steady timeline; a stall of the
// writer (a packet far later than the ones around it) is remembered for
// minutes. A stream starts at a margin that covers any machine seen so far,
// holds it for its first minute and comes down to what this one needs over
// the next four. What is learnt rises at once (lateness rising, a stall, an
// underflow) and falls once the windows have forgotten what raised it.
//
// The target in force follows the learnt one up at once and down only as
// the bridge gives the delay back: gliding while it resamples, leaving out
// digital silence in bypass (see lower()), so that no played frame changes.
class FillTarget
{
public:
    // Where a stream starts: enough for every machine measured before the
    // margin was learnt (packets up to 10 ms late at 48 kHz), and at least
    // this long at higher rates.
    static constexpr double kStartMarginFrames = 512.0;
    static constexpr double kStartMarginSeconds = 0.003;
    // The windows lateness and bursts are remembered over: the largest of
    // the current window and the one before, so a value counts for 10 to 20
    // seconds after it was seen. Long enough to hold the periodic hiccups of
    // a busy machine (a timer, a page-cache flush every few seconds), short
    // enough to give the delay back well within a minute after a burst.
    static constexpr double kWindowSeconds = 10.0;
    // A stream holds the start margin this long, then comes down from it
    // over kLearningSeconds. On loaded two-core machines the writer stalled
    // for 5 to 10 ms every one to two minutes, with nothing in the jitter
    // before to warn of it: only a stream that has run for minutes can tell
    // such a machine from a clean one. (Coming down within its first half
    // minute, a 60 s capture there had one underflow in two; held for a
    // minute and down within the next half, a 10 minute one underflowed
    // at 111 s, at the first stall.) Coming down slowly, a stream still has
    // most of the start margin when a first stall comes, and then keeps
    // what the stall needs (kStallHalfLifeSeconds).
    static constexpr double kHoldSeconds = 60.0;
    static constexpr double kLearningSeconds = 240.0;
    // A stall of the writer counts for this long at its full length, then
    // half as long for as long again, and so on: a machine that stalls
    // every few minutes keeps the margin for it, and one stall on an
    // otherwise clean machine is forgotten within the half hour. (Idle, a
    // virtual machine stalled PipeWire's side by more than 5 ms every few
    // minutes, and four of six ten-minute captures had a dropout at such a
    // stall, most once the margin had come down; remembered for two
    // minutes, a stall is mostly forgotten by the next.)
    static constexpr double kStallHalfLifeSeconds = 600.0;
    // The resampler's lookahead: frames that must be in the ring beyond
    // the output position whenever it resamples, on top of any lateness.
    static constexpr double kLeastMarginFrames = 32.0;
    // Added to the worst lateness seen: the timelines' own estimation error
    // and the fill's rounding to whole frames, with a little to spare.
    static constexpr double kHeadroomFrames = 16.0;
    // An underflow means lateness beyond anything seen in the windows: the
    // margin keeps that much more (doubling with every further one, up to
    // the start margin), and forgets half of it after this long without one.
    static constexpr double kLessonHalfLifeSeconds = 300.0;
    // The longest burst of back-to-back blocks the target makes room for. A
    // host rendering offline calls without pause, an endless burst: without
    // a bound its target, and the silence while priming, would never end.
    static constexpr uint32_t kLongestBurstFrames = 8192;
    static constexpr double kSwitchSeconds = 1.0;

    // Forgets everything: back to the start margin.
    void reset(uint32_t sampleRate);

    // The graph's quantum, from each packet. While the graph switches to a
    // new one its cycles come irregularly (and the writer may pause): for
    // kSwitchSeconds after, that is neither lateness nor a lesson.
    void setQuantum(uint32_t frames, int64_t nowNanos);
    // Each host cycle: its time, the burst of blocks it belongs to and how
    // early it came against the host's timeline (nanoseconds, > 0 early).
    void addCycle(int64_t nowNanos, uint32_t burstFrames, double earlyNanos);
    // Each packet: how late it came against the writer's timeline, and for
    // one far off the timeline's usual jitter (an outlier), how long the
    // writer stalled.
    void addPacket(double lateNanos, double stallNanos, int64_t nowNanos);
    // The ring ran dry although the writer was delivering.
    void underflow(int64_t nowNanos);

    // The target the bridge would hold if it could move there now.
    double learnt() const { return quantum + learntAllowance() + learntMargin(); }
    // The target in force; never below the learnt one.
    double inForce() const { return quantum + headroomInForce; }
    // Lowers the target in force by up to `frames` (the delay given back),
    // not below the learnt one; returns by how much it fell.
    double lower(double frames);
    // Puts the target in force at the learnt one (a stream starting to fill,
    // which has nothing to give back).
    void settle() { headroomInForce = learnt() - quantum; }

    double learntMargin() const { return margin; }
    double learntAllowance() const { return allowance; }
    // The worst lateness of each side in the windows, in frames.
    double latePacketFrames() const { return lateFrames.peak(); }
    double earlyCycleFrames() const { return earlyFrames.peak(); }
    uint32_t quantumFrames() const { return quantum; }
    // The margin a stream starts at: also how late a packet may be before
    // the writer counts as paused rather than late.
    double startMarginFrames() const { return startMargin; }

private:
    // The largest value of the current window and the one before.
    struct WindowPeak
    {
        double current = 0.0;
        double previous = 0.0;
        double peak() const { return current > previous ? current : previous; }
        // True when the peak rose.
        bool add(double value)
        {
            if (value <= current)
                return false;
            const bool rises = value > previous;
            current = value;
            return rises;
        }
        void roll()
        {
            previous = current;
            current = 0.0;
        }
    };

    // True when anything learnt may have fallen.
    bool rollWindows(int64_t nowNanos);
    // Halves what `frames` remembers once halfLifeSeconds have passed since
    // sinceNanos (to nothing below the lookahead); true when it did.
    static bool halve(double& frames, int64_t& sinceNanos, double halfLifeSeconds,
                      int64_t nowNanos);
    void relearn();
    double workOutMargin() const;

    double framesPerNano = 0.0;
    double startMargin = kStartMarginFrames;
    uint32_t quantum = 0;
    WindowPeak lateFrames;
    WindowPeak earlyFrames;
    WindowPeak burstFrames;
    int64_t firstCycleNanos = 0;
    int64_t windowStartNanos = 0;
    double sinceFirstCycle = 0.0; // seconds
    bool cycleSeen = false;
    double lessonFrames = 0.0;
    int64_t lessonDecayNanos = 0;
    double stall = 0.0;
    int64_t stallDecayNanos = 0;
    double headroomInForce = 0.0;
    double margin = 0.0;    // learnt, as last worked out
    double allowance = 0.0; // learnt, as last worked out
    bool learning = true;   // within kHoldSeconds + kLearningSeconds of the start
    int64_t switchUntilNanos = 0;
};

} // namespace Strovik
