#include "logreport.h"

#include <gtest/gtest.h>

using namespace Strovik::Probe;

namespace {

TEST(LogReport, ARunThatReachedPipeWire)
{
    const LogReport r = analyzeLog("[strovik] setupPipeWire\n"
                                   "[strovik] setupPipeWire done pwReady=1\n"
                                   "[strovik] PROC connect stream rate=44100 ringBytes=524288\n"
                                   "[strovik] PW t=100 seq=0 fill=0% frames=1024 ch=2\n"
                                   "[strovik] PROC transport start, reset ring\n"
                                   "[strovik] PW t=2100 seq=100 fill=12% frames=1024 ch=2\n"
                                   "[strovik] writeRing RESET fill=9 space=1 ringBytes=524288\n"
                                   "[strovik] PROC t=2200 seq=1000 fill=3% frames=512/512\n"
                                   "[strovik] shutdownPipeWire\n");
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
    const LogReport r = analyzeLog("[strovik] setupPipeWire\n"
                                   "[strovik] setupPipeWire: pw_context_connect failed\n"
                                   "[strovik] PW t=1 seq=0 fill=% frames=1 ch=2\n"
                                   "[strovik] PW t=1 seq=0 fill=12 frames=1 ch=2\n"
                                   "[strovik] PW t=1 seq=0 fill=99999999999% frames=1\n"
                                   "[strovik] PW t=1 seq=0 fi");
    EXPECT_FALSE(r.connected);
    EXPECT_TRUE(r.connectFailed);
    EXPECT_EQ(r.streamRate, 0u);
    EXPECT_EQ(r.fillLines, 0u);
    EXPECT_EQ(analyzeLog("").fillLines, 0u);
}

} // namespace
