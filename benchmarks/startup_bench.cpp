// How long an instance takes to come up and go down, as a host sees it:
// initialize until its PipeWire client is connected ("pwReady", as the log
// line says; with a private server, and with none), the first process call
// (the one that sizes the ring and creates the stream), stream creation
// until PipeWire's first packet, and terminate.
//
// The processor is linked directly, so whether its client connected and the
// packet count can be read; the client connects before initialize returns,
// so "initialize to pwReady" is the initialize call itself. The first of the
// runs pays for loading PipeWire's modules and is reported on its own
// ("cold"); the medians are over the runs after it.
//
//   strovik_bench_startup [--runs=N] [--json=FILE] [--summary=FILE]

#include "flags.h"
#include "noserver.h"
#include "processblock.h"
#include "processoraccess.h"
#include "stats.h"
#include "testserver.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace Steinberg;
using namespace Steinberg::Vst;
using namespace Strovik::Bench;
using Strovik::StrovikProcessor;
using Access = Strovik::StrovikProcessorTestAccess;

namespace {

constexpr double kRate = 48000.0;
constexpr int32 kBlock = 512;
constexpr int64_t kCallbackTimeoutNs = 5'000'000'000;

double msSince(int64_t fromNs, int64_t toNs)
{
    return static_cast<double>(toNs - fromNs) / 1e6;
}

struct RunTimes
{
    double initializeMs = 0;
    bool ready = false;
    double connectMs = -1;       // the first process call in the ready state
    double firstCallbackMs = -1; // from that call's return; -1: none came
    double terminateMs = 0;
};

RunTimes runOnce()
{
    RunTimes times;
    auto* processor = new StrovikProcessor;
    const int64_t t0 = monotonicNs();
    processor->initialize(nullptr);
    const int64_t t1 = monotonicNs();
    times.initializeMs = msSince(t0, t1);
    times.ready = Access::ready(*processor);

    ProcessSetup setup{kRealtime, kSample32, kBlock, kRate};
    processor->setupProcessing(setup);
    processor->setActive(true);
    Strovik::Hostkit::ProcessBlock block(2, kBlock);
    block.setPlaying(true);
    block.context.sampleRate = kRate;

    if (times.ready)
    {
        const int64_t t2 = monotonicNs();
        processor->process(block.data);
        const int64_t t3 = monotonicNs();
        if (Access::hasStream(*processor))
        {
            times.connectMs = msSince(t2, t3);
            int64_t now = t3;
            while (Access::packets(*processor) == 0 && now - t3 < kCallbackTimeoutNs)
            {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
                now = monotonicNs();
            }
            if (Access::packets(*processor) != 0)
                times.firstCallbackMs = msSince(t3, now);
        }
    }

    processor->setActive(false);
    const int64_t t4 = monotonicNs();
    processor->terminate();
    const int64_t t5 = monotonicNs();
    times.terminateMs = msSince(t4, t5);
    processor->release();
    return times;
}

struct Phase
{
    std::string name;
    std::vector<RunTimes> runs; // the first is the cold one
};

Phase runPhase(const std::string& name, int runs)
{
    Phase phase{name, {}};
    for (int i = 0; i <= runs; ++i)
    {
        phase.runs.push_back(runOnce());
        // Let the server retire the last client, as between two host actions.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return phase;
}

using Field = double RunTimes::*;

Summary warmSummary(const Phase& phase, Field field)
{
    std::vector<double> values;
    for (size_t i = 1; i < phase.runs.size(); ++i)
        if (phase.runs[i].*field >= 0)
            values.push_back(phase.runs[i].*field);
    return summarize(values);
}

size_t countFailed(const Phase& phase, Field field)
{
    size_t failed = 0;
    for (size_t i = 1; i < phase.runs.size(); ++i)
        failed += phase.runs[i].*field < 0;
    return failed;
}

struct Row
{
    const char* label;
    const Phase* phase;
    Field field;
    const char* target;
    double targetMs; // 0: none
};

} // namespace

int main(int argc, char** argv)
{
    const int runs = std::stoi(flagValue(argc, argv, "runs", "20"));
    const std::string jsonPath = flagValue(argc, argv, "json", "");
    const std::string summaryPath = flagValue(argc, argv, "summary", "");

    Phase noServer;
    {
        Strovik::Hostkit::NoServerEnvironment empty;
        noServer = runPhase("no_server", runs);
    }

    Strovik::Test::PipeWireTestServer server;
    std::string whyNot;
    if (!server.start(whyNot))
    {
        std::cerr << "strovik_bench_startup: " << whyNot << "\n";
        return 1;
    }
    const Phase withServer = runPhase("private_server", runs);
    server.stop();

    for (const RunTimes& r : withServer.runs)
        if (!r.ready)
        {
            std::cerr << "strovik_bench_startup: an instance did not reach the private server\n";
            return 1;
        }

    const Row rows[] = {
        {"initialize → pwReady", &withServer, &RunTimes::initializeMs, "< 20 ms", 20},
        {"initialize, no server", &noServer, &RunTimes::initializeMs, "< 5 ms", 5},
        {"first process call (connect step)", &withServer, &RunTimes::connectMs, "—", 0},
        {"stream created → first callback", &withServer, &RunTimes::firstCallbackMs, "—", 0},
        {"terminate, stream running", &withServer, &RunTimes::terminateMs, "—", 0},
        {"terminate, no server", &noServer, &RunTimes::terminateMs, "—", 0},
    };

    std::ostringstream table;
    table << "### Start-up and shut-down (" << runs << " runs after a cold one)\n\n"
          << "| step | median ms | p10 | p90 | max | cold (first run) | target | met |\n"
          << "|---|---:|---:|---:|---:|---:|---|---|\n";
    std::ostringstream json;
    json << "{\n  \"runs\": " << runs << ",\n  \"steps\": [";
    bool first = true;
    for (const Row& row : rows)
    {
        const Summary s = warmSummary(*row.phase, row.field);
        const double cold = row.phase->runs.front().*row.field;
        const size_t failed = countFailed(*row.phase, row.field);
        const char* met = row.targetMs == 0 ? "—" : (s.median < row.targetMs ? "yes" : "**no**");
        char line[256];
        std::snprintf(line, sizeof line, "| %s | %.2f | %.2f | %.2f | %.2f | %.2f | %s | %s |\n",
                      row.label, s.median, s.p10, s.p90, s.max, cold, row.target, met);
        table << line;
        if (failed)
            table << "| ↳ runs where it never happened | " << failed << " | | | | | | |\n";
        json << (first ? "\n" : ",\n") << "    {\"step\": \"" << row.label << "\", \"phase\": \""
             << row.phase->name << "\", " << summaryJson("ms", s) << ", \"cold_ms\": " << cold
             << ", \"failed\": " << failed << ", \"target_ms\": " << row.targetMs << "}";
        first = false;
    }
    json << "\n  ]\n}\n";

    std::cout << table.str() << std::flush;
    if (!jsonPath.empty())
        std::ofstream(jsonPath) << json.str();
    if (!summaryPath.empty())
        std::ofstream(summaryPath) << table.str();
    return 0;
}
