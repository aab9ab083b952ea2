#include "captureanalysis.h"
#include "levelmeter.h"
#include "spectrum.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace Strovik::Probe;

namespace {

std::vector<float> sine(double hz, double amplitude, double rate, size_t frames)
{
    std::vector<float> s(frames);
    for (size_t i = 0; i < frames; ++i)
        s[i] = static_cast<float>(amplitude * std::sin(2 * M_PI * hz * double(i) / rate));
    return s;
}

TEST(Spectrum, FindsATonesFrequencyBetweenBins)
{
    for (double rate : {44100.0, 48000.0, 96000.0})
        for (double hz : {50.0, 440.0, 1000.0, 1234.5, 15000.0})
        {
            SpectrumAccumulator spectrum;
            const auto tone = sine(hz, 0.5, rate, size_t(rate));
            // In odd pieces, as blocks arrive.
            for (size_t at = 0; at < tone.size(); at += 333)
                spectrum.add(tone.data() + at, std::min<size_t>(333, tone.size() - at));
            EXPECT_NEAR(spectrum.dominantFrequency(rate), hz, 0.5) << hz << " Hz at " << rate;
        }
}

TEST(Spectrum, StrongestOfTwoTonesShortSignalsAndSilence)
{
    auto mix = sine(300, 0.1, 48000, 48000);
    const auto loud = sine(2500, 0.4, 48000, 48000);
    for (size_t i = 0; i < mix.size(); ++i)
        mix[i] += loud[i];
    SpectrumAccumulator both;
    both.add(mix.data(), mix.size());
    EXPECT_NEAR(both.dominantFrequency(48000), 2500, 0.5);

    // Shorter than one window: zero-padded, still found.
    SpectrumAccumulator brief;
    brief.add(loud.data(), 2000);
    EXPECT_NEAR(brief.dominantFrequency(48000), 2500, 5);

    // A DC offset is no frequency; silence has none.
    const std::vector<float> offset(20000, 0.3f), zeros(20000, 0.0f);
    SpectrumAccumulator dc, quiet, empty;
    dc.add(offset.data(), offset.size());
    quiet.add(zeros.data(), zeros.size());
    EXPECT_EQ(dc.dominantFrequency(48000), 0);
    EXPECT_EQ(quiet.dominantFrequency(48000), 0);
    EXPECT_EQ(empty.dominantFrequency(48000), 0);
}

TEST(CaptureAnalysis, LevelsInDbfs)
{
    CaptureAnalysis a(2);
    const auto left = sine(1000, 0.5, 48000, 4800);
    const std::vector<float> right(4800, -0.25f);
    for (size_t at = 0; at < 4800; at += 480)
        a.addBlock({left.data() + at, right.data() + at}, 480);
    EXPECT_EQ(a.frames(), 4800u);
    EXPECT_EQ(a.blocks(), 10u);
    EXPECT_NEAR(toDbfs(a.peak(0)), -6.02, 0.01);
    EXPECT_NEAR(toDbfs(a.rms(0)), -9.03, 0.01);
    EXPECT_NEAR(toDbfs(a.peak(1)), -12.04, 0.01);
    EXPECT_NEAR(toDbfs(a.rms(1)), -12.04, 0.01);
    EXPECT_TRUE(std::isinf(toDbfs(0)));
}

TEST(CaptureAnalysis, SilentBlocksBeforeAndAfterTheFirstSound)
{
    const size_t n = 64;
    const std::vector<float> zeros(n, 0.0f), sound(n, 0.1f);
    std::vector<float> padded = sound, oneZero = sound, rightOnly = zeros;
    std::fill(padded.begin() + 40, padded.end(), 0.0f); // underflow: zeros to the end
    oneZero.back() = 0.0f;                              // a sample that happens to be 0
    rightOnly.back() = 0.2f;                            // left ends in zeros, right does not

    CaptureAnalysis a(2);
    auto add = [&](const std::vector<float>& l, const std::vector<float>& r) {
        a.addBlock({l.data(), r.data()}, n);
    };
    add(zeros, zeros);
    add(zeros, zeros); // start-up: the stream is not linked yet
    add(sound, sound);
    add(zeros, zeros);   // fully silent
    add(padded, padded); // partly silent
    add(oneZero, oneZero);
    add(zeros, rightOnly);
    EXPECT_EQ(a.startupBlocks(), 2u);
    EXPECT_EQ(a.silentBlocks(), 1u);
    EXPECT_EQ(a.partlySilentBlocks(), 1u);
}

TEST(LevelMeter, ReadingsCoverWhatCameSinceTheLastOne)
{
    LevelMeter meter(2);
    const std::vector<float> loud(100, 0.5f), quiet(100, 0.001f), zeros(100, 0.0f);
    meter.add({loud.data(), quiet.data()}, 100);
    const auto first = meter.take();
    EXPECT_DOUBLE_EQ(first[0].peak, 0.5);
    EXPECT_DOUBLE_EQ(first[0].rms, 0.5);
    EXPECT_NEAR(first[1].peak, 0.001, 1e-9);
    meter.add({zeros.data(), zeros.data()}, 100);
    EXPECT_EQ(meter.take()[0].peak, 0);

    // The bar spans -60..0 dBFS in 12 cells: '#' to the RMS, '=' on to the peak.
    const std::string line = meterLine(1.3, 5, {{0.5, 0.5}, {0.001, 0.001}});
    EXPECT_EQ(line, "  1.3/5.0 s  L [###########-] -6.0/-6.0 dB  R [------------] -60.0/-60.0 dB");
    EXPECT_EQ(meterLine(0, 5, {{0.5, std::pow(10, -30 / 20.0)}, {1, 1}}),
              "  0.0/5.0 s  L [######=====-] -6.0/-30.0 dB  R [############] 0.0/0.0 dB");
    EXPECT_LE(line.size(), 79u);
    EXPECT_EQ(meterText(2, {{0.5, 0.25}, {0, 0}}),
              "t=2.0s  L peak -6.0 dBFS rms -12.0 dBFS  R peak -inf dBFS rms -inf dBFS");
}

} // namespace
