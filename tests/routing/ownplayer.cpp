#include "ownplayer.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <cmath>

namespace Strovik::Test {

namespace {

constexpr uint32_t kRate = 48000;

} // namespace

OwnPlayer::OwnPlayer(double hz, double amplitude)
    : step(2 * M_PI * hz / kRate), amplitude(amplitude)
{
    pw_init(nullptr, nullptr);
}

OwnPlayer::~OwnPlayer()
{
    stop();
    pw_deinit();
}

bool OwnPlayer::start()
{
    stop();
    loop = pw_thread_loop_new("strovik-own-player", nullptr);
    if (!loop)
        return false;
    pw_thread_loop_lock(loop);
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.process = onProcess;
        return e;
    }();
    pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY,
                                             "Playback", PW_KEY_MEDIA_ROLE, "Production",
                                             PW_KEY_NODE_NAME, "strovik-own-output", nullptr);
    stream = pw_stream_new_simple(pw_thread_loop_get_loop(loop), "strovik-own-output", props,
                                  &events, this);
    if (stream)
    {
        uint8_t buffer[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
        spa_audio_info_raw info{};
        info.format = SPA_AUDIO_FORMAT_F32;
        info.rate = kRate;
        info.channels = 2;
        info.position[0] = SPA_AUDIO_CHANNEL_FL;
        info.position[1] = SPA_AUDIO_CHANNEL_FR;
        const spa_pod* params[1] = {
            spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
        startedAt = std::chrono::steady_clock::now();
        firstCycleNanos = 0;
        framesWritten = 0;
        clickCount = 0;
        if (pw_stream_connect(stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                              static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT |
                                                           PW_STREAM_FLAG_MAP_BUFFERS |
                                                           PW_STREAM_FLAG_RT_PROCESS),
                              params, 1) < 0)
        {
            pw_stream_destroy(stream);
            stream = nullptr;
        }
    }
    pw_thread_loop_unlock(loop);
    if (!stream)
    {
        pw_thread_loop_destroy(loop);
        loop = nullptr;
        return false;
    }
    pw_thread_loop_start(loop);
    return true;
}

void OwnPlayer::stop()
{
    if (!loop)
        return;
    pw_thread_loop_lock(loop);
    if (stream)
        pw_stream_destroy(stream);
    stream = nullptr;
    pw_thread_loop_unlock(loop);
    pw_thread_loop_stop(loop);
    pw_thread_loop_destroy(loop);
    loop = nullptr;
}

std::chrono::steady_clock::time_point OwnPlayer::firstCycle() const
{
    const int64_t nanos = firstCycleNanos.load();
    return nanos ? std::chrono::steady_clock::time_point(std::chrono::nanoseconds(nanos))
                 : std::chrono::steady_clock::time_point{};
}

std::vector<OwnPlayer::Click> OwnPlayer::clicks() const
{
    return {clickLog.begin(), clickLog.begin() + long(clickCount.load())};
}

void OwnPlayer::onProcess(void* self)
{
    static_cast<OwnPlayer*>(self)->process();
}

void OwnPlayer::process()
{
    pw_buffer* b = pw_stream_dequeue_buffer(stream);
    if (!b)
        return;
    if (cycleCount.fetch_add(1) == 0)
        firstCycleNanos = std::chrono::steady_clock::now().time_since_epoch().count();
    spa_data& d = b->buffer->datas[0];
    if (d.data)
    {
        uint32_t frames = d.maxsize / (2 * sizeof(float));
        if (b->requested != 0 && b->requested < frames)
            frames = static_cast<uint32_t>(b->requested);
        auto* out = static_cast<float*>(d.data);
        const auto now = std::chrono::steady_clock::now();
        for (uint32_t i = 0; i < frames; ++i, ++framesWritten)
        {
            float s;
            if (clickPeriod != 0)
            {
                const bool click = framesWritten % clickPeriod == 0;
                s = click ? static_cast<float>(amplitude) : 0.0f;
                if (click && clickCount.load() < clickLog.size())
                {
                    clickLog[clickCount.load()] = {now, i};
                    clickCount.fetch_add(1);
                }
            }
            else
            {
                s = static_cast<float>(amplitude * std::sin(phase));
                phase = std::fmod(phase + step, 2 * M_PI);
            }
            out[2 * i] = s;
            out[2 * i + 1] = s;
        }
        d.chunk->offset = 0;
        d.chunk->stride = 2 * sizeof(float);
        d.chunk->size = frames * 2 * sizeof(float);
    }
    pw_stream_queue_buffer(stream, b);
}

} // namespace Strovik::Test
