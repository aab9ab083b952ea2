#include "jackplayer.h"

#include <jack/jack.h>

#include <cmath>
#include <vector>

namespace Strovik::Test {

JackPlayer::JackPlayer(double hz, double amplitude) : step(2 * M_PI * hz), amplitude(amplitude) {}

JackPlayer::~JackPlayer()
{
    stop();
}

bool JackPlayer::start(const std::string& sinkPorts, std::string& whyNot)
{
    jack_status_t status{};
    auto* c = jack_client_open("strovik-daw", JackNoStartServer, &status);
    if (!c)
    {
        whyNot = "jack_client_open failed (status " + std::to_string(int(status)) + ")";
        return false;
    }
    client = c;
    step /= jack_get_sample_rate(c);
    const char* names[2] = {"out_FL", "out_FR"};
    for (int i = 0; i < 2; ++i)
    {
        ports[i] = jack_port_register(c, names[i], JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
        if (!ports[i])
        {
            whyNot = "jack_port_register failed";
            return false;
        }
    }
    jack_set_process_callback(c, onProcess, this);
    if (jack_activate(c) != 0)
    {
        whyNot = "jack_activate failed";
        return false;
    }
    const char** inputs =
        jack_get_ports(c, sinkPorts.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput);
    std::vector<std::string> found;
    for (size_t i = 0; inputs && inputs[i]; ++i)
        found.push_back(inputs[i]);
    if (inputs)
        jack_free(inputs);
    if (found.size() < 2)
    {
        whyNot = "fewer than two JACK input ports match '" + sinkPorts + "'";
        return false;
    }
    for (int i = 0; i < 2; ++i)
        if (jack_connect(c, jack_port_name(static_cast<jack_port_t*>(ports[i])),
                         found[size_t(i)].c_str()) != 0)
        {
            whyNot = "jack_connect to " + found[size_t(i)] + " failed";
            return false;
        }
    return true;
}

void JackPlayer::stop()
{
    if (!client)
        return;
    auto* c = static_cast<jack_client_t*>(client);
    jack_deactivate(c);
    jack_client_close(c);
    client = nullptr;
}

// The port buffers live in memory PipeWire's loop thread mapped, handed
// over through PipeWire's own (uninstrumented) synchronisation, which
// ThreadSanitizer cannot see: it would take every write here for a race.
__attribute__((no_sanitize("thread"))) int JackPlayer::onProcess(unsigned frames, void* self)
{
    auto* p = static_cast<JackPlayer*>(self);
    auto* left =
        static_cast<float*>(jack_port_get_buffer(static_cast<jack_port_t*>(p->ports[0]), frames));
    auto* right =
        static_cast<float*>(jack_port_get_buffer(static_cast<jack_port_t*>(p->ports[1]), frames));
    for (unsigned i = 0; i < frames; ++i)
    {
        left[i] = right[i] = static_cast<float>(p->amplitude * std::sin(p->phase));
        p->phase = std::fmod(p->phase + p->step, 2 * M_PI);
    }
    return 0;
}

} // namespace Strovik::Test
