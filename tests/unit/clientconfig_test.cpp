// Which client configuration asks for a real-time data thread, by the
// PipeWire library the plug-in finds itself loaded against.

#include "clientconfig.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string configFor(const char* version)
{
    const char* config = Strovik::realtimeClientConfig(version);
    return config ? config : "(default)";
}

TEST(RealtimeClientConfig, OldLibrariesNeedTheRealtimeFileAndNewOnesTheDefault)
{
    // Debian 12, the last 1.2 and the 1.3 series before the merge.
    EXPECT_EQ(configFor("0.3.65"), "client-rt.conf");
    EXPECT_EQ(configFor("1.2.7"), "client-rt.conf");
    EXPECT_EQ(configFor("1.3.80"), "client-rt.conf");
    // The first with the real-time module in client.conf, Debian 13, later.
    EXPECT_EQ(configFor("1.3.81"), "(default)");
    EXPECT_EQ(configFor("1.4.2"), "(default)");
    EXPECT_EQ(configFor("1.10.0"), "(default)");
    EXPECT_EQ(configFor("2.0.0"), "(default)");
}

TEST(RealtimeClientConfig, AnUnreadableVersionKeepsTheDefault)
{
    EXPECT_EQ(configFor(nullptr), "(default)");
    EXPECT_EQ(configFor(""), "(default)");
    EXPECT_EQ(configFor("1.4"), "(default)");
    EXPECT_EQ(configFor("git"), "(default)");
}

} // namespace
