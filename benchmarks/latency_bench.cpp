// End-to-end latency, desktop to plug-in output, against a private PipeWire
// server: a playback client of our own (sequenceplayer.h) plays a sequence
// whose samples name their own frame index into the default sink, asking for
// a quantum as pw-play --latency=N does, and stamps the moment it hands each
// buffer to the graph. It runs in a process of its own, as desktop audio
// does: the plug-in leaves out what its host's process plays into the sink,
// and this process is the host. Meanwhile a host loop runs process() in real
// time and stamps the moment each call returns, both on CLOCK_MONOTONIC,
// which the two processes share. Each side is a stream of audio that starts
// at its stamp, so a sample is handed to the graph at
//
//     handover of its buffer + its place in that buffer / rate
//
// and leaves process at
//
//     return of the call that output it + its place in that block / rate
//
// and its latency is the difference: how much later the plug-in's output
// carries it than the desktop played it. With no buffering beyond what the
// graph and the host impose, that is one quantum (the graph consumes a
// playback buffer in the cycle after it was handed over) plus the phase
// between host blocks and graph cycles, below one block: the floor is
// quantum + block. Decoding the index from each
// output sample needs no alignment search and sees every frame, so lost,
// repeated or altered frames are counted too. As a cross-check from the
// graph's side, the ring's fill just before each read is recorded.
//
//   strovik_bench_latency [--repeats=N] [--json=FILE] [--summary=FILE]
//
// (Run with --player=FILE, it is that player: see runPlayer.)

#include "activeprocessor.h"
#include "flags.h"
#include "processblock.h"
#include "processoraccess.h"
#include "realtimeloop.h"
#include "sequenceplayer.h"
#include "stats.h"
#include "testserver.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <pthread.h>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace Steinberg;
using namespace Steinberg::Vst;
using namespace Strovik::Bench;
using Strovik::StrovikProcessor;
using Strovik::Hostkit::ProcessBlock;
using Access = Strovik::StrovikProcessorTestAccess;

namespace {

constexpr uint32_t kRate = 48000;
// The capture stream is created by the first block and linked by the session
// manager; the player joins once that has long settled and the bridge has
// learnt its margin over its first five minutes and given the start margin
// back in the silence before (--warmup=SECONDS; a DAW session runs for
// hours, the figures are its steady state).
constexpr double kDefaultWarmupSeconds = 305.0;
constexpr double kSequenceSeconds = 3.0;
// The player opens with half a second of digital silence, as a stream that
// is opened before its sound starts: the graph switches to the player's
// quantum (and the capture may pause) inside it, so that what the switch
// leaves above the bridge's target is silence it can leave out, not the
// sequence. Without it the figures are those of the first seconds of a
// sound that starts with its stream.
constexpr double kLeadSeconds = 0.5;
constexpr double kTailSeconds = 1.0;
// The first half second of the sequence covers the player's linking and the
// graph's switch to the asked quantum; the figures are the steady state after.
constexpr uint32_t kSteadyFromFrame = kRate / 2;
// The player stops on its own after this long, should nothing stop it.
constexpr time_t kPlayerLimitSeconds = 30;

struct Combination
{
    uint32_t quantum;
    int32 block;
};

struct Measurement
{
    std::vector<double> latencyMs;  // steady-state samples
    std::vector<double> fillFrames; // ring fill before reads that output steady samples
    uint32_t observedQuantum;       // median of what the graph asked the player for
    size_t handed = 0;              // sequence frames the player handed over
    size_t received = 0;            // distinct sequence frames that came out
    size_t repeated = 0;            // frames that came out more than once
    size_t altered = 0;             // non-silent output samples that name no frame
    size_t paddedFrames = 0;        // silent frames between the first and last sequence frame
    size_t steadyPaddedFrames = 0;  // those of them in the steady state
    std::vector<uint32_t> lostAt;   // the first frame of each run of lost frames
    uint64_t steadyUnderflows = 0;  // the bridge's dropouts (underflows, fill-low, pauses),
                                    // from a second into the sequence on
    double marginFrames = 0;        // the margin it had learnt by the end
    double lateFrames = 0, earlyFrames = 0; // from packets late and cycles early
    double targetFrames = 0;                // the target in force at the end
    uint64_t givenBackFrames = 0;           // silence it left out to give delay back
};

// The player's side, in the child process: plays `frames` sequence frames
// (then silence) until the parent is done listening and stops it with
// SIGTERM, then writes every handoff to `handoffPath` as it is laid out in
// memory (parent and child are the same program).
int runPlayer(const std::string& handoffPath, int argc, char** argv)
{
    const auto frames = static_cast<uint32_t>(std::stoul(flagValue(argc, argv, "frames", "0")));
    const auto quantum = static_cast<uint32_t>(std::stoul(flagValue(argc, argv, "quantum", "0")));
    // Blocked before PipeWire's thread exists, so that it inherits the mask
    // and the signal waits here for sigtimedwait.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    SequencePlayer player(frames, quantum, kRate, static_cast<uint32_t>(kLeadSeconds * kRate));
    std::string whyNot;
    if (!player.start(whyNot))
    {
        std::cerr << "strovik_bench_latency player: " << whyNot << "\n";
        return 1;
    }
    // Bounded, should the parent never send it.
    const timespec limit{kPlayerLimitSeconds, 0};
    sigtimedwait(&stop, nullptr, &limit);
    player.stop();
    const std::vector<SequencePlayer::Handoff> handoffs = player.handoffs();
    std::ofstream out(handoffPath, std::ios::binary);
    out.write(reinterpret_cast<const char*>(handoffs.data()),
              static_cast<std::streamsize>(handoffs.size() * sizeof(SequencePlayer::Handoff)));
    return out ? 0 : 1;
}

// The parent's side: the handoffs the player wrote.
std::vector<SequencePlayer::Handoff> readHandoffs(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<SequencePlayer::Handoff> handoffs;
    SequencePlayer::Handoff h{};
    while (in.read(reinterpret_cast<char*>(&h), sizeof h))
        handoffs.push_back(h);
    return handoffs;
}

// --trace=1 prints the bridge's state four times a second: how it came to
// the figures.
bool gTrace = false;

Measurement measure(const Combination& c, double warmupSeconds, std::string& whyNot)
{
    ActiveProcessor host(c.block, kRate);
    StrovikProcessor& processor = *host;
    if (!Access::ready(processor))
    {
        whyNot = "the processor did not reach the server";
        return {};
    }
    const size_t blockFrames = static_cast<size_t>(c.block);
    const auto seconds = warmupSeconds + kLeadSeconds + kSequenceSeconds + kTailSeconds;
    const size_t blocks = static_cast<size_t>(seconds * kRate / c.block);
    const size_t startBlock = static_cast<size_t>(warmupSeconds * kRate / c.block);
    // Dropouts are counted over the steady state: from half a second into
    // the sequence (the player's linking and the graph's switch of quantum
    // are over by then, inside its silence) to half a second after it ended
    // (its last frames came out by then).
    const size_t steadyBlock =
        static_cast<size_t>((warmupSeconds + kLeadSeconds + 0.5) * kRate / c.block);
    const size_t sequenceEndBlock = static_cast<size_t>(
        (warmupSeconds + kLeadSeconds + kSequenceSeconds + 0.5) * kRate / c.block);
    const Strovik::ClockBridge::Status& bridgeStatus = Access::bridge(processor).status();
    uint64_t underflowsBefore = 0, underflowsAfter = 0;
    const auto dropouts = [&] {
        return bridgeStatus.underflows + bridgeStatus.fillLowResyncs + bridgeStatus.idlePauses;
    };
    const auto sequenceFrames = static_cast<uint32_t>(kSequenceSeconds * kRate);

    std::vector<float> left(blocks * blockFrames), right(blocks * blockFrames);
    std::vector<int64_t> leftAt(blocks);
    std::vector<uint32_t> fillBefore(blocks);
    ProcessBlock block(2, c.block);
    block.setPlaying(true);
    block.context.sampleRate = kRate;
    char handoffPath[] = "/tmp/strovik-bench-handoffs-XXXXXX";
    const int handoffFile = ::mkstemp(handoffPath);
    if (handoffFile < 0)
    {
        whyNot = "mkstemp failed";
        return {};
    }
    ::close(handoffFile);
    const std::vector<std::string> playerArgs{
        "/proc/self/exe", std::string("--player=") + handoffPath,
        "--frames=" + std::to_string(sequenceFrames), "--quantum=" + std::to_string(c.quantum)};
    std::unique_ptr<Strovik::Test::ChildProcess> player;
    std::thread starter;

    const auto before = [&](size_t b, ProcessBlock&) {
        // Started beside the loop: starting a process takes time the host
        // loop must not lose.
        if (b == startBlock)
            starter = std::thread([&] {
                try
                {
                    player = std::make_unique<Strovik::Test::ChildProcess>(playerArgs);
                }
                catch (const std::exception&)
                {
                    // No player: reported below.
                }
            });
        fillBefore[b] = Strovik::FrameRingTestAccess::fillFrames(Access::ring(processor));
        // The audio thread is this one: the bridge's status is read between calls.
        if (b == steadyBlock)
            underflowsBefore = dropouts();
        if (b == sequenceEndBlock)
            underflowsAfter = dropouts();
        if (gTrace && b % (kRate / 4 / c.block) == 0)
            std::printf("  %6.2f s fill %5.0f target %5.0f margin %4.0f (late %4.0f early %4.0f) "
                        "block %4u quantum %4u engaged %d underflows %llu resyncs %llu/%llu/%llu "
                        "given back %llu\n",
                        static_cast<double>(b) * c.block / kRate, bridgeStatus.fillFrames,
                        bridgeStatus.targetFrames, bridgeStatus.marginFrames,
                        bridgeStatus.latePacketFrames, bridgeStatus.earlyCycleFrames,
                        bridgeStatus.blockFrames, bridgeStatus.quantumFrames, bridgeStatus.engaged,
                        static_cast<unsigned long long>(bridgeStatus.underflows),
                        static_cast<unsigned long long>(bridgeStatus.fillLowResyncs),
                        static_cast<unsigned long long>(bridgeStatus.fillHighResyncs),
                        static_cast<unsigned long long>(bridgeStatus.idlePauses),
                        static_cast<unsigned long long>(bridgeStatus.givenBackFrames));
    };
    const auto after = [&](size_t b, const ProcessBlock& out) {
        leftAt[b] = monotonicNs();
        std::copy(out.channel(0).begin(), out.channel(0).end(), left.begin() + b * blockFrames);
        std::copy(out.channel(1).begin(), out.channel(1).end(), right.begin() + b * blockFrames);
        return true;
    };
    Strovik::Hostkit::runBlocksInRealtime(processor, block, kRate, blocks, before, after);
    starter.join();
    if (!player)
    {
        ::unlink(handoffPath);
        whyNot = "cannot start the player process";
        return {};
    }
    // SIGTERM: it stops playing, writes its handoffs and exits.
    player->terminate();
    const std::vector<SequencePlayer::Handoff> handoffs = readHandoffs(handoffPath);
    ::unlink(handoffPath);
    if (handoffs.empty())
    {
        whyNot = "the player process handed nothing to the graph (see its message above)";
        return {};
    }

    Measurement m;
    m.steadyUnderflows = underflowsAfter - underflowsBefore;
    m.marginFrames = bridgeStatus.marginFrames;
    m.lateFrames = bridgeStatus.latePacketFrames;
    m.earlyFrames = bridgeStatus.earlyCycleFrames;
    m.targetFrames = bridgeStatus.targetFrames;
    m.givenBackFrames = bridgeStatus.givenBackFrames;
    std::vector<double> quanta;
    for (const auto& h : handoffs)
    {
        quanta.push_back(h.requested ? h.requested : h.frames);
        const int64_t from = std::max<int64_t>(h.firstIndex, 0);
        const int64_t to = std::min<int64_t>(h.firstIndex + h.frames, sequenceFrames);
        m.handed += static_cast<size_t>(std::max<int64_t>(to - from, 0));
    }
    m.observedQuantum = static_cast<uint32_t>(summarize(quanta).median);

    const double msPerFrame = 1000.0 / kRate;
    std::vector<uint8_t> seen(sequenceFrames, 0);
    std::vector<double> latencies, fills;
    size_t firstOut = SIZE_MAX, lastOut = 0, firstSteadyOut = SIZE_MAX;
    for (size_t b = 0; b < blocks; ++b)
    {
        bool steadyInBlock = false;
        for (size_t i = 0; i < blockFrames; ++i)
        {
            const size_t at = b * blockFrames + i;
            uint32_t index = 0;
            if (!sequenceIndex(left[at], right[at], sequenceFrames, index))
            {
                m.altered += left[at] != 0.0f || right[at] != 0.0f;
                continue;
            }
            firstOut = std::min(firstOut, at);
            if (index >= kSteadyFromFrame)
                firstSteadyOut = std::min(firstSteadyOut, at);
            lastOut = std::max(lastOut, at);
            if (seen[index]++)
            {
                ++m.repeated;
                continue;
            }
            ++m.received;
            if (index < kSteadyFromFrame)
                continue;
            // The handoff that carried it: the last one starting at or before it.
            auto h = std::upper_bound(
                handoffs.begin(), handoffs.end(), index,
                [](uint32_t i, const SequencePlayer::Handoff& x) { return i < x.firstIndex; });
            if (h == handoffs.begin())
                continue;
            --h;
            // Both ends in audio time: a sample sounds its place in the buffer
            // after the buffer's start, on either side.
            const double handedMs =
                static_cast<double>(h->ns) / 1e6 + (index - h->firstIndex) * msPerFrame;
            const double leftMs = static_cast<double>(leftAt[b]) / 1e6 + i * msPerFrame;
            latencies.push_back(leftMs - handedMs);
            steadyInBlock = true;
        }
        if (steadyInBlock)
            fills.push_back(fillBefore[b]);
    }
    for (uint32_t i = 0; i < std::min<size_t>(m.handed, sequenceFrames); ++i)
        if (!seen[i] && (i == 0 || seen[i - 1]))
            m.lostAt.push_back(i);
    for (size_t at = firstOut; at < lastOut && firstOut != SIZE_MAX; ++at)
        if (left[at] == 0.0f && right[at] == 0.0f)
        {
            ++m.paddedFrames;
            m.steadyPaddedFrames += at > firstSteadyOut;
        }
    m.latencyMs = std::move(latencies);
    m.fillFrames = std::move(fills);
    return m;
}

} // namespace

// All repeats of one combination, pooled.
struct Pooled
{
    Combination combination{};
    std::vector<double> latencyMs, fillFrames, repeatMedians;
    std::vector<uint32_t> quanta;
    size_t handed = 0, received = 0, repeated = 0, altered = 0, paddedFrames = 0;
    size_t steadyPaddedFrames = 0;
    std::vector<uint32_t> lostAt;
    uint64_t steadyUnderflows = 0, givenBackFrames = 0;
    std::vector<double> margins, targets;

    void add(const Measurement& m)
    {
        steadyUnderflows += m.steadyUnderflows;
        givenBackFrames += m.givenBackFrames;
        margins.push_back(m.marginFrames);
        targets.push_back(m.targetFrames);
        latencyMs.insert(latencyMs.end(), m.latencyMs.begin(), m.latencyMs.end());
        fillFrames.insert(fillFrames.end(), m.fillFrames.begin(), m.fillFrames.end());
        repeatMedians.push_back(summarize(m.latencyMs).median);
        quanta.push_back(m.observedQuantum);
        handed += m.handed;
        received += m.received;
        repeated += m.repeated;
        altered += m.altered;
        paddedFrames += m.paddedFrames;
        steadyPaddedFrames += m.steadyPaddedFrames;
        lostAt.insert(lostAt.end(), m.lostAt.begin(), m.lostAt.end());
    }
};

std::string quantaText(const std::vector<uint32_t>& quanta)
{
    std::string text;
    for (uint32_t q : quanta)
        if (text.find(std::to_string(q)) == std::string::npos)
            text += (text.empty() ? "" : "/") + std::to_string(q);
    return text;
}

int main(int argc, char** argv)
{
    const std::string handoffPath = flagValue(argc, argv, "player", "");
    if (!handoffPath.empty())
        return runPlayer(handoffPath, argc, argv);

    const int repeats = std::stoi(flagValue(argc, argv, "repeats", "3"));
    gTrace = flagValue(argc, argv, "trace", "0") != "0";
    const double warmupSeconds =
        std::stod(flagValue(argc, argv, "warmup", std::to_string(kDefaultWarmupSeconds)));
    const std::string jsonPath = flagValue(argc, argv, "json", "");
    const std::string summaryPath = flagValue(argc, argv, "summary", "");

    Strovik::Test::PipeWireTestServer server;
    std::string whyNot;
    if (!server.start(whyNot))
    {
        std::cerr << "strovik_bench_latency: " << whyNot << "\n";
        return 1;
    }

    const Combination combinations[] = {{128, 128}, {256, 64}, {256, 512}, {1024, 64}, {1024, 512}};
    std::vector<Pooled> results;
    // --only=QUANTUMxBLOCK measures that combination alone.
    const std::string only = flagValue(argc, argv, "only", "");
    for (const Combination& c : combinations)
    {
        if (!only.empty() && only != std::to_string(c.quantum) + "x" + std::to_string(c.block))
            continue;
        Pooled pooled;
        pooled.combination = c;
        for (int r = 0; r < repeats; ++r)
        {
            const Measurement m = measure(c, warmupSeconds, whyNot);
            if (m.latencyMs.empty())
            {
                std::cerr << "strovik_bench_latency: quantum " << c.quantum << ", block " << c.block
                          << ": no sequence frame came out. " << whyNot << "\n";
                return 1;
            }
            pooled.add(m);
            std::printf("quantum %u, block %d, repeat %d: median %.2f ms, margin %.0f frames "
                        "(packets %.0f late, cycles %.0f early), target %.0f frames, %llu "
                        "dropouts in steady state\n",
                        c.quantum, c.block, r + 1, pooled.repeatMedians.back(), m.marginFrames,
                        m.lateFrames, m.earlyFrames, m.targetFrames,
                        static_cast<unsigned long long>(m.steadyUnderflows));
            std::fflush(stdout);
        }
        results.push_back(std::move(pooled));
    }
    server.stop();

    const double msPerFrame = 1000.0 / kRate;
    std::ostringstream table;
    table << "### Latency, desktop to plug-in output (" << repeats
          << " runs of 2.5 s steady state each, after " << warmupSeconds << " s of warm-up)\n\n"
          << "| quantum asked (seen) | host block | floor frames (ms) | median ms | over the "
             "floor ms | p99 ms | p99.9 ms | p10–p90 ms | min–max ms | median per run ms | "
             "learnt margin, frames (per run) | target at the end, frames | ring fill before a "
             "read, median frames | dropouts in steady state (underflows, fill-low, pauses) | "
             "frames lost / altered / "
             "repeated | silence padded, frames (in steady state) | silence left out, frames |\n"
          << "|---|---:|---|---:|---:|---:|---:|---|---|---|---|---|---:|---:|---|---:|---:|\n";
    std::ostringstream json;
    json << "{\n  \"rate\": " << kRate << ",\n  \"repeats\": " << repeats
         << ",\n  \"combinations\": [";
    for (size_t i = 0; i < results.size(); ++i)
    {
        const Pooled& p = results[i];
        const Summary latency = summarize(p.latencyMs);
        const Summary fill = summarize(p.fillFrames);
        const Summary perRun = summarize(p.repeatMedians);
        const double floorFrames = p.combination.quantum + p.combination.block;
        const double medianFrames = latency.median / msPerFrame;
        const size_t lost = p.handed - p.received;
        auto list = [](const std::vector<double>& values) {
            std::string text;
            for (double v : values)
                text += (text.empty() ? "" : ", ") + std::to_string(std::lround(v));
            return text;
        };
        char line[800];
        std::snprintf(line, sizeof line,
                      "| %u (%s) | %d | %.0f (%.2f) | %.2f | %+.2f | %.2f | %.2f | %.2f–%.2f | "
                      "%.2f–%.2f | %.2f–%.2f | %s | %s | %.0f | %llu | %zu / %zu / %zu | %zu (%zu) "
                      "| %llu |\n",
                      p.combination.quantum, quantaText(p.quanta).c_str(), p.combination.block,
                      floorFrames, floorFrames * msPerFrame, latency.median,
                      latency.median - floorFrames * msPerFrame, latency.p99, latency.p999,
                      latency.p10, latency.p90, latency.min, latency.max, perRun.min, perRun.max,
                      list(p.margins).c_str(), list(p.targets).c_str(), fill.median,
                      static_cast<unsigned long long>(p.steadyUnderflows), lost, p.altered,
                      p.repeated, p.paddedFrames, p.steadyPaddedFrames,
                      static_cast<unsigned long long>(p.givenBackFrames));
        table << line;
        json << (i ? ",\n" : "\n") << "    {\"quantum\": " << p.combination.quantum
             << ", \"observed_quanta\": \"" << quantaText(p.quanta)
             << "\", \"block\": " << p.combination.block << ", "
             << summaryJson("latency_ms", latency)
             << ", \"latency_median_frames\": " << medianFrames << ", "
             << summaryJson("run_median_ms", perRun) << ", " << summaryJson("fill_frames", fill)
             << ", \"floor_frames\": " << floorFrames
             << ", \"ratio_to_floor\": " << medianFrames / floorFrames
             << ", \"handed\": " << p.handed << ", \"lost\": " << lost
             << ", \"altered\": " << p.altered << ", \"repeated\": " << p.repeated
             << ", \"padded_frames\": " << p.paddedFrames
             << ", \"steady_padded_frames\": " << p.steadyPaddedFrames
             << ", \"steady_underflows\": " << p.steadyUnderflows
             << ", \"given_back_frames\": " << p.givenBackFrames << ", \"margin_frames\": ["
             << list(p.margins) << "], \"target_frames\": [" << list(p.targets) << "]"
             << ", \"lost_runs_start_at\": [";
        for (size_t k = 0; k < p.lostAt.size(); ++k)
            json << (k ? ", " : "") << p.lostAt[k];
        json << "]}";
    }
    json << "\n  ]\n}\n";

    std::cout << "\n" << table.str() << std::flush;
    if (!jsonPath.empty())
        std::ofstream(jsonPath) << json.str();
    if (!summaryPath.empty())
        std::ofstream(summaryPath) << table.str();
    return 0;
}
