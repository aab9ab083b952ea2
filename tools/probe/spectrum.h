#pragma once

// The strongest frequency in a signal of any length, from a power spectrum
// averaged over windows as the signal streams in.

#include <complex>
#include <cstddef>
#include <vector>

namespace Strovik::Probe {

class SpectrumAccumulator
{
public:
    // `windowSize` must be a power of two.
    explicit SpectrumAccumulator(size_t windowSize = 8192);

    void add(const float* samples, size_t count);
    // Interpolated between bins; 0 for silence. Frequencies below 20 Hz
    // (DC offset, rumble) are not candidates. A signal shorter than one
    // window is zero-padded to one.
    double dominantFrequency(double sampleRate) const;

private:
    void accumulate(const std::vector<float>& window, std::vector<double>& into) const;

    size_t size;
    std::vector<double> hann;
    std::vector<float> pending;
    size_t filled = 0;
    std::vector<double> power;
    size_t windows = 0;
    mutable std::vector<std::complex<double>> work;
};

} // namespace Strovik::Probe
