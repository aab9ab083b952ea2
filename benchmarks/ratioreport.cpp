#include "ratioreport.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <unistd.h>

namespace Strovik::Bench {

namespace {

double toNanoseconds(double value, benchmark::TimeUnit unit)
{
    switch (unit)
    {
    case benchmark::kSecond:
        return value * 1e9;
    case benchmark::kMillisecond:
        return value * 1e6;
    case benchmark::kMicrosecond:
        return value * 1e3;
    case benchmark::kNanosecond:
        break;
    }
    return value;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2.0;
}

// A run that was skipped or failed has no times to collect. Google Benchmark
// 1.8 replaced the flag error_occurred with the enum skipped (0 when the run
// went through); overload resolution picks whichever the installed release has.
template <typename Run>
auto producedNoTimes(const Run& run, int) -> decltype(static_cast<int>(run.skipped), bool())
{
    return static_cast<int>(run.skipped) != 0;
}

template <typename Run>
auto producedNoTimes(const Run& run, long) -> decltype(bool(run.error_occurred))
{
    return run.error_occurred;
}

// Per repetition, a run's CPU time per iteration: on a shared machine the
// time this thread was actually running is what the code costs, while the
// wall clock also counts every moment another process had the core.
struct Times
{
    std::vector<double> cpu, real;
    double medianCpu = -1, medianReal = -1; // the "median" aggregate, if reported
    size_t repetitions = 0;
};

// The console output as usual, and on the side every repetition's times.
class CollectingReporter : public benchmark::ConsoleReporter
{
public:
    // Colour only on a terminal: the script keeps the console output in a file.
    CollectingReporter() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular)
    {}

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        // With --benchmark_display_aggregates_only only the aggregates come here.
        for (const Run& run : runs)
        {
            if (producedNoTimes(run, 0))
                continue;
            Times& t = times[run.run_name.str()];
            const double cpu = toNanoseconds(run.GetAdjustedCPUTime(), run.time_unit);
            const double real = toNanoseconds(run.GetAdjustedRealTime(), run.time_unit);
            if (run.run_type == Run::RT_Iteration)
            {
                t.cpu.push_back(cpu);
                t.real.push_back(real);
            }
            else if (run.aggregate_name == "median")
            {
                t.medianCpu = cpu;
                t.medianReal = real;
            }
            t.repetitions = static_cast<size_t>(run.repetitions);
        }
    }

    // Medians over the repetitions seen (a single run when repetitions were
    // not asked for).
    bool medianOf(const std::string& name, double& cpuNs, double& realNs, size_t& count) const
    {
        const auto t = times.find(name);
        if (t == times.end())
            return false;
        count = t->second.repetitions;
        if (t->second.medianCpu >= 0)
        {
            cpuNs = t->second.medianCpu;
            realNs = t->second.medianReal;
            return true;
        }
        if (t->second.cpu.empty())
            return false;
        cpuNs = median(t->second.cpu);
        realNs = median(t->second.real);
        return true;
    }

    std::vector<std::string> names() const
    {
        std::vector<std::string> all;
        for (const auto& entry : times)
            all.push_back(entry.first);
        return all;
    }

private:
    std::map<std::string, Times> times;
};

// Removes "--NAME=value" from argv (Google Benchmark rejects flags it does
// not know) and returns the value, or "" when absent.
std::string takeFlag(int& argc, char** argv, const char* name)
{
    const std::string prefix = std::string("--") + name + "=";
    std::string value;
    int out = 1;
    for (int i = 1; i < argc; ++i)
    {
        if (std::strncmp(argv[i], prefix.c_str(), prefix.size()) == 0)
            value = argv[i] + prefix.size();
        else
            argv[out++] = argv[i];
    }
    argc = out;
    argv[argc] = nullptr;
    return value;
}

std::string formatNs(double ns)
{
    char text[32];
    std::snprintf(text, sizeof text, ns < 100.0 ? "%.2f" : "%.0f", ns);
    return text;
}

} // namespace

int runWithRatios(int argc, char** argv, const std::string& title,
                  const std::vector<RatioPair>& pairs, const std::vector<CoreShare>& shares)
{
    const std::string summaryPath = takeFlag(argc, argv, "summary_out");
    const std::string ratiosPath = takeFlag(argc, argv, "ratios_out");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::ostringstream table;
    std::ostringstream json;
    table << "### " << title << "\n\n"
          << "| benchmark | CPU ns (median) | floor | floor CPU ns (median) | ratio | target | met "
             "|\n"
          << "|---|---:|---|---:|---:|---:|---|\n";
    json << "{\n  \"title\": \"" << title << "\",\n  \"pairs\": [";
    bool first = true;
    std::vector<std::string> paired;
    for (const RatioPair& pair : pairs)
    {
        double subjectNs = 0, floorNs = 0, subjectRealNs = 0, floorRealNs = 0;
        size_t subjectCount = 0, floorCount = 0;
        if (!reporter.medianOf(pair.subject, subjectNs, subjectRealNs, subjectCount) ||
            !reporter.medianOf(pair.floor, floorNs, floorRealNs, floorCount) || floorNs <= 0.0)
            continue; // filtered out of this run
        paired.push_back(pair.subject);
        paired.push_back(pair.floor);
        const double ratio = subjectNs / floorNs;
        const bool met = pair.target && ratio <= *pair.target;
        char ratioText[32], targetText[32] = "—";
        std::snprintf(ratioText, sizeof ratioText, "%.2f", ratio);
        if (pair.target)
            std::snprintf(targetText, sizeof targetText, "≤ %.1f×", *pair.target);
        // Without a target there is nothing to meet: JSON null, a dash in the table.
        std::ostringstream targetJson;
        if (pair.target)
            targetJson << *pair.target;
        else
            targetJson << "null";
        const char* metJson = !pair.target ? "null" : met ? "true" : "false";
        const char* metText = !pair.target ? "—" : met ? "yes" : "**no**";
        table << "| " << pair.subject << " | " << formatNs(subjectNs) << " | " << pair.floor
              << " | " << formatNs(floorNs) << " | " << ratioText << "× | " << targetText << " | "
              << metText << " |\n";
        json << (first ? "\n" : ",\n") << "    {\"subject\": \"" << pair.subject
             << "\", \"subject_cpu_ns\": " << subjectNs
             << ", \"subject_real_ns\": " << subjectRealNs << ", \"floor\": \"" << pair.floor
             << "\", \"floor_cpu_ns\": " << floorNs << ", \"floor_real_ns\": " << floorRealNs
             << ", \"ratio\": " << ratio << ", \"target\": " << targetJson.str()
             << ", \"met\": " << metJson
             << ", \"repetitions\": " << std::min(subjectCount, floorCount) << "}";
        first = false;
    }
    json << "\n  ],\n  \"others\": [";

    // Whatever ran without a floor (e.g. the cost of the harness itself).
    first = true;
    std::ostringstream others;
    for (const std::string& name : reporter.names())
    {
        if (std::find(paired.begin(), paired.end(), name) != paired.end())
            continue;
        double ns = 0, realNs = 0;
        size_t count = 0;
        reporter.medianOf(name, ns, realNs, count);
        others << "| " << name << " | " << formatNs(ns) << " |\n";
        json << (first ? "\n" : ",\n") << "    {\"name\": \"" << name << "\", \"cpu_ns\": " << ns
             << ", \"real_ns\": " << realNs << "}";
        first = false;
    }
    json << "\n  ],\n  \"core_shares\": [";

    // CPU time per iteration over the duration of the audio it handled.
    first = true;
    std::ostringstream shareRows;
    for (const CoreShare& share : shares)
    {
        double ns = 0, realNs = 0;
        size_t count = 0;
        if (!reporter.medianOf(share.benchmark, ns, realNs, count))
            continue; // filtered out of this run
        const double percent = 100.0 * ns / share.periodNs;
        char periodText[32], percentText[32];
        std::snprintf(periodText, sizeof periodText, "%.3f", share.periodNs / 1e6);
        std::snprintf(percentText, sizeof percentText, "%.2f", percent);
        shareRows << "| " << share.benchmark << " | " << formatNs(ns) << " | " << periodText
                  << " | " << percentText << " % |\n";
        json << (first ? "\n" : ",\n") << "    {\"name\": \"" << share.benchmark
             << "\", \"cpu_ns\": " << ns << ", \"period_ns\": " << std::llround(share.periodNs)
             << ", \"percent_of_core\": " << percent << "}";
        first = false;
    }
    json << "\n  ]\n}\n";
    if (!others.str().empty())
        table << "\n| also measured | CPU ns (median) |\n|---|---:|\n" << others.str();
    if (!shareRows.str().empty())
        table << "\n| share of one core | CPU ns (median) | audio per iteration (ms) | share |\n"
              << "|---|---:|---:|---:|\n"
              << shareRows.str();

    std::cout << "\n" << table.str() << std::flush;
    if (!summaryPath.empty())
        std::ofstream(summaryPath) << table.str();
    if (!ratiosPath.empty())
        std::ofstream(ratiosPath) << json.str();
    return 0;
}

} // namespace Strovik::Bench
