#pragma once

// A test with its own private PipeWire server and the freshly built bundle
// loaded as a host loads it. Without the PipeWire programs the test skips
// with a loud message on a developer's machine, and fails in CI.

#include "pluginhost.h"
#include "testserver.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace Strovik::Test {

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

    // Set false in a derived constructor to start the server in the test.
    bool serverAtSetUp = true;
    PipeWireTestServer server;
    std::unique_ptr<PluginModule> module;
    IPtr<IPluginFactory> factory;
};

} // namespace Strovik::Test
