#include "analysis.h"

#include <cmath>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace Strovik::Test {

std::vector<double> toneAmplitudes(const std::vector<float>& samples, double rate,
                                   const std::vector<double>& hz)
{
    // Normal equations of the least-squares fit, solved by elimination.
    const size_t n = 2 * hz.size() + 1;
    std::vector<double> a(n * n, 0.0), b(n, 0.0), basis(n);
    for (size_t i = 0; i < samples.size(); ++i)
    {
        for (size_t k = 0; k < hz.size(); ++k)
        {
            const double w = 2 * M_PI * hz[k] * double(i) / rate;
            basis[2 * k] = std::sin(w);
            basis[2 * k + 1] = std::cos(w);
        }
        basis[n - 1] = 1.0;
        for (size_t r = 0; r < n; ++r)
        {
            b[r] += basis[r] * samples[i];
            for (size_t c = 0; c < n; ++c)
                a[r * n + c] += basis[r] * basis[c];
        }
    }
    for (size_t col = 0; col < n; ++col)
    {
        size_t pivot = col;
        for (size_t r = col + 1; r < n; ++r)
            if (std::fabs(a[r * n + col]) > std::fabs(a[pivot * n + col]))
                pivot = r;
        for (size_t c = 0; c < n; ++c)
            std::swap(a[col * n + c], a[pivot * n + c]);
        std::swap(b[col], b[pivot]);
        for (size_t r = 0; r < n; ++r)
        {
            if (r == col || a[col * n + col] == 0.0)
                continue;
            const double f = a[r * n + col] / a[col * n + col];
            for (size_t c = col; c < n; ++c)
                a[r * n + c] -= f * a[col * n + c];
            b[r] -= f * b[col];
        }
    }
    std::vector<double> amplitudes;
    for (size_t k = 0; k < hz.size(); ++k)
    {
        const double s = b[2 * k] / a[(2 * k) * n + 2 * k];
        const double c = b[2 * k + 1] / a[(2 * k + 1) * n + 2 * k + 1];
        amplitudes.push_back(std::sqrt(s * s + c * c));
    }
    return amplitudes;
}

double dbfs(double amplitude)
{
    return amplitude > 0 ? 20 * std::log10(amplitude) : -INFINITY;
}

LogWatcher::LogWatcher(std::string path) : path(std::move(path)), thread([this] { run(); }) {}

LogWatcher::~LogWatcher()
{
    stopping = true;
    thread.join();
}

void LogWatcher::run()
{
    // The log is truncated whenever an instance opens it, and removed
    // between tests: a new file, or a shorter one, starts the count of
    // lines afresh.
    size_t known = 0, lastSize = 0;
    ino_t lastInode = 0;
    while (!stopping)
    {
        struct stat info
        {};
        const ino_t inode = ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
        std::ifstream in(path);
        std::stringstream all;
        all << in.rdbuf();
        const std::string text = all.str();
        const auto now = Clock::now();
        if (text.size() < lastSize || inode != lastInode)
            known = 0;
        lastSize = text.size();
        lastInode = inode;
        std::istringstream lines(text);
        std::string line;
        size_t index = 0;
        while (std::getline(lines, line))
        {
            if (lines.eof())
                break; // not complete yet
            if (index++ < known)
                continue;
            std::lock_guard<std::mutex> lock(mutex);
            seen.push_back({now, line});
            ++known;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::vector<LogWatcher::Line> LogWatcher::lines() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return seen;
}

bool LogWatcher::waitFor(const std::string& prefix, Clock::time_point after,
                         Clock::duration timeout, Line* found) const
{
    const auto deadline = Clock::now() + timeout;
    do
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (const Line& l : seen)
                if (l.seen >= after && l.text.rfind(prefix, 0) == 0)
                {
                    if (found)
                        *found = l;
                    return true;
                }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } while (Clock::now() < deadline);
    return false;
}

size_t LogWatcher::count(const std::string& prefix) const
{
    std::lock_guard<std::mutex> lock(mutex);
    size_t n = 0;
    for (const Line& l : seen)
        n += l.text.rfind(prefix, 0) == 0;
    return n;
}

} // namespace Strovik::Test

namespace Strovik::Test {

void LogWatcher::forget()
{
    std::lock_guard<std::mutex> lock(mutex);
    seen.clear();
    seen.shrink_to_fit();
}

} // namespace Strovik::Test
