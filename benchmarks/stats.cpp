#include "stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace Strovik::Bench {

int64_t monotonicNs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

Summary summarize(std::vector<double> values)
{
    Summary s;
    if (values.empty())
        return s;
    std::sort(values.begin(), values.end());
    const auto rank = [&](double fraction) {
        const size_t i = static_cast<size_t>(std::ceil(fraction * values.size()));
        return values[std::min(values.size() - 1, i == 0 ? 0 : i - 1)];
    };
    s.count = values.size();
    const size_t mid = values.size() / 2;
    s.median = values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2.0;
    s.p10 = rank(0.10);
    s.p90 = rank(0.90);
    s.p99 = rank(0.99);
    s.p999 = rank(0.999);
    s.min = values.front();
    s.max = values.back();
    return s;
}

std::string summaryJson(const std::string& name, const Summary& s)
{
    char text[320];
    std::snprintf(text, sizeof text,
                  "\"%s\": {\"count\": %zu, \"median\": %.4f, \"p10\": %.4f, \"p90\": %.4f, "
                  "\"p99\": %.4f, \"p999\": %.4f, \"min\": %.4f, \"max\": %.4f}",
                  name.c_str(), s.count, s.median, s.p10, s.p90, s.p99, s.p999, s.min, s.max);
    return text;
}

} // namespace Strovik::Bench
