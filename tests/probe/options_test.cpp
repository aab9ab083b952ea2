#include "options.h"

#include <gtest/gtest.h>

using namespace Strovik::Probe;

namespace {

ParsedOptions parse(std::vector<std::string> args)
{
    return parseOptions(args);
}

TEST(ProbeOptions, DefaultsWithoutArguments)
{
    const ParsedOptions p = parse({});
    ASSERT_EQ(p.error, "");
    EXPECT_EQ(p.options.seconds, 5);
    EXPECT_EQ(p.options.rate, 48000);
    EXPECT_EQ(p.options.block, 512);
    EXPECT_EQ(p.options.output, "strovik-capture.wav");
    EXPECT_EQ(p.options.spectrogram, "");
    EXPECT_EQ(p.options.bundle, "");
    EXPECT_FALSE(p.options.help);
}

TEST(ProbeOptions, BothValueFormsAndABundleAnywhere)
{
    const ParsedOptions p = parse({"--seconds", "2.5", "my.vst3", "--rate=44100", "--block", "256",
                                   "--output=a.wav", "--spectrogram", "a.png"});
    ASSERT_EQ(p.error, "");
    EXPECT_EQ(p.options.seconds, 2.5);
    EXPECT_EQ(p.options.rate, 44100);
    EXPECT_EQ(p.options.block, 256);
    EXPECT_EQ(p.options.output, "a.wav");
    EXPECT_EQ(p.options.spectrogram, "a.png");
    EXPECT_EQ(p.options.bundle, "my.vst3");

    // After "--" a path may look like an option.
    EXPECT_EQ(parse({"--", "--odd.vst3"}).options.bundle, "--odd.vst3");
    EXPECT_TRUE(parse({"-h"}).options.help);
}

TEST(ProbeOptions, RejectsWhatAHostCouldNotRun)
{
    const struct
    {
        std::vector<std::string> args;
        const char* mentions;
    } cases[] = {
        {{"--seconds", "0"}, "--seconds"},
        {{"--seconds", "-1"}, "--seconds"},
        {{"--seconds", "nan"}, "--seconds"},
        {{"--seconds", "3s"}, "--seconds"},
        {{"--seconds", "86401"}, "--seconds"},
        {{"--rate", "44100.5"}, "--rate"},
        {{"--rate", "7999"}, "--rate"},
        {{"--rate", "384001"}, "--rate"},
        {{"--block", "15"}, "--block"},
        {{"--block", "8193"}, "--block"},
        {{"--block", " 512"}, "--block"},
        {{"--block"}, "needs a value"},
        {{"--output="}, "needs a file name"},
        {{"--spectrogram", ""}, "needs a file name"},
        {{"--help=yes"}, "--help"},
        {{"--colour"}, "unknown option '--colour'"},
        {{"-x"}, "unknown option '-x'"},
        {{"a.vst3", "b.vst3"}, "only one bundle"},
        {{"--", "a.vst3", "b.vst3"}, "only one bundle"},
    };
    for (const auto& c : cases)
    {
        const std::string error = parse(c.args).error;
        EXPECT_NE(error.find(c.mentions), std::string::npos)
            << testing::PrintToString(c.args) << " gave: " << error;
    }
}

} // namespace
