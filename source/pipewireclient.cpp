// The instance's PipeWire client: a thread loop with a context and a core
// connection, and the capture stream on the monitor of the default sink.

#include "capturepacket.h"
#include "strovikprocessor.h"

#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>

namespace Strovik {

namespace {

constexpr const char* kClientName = "strovik-capture";

} // namespace

void StrovikProcessor::setupPipeWire()
{
    pw_init(nullptr, nullptr);

    // Our own loop thread runs this instance's PipeWire events, independent
    // of the host's threads and of any other instance.
    threadLoop = pw_thread_loop_new(kClientName, nullptr);
    if (!threadLoop)
    {
        diagnosticLog.logMessage("[strovik] setupPipeWire: pw_thread_loop_new failed\n");
        return;
    }
    context = pw_context_new(pw_thread_loop_get_loop(threadLoop), nullptr, 0);
    if (!context)
    {
        diagnosticLog.logMessage("[strovik] setupPipeWire: pw_context_new failed\n");
        return;
    }
    // Sized here, on the main thread, so the audio and real-time paths never allocate.
    ring.sizeScratch();
    diagnosticLog.logMessage("[strovik] setupPipeWire\n");

    pw_thread_loop_lock(threadLoop);
    core = pw_context_connect(context, nullptr, 0);
    if (!core)
    {
        pw_thread_loop_unlock(threadLoop);
        diagnosticLog.logMessage("[strovik] setupPipeWire: pw_context_connect failed\n");
        return;
    }
    pw_thread_loop_start(threadLoop);
    pw_thread_loop_unlock(threadLoop);

    // Published last: a process call that sees it finds loop and core in place.
    pwReady.store(true);
    diagnosticLog.logMessage("[strovik] setupPipeWire done pwReady=1\n");
}

void StrovikProcessor::shutdownPipeWire()
{
    diagnosticLog.logMessage("[strovik] shutdownPipeWire\n");
    pwReady.store(false);
    if (!threadLoop)
    {
        diagnosticLog.logMessage("[strovik] shutdownPipeWire done (no loop)\n");
        diagnosticLog.closeLog();
        return;
    }

    // The stream goes first, under the lock, while the loop still runs its events.
    pw_thread_loop_lock(threadLoop);
    disconnectStream();
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
    diagnosticLog.closeLog();
}

void StrovikProcessor::ensureStream(uint32_t rate)
{
    if (!stream && core)
        connectStream(rate);
}

void StrovikProcessor::connectStream(uint32_t rate)
{
    // Capture the default sink's monitor: no target is named, so PipeWire
    // links us to whatever the desktop plays through, and follows it.
    pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio",         //
                                             PW_KEY_MEDIA_CATEGORY, "Capture",   //
                                             PW_KEY_MEDIA_ROLE, "Music",         //
                                             PW_KEY_STREAM_CAPTURE_SINK, "true", //
                                             nullptr);
    stream = pw_stream_new(core, kClientName, props);
    if (!stream)
        return; // the next process cycle tries again

    pw_stream_add_listener(stream, &streamListener, &streamEvents, this);

    // Offer float stereo at the host's rate; PipeWire converts whatever the
    // sink plays into it.
    uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = rate;
    info.channels = 2;
    const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};

    pw_stream_connect(stream, PW_DIRECTION_INPUT, PW_ID_ANY,
                      static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT |
                                                   PW_STREAM_FLAG_MAP_BUFFERS |
                                                   PW_STREAM_FLAG_RT_PROCESS),
                      params, 1);
}

void StrovikProcessor::disconnectStream()
{
    if (!stream)
        return;
    spa_hook_remove(&streamListener);
    pw_stream_disconnect(stream);
    pw_stream_destroy(stream);
    stream = nullptr;
}

void StrovikProcessor::onStreamParamChanged(uint32_t id, const spa_pod* param)
{
    if (!param || id != SPA_PARAM_Format)
        return;
    spa_audio_info_raw info{};
    spa_format_audio_raw_parse(param, &info);
    if (info.channels != 0)
        channels.store(info.channels);
}

void StrovikProcessor::onStreamProcess()
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
        if (ch != 0 && block.chunk->size != 0)
        {
            const uint32_t frames = framesInBlock(block.chunk->size, block.maxsize, ch);
            ring.writeRing(static_cast<const float*>(block.data), frames, ch);
            const uint64_t seq = pwCallbackCount.fetch_add(1);
            if (seq % 100 == 0)
                diagnosticLog.logMessage("[strovik] PW t=%llu seq=%lu fill=%u%% frames=%u ch=%u\n",
                                         monotonicMillis(), static_cast<unsigned long>(seq),
                                         ring.fillPercent(), frames, ch);
        }
    }
    pw_stream_queue_buffer(stream, buffer);
}

const pw_stream_events StrovikProcessor::streamEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.param_changed = [](void* self, uint32_t id, const spa_pod* param) {
        static_cast<StrovikProcessor*>(self)->onStreamParamChanged(id, param);
    };
    events.process = [](void* self) {
        static_cast<StrovikProcessor*>(self)->onStreamProcess();
    };
    return events;
}();

} // namespace Strovik
