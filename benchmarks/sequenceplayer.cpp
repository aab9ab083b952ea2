#include "sequenceplayer.h"

#include "stats.h"

#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <string>

namespace Strovik::Bench {

namespace {

constexpr float kScale = 16777216.0f; // 2^24
constexpr uint32_t kChannels = 2;
constexpr uint32_t kStride = kChannels * sizeof(float);
// Enough for the whole sequence at the smallest quantum the graph allows,
// with room for the silence after it.
constexpr size_t kMaxHandoffs = 1 << 16;

} // namespace

float sequenceSample(uint32_t index)
{
    return static_cast<float>(index + 1) / kScale;
}

bool sequenceIndex(float left, float right, uint32_t frames, uint32_t& index)
{
    if (!(left > 0.0f) || right != -left)
        return false;
    const float scaled = left * kScale;
    const auto whole = static_cast<uint32_t>(scaled);
    if (static_cast<float>(whole) != scaled || whole == 0 || whole > frames)
        return false;
    index = whole - 1;
    return true;
}

SequencePlayer::SequencePlayer(uint32_t sequenceFrames, uint32_t quantum, uint32_t rate,
                               uint32_t leadFrames)
    : sequenceFrames(sequenceFrames), leadFrames(leadFrames), quantum(quantum), rate(rate),
      nextIndex(-static_cast<int64_t>(leadFrames)), log(kMaxHandoffs)
{}

SequencePlayer::~SequencePlayer()
{
    stop();
}

bool SequencePlayer::start(std::string& whyNot)
{
    pw_init(nullptr, nullptr);
    loop = pw_thread_loop_new("strovik-bench-player", nullptr);
    context = loop ? pw_context_new(pw_thread_loop_get_loop(loop), nullptr, 0) : nullptr;
    if (!context)
    {
        whyNot = "cannot create a PipeWire loop and context";
        return false;
    }
    pw_thread_loop_lock(loop);
    pw_thread_loop_start(loop);
    core = pw_context_connect(context, nullptr, 0);
    if (!core)
    {
        pw_thread_loop_unlock(loop);
        whyNot = "cannot connect to the PipeWire server";
        return false;
    }

    // node.latency is what pw-play --latency=N sets: the graph runs at the
    // smallest quantum any of its nodes asks for.
    const std::string latency = std::to_string(quantum) + "/" + std::to_string(rate);
    pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio",        //
                                             PW_KEY_MEDIA_CATEGORY, "Playback", //
                                             PW_KEY_MEDIA_ROLE, "Music",        //
                                             PW_KEY_NODE_LATENCY, latency.c_str(), nullptr);
    stream = pw_stream_new(core, "strovik-bench-player", props);
    if (!stream)
    {
        pw_thread_loop_unlock(loop);
        whyNot = "cannot create the playback stream";
        return false;
    }
    pw_stream_add_listener(stream, &listener, &events, this);

    uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = rate;
    info.channels = kChannels;
    info.position[0] = SPA_AUDIO_CHANNEL_FL;
    info.position[1] = SPA_AUDIO_CHANNEL_FR;
    const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    const int result = pw_stream_connect(stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                                         static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT |
                                                                      PW_STREAM_FLAG_MAP_BUFFERS |
                                                                      PW_STREAM_FLAG_RT_PROCESS),
                                         params, 1);
    pw_thread_loop_unlock(loop);
    if (result < 0)
    {
        whyNot = "pw_stream_connect failed";
        return false;
    }
    return true;
}

void SequencePlayer::stop()
{
    if (!loop)
        return;
    pw_thread_loop_lock(loop);
    if (stream)
    {
        spa_hook_remove(&listener);
        pw_stream_disconnect(stream);
        pw_stream_destroy(stream);
        stream = nullptr;
    }
    pw_thread_loop_unlock(loop);
    pw_thread_loop_stop(loop);
    if (core)
        pw_core_disconnect(core);
    core = nullptr;
    if (context)
        pw_context_destroy(context);
    context = nullptr;
    pw_thread_loop_destroy(loop);
    loop = nullptr;
}

std::vector<SequencePlayer::Handoff> SequencePlayer::handoffs() const
{
    return {log.begin(), log.begin() + static_cast<std::ptrdiff_t>(logged.load())};
}

const pw_stream_events SequencePlayer::events = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.process = [](void* self) {
        static_cast<SequencePlayer*>(self)->process();
    };
    return e;
}();

void SequencePlayer::process()
{
    const int64_t now = monotonicNs();
    pw_buffer* buffer = pw_stream_dequeue_buffer(stream);
    if (!buffer)
        return;
    spa_buffer* spaBuffer = buffer->buffer;
    if (!spaBuffer || spaBuffer->n_datas == 0 || !spaBuffer->datas[0].data ||
        !spaBuffer->datas[0].chunk)
    {
        pw_stream_queue_buffer(stream, buffer);
        return;
    }
    spa_data& data = spaBuffer->datas[0];
    const uint32_t room = data.maxsize / kStride;
    const auto asked = static_cast<uint32_t>(buffer->requested);
    const uint32_t frames = asked ? std::min(asked, room) : room;
    auto* out = static_cast<float*>(data.data);
    for (uint32_t i = 0; i < frames; ++i)
    {
        const int64_t index = nextIndex + i;
        const float sample = index >= 0 && index < sequenceFrames
                                 ? sequenceSample(static_cast<uint32_t>(index))
                                 : 0.0f;
        out[2 * i] = sample;
        out[2 * i + 1] = -sample;
    }
    data.chunk->offset = 0;
    data.chunk->stride = kStride;
    data.chunk->size = frames * kStride;

    const size_t n = logged.load(std::memory_order_relaxed);
    if (n < log.size() && nextIndex + frames > 0 && nextIndex < sequenceFrames)
    {
        log[n] = {nextIndex, frames, asked, now};
        logged.store(n + 1, std::memory_order_release);
    }
    nextIndex += frames;
    pw_stream_queue_buffer(stream, buffer);
}

} // namespace Strovik::Bench
