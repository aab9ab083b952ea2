// The instance's PipeWire client: a thread loop with a context and a core
// connection, and the capture stream, which the router links to what the
// default sink plays (capturerouter.h).

#include "pipewireclient.h"

#include "clientconfig.h"
#include "diagnosticlog.h"
#include "framering.h"
#include "monotonicclock.h"
#include "stereopacket.h"
#include "writerstamp.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <cerrno>

namespace Strovik {

namespace {

constexpr const char* kClientName = "strovik-capture";

// How often the loop thread writes the real-time threads' queued log lines:
// often enough that the queues never fill at the rate lines are produced.
constexpr timespec kLogFlushInterval{0, 50 * 1000 * 1000};

// Retries of a connection: the first 100 ms after a failed attempt, each
// next one twice as late, up to half a second. A server that comes back
// is then heard within about a second, and one that stays away wakes the
// loop thread twice a second, no more.
constexpr int64_t kFirstRetryNanos = 100 * 1000 * 1000;
constexpr int64_t kMaxRetryNanos = 500 * 1000 * 1000;
// A connection that lasted this long was good: its loss is retried at once.
constexpr int64_t kSteadyConnectionNanos = 2 * kMaxRetryNanos;

int64_t nextRetryDelay(int64_t delayNanos)
{
    return delayNanos == 0 ? kFirstRetryNanos : std::min(2 * delayNanos, kMaxRetryNanos);
}

} // namespace

PipeWireClient::PipeWireClient(DiagnosticLog& log, FrameRing& ring, WriterStamp& stamp)
    : log(log), ring(ring), stamp(stamp)
{}

PipeWireClient::~PipeWireClient()
{
    // The owner disconnects first and then closes the log; a second
    // disconnect here would log the shutdown again and so reopen (and
    // truncate) the closed log. Only a client still set up tears down here.
    if (threadLoop)
        disconnect();
}

bool PipeWireClient::connect()
{
    pw_init(nullptr, nullptr);

    // Our own loop thread runs this instance's PipeWire events, independent
    // of the host's threads and of any other instance.
    threadLoop = pw_thread_loop_new(kClientName, nullptr);
    if (!threadLoop)
    {
        log.write("%s\n", LogText::kLoopFailed);
        return false;
    }
    pw_loop* loop = pw_thread_loop_get_loop(threadLoop);
    // The real-time client configuration: its data thread (our process
    // callback) then runs with real-time priority where the system grants
    // it, as every other audio client's does; elsewhere PipeWire quietly
    // falls back to normal scheduling. Which file that is depends on the
    // library we were loaded against, not the one we were built with.
    pw_properties* contextProps = nullptr;
    if (const char* config = realtimeClientConfig(pw_get_library_version()))
        contextProps = pw_properties_new(PW_KEY_CONFIG_NAME, config, nullptr);
    context = pw_context_new(loop, contextProps, 0);
    if (!context)
    {
        log.write("%s\n", LogText::kContextFailed);
        return false;
    }
    // Made here, on the main thread, so neither the audio thread's connect
    // step nor the real-time callback allocates them.
    streamListener = std::make_unique<spa_hook>();
    coreListener = std::make_unique<spa_hook>();
    retryDelayNanos = 0;
    failuresInSeries = 0;
    wantedRate = 0;
    log.write("%s\n", LogText::kSetup);

    pw_thread_loop_lock(threadLoop);
    logTimer = pw_loop_add_timer(
        loop, [](void* self, uint64_t) { static_cast<DiagnosticLog*>(self)->flushQueued(); }, &log);
    reconnectTimer = pw_loop_add_timer(
        loop, [](void* self, uint64_t) { static_cast<PipeWireClient*>(self)->reconnect(); }, this);
    reopenTimer = pw_loop_add_timer(
        loop, [](void* self, uint64_t) { static_cast<PipeWireClient*>(self)->reopenStream(); },
        this);
    const bool reached = connectCore();
    if (!reached)
    {
        // No server (yet): the loop runs all the same and tries again, so
        // that a server that comes up after the host is heard without a
        // new initialize.
        log.write("%s\n", LogText::kConnectFailed);
        retryDelayNanos = kFirstRetryNanos;
        armTimer(reconnectTimer, retryDelayNanos);
    }
    everConnected = reached;
    pw_thread_loop_start(threadLoop);
    pw_thread_loop_unlock(threadLoop);

    if (reached)
    {
        // Published last: an audio thread that sees it finds loop and core
        // in place. (Without a server the loop thread publishes it, later.)
        connected.store(true, std::memory_order_release);
        log.write("%s\n", LogText::kSetupDone);
    }
    return reached;
}

void PipeWireClient::disconnect()
{
    log.write("%s\n", LogText::kShutdown);
    connected.store(false, std::memory_order_release);
    if (!threadLoop)
    {
        log.write("%s\n", LogText::kShutdownNoLoop);
        return;
    }

    // The stream and the timers go first, under the lock, while the loop
    // still runs its events; a retry in progress has finished once we hold it.
    pw_thread_loop_lock(threadLoop);
    wantedRate = 0;
    destroyStream();
    router.stop();
    pw_loop* loop = pw_thread_loop_get_loop(threadLoop);
    for (spa_source** timer : {&logTimer, &reconnectTimer, &reopenTimer})
        if (*timer)
        {
            pw_loop_destroy_source(loop, *timer);
            *timer = nullptr;
        }
    if (core)
        spa_hook_remove(coreListener.get());
    pw_thread_loop_unlock(threadLoop);

    // With the loop thread stopped, the rest needs no lock.
    pw_thread_loop_stop(threadLoop);
    if (core)
    {
        pw_core_disconnect(core);
        core = nullptr;
    }
    if (context)
    {
        pw_context_destroy(context);
        context = nullptr;
    }
    pw_thread_loop_destroy(threadLoop);
    threadLoop = nullptr;
    pw_deinit();
}

bool PipeWireClient::connectCore()
{
    core = pw_context_connect(context, nullptr, 0);
    if (!core)
        return false;
    static const pw_core_events events = [] {
        pw_core_events e{};
        e.version = PW_VERSION_CORE_EVENTS;
        e.error = onCoreError;
        return e;
    }();
    *coreListener = spa_hook{};
    pw_core_add_listener(core, coreListener.get(), &events, this);
    // The router watches the graph from here on; it links the stream once
    // the stream's node exists.
    router.start(pw_thread_loop_get_loop(threadLoop), core);
    setLogFlushing(true);
    connectedAtNanos = monotonicNanos();
    return true;
}

void PipeWireClient::setLogFlushing(bool on)
{
    // The real-time threads post lines only while there is a stream, so only
    // a connection needs the timer; without one the loop thread sleeps.
    // Lines posted before a loss are written with the next line or at close.
    if (!logTimer)
        return;
    timespec interval = on ? kLogFlushInterval : timespec{0, 0};
    pw_loop_update_timer(pw_thread_loop_get_loop(threadLoop), logTimer, &interval, &interval,
                         false);
}

void PipeWireClient::dropConnection()
{
    // A new connection opens its own stream.
    armTimer(reopenTimer, -1);
    destroyStream();
    router.stop();
    if (core)
    {
        spa_hook_remove(coreListener.get());
        pw_core_disconnect(core);
        core = nullptr;
    }
    connected.store(false, std::memory_order_release);
}

void PipeWireClient::onCoreError(void* self, uint32_t id, int, int res, const char*)
{
    // Only the core's own broken pipe is the connection going; an error of
    // another object (a link the server refused, say) leaves it standing.
    if (id == PW_ID_CORE && res == -EPIPE)
        static_cast<PipeWireClient*>(self)->connectionLost();
}

void PipeWireClient::connectionLost()
{
    // Both the core and the stream report a server that went: once is enough.
    if (!connected.load(std::memory_order_relaxed))
        return;
    connected.store(false, std::memory_order_release);
    setLogFlushing(false);
    log.write("%s\n", LogText::kConnectionLost);
    // The teardown waits for the timer: the core must not be destroyed from
    // inside its own event. A connection that had lasted is tried again at
    // once; one that failed again soon after it was made (a stream that
    // keeps failing) waits longer each time rather than spin.
    if (monotonicNanos() - connectedAtNanos >= kSteadyConnectionNanos)
        retryDelayNanos = 0;
    else
        retryDelayNanos = nextRetryDelay(retryDelayNanos);
    armTimer(reconnectTimer, retryDelayNanos);
}

void PipeWireClient::reconnect()
{
    if (connected.load(std::memory_order_relaxed))
        return;
    dropConnection();
    if (!connectCore())
    {
        retryDelayNanos = nextRetryDelay(retryDelayNanos);
        armTimer(reconnectTimer, retryDelayNanos);
        return;
    }
    // The stream the host had, at the host's rate, opened here on the loop
    // thread: the audio thread takes no lock for it, it only sees the new
    // generation and starts its reading over.
    if (wantedRate != 0)
    {
        // No writer runs now: the last stamp described the stream that went.
        stamp.clear();
        if (!createStream(wantedRate))
        {
            armTimer(reconnectTimer, nextRetryDelay(0));
            return;
        }
        // Release: a reader that acquires the new generation also sees the
        // stamp cleared, so its restart never starts from the old stream's.
        generation.fetch_add(1, std::memory_order_release);
    }
    // Only now: an audio thread that saw the connection before the new
    // generation would play what the ring kept from before the loss.
    connected.store(true, std::memory_order_release);
    log.write("%s\n", everConnected ? LogText::kConnectionBack : LogText::kSetupDone);
    everConnected = true;
}

void PipeWireClient::armTimer(spa_source* timer, int64_t delayNanos)
{
    if (!timer)
        return;
    // A zero time disarms the timer: "at once" is one nanosecond, and a
    // negative delay disarms it.
    const int64_t nanos = delayNanos < 0 ? 0 : std::max<int64_t>(delayNanos, 1);
    timespec value{static_cast<time_t>(nanos / 1000000000), static_cast<long>(nanos % 1000000000)};
    timespec once{0, 0};
    pw_loop_update_timer(pw_thread_loop_get_loop(threadLoop), timer, &value, &once, false);
}

void PipeWireClient::streamFailed()
{
    if (!stream)
        return;
    // Seen with WirePlumber 0.5 restarting: it sets the format of every
    // stream that it does not link itself, ours among them, and a stream
    // that is running refuses that; the server may then put the node in its
    // error state, where it is never scheduled again. The first failure
    // since a stream last lasted is logged and mended at once; a new stream
    // that fails again soon after waits longer each time rather than spin.
    if (monotonicNanos() - streamOpenedAtNanos >= kSteadyConnectionNanos)
        failuresInSeries = 0;
    reopenDelayNanos = failuresInSeries == 0 ? 0 : nextRetryDelay(reopenDelayNanos);
    if (failuresInSeries++ == 0)
        log.write("%s\n", LogText::kStreamFailed);
    // Not from here: the router's event that called us belongs to the
    // stream's node, which goes with the stream.
    armTimer(reopenTimer, reopenDelayNanos);
}

void PipeWireClient::reopenStream()
{
    // Closed by the host, or gone with the connection, meanwhile.
    if (!core || wantedRate == 0)
        return;
    destroyStream();
    // No writer runs now: the last stamp described the stream that failed.
    stamp.clear();
    if (!createStream(wantedRate))
    {
        reopenDelayNanos = nextRetryDelay(reopenDelayNanos);
        armTimer(reopenTimer, reopenDelayNanos);
        return;
    }
    // As after a reconnect: the reader drops what the ring kept and primes
    // again from the new stream's packets.
    generation.fetch_add(1, std::memory_order_release);
    // Only the stream that mends the series' first, logged failure says so.
    if (failuresInSeries == 1)
        log.write("%s\n", LogText::kStreamReopened);
}

bool PipeWireClient::openStream(uint32_t rate)
{
    pw_thread_loop_lock(threadLoop);
    if (!stream && core && createStream(rate))
        wantedRate = rate;
    const bool open = stream != nullptr;
    pw_thread_loop_unlock(threadLoop);
    return open;
}

bool PipeWireClient::createStream(uint32_t rate)
{
    // Connected without autoconnect: the session manager leaves the stream
    // alone and the router links it, to the default sink's monitor or, while
    // the host plays into that sink, to the sink's other sources.
    pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio",         //
                                             PW_KEY_MEDIA_CATEGORY, "Capture",   //
                                             PW_KEY_MEDIA_ROLE, "Music",         //
                                             PW_KEY_STREAM_CAPTURE_SINK, "true", //
                                             nullptr);
    stream = pw_stream_new(core, kClientName, props);
    if (!stream)
        return false;
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.param_changed = onParamChanged;
        e.state_changed = [](void* self, pw_stream_state old, pw_stream_state state,
                             const char* error) {
            onStreamState(self, old, state, error);
        };
        e.process = onProcess;
        return e;
    }();
    *streamListener = spa_hook{};
    pw_stream_add_listener(stream, streamListener.get(), &events, this);
    streamOpenedAtNanos = monotonicNanos();

    // Offer float stereo at the host's rate; PipeWire converts whatever the
    // sink plays into it.
    uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = rate;
    info.channels = 2;
    // Named positions give the stream's ports their channels, which the
    // router matches the sink's ports by (the session manager would
    // otherwise have named them from its target).
    info.position[0] = SPA_AUDIO_CHANNEL_FL;
    info.position[1] = SPA_AUDIO_CHANNEL_FR;
    const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};

    pw_stream_connect(
        stream, PW_DIRECTION_INPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS),
        params, 1);
    return true;
}

void PipeWireClient::closeStream()
{
    if (!threadLoop)
        return;
    pw_thread_loop_lock(threadLoop);
    wantedRate = 0;
    failuresInSeries = 0;
    destroyStream();
    pw_thread_loop_unlock(threadLoop);
}

void PipeWireClient::destroyStream()
{
    if (!stream)
        return;
    // The links into the stream go first.
    router.releaseCaptureNode();
    spa_hook_remove(streamListener.get());
    pw_stream_disconnect(stream);
    pw_stream_destroy(stream);
    stream = nullptr;
}

void PipeWireClient::onStreamState(void* self, int, int state, const char*)
{
    // Emitted on the loop thread (only the first, connecting state comes
    // from the caller of pw_stream_connect).
    auto* client = static_cast<PipeWireClient*>(self);
    if (state == PW_STREAM_STATE_PAUSED && client->stream)
    {
        // The server made the node, so the router can link it.
        client->router.setCaptureNode(pw_stream_get_node_id(client->stream));
    }
    else if (state == PW_STREAM_STATE_ERROR)
    {
        // A stream the server failed delivers nothing again: it goes with
        // its connection, and both are made anew.
        client->connectionLost();
    }
}

void PipeWireClient::onParamChanged(void* self, uint32_t id, const spa_pod* param)
{
    static_cast<PipeWireClient*>(self)->paramChanged(id, param);
}

void PipeWireClient::onProcess(void* self)
{
    static_cast<PipeWireClient*>(self)->process();
}

void PipeWireClient::paramChanged(uint32_t id, const spa_pod* param)
{
    if (!param || id != SPA_PARAM_Format)
        return;
    spa_audio_info_raw info{};
    spa_format_audio_raw_parse(param, &info);
    if (info.channels != 0)
        channels.store(info.channels);
}

void PipeWireClient::process()
{
    if (!stream)
        return;
    pw_buffer* buffer = pw_stream_dequeue_buffer(stream);
    if (!buffer)
        return;

    spa_buffer* spaBuffer = buffer->buffer;
    if (spaBuffer && spaBuffer->n_datas > 0 && spaBuffer->datas[0].data &&
        spaBuffer->datas[0].chunk)
    {
        const spa_data& block = spaBuffer->datas[0];
        const uint32_t ch = channels.load();
        const uint32_t frames = ch != 0 ? framesInChunk(block.chunk->size, block.maxsize, ch) : 0;
        if (frames != 0)
        {
            const auto* samples = static_cast<const float*>(block.data);
            // Other channel counts are made stereo on their way into the ring;
            // a packet that may carry the host's own output keeps its place
            // in time, as silence.
            const FrameRing::WriteResult result =
                router.monitorMayCarryHost() ? ring.writeSilence(frames)
                : ch == 2                    ? ring.write(samples, frames)
                                             : ring.writeAsStereo(samples, frames, ch);
            // Whatever the write did: the stamp says where the writer stands
            // now, that a quantum of time has passed, and through which links.
            stamp.publish(ring.writePosition(), monotonicNanos(), frames, router.linkChanges());
            if (result.status == FrameRing::WriteResult::Reset)
                log.dataThread().post("%s fill=%d space=%d ringBytes=%u\n", LogText::kRingReset,
                                      result.fill, result.space, ring.capacityBytes());
            const uint64_t seq = packets.fetch_add(1, std::memory_order_relaxed);
            if (seq % 100 == 0)
                log.dataThread().post("%s%llu seq=%lu fill=%u%% frames=%u ch=%u\n",
                                      LogText::kPwStatus, monotonicMillis(),
                                      static_cast<unsigned long>(seq), ring.fillPercent(), frames,
                                      ch);
        }
    }
    pw_stream_queue_buffer(stream, buffer);
}

} // namespace Strovik
