#include "signals.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace Strovik::Test {

std::vector<float> stereoTone(double leftHz, double rightHz, double amplitude, double rate,
                              double seconds)
{
    const size_t frames = static_cast<size_t>(rate * seconds);
    std::vector<float> out(frames * 2);
    for (size_t i = 0; i < frames; ++i)
    {
        out[2 * i] = static_cast<float>(amplitude * std::sin(2 * M_PI * leftHz * i / rate));
        out[2 * i + 1] = static_cast<float>(amplitude * std::sin(2 * M_PI * rightHz * i / rate));
    }
    return out;
}

std::vector<float> stereoNoise(uint32_t seed, double rate, double seconds)
{
    const size_t frames = static_cast<size_t>(rate * seconds);
    std::vector<float> out(frames * 2);
    uint32_t x = seed;
    for (auto& s : out)
    {
        x = x * 1664525u + 1013904223u;
        // 23 random bits in [-0.5, 0.5): exact in float, never two equal runs.
        s = static_cast<float>(static_cast<int32_t>(x >> 9) - (1 << 22)) / float(1 << 23);
    }
    return out;
}

double rms(const std::vector<float>& samples, size_t from, size_t to)
{
    to = std::min(to, samples.size());
    if (from >= to)
        return 0;
    double sum = 0;
    for (size_t i = from; i < to; ++i)
        sum += double(samples[i]) * samples[i];
    return std::sqrt(sum / double(to - from));
}

double peak(const std::vector<float>& samples)
{
    double p = 0;
    for (float s : samples)
        p = std::max(p, double(std::fabs(s)));
    return p;
}

double dominantFrequency(const std::vector<float>& samples, double rate)
{
    // The median spacing: a dropout (silence padded in) or a skipped packet
    // changes only the spacings around it, where a mean over the whole
    // stretch would count it as a slower or faster pitch.
    std::vector<double> spacings;
    double last = -1;
    for (size_t i = 1; i < samples.size(); ++i)
    {
        if (samples[i - 1] < 0 && samples[i] >= 0 && samples[i] - samples[i - 1] > 1e-4f)
        {
            // Interpolate the crossing between the two samples.
            const double t = (i - 1) + samples[i - 1] / double(samples[i - 1] - samples[i]);
            if (last >= 0)
                spacings.push_back(t - last);
            last = t;
        }
    }
    if (spacings.empty())
        return 0;
    std::nth_element(spacings.begin(), spacings.begin() + long(spacings.size() / 2),
                     spacings.end());
    return rate / spacings[spacings.size() / 2];
}

long findSequence(const std::vector<float>& haystack, const std::vector<float>& needle)
{
    if (needle.empty() || haystack.size() < needle.size())
        return -1;
    for (size_t i = 0; i + needle.size() <= haystack.size(); ++i)
        if (haystack[i] == needle[0] &&
            std::equal(needle.begin(), needle.end(), haystack.begin() + long(i)))
            return long(i);
    return -1;
}

} // namespace Strovik::Test

namespace Strovik::Test {

SequenceMatch matchSequence(const std::vector<float>& left, const std::vector<float>& right,
                            const std::vector<float>& played, bool silenceMayShorten)
{
    SequenceMatch m;
    const size_t playedFrames = played.size() / 2;
    std::vector<float> playedLeft(playedFrames);
    for (size_t i = 0; i < playedFrames; ++i)
        playedLeft[i] = played[2 * i];
    m.start = findSequence(left, std::vector<float>(playedLeft.begin(), playedLeft.begin() + 64));
    if (m.start < 0)
        return m;

    auto note = [&](size_t at, char kind) {
        if (m.events.size() < 32)
            m.events.emplace_back(at, kind);
    };
    auto sameFrame = [&](size_t c, size_t p) {
        return left[c] == played[2 * p] && right[c] == played[2 * p + 1];
    };
    size_t c = static_cast<size_t>(m.start);
    size_t p = 0;
    while (c < left.size() && p < playedFrames)
    {
        if (sameFrame(c, p))
        {
            ++m.compared;
            ++c;
            ++p;
            continue;
        }
        if (left[c] == 0.0f && right[c] == 0.0f)
        {
            // Underflow padding, unless the zeros run to the end of the
            // capture: then playback ended there (or the capture did).
            size_t end = c;
            while (end < left.size() && left[end] == 0.0f && right[end] == 0.0f)
                ++end;
            if (end == left.size())
                break;
            ++m.gaps;
            note(c, 'g');
            m.gapFrames += end - c;
            c = end;
            continue;
        }
        // A dropped packet: the captured frame is a later played one.
        const size_t window = 65536;
        size_t q = p + 1;
        const size_t limit = std::min(playedFrames, p + window);
        while (q < limit && !sameFrame(c, q))
            ++q;
        if (q < limit)
        {
            bool silent = silenceMayShorten;
            for (size_t i = p; silent && i < q; ++i)
                silent = played[2 * i] == 0.0f && played[2 * i + 1] == 0.0f;
            if (silent)
            {
                m.silenceLeftOut += q - p;
                ++m.silenceRuns;
            }
            else
            {
                m.lost += q - p;
                ++m.lostRuns;
                note(c, 'l');
            }
            p = q;
            continue;
        }
        // A repeat: the captured frame is an earlier played one.
        size_t back = 1;
        while (back <= std::min(p, window) && !sameFrame(c, p - back))
            ++back;
        if (back <= std::min(p, window))
        {
            ++m.duplicated;
            note(c, 'd');
            ++c;
            continue;
        }
        ++m.altered;
        if (m.events.empty() || m.events.back().second != 'a')
            note(c, 'a');
        ++c;
        ++p;
    }
    m.unheard = playedFrames - p;
    return m;
}

SequenceMatch matchResumed(const std::vector<float>& left, const std::vector<float>& right,
                           const std::vector<float>& played, size_t from)
{
    size_t first = from;
    while (first < left.size() && left[first] == 0.0f && right[first] == 0.0f)
        ++first;
    if (first + 64 > left.size())
        return {};
    std::vector<float> playedLeft(played.size() / 2);
    for (size_t i = 0; i < playedLeft.size(); ++i)
        playedLeft[i] = played[2 * i];
    const long at = findSequence(playedLeft, std::vector<float>(left.begin() + long(first),
                                                                left.begin() + long(first) + 64));
    if (at < 0)
        return {};
    const auto tail = [&](const std::vector<float>& v) {
        return std::vector<float>(v.begin() + long(first), v.end());
    };
    SequenceMatch m = matchSequence(tail(left), tail(right),
                                    std::vector<float>(played.begin() + 2 * at, played.end()));
    if (m.start >= 0)
        m.start += long(first);
    for (auto& event : m.events)
        event.first += first;
    return m;
}

namespace {

// Solves the n×n system a·x = b in place (Gaussian elimination with partial
// pivoting); n ≤ 4. False when it is singular.
template <int n> bool solve(double (&a)[n][n], double (&b)[n])
{
    for (int col = 0; col < n; ++col)
    {
        int pivot = col;
        for (int r = col + 1; r < n; ++r)
            if (std::fabs(a[r][col]) > std::fabs(a[pivot][col]))
                pivot = r;
        if (a[pivot][col] == 0.0)
            return false;
        std::swap(a[col], a[pivot]);
        std::swap(b[col], b[pivot]);
        for (int r = col + 1; r < n; ++r)
        {
            const double f = a[r][col] / a[col][col];
            for (int c = col; c < n; ++c)
                a[r][c] -= f * a[col][c];
            b[r] -= f * b[col];
        }
    }
    for (int r = n - 1; r >= 0; --r)
    {
        for (int c = r + 1; c < n; ++c)
            b[r] -= a[r][c] * b[c];
        b[r] /= a[r][r];
    }
    return true;
}

// Least squares of x against the basis functions basis(t, out[n]).
template <int n, typename Basis>
bool fit(const float* x, size_t length, Basis basis, double (&coefficients)[n])
{
    double normal[n][n] = {};
    double rhs[n] = {};
    double row[n];
    for (size_t i = 0; i < length; ++i)
    {
        basis(static_cast<double>(i) - 0.5 * static_cast<double>(length), row);
        for (int r = 0; r < n; ++r)
        {
            rhs[r] += row[r] * x[i];
            for (int c = 0; c < n; ++c)
                normal[r][c] += row[r] * row[c];
        }
    }
    if (!solve(normal, rhs))
        return false;
    std::copy(rhs, rhs + n, coefficients);
    return true;
}

} // namespace

double toneSinadDb(const std::vector<float>& samples, size_t from, size_t length, double hz,
                   double rate)
{
    if (from >= samples.size() || length < 16)
        return 0.0;
    length = std::min(length, samples.size() - from);
    const float* x = samples.data() + from;
    double omega = 2.0 * M_PI * hz / rate;
    const auto sine = [&omega](double t, double(&row)[3]) {
        row[0] = std::sin(omega * t);
        row[1] = std::cos(omega * t);
        row[2] = 1.0;
    };
    double abc[3] = {};
    // Each round fits amplitude and phase at the current frequency, then
    // linearises in the frequency to correct it (converges in a few rounds
    // from a start within a few hundred ppm).
    for (int round = 0; round < 6; ++round)
    {
        if (!fit<3>(x, length, sine, abc))
            return 0.0;
        const auto withFrequency = [&](double t, double(&row)[4]) {
            const double sn = std::sin(omega * t), cs = std::cos(omega * t);
            row[0] = sn;
            row[1] = cs;
            row[2] = 1.0;
            row[3] = t * (abc[0] * cs - abc[1] * sn);
        };
        double abcd[4] = {};
        if (!fit<4>(x, length, withFrequency, abcd))
            return 0.0;
        omega += abcd[3];
    }
    if (!fit<3>(x, length, sine, abc))
        return 0.0;
    double signal = 0.0, residual = 0.0;
    for (size_t i = 0; i < length; ++i)
    {
        const double t = static_cast<double>(i) - 0.5 * static_cast<double>(length);
        const double model = abc[0] * std::sin(omega * t) + abc[1] * std::cos(omega * t);
        signal += model * model;
        const double e = x[i] - model - abc[2];
        residual += e * e;
    }
    if (residual <= 0.0)
        return 300.0;
    return 10.0 * std::log10(signal / residual);
}

} // namespace Strovik::Test
