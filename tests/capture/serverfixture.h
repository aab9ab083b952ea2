#pragma once

// A test with its own private PipeWire server and the freshly built bundle
// loaded as a host loads it. Without the PipeWire programs the test skips
// with a loud message on a developer's machine, and fails in CI.

#include "pluginhost.h"
#include "realtimehost.h"
#include "signals.h"
#include "testserver.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace Strovik::Test {

// Graph cycles the server reported a client late for: how many, and the
// shortest cycle's frames (0 when there was none).
struct LateCycles
{
    size_t count = 0;
    size_t quantum = 0;
};

class ServerFixture : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // For tests that start the server themselves (or a second time).
    // False (and the test marked failed in CI) when PipeWire is missing.
    bool startServer(bool withSessionManager = true);

    // Initialized and set up for 32-bit processing at `rate`.
    std::unique_ptr<ProcessorInstance> startProcessor(double rate = 48000, int32 block = 512);

    // A loaded machine may not run a client in time for graph cycles: when
    // it is the player or the capture stream's own data thread, the frames
    // of those cycles are lost to the capture, and a 0.3 server reports it
    // (1.x, which does not wait for streams, reports none: there every loss
    // counts). Frames lost with no such report since `lateBefore` are the
    // plug-in's, and so are any but whole cycles. Take `lateBefore` (a
    // lateClientReports() count) once the sequence plays: a graph that
    // starts reports its first cycles late as a rule, and loses nothing by
    // it. Returns the count of reports that count.
    size_t expectLostOnlyInLateCycles(const SequenceMatch& m, size_t lateBefore) const;
    // Those reports since `lateBefore`, each printed.
    LateCycles lateCyclesOfTheSequence(size_t lateBefore) const;
    // Underflows the machine explains: `late` such cycles may underflow the
    // host once and again as what was queued meanwhile comes in a burst,
    // and each stall of the host's own thread may empty what was buffered.
    void expectGapsOnlyWhereTheMachineStalled(const SequenceMatch& m, size_t late,
                                              const Capture& capture) const;

    // Set false in a derived constructor to start the server in the test.
    bool serverAtSetUp = true;
    PipeWireTestServer server;
    std::unique_ptr<PluginModule> module;
    IPtr<IPluginFactory> factory;
};

} // namespace Strovik::Test
