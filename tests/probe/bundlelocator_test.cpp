#include "bundlelocator.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace Strovik::Probe;
using Status = LocatedModule::Status;

namespace {

class BundleLocator : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/strovik-locator-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::system(("rm -rf " + dir).c_str()); }

    // A bundle with its module for `arch`, or an empty one.
    std::string makeBundle(const std::string& name, const std::string& arch)
    {
        const std::string bundle = dir + "/" + name + ".vst3";
        std::system(("mkdir -p " + bundle + "/Contents/" + arch).c_str());
        std::ofstream(bundle + "/Contents/" + arch + "/" + name + ".so") << "x";
        return bundle;
    }

    std::string dir;
};

TEST_F(BundleLocator, UserBundlesComeFirst)
{
    EXPECT_EQ(installedBundleCandidates("/home/u/"),
              (std::vector<std::string>{"/home/u/.vst3/StrovikCapture.vst3",
                                        "/usr/lib/vst3/StrovikCapture.vst3",
                                        "/usr/local/lib/vst3/StrovikCapture.vst3"}));
    EXPECT_EQ(installedBundleCandidates(nullptr).size(), 2u);
    EXPECT_EQ(installedBundleCandidates("").size(), 2u);
}

TEST_F(BundleLocator, BundleLeadsToItsModuleForThisArchitecture)
{
    const std::string bundle = makeBundle("Thing", "x86_64-linux");
    const LocatedModule m = locateModule(bundle + "/", {}, "x86_64-linux");
    EXPECT_EQ(m.status, Status::found) << m.message;
    EXPECT_EQ(m.bundle, bundle);
    EXPECT_EQ(m.library, bundle + "/Contents/x86_64-linux/Thing.so");

    const LocatedModule other = locateModule(bundle, {}, "aarch64-linux");
    EXPECT_EQ(other.status, Status::notABundle);
    EXPECT_NE(other.message.find("Contents/aarch64-linux/Thing.so"), std::string::npos);
}

TEST_F(BundleLocator, WhatIsNoBundle)
{
    EXPECT_EQ(locateModule(dir, {}, "x86_64-linux").status, Status::notABundle);
    EXPECT_EQ(locateModule(dir + "/none.vst3", {}, "x86_64-linux").status, Status::missing);
    // A plain file is handed to dlopen, which decides.
    std::ofstream(dir + "/lib.so") << "x";
    const LocatedModule file = locateModule(dir + "/lib.so", {}, "x86_64-linux");
    EXPECT_EQ(file.status, Status::found);
    EXPECT_EQ(file.library, dir + "/lib.so");
}

TEST_F(BundleLocator, FirstInstalledCandidateWins)
{
    const std::string second = makeBundle("StrovikCapture", "x86_64-linux");
    const std::vector<std::string> candidates{dir + "/absent.vst3", second};
    const LocatedModule m = locateModule("", candidates, "x86_64-linux");
    EXPECT_EQ(m.status, Status::found);
    EXPECT_EQ(m.bundle, second);

    const LocatedModule none = locateModule("", {dir + "/absent.vst3"}, "x86_64-linux");
    EXPECT_EQ(none.status, Status::missing);
    EXPECT_NE(none.message.find(dir + "/absent.vst3"), std::string::npos) << none.message;
}

} // namespace
