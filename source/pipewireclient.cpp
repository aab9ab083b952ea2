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

namespace Strovik {

namespace {

constexpr const char* kClientName = "strovik-capture";

// How often the loop thread writes the real-time threads' queued log lines:
// often enough that the queues never fill at the rate lines are produced.
constexpr timespec kLogFlushInterval{0, 50 * 1000 * 1000};

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
    stereoScratch.resize(static_cast<size_t>(kMaxConvertedFrames) * 2);
    streamListener = std::make_unique<spa_hook>();
    log.write("%s\n", LogText::kSetup);

    pw_thread_loop_lock(threadLoop);
    core = pw_context_connect(context, nullptr, 0);
    if (!core)
    {
        pw_thread_loop_unlock(threadLoop);
        log.write("%s\n", LogText::kConnectFailed);
        return false;
    }
    // The router watches the graph from here on; it links the stream once
    // the stream's node exists.
    router.start(loop, core);
    logTimer = pw_loop_add_timer(
        loop, [](void* self, uint64_t) { static_cast<DiagnosticLog*>(self)->flushQueued(); }, &log);
    if (logTimer)
    {
        timespec first = kLogFlushInterval, interval = kLogFlushInterval;
        pw_loop_update_timer(loop, logTimer, &first, &interval, false);
    }
    pw_thread_loop_start(threadLoop);
    pw_thread_loop_unlock(threadLoop);

    // Published last: an audio thread that sees it finds loop and core in place.
    connected.store(true, std::memory_order_release);
    log.write("%s\n", LogText::kSetupDone);
    return true;
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

    // The stream and the timer go first, under the lock, while the loop
    // still runs its events.
    pw_thread_loop_lock(threadLoop);
    destroyStream();
    router.stop();
    if (logTimer)
    {
        pw_loop_destroy_source(pw_thread_loop_get_loop(threadLoop), logTimer);
        logTimer = nullptr;
    }
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

bool PipeWireClient::openStream(uint32_t rate)
{
    pw_thread_loop_lock(threadLoop);
    if (!stream && core && streamListener)
    {
        // Connected without autoconnect: the session manager leaves the
        // stream alone and the router links it, to the default sink's
        // monitor or, while the host plays into that sink, to the sink's
        // other sources.
        pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio",         //
                                                 PW_KEY_MEDIA_CATEGORY, "Capture",   //
                                                 PW_KEY_MEDIA_ROLE, "Music",         //
                                                 PW_KEY_STREAM_CAPTURE_SINK, "true", //
                                                 nullptr);
        stream = pw_stream_new(core, kClientName, props);
        if (stream)
        {
            static const pw_stream_events events = [] {
                pw_stream_events e{};
                e.version = PW_VERSION_STREAM_EVENTS;
                e.param_changed = onParamChanged;
                // Paused: the server made the node, so the router can link
                // it. Emitted on the loop thread (only the first, connecting
                // state comes from the caller of pw_stream_connect).
                e.state_changed = [](void* self, pw_stream_state, pw_stream_state state,
                                     const char*) {
                    auto* client = static_cast<PipeWireClient*>(self);
                    if (state == PW_STREAM_STATE_PAUSED && client->stream)
                        client->router.setCaptureNode(pw_stream_get_node_id(client->stream));
                };
                e.process = onProcess;
                return e;
            }();
            *streamListener = spa_hook{};
            pw_stream_add_listener(stream, streamListener.get(), &events, this);

            // Offer float stereo at the host's rate; PipeWire converts
            // whatever the sink plays into it.
            uint8_t buffer[1024];
            spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
            spa_audio_info_raw info{};
            info.format = SPA_AUDIO_FORMAT_F32;
            info.rate = rate;
            info.channels = 2;
            // Named positions give the stream's ports their channels, which
            // the router matches the sink's ports by (the session manager
            // would otherwise have named them from its target).
            info.position[0] = SPA_AUDIO_CHANNEL_FL;
            info.position[1] = SPA_AUDIO_CHANNEL_FR;
            const spa_pod* params[1] = {
                spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};

            pw_stream_connect(stream, PW_DIRECTION_INPUT, PW_ID_ANY,
                              static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS |
                                                           PW_STREAM_FLAG_RT_PROCESS),
                              params, 1);
        }
    }
    const bool open = stream != nullptr;
    pw_thread_loop_unlock(threadLoop);
    return open;
}

void PipeWireClient::closeStream()
{
    if (!threadLoop)
        return;
    pw_thread_loop_lock(threadLoop);
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
            FrameRing::WriteResult result;
            if (ch == 2)
                result = ring.write(samples, frames);
            else
                result = ring.write(
                    stereoScratch.data(),
                    toStereo(samples, frames, ch, stereoScratch.data(), kMaxConvertedFrames));
            // Whatever the write did: the stamp says where the writer stands
            // now, and that a quantum of time has passed.
            stamp.publish(ring.writePosition(), monotonicNanos(), frames);
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
