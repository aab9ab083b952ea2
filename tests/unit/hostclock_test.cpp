#include "hostclock.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>

namespace {

using Strovik::HostClock;

// CLOCK_MONOTONIC as the tests set it, counting how often it is read.
int64_t gOwnNanos = 0;
uint64_t gReads = 0;

int64_t ownClock()
{
    ++gReads;
    return gOwnNanos;
}

// A host calling 64-frame blocks at 48 kHz, its system time `offset` from
// CLOCK_MONOTONIC and running `ppm` fast against it.
class Host
{
public:
    Host(int64_t offsetNanos, double ppm) : offset(offsetNanos), ppm(ppm)
    {
        gOwnNanos = 1'000'000'000'000;
        gReads = 0;
    }

    // One process call; returns the cycle start the clock gave.
    int64_t call(bool valid = true)
    {
        gOwnNanos += kBlockNanos;
        elapsed += kBlockNanos;
        return clock.cycleStart(valid, hostNanos());
    }
    int64_t hostNanos() const
    {
        return gOwnNanos + offset + static_cast<int64_t>(static_cast<double>(elapsed) * ppm * 1e-6);
    }

    static constexpr int64_t kBlockNanos = 1'333'333; // 64 frames at 48 kHz
    HostClock clock{ownClock};
    int64_t offset;
    double ppm;
    int64_t elapsed = 0;
};

TEST(HostClock, AgreeingHostTimeIsTakenAndTheClockReadOnlyNowAndThen)
{
    // Stamped at its cycle's start, half a millisecond before the call.
    Host host(-500'000, 0.0);
    for (uint32_t i = 0; i < HostClock::kTrustAfter; ++i)
    {
        EXPECT_FALSE(host.clock.trusted());
        const int64_t start = host.call();
        EXPECT_EQ(start, host.hostNanos());
    }
    EXPECT_EQ(gReads, HostClock::kTrustAfter); // checked on each first call
    EXPECT_TRUE(host.clock.trusted());

    const uint64_t readsBefore = gReads;
    constexpr int kCalls = 10000; // 13 s
    for (int i = 0; i < kCalls; ++i)
    {
        const int64_t start = host.call();
        ASSERT_EQ(start, host.hostNanos()) << i;
    }
    // Checked every 250 ms of its time (188 calls here), never more often.
    const uint64_t checks = gReads - readsBefore;
    EXPECT_GE(checks, static_cast<uint64_t>(kCalls) * Host::kBlockNanos / HostClock::kCheckNanos);
    EXPECT_LE(checks, static_cast<uint64_t>(kCalls) / 150);

    // Without a valid host time, the clock's own every call.
    const uint64_t readsNow = gReads;
    const int64_t own = host.call(false);
    EXPECT_EQ(own, gOwnNanos);
    EXPECT_EQ(gReads, readsNow + 1);
    EXPECT_TRUE(host.clock.trusted());
}

TEST(HostClock, HostTimeOnAnotherClockIsRefused)
{
    struct Case
    {
        const char* what;
        int64_t offset;
    };
    // Another epoch (wall-clock time) and merely 2 ms off.
    for (const Case& c : {Case{"realtime", 1'765'000'000'000'000'000}, Case{"2 ms", 2'000'000}})
    {
        Host host(c.offset, 0.0);
        for (int i = 0; i < 1000; ++i)
        {
            const int64_t start = host.call();
            ASSERT_EQ(start, gOwnNanos) << c.what << " " << i;
        }
        EXPECT_FALSE(host.clock.trusted()) << c.what;
        EXPECT_EQ(gReads, 1000u) << c.what;
        // Refused until reset, even should it come to agree.
        host.offset = 0;
        const int64_t start = host.call();
        EXPECT_EQ(start, gOwnNanos) << c.what;
        host.clock.reset();
        for (uint32_t i = 0; i <= HostClock::kTrustAfter; ++i)
            host.call();
        EXPECT_TRUE(host.clock.trusted()) << c.what;
    }

    // A host time that stands still (or runs back) is refused at once,
    // however close it still is.
    Host frozen(0, 0.0);
    for (uint32_t i = 0; i <= HostClock::kTrustAfter; ++i)
        frozen.call();
    ASSERT_TRUE(frozen.clock.trusted());
    frozen.offset -= Host::kBlockNanos; // the same time as the last call
    const int64_t start = frozen.call();
    EXPECT_EQ(start, gOwnNanos);
    EXPECT_FALSE(frozen.clock.trusted());
}

TEST(HostClock, HostTimeDriftingAwayIsRefusedAtTheNextCheck)
{
    // 2000 ppm fast: past the tolerance after half a second.
    Host host(0, 2000.0);
    for (uint32_t i = 0; i < HostClock::kTrustAfter; ++i)
        host.call();
    ASSERT_TRUE(host.clock.trusted());
    int takenFarOff = 0;
    for (int i = 0; i < 2000; ++i)
    {
        const int64_t start = host.call();
        if (std::abs(host.hostNanos() - gOwnNanos) > HostClock::kToleranceNanos &&
            start == host.hostNanos())
            ++takenFarOff;
    }
    EXPECT_FALSE(host.clock.trusted());
    const int64_t start = host.call();
    EXPECT_EQ(start, gOwnNanos);
    // Taken beyond the tolerance for at most the calls between two checks.
    EXPECT_LE(takenFarOff, HostClock::kCheckNanos / Host::kBlockNanos + 1);
}

} // namespace
