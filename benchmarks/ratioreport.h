#pragma once

// Runs Google Benchmark families side by side in one process and reports
// each subject's median CPU time as a ratio to its floor's. On a shared,
// noisy machine only such ratios mean much: an absolute figure moves with
// whoever else is running, while two medians taken in the same run (with
// repetitions interleaved) move together.

#include <optional>
#include <string>
#include <vector>

namespace Strovik::Bench {

struct RatioPair
{
    std::string subject; // full benchmark name, e.g. "process/512"
    std::string floor;   // the benchmark it is compared with
    // The ratio it should stay at or below; none for a cost that is only
    // reported (the table shows "—").
    std::optional<double> target;
};

// A benchmark whose iteration handles a stretch of audio of known duration:
// reported as the share of one core it keeps busy in real time.
struct CoreShare
{
    std::string benchmark; // full benchmark name, e.g. "engaged/512"
    double periodNs;       // the audio one iteration handles, in nanoseconds
};

// Takes Google Benchmark's own flags plus
//   --summary_out=FILE  the ratio table as Markdown
//   --ratios_out=FILE   the same as JSON
// runs the registered benchmarks, prints the usual console output, then the
// ratio table and the shares of a core. Returns the process exit code.
int runWithRatios(int argc, char** argv, const std::string& title,
                  const std::vector<RatioPair>& pairs, const std::vector<CoreShare>& shares = {});

} // namespace Strovik::Bench
