// A host process for the routing tests that plays into the default sink
// itself, as a DAW does, while it runs the plug-in: natively through
// PipeWire, or (run under pw-jack) through PipeWire's JACK layer. It writes
// what the plug-in put out as raw interleaved float frames, or runs until
// it is killed.
//
//   strovik_routing_host --own native|jack|none --seconds S [--out FILE]
//                        [--hz F] [--jack-ports TEXT] [--plugin-in self|child]
//                        [--child-own native|none] [--child-session same|new]
//   strovik_routing_host --clicks FILE --seconds S
//
// With --plugin-in child it is a host's audio engine that runs its plug-ins
// in a process of their own: it plays its tone and starts itself again as
// that child, which runs the plug-in (--own from --child-own, at 1000 Hz,
// and in a session of its own with --child-session new), and it exits with
// the child's status.
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

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace Strovik::Test;

extern char** environ;

namespace {

// This very program again (args[0], its path), as the engine's plug-in
// process; its exit status.
int runPluginChild(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t child = -1;
    if (posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return 6;
    int status = 0;
    while (::waitpid(child, &status, 0) < 0)
        if (errno != EINTR)
            return 6;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 7;
}

} // namespace

int main(int argc, char** argv)
{
    std::string own = "none", out, jackPorts = "playback_", clicks, pluginIn = "self",
                childOwn = "none", childSession = "same";
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
        else if (key == "--plugin-in")
            pluginIn = value;
        else if (key == "--child-own")
            childOwn = value;
        else if (key == "--child-session")
            childSession = value;
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

    if (pluginIn == "child")
    {
        std::vector<std::string> args{
            argv[0], "--own", childOwn, "--hz", "1000", "--seconds", std::to_string(seconds)};
        if (!out.empty())
            args.insert(args.end(), {"--out", out});
        if (childSession == "new")
            args.insert(args.end(), {"--child-session", "new"});
        return runPluginChild(args);
    }
    // A plug-in process that its engine started in a session of its own.
    if (childSession == "new" && ::setsid() < 0)
        return 8;

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
