#pragma once

#include <cstdint>

namespace Strovik {

// Follows one side's timeline: the time at which that side's clock, at its
// own steady pace, reached its latest event. Events are stamped late by
// scheduling jitter; fitting a line through them (phase and pace) removes
// most of it, and feeding each event once (the reader looks at whichever
// stamp is newest) removes the bias of seeing early packets more often than
// late ones. A deviation past the jump limit is a real jump of the timeline
// (a lost packet, a stall): taken at once when the next event confirms it,
// and counted as an outlier, clamped to the limit, when it does not.
class Timeline
{
public:
    static constexpr double kJumpSeconds = 0.003;
    // ...or this many times the events' usual deviation, whichever is
    // larger: a host that calls several blocks back to back deviates by
    // milliseconds on every call, and that is its pace, not a jump.
    static constexpr double kJumpSpreads = 4.0;
    static constexpr double kSpreadEvents = 64.0;
    // Events after the line starts over before their lateness is told.
    static constexpr uint64_t kSettlingEvents = 8;
    // A pace further than this from nominal is no clock: held at the bound.
    static constexpr double kMaxPaceDeviation = 0.01;

    // Forgets everything; the line fit's memory fades over smoothingSeconds.
    void reset(double smoothingSeconds);
    // An event at timeNanos, `frames` (at the nominal `rate`) after the last.
    void update(int64_t timeNanos, double frames, double rate);
    // A known jump: the latest event is at timeNanos; the pace is unchanged.
    void rebase(int64_t timeNanos);
    // A jump of unknown size and maybe of pace (the side moved to another
    // clock's cycle): the line starts over from an event at timeNanos, from
    // the pace it had.
    void startOver(int64_t timeNanos);

    // Smoothed time of the latest event, in nanoseconds.
    double nanos() const { return estimate; }
    // The side's own pace, as tracked.
    double nanosPerFrame() const { return period; }
    // How late the latest event came against the line before it (negative:
    // early); 0 for one beyond the jump limit, which the next event tells
    // to be a jump or an outlier...
    double lateness() const { return lastDeviation; }
    // ...and when it tells an outlier, this is its lateness, up to the limit
    // (0 otherwise): a jump moves the timeline, an outlier was late.
    double outlierLateness() const { return lastOutlier; }
    // ...and the same, unclamped: how long the side stalled.
    double outlierStall() const { return lastOutlierStall; }
    // How far the latest event lay off the line, jump or not (0 for one
    // the line started from).
    double rawDeviation() const { return lastRaw; }
    // A jump awaits confirmation: the latest times are in doubt.
    bool unsettled() const { return jumpPending; }
    // Events on the line since it last started over: a young line's pace
    // still moves with every event.
    uint64_t eventsOnLine() const { return events; }

private:
    void startLine(double timeNanos);
    void learnSpread(double absoluteDeviation);
    void tellOutlier();
    void learnSpacing(double frames, double rate);

    double smoothing = 0.0;
    // For events memoryFrames apart at memoryRate: the fading memory's gains
    // and the bounds of the pace.
    double memoryFrames = -1.0;
    double memoryRate = 0.0;
    double memoryPhaseGain = 0.0;
    double memoryPaceGain = 0.0;
    double memoryPaceGainPerFrame = 0.0;
    double framesInverse = 0.0;
    double slowestPeriod = 0.0;
    double fastestPeriod = 0.0;
    bool fitting = true; // the line fit's gains may still be above the memory's
    double estimate = 0.0;
    double period = 0.0;
    uint64_t events = 0;
    double spread = 0.0; // mean absolute deviation, nanoseconds
    uint64_t spreadEvents = 0;
    double pendingJump = 0.0;
    double lastDeviation = 0.0;
    double pendingOutlier = 0.0;
    double lastOutlier = 0.0;
    double pendingOutlierStall = 0.0;
    double lastOutlierStall = 0.0;
    double lastRaw = 0.0;
    bool seeded = false;
    bool secondEvent = false; // the next event is the first after seeding
    bool jumpPending = false;
};

} // namespace Strovik
