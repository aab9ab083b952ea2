#pragma once

#include "capturerouter.h"

#include <atomic>
#include <cstdint>
#include <memory>

// PipeWire's types stay out of this header, so that the processor (and
// whatever includes it) builds without PipeWire's headers.
struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_stream;
struct spa_hook;
struct spa_pod;
struct spa_source;

namespace Strovik {

class DiagnosticLog;
class FrameRing;
class WriterStamp;

// One instance's PipeWire client: a thread loop of its own with a context
// and a core connection, and the capture stream on the monitor of the
// default sink, whose real-time callback fills the instance's frame ring.
// While the host itself plays into that sink, the router links the stream
// to every other source of the sink instead (capturerouter.h). The loop
// thread also writes the real-time threads' queued log lines.
class PipeWireClient
{
public:
    // After each packet the process callback stamps the ring's write
    // position and the time into `stamp`, for the reader's clock bridge.
    PipeWireClient(DiagnosticLog& log, FrameRing& ring, WriterStamp& stamp);
    ~PipeWireClient();
    PipeWireClient(const PipeWireClient&) = delete;
    PipeWireClient& operator=(const PipeWireClient&) = delete;

    // Main thread. Starts the loop and connects to the server; false (with
    // the reason in the log) when the loop or context could not be made, or
    // when PipeWire cannot be reached yet. In that last case, and whenever
    // the connection is lost later, the loop thread keeps trying to connect
    // (see reconnect()) until disconnect(). May throw std::bad_alloc, after
    // which disconnect() cleans up.
    bool connect();
    // Main thread. Closes the stream, then the connection and the loop.
    void disconnect();
    // True while connected to the server, read by the audio thread.
    bool isConnected() const { return connected.load(std::memory_order_acquire); }

    // The audio thread's one connect step per stream: creates the capture
    // stream at `rate` under the loop's lock. False when it could not be
    // created (the caller tries again later). From then on the stream is
    // wanted at that rate: after a lost connection the loop thread opens it
    // again by itself, and streamGeneration() tells the reader so.
    bool openStream(uint32_t rate);

    // Main thread, while the host does not process: closes the stream under
    // the loop's lock, so that the next openStream starts afresh.
    void closeStream();

    // Rises each time the loop thread has opened the stream anew on a new
    // connection: the frames in the ring and the last stamp then belong to
    // a stream that is gone, and the reader starts over.
    uint32_t streamGeneration() const { return generation.load(std::memory_order_acquire); }

    // Packets delivered into the ring since the stream opened.
    uint64_t packetCount() const { return packets.load(std::memory_order_relaxed); }

    // Any thread, lock-free. True while the stream is linked directly to the
    // default sink's other sources (the host plays into that sink): then no
    // packet at all arrives while none of them plays, and a pause in the
    // packet count is silence, not a slow clock. False on the monitor,
    // which delivers (silent) packets for as long as the sink runs.
    bool capturingDirect() const { return router.capturingDirect(); }
    // Links made into the stream that stand now: none means no packet can
    // come (no default sink, or direct links with nothing else playing).
    uint32_t captureLinkCount() const { return router.linkCount(); }
    // Switches between the monitor and direct links since connect(); each
    // drops or inserts one quantum of the graph.
    uint32_t routeSwitchCount() const { return router.switchCount(); }

private:
    friend struct PipeWireClientTestAccess;

    bool connectCore();
    void dropConnection();
    void connectionLost();
    void reconnect();
    void streamFailed();
    void reopenStream();
    void armTimer(spa_source* timer, int64_t delayNanos);
    void setLogFlushing(bool on);
    bool createStream(uint32_t rate);
    void destroyStream();
    void paramChanged(uint32_t id, const spa_pod* param);
    void process();
    static void onParamChanged(void* self, uint32_t id, const spa_pod* param);
    static void onProcess(void* self);
    static void onStreamState(void* self, int old, int state, const char* error);
    static void onCoreError(void* self, uint32_t id, int seq, int res, const char* message);

    DiagnosticLog& log;
    FrameRing& ring;
    WriterStamp& stamp;
    pw_thread_loop* threadLoop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    std::unique_ptr<spa_hook> streamListener;
    std::unique_ptr<spa_hook> coreListener;
    // The loop thread's retries: at once after a loss, then after a delay
    // that doubles up to a bound. Under the loop's lock, like core and stream.
    spa_source* reconnectTimer = nullptr;
    int64_t retryDelayNanos = 0;
    int64_t connectedAtNanos = 0;
    // A stream the server failed while the connection stayed: it is made
    // anew from this timer, at once and then, should the new one fail too,
    // after the same growing delays as a connection. The log says so once
    // per such series.
    spa_source* reopenTimer = nullptr;
    int64_t reopenDelayNanos = 0;
    // Failures since a stream last lasted; the first of them is logged.
    uint32_t failuresInSeries = 0;
    int64_t streamOpenedAtNanos = 0;
    // The host's rate of the stream it opened (0: no stream wanted), which a
    // new connection opens again.
    uint32_t wantedRate = 0;
    // Whether a connection was ever made: the first one completes the set-up
    // in the log, later ones bring the connection back.
    bool everConnected = false;
    // A member, not made in connect(): the audio thread may ask it at any
    // time, and its constructor allocates nothing.
    CaptureRouter router{
        log, [](void* self) { static_cast<PipeWireClient*>(self)->streamFailed(); }, this};
    spa_source* logTimer = nullptr;
    // Negotiated on the loop thread, read by the data thread.
    std::atomic<uint32_t> channels{2};
    std::atomic<bool> connected{false};
    std::atomic<uint32_t> generation{0};
    std::atomic<uint64_t> packets{0};
};

} // namespace Strovik
