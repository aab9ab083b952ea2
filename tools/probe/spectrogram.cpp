#include "spectrogram.h"

#include <cerrno>
#include <cstdlib>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace Strovik::Probe {

namespace {

bool onPath(const std::string& program)
{
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size())
    {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
        if (::access((dir + "/" + program).c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

} // namespace

std::string drawSpectrogram(const std::string& wavPath, const std::string& pngPath)
{
    if (!onPath("sox"))
        return "sox is not installed, so no spectrogram was drawn (the WAV file is there). "
               "Install it with: sudo apt-get install sox";
    std::vector<std::string> args{"sox", wavPath,           "-n", "spectrogram",
                                  "-t",  "Strovik Capture", "-o", pngPath};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawnp(&pid, "sox", nullptr, nullptr, argv.data(), environ) != 0)
        return "could not start sox";
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return "lost track of sox";
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "sox could not draw " + pngPath + " (see its message above)";
    return {};
}

} // namespace Strovik::Probe
