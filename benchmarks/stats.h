#pragma once

// Clock and order statistics for the benchmarks that time whole operations
// (start-up, latency) rather than loops.

#include <cstdint>
#include <string>
#include <vector>

namespace Strovik::Bench {

// CLOCK_MONOTONIC in nanoseconds: the clock PipeWire's callbacks and the
// host loop can both read, so their stamps compare directly.
int64_t monotonicNs();

struct Summary
{
    size_t count = 0;
    double median = 0, p10 = 0, p90 = 0, p99 = 0, p999 = 0, min = 0, max = 0;
};

// Percentiles by nearest rank; all zero for an empty set.
Summary summarize(std::vector<double> values);

// `"name": {"count": …, "median": …, …}` for a hand-written JSON object.
std::string summaryJson(const std::string& name, const Summary& s);

} // namespace Strovik::Bench
