// The sample-for-sample comparison of a capture with what was played, on
// made-up captures: what it calls lost, padded or a silent stretch left
// short decides whether a soak passes.

#include "signals.h"

#include <gtest/gtest.h>

using namespace Strovik::Test;

namespace {

constexpr double kRate = 48000;

// Two seconds of noise with 2000 frames of digital silence from frame 40000.
constexpr size_t kSilenceFrom = 40000;
constexpr size_t kSilenceFrames = 2000;

std::vector<float> playedWithSilence()
{
    auto played = stereoNoise(7, kRate, 2.0);
    std::fill(played.begin() + 2 * kSilenceFrom,
              played.begin() + 2 * (kSilenceFrom + kSilenceFrames), 0.0f);
    return played;
}

// What came out: `lead` frames of zeros before the sequence, then the
// played frames less those in [from, from + count).
void captureWithout(const std::vector<float>& played, size_t lead, size_t from, size_t count,
                    std::vector<float>& left, std::vector<float>& right)
{
    left.assign(lead, 0.0f);
    right.assign(lead, 0.0f);
    for (size_t i = 0; 2 * i + 1 < played.size(); ++i)
        if (i < from || i >= from + count)
        {
            left.push_back(played[2 * i]);
            right.push_back(played[2 * i + 1]);
        }
}

TEST(SequenceMatchTest, AShortenedSilentStretchIsSilenceLeftOutOnlyWhenAllowed)
{
    const auto played = playedWithSilence();
    std::vector<float> left, right;
    captureWithout(played, 300, kSilenceFrom + 500, 700, left, right);

    const SequenceMatch allowed = matchSequence(left, right, played, true);
    EXPECT_EQ(allowed.start, 300);
    EXPECT_EQ(allowed.silenceLeftOut, 700u);
    EXPECT_EQ(allowed.silenceRuns, 1u);
    EXPECT_EQ(allowed.lost, 0u);
    EXPECT_EQ(allowed.gaps, 0u);
    EXPECT_EQ(allowed.altered, 0u);
    EXPECT_EQ(allowed.compared, played.size() / 2 - 700);
    EXPECT_EQ(allowed.unheard, 0u);

    // Where a shorter silence is not asked for, it is loss, as ever.
    const SequenceMatch strict = matchSequence(left, right, played);
    EXPECT_EQ(strict.lost, 700u);
    EXPECT_EQ(strict.lostRuns, 1u);
    EXPECT_EQ(strict.silenceLeftOut, 0u);

    // The whole stretch left out is still only silence.
    captureWithout(played, 0, kSilenceFrom, kSilenceFrames, left, right);
    const SequenceMatch whole = matchSequence(left, right, played, true);
    EXPECT_EQ(whole.silenceLeftOut, kSilenceFrames);
    EXPECT_EQ(whole.lost, 0u);
}

TEST(SequenceMatchTest, SoundMissingBesideASilentStretchIsStillLost)
{
    const auto played = playedWithSilence();
    std::vector<float> left, right;
    // The last 100 frames of the silence and the first 100 of sound after it.
    captureWithout(played, 0, kSilenceFrom + kSilenceFrames - 100, 200, left, right);
    SequenceMatch m = matchSequence(left, right, played, true);
    EXPECT_EQ(m.lost, 200u);
    EXPECT_EQ(m.lostRuns, 1u);
    EXPECT_EQ(m.silenceLeftOut, 0u);

    // 100 frames of sound before the silence and 100 of the silence: the
    // silence comes where sound was due, and the sound is lost.
    captureWithout(played, 0, kSilenceFrom - 100, 200, left, right);
    m = matchSequence(left, right, played, true);
    EXPECT_GE(m.lost, 100u);
    EXPECT_EQ(m.silenceLeftOut, 0u);
}

TEST(SequenceMatchTest, ASilentStretchThatCameOutLongerIsAGap)
{
    const auto played = playedWithSilence();
    std::vector<float> left, right;
    captureWithout(played, 0, 0, 0, left, right);
    // 256 zeros more at the end of the silence, as an underflow pads them.
    const auto at = static_cast<long>(kSilenceFrom + kSilenceFrames);
    left.insert(left.begin() + at, 256, 0.0f);
    right.insert(right.begin() + at, 256, 0.0f);
    const SequenceMatch m = matchSequence(left, right, played, true);
    EXPECT_EQ(m.gaps, 1u);
    EXPECT_EQ(m.gapFrames, 256u);
    EXPECT_EQ(m.silenceLeftOut, 0u);
    EXPECT_EQ(m.lost, 0u);
    EXPECT_EQ(m.compared, played.size() / 2);
}

} // namespace
