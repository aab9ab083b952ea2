#pragma once

// Test signals and the measurements made on what the plug-in captured.

#include "floatwav.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Strovik::Test {

// Interleaved stereo frames.
std::vector<float> stereoTone(double leftHz, double rightHz, double amplitude, double rate,
                              double seconds);
// A reproducible pseudo-random sequence, every sample distinct enough to align on.
std::vector<float> stereoNoise(uint32_t seed, double rate, double seconds);
using Strovik::Hostkit::writeFloatWav;

double rms(const std::vector<float>& samples, size_t from = 0, size_t to = SIZE_MAX);
double peak(const std::vector<float>& samples);
// Frequency from the median spacing of upward zero crossings.
double dominantFrequency(const std::vector<float>& samples, double rate);

// SINAD of a sine near `hz` in samples[from, from + length): a four-parameter
// least-squares fit (amplitude, phase, offset and the frequency itself, so
// that a resampler's slowly steered ratio is no distortion), in dB of the
// fitted sine's power over the residual's.
double toneSinadDb(const std::vector<float>& samples, size_t from, size_t length, double hz,
                   double rate);

// Where `needle` (left channel of the played sequence, first frames) starts
// in `haystack`, or -1.
long findSequence(const std::vector<float>& haystack, const std::vector<float>& needle);

} // namespace Strovik::Test

namespace Strovik::Test {

// How a captured stereo stream matches the played one, after alignment.
struct SequenceMatch
{
    long start = -1;       // captured frame where the played sequence begins
    size_t compared = 0;   // frames found equal to the played ones
    size_t lost = 0;       // played frames that never came out (dropped packets)
    size_t lostRuns = 0;   // how many separate runs of them
    size_t duplicated = 0; // captured frames repeating one that came out before
    size_t altered = 0;    // captured frames that match nothing played
    size_t gaps = 0;       // runs of zero frames padded in on underflow
    size_t gapFrames = 0;  // their total length
    size_t unheard = 0;    // played frames after the end of what came out
    // Played frames of digital silence that never came out, when a shortened
    // silent stretch is allowed (the bridge gives delay back that way).
    size_t silenceLeftOut = 0;
    size_t silenceRuns = 0; // how many separate runs of them
    // Where the first events happened: captured frame and kind
    // ('g' gap, 'l' lost, 'd' duplicated, 'a' altered).
    std::vector<std::pair<size_t, char>> events;
};

// `left`/`right`: captured channels; `played`: interleaved stereo frames.
// Zeros padded on underflow are not loss: the frames follow later. With
// `silenceMayShorten`, played frames missing from the capture that are all
// zeros in both channels count as silence left out rather than lost.
SequenceMatch matchSequence(const std::vector<float>& left, const std::vector<float>& right,
                            const std::vector<float>& played, bool silenceMayShorten = false);

// The same for a sequence that was already playing when the capture picked
// it up (its first frames never reached the plug-in): the first sound at or
// after captured frame `from` is looked up in `played`, and the match runs
// from there. `start` is that captured frame; `unheard` counts only what
// was left of the sequence after it.
SequenceMatch matchResumed(const std::vector<float>& left, const std::vector<float>& right,
                           const std::vector<float>& played, size_t from);

} // namespace Strovik::Test
