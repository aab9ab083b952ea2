#include "spectrum.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace Strovik::Probe {

namespace {

// In-place iterative radix-2 FFT.
void fft(std::vector<std::complex<double>>& a)
{
    const size_t n = a.size();
    for (size_t i = 1, j = 0; i < n; ++i)
    {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j)
            std::swap(a[i], a[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1)
    {
        const double angle = -2 * M_PI / double(len);
        const std::complex<double> step(std::cos(angle), std::sin(angle));
        for (size_t i = 0; i < n; i += len)
        {
            std::complex<double> w(1);
            for (size_t k = 0; k < len / 2; ++k)
            {
                const auto u = a[i + k];
                const auto v = a[i + k + len / 2] * w;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
                w *= step;
            }
        }
    }
}

} // namespace

SpectrumAccumulator::SpectrumAccumulator(size_t windowSize)
    : size(windowSize), hann(windowSize), pending(windowSize), power(windowSize / 2 + 1),
      work(windowSize)
{
    if (windowSize < 16 || (windowSize & (windowSize - 1)) != 0)
        throw std::invalid_argument("window size must be a power of two");
    for (size_t i = 0; i < size; ++i)
        hann[i] = 0.5 - 0.5 * std::cos(2 * M_PI * double(i) / double(size));
}

void SpectrumAccumulator::add(const float* samples, size_t count)
{
    while (count > 0)
    {
        const size_t n = std::min(count, size - filled);
        std::copy(samples, samples + n, pending.begin() + long(filled));
        filled += n;
        samples += n;
        count -= n;
        if (filled == size)
        {
            accumulate(pending, power);
            ++windows;
            filled = 0;
        }
    }
}

void SpectrumAccumulator::accumulate(const std::vector<float>& window,
                                     std::vector<double>& into) const
{
    for (size_t i = 0; i < size; ++i)
        work[i] = window[i] * hann[i];
    fft(work);
    for (size_t k = 0; k < into.size(); ++k)
        into[k] += std::norm(work[k]);
}

double SpectrumAccumulator::dominantFrequency(double sampleRate) const
{
    std::vector<double> spectrum = power;
    if (windows == 0)
    {
        if (filled == 0)
            return 0;
        std::vector<float> padded(pending.begin(), pending.begin() + long(filled));
        padded.resize(size, 0.0f);
        accumulate(padded, spectrum);
    }
    const double binHz = sampleRate / double(size);
    const size_t first = std::max<size_t>(1, static_cast<size_t>(std::ceil(20.0 / binHz)));
    const size_t last = spectrum.size() - 2; // a neighbour on each side for interpolation
    if (first > last)
        return 0;
    size_t best = first;
    for (size_t k = first; k <= last; ++k)
        if (spectrum[k] > spectrum[best])
            best = k;
    if (spectrum[best] <= 1e-12)
        return 0;
    // A parabola through the log powers of the peak bin and its neighbours:
    // with a Hann window this puts a pure tone within a small part of a bin.
    const double tiny = 1e-30;
    const double a = std::log(spectrum[best - 1] + tiny);
    const double b = std::log(spectrum[best] + tiny);
    const double c = std::log(spectrum[best + 1] + tiny);
    const double denominator = a - 2 * b + c;
    const double offset = denominator < 0 ? 0.5 * (a - c) / denominator : 0.0;
    return (double(best) + offset) * binHz;
}

} // namespace Strovik::Probe
