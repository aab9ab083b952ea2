#pragma once

// A JACK client of this process that plays a sine into the default sink's
// playback ports, as a DAW on PipeWire's JACK layer does. Built only where
// the JACK headers are (STROVIK_WITH_JACK); run the process under pw-jack
// so that libjack is PipeWire's.

#include <string>

namespace Strovik::Test {

class JackPlayer
{
public:
    JackPlayer(double hz, double amplitude);
    ~JackPlayer();
    JackPlayer(const JackPlayer&) = delete;
    JackPlayer& operator=(const JackPlayer&) = delete;

    // Opens the client, activates it and connects its two outputs to the
    // input ports whose names contain `sinkPorts`. False, with the reason,
    // when any of it fails.
    bool start(const std::string& sinkPorts, std::string& whyNot);
    void stop();

private:
    static int onProcess(unsigned frames, void* self);

    double step;
    double amplitude;
    double phase = 0;
    void* client = nullptr;
    void* ports[2] = {nullptr, nullptr};
};

} // namespace Strovik::Test
