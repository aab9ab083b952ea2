// A host process for the routing tests that plays into the default sink
// itself, as a DAW does, while it runs the plug-in: natively through
// PipeWire, or (run under pw-jack) through PipeWire's JACK layer. It writes
// what the plug-in put out as raw interleaved float frames, or runs until
// it is killed.
//
//   strovik_routing_host --own native|jack|none --seconds S [--out FILE]
//                        [--hz F] [--jack-ports TEXT]
//   strovik_routing_host --clicks FILE --seconds S
//
// With --clicks it is no host but another program that plays: a click every
// quarter second and nothing else, for S seconds, and then the steady-clock
// time of each click (ns, and its frame within the cycle) into FILE.

#include "ownplayer.h"
#include "pluginhost.h"
#include "realtimeloop.h"
#if STROVIK_WITH_JACK
#include "jackplayer.h"
#endif

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace Strovik::Test;

int main(int argc, char** argv)
{
    std::string own = "none", out, jackPorts = "playback_", clicks;
    double seconds = 3, hz = 1000;
    for (int i = 1; i + 1 < argc; i += 2)
    {
        const std::string key = argv[i], value = argv[i + 1];
        if (key == "--own")
            own = value;
        else if (key == "--seconds")
            seconds = std::stod(value);
        else if (key == "--out")
            out = value;
        else if (key == "--hz")
            hz = std::stod(value);
        else if (key == "--jack-ports")
            jackPorts = value;
        else if (key == "--clicks")
            clicks = value;
        else
        {
            std::fprintf(stderr, "unknown option %s\n", key.c_str());
            return 2;
        }
    }

    if (!clicks.empty())
    {
        OwnPlayer player(0, 0.5);
        player.playClicks(48000 / 4);
        if (!player.start())
            return 3;
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        player.stop();
        std::FILE* file = std::fopen(clicks.c_str(), "w");
        if (!file)
            return 5;
        for (const auto& click : player.clicks())
            std::fprintf(file, "%lld %u\n",
                         static_cast<long long>(click.written.time_since_epoch().count()),
                         click.frame);
        std::fclose(file);
        return 0;
    }

    // The host's own output starts first, as a DAW's engine runs before a
    // plug-in is added to a track.
    OwnPlayer native(hz, 0.5);
#if STROVIK_WITH_JACK
    JackPlayer jack(hz, 0.5);
#endif
    if (own == "native" && !native.start())
    {
        std::fprintf(stderr, "routing host: no PipeWire playback stream\n");
        return 3;
    }
    if (own == "jack")
    {
#if STROVIK_WITH_JACK
        std::string whyNot;
        if (!jack.start(jackPorts, whyNot))
        {
            std::fprintf(stderr, "routing host: %s\n", whyNot.c_str());
            return 3;
        }
#else
        std::fprintf(stderr, "routing host: built without JACK\n");
        return 3;
#endif
    }

    PluginModule module;
    auto factory = module.factory();
    auto processor = std::make_unique<ProcessorInstance>(*factory);
    constexpr double kRate = 48000;
    constexpr int32 kBlock = 512;
    if (processor->initialize() != kResultOk || processor->setup(kRate, kBlock) != kResultOk)
    {
        std::fprintf(stderr, "routing host: the plug-in did not start\n");
        return 4;
    }
    std::vector<float> captured;
    ProcessBlock block(2, kBlock);
    const auto blocks = static_cast<size_t>(seconds * kRate / kBlock);
    captured.reserve(blocks * kBlock * 2);
    Strovik::Hostkit::runBlocksInRealtime(*processor->processor, block, kRate, blocks, {},
                                          [&](size_t, const ProcessBlock& done) {
                                              for (int32 i = 0; i < kBlock; ++i)
                                              {
                                                  captured.push_back(done.channel(0)[size_t(i)]);
                                                  captured.push_back(done.channel(1)[size_t(i)]);
                                              }
                                              return true;
                                          });
    processor->terminate();
    if (!out.empty())
    {
        // Raw interleaved float samples: the test reads them back as they are.
        std::FILE* file = std::fopen(out.c_str(), "wb");
        if (!file ||
            std::fwrite(captured.data(), sizeof(float), captured.size(), file) != captured.size())
            return 5;
        std::fclose(file);
    }
    return 0;
}
