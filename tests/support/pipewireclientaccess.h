#pragma once

// Reaches the PipeWire client's state from tests, benchmarks and fuzzers:
// whether it is connected and the packet count.

#include "pipewireclient.h"

#include <pipewire/thread-loop.h>

#include <cstdint>

namespace Strovik {

struct PipeWireClientTestAccess
{
    // Marks a client that never connected as connected, or takes the mark
    // back. With no loop behind it, disconnect() still finds nothing to
    // tear down.
    static void setConnected(PipeWireClient& client, bool connected)
    {
        client.connected.store(connected);
    }
    static void setPacketCount(PipeWireClient& client, uint64_t count)
    {
        client.packets.store(count);
    }
    static bool hasStream(const PipeWireClient& client) { return client.stream != nullptr; }
    // What the router does when the server reports the stream's node in its
    // error state, on the loop thread as the router's event would.
    static void reportStreamFailed(PipeWireClient& client)
    {
        pw_thread_loop_lock(client.threadLoop);
        client.streamFailed();
        pw_thread_loop_unlock(client.threadLoop);
    }
};

} // namespace Strovik
