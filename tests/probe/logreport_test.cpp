#include "logreport.h"

#include <gtest/gtest.h>

using namespace Strovik::Probe;
using namespace Strovik::LogText;

namespace {

// A whole line of the plug-in's log: its beginning, then the rest.
std::string line(const char* prefix, const std::string& rest = "")
{
    return prefix + rest + "\n";
}

TEST(LogReport, ARunThatReachedPipeWire)
{
    const LogReport r = analyzeLog(
        line(kSetup) + line(kSetupDone) + line(kConnectStream, " rate=44100 ringBytes=524288") +
        line(kPwStatus, "100 seq=0 fill=0% frames=1024 ch=2") + line(kTransportReset) +
        line(kPwStatus, "2100 seq=100 fill=12% frames=1024 ch=2") +
        line(kRingReset, " fill=9 space=1 ringBytes=524288") +
        line(kProcStatus, "2200 seq=1000 fill=3% frames=512/512") + line(kShutdown));
    EXPECT_TRUE(r.connected);
    EXPECT_FALSE(r.connectFailed);
    EXPECT_EQ(r.streamRate, 44100u);
    EXPECT_EQ(r.fillLines, 3u);
    EXPECT_EQ(r.fillMin, 0u);
    EXPECT_EQ(r.fillMax, 12u);
    EXPECT_EQ(r.fillLast, 3u);
    EXPECT_EQ(r.ringResets, 1u);
}

TEST(LogReport, NoServerAndDamagedLines)
{
    const LogReport r = analyzeLog(
        line(kSetup) + line(kConnectFailed) + line(kPwStatus, "1 seq=0 fill=% frames=1 ch=2") +
        line(kPwStatus, "1 seq=0 fill=12 frames=1 ch=2") +
        line(kPwStatus, "1 seq=0 fill=99999999999% frames=1") + kPwStatus + "1 seq=0 fi");
    EXPECT_FALSE(r.connected);
    EXPECT_TRUE(r.connectFailed);
    EXPECT_EQ(r.streamRate, 0u);
    EXPECT_EQ(r.fillLines, 0u);
    EXPECT_EQ(analyzeLog("").fillLines, 0u);
}

} // namespace
