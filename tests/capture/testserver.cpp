#include "testserver.h"

#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace Strovik::Test {

namespace {

const std::string kScript = STROVIK_SOURCE_DIR "/tests/pipewire/test-server.sh";

} // namespace

std::string commandOutput(const std::string& command)
{
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return out;
    std::array<char, 4096> buffer{};
    size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        out.append(buffer.data(), n);
    ::pclose(pipe);
    return out;
}

bool serverRequired()
{
    const char* ci = std::getenv("CI");
    return ci && std::string(ci) == "true";
}

namespace {

// "X.Y.Z" from a program's "Linked with libNAME X.Y.Z" line (empty when none).
std::string linkedVersion(const std::string& program, const std::string& library)
{
    const std::string version = commandOutput(program + " --version 2>/dev/null");
    const std::string linked = "Linked with " + library + " ";
    const size_t at = version.find(linked);
    if (at == std::string::npos)
        return "";
    const std::string rest = version.substr(at + linked.size());
    return rest.substr(0, rest.find_first_not_of("0123456789."));
}

} // namespace

std::string wireplumberSeries()
{
    const std::string version = linkedVersion("wireplumber", "libwireplumber");
    return version.substr(0, version.find('.', version.find('.') + 1));
}

int pipewireMajor()
{
    return std::atoi(linkedVersion("pipewire", "libpipewire").c_str());
}

bool PipeWireTestServer::start(std::string& whyNot, bool withSessionManager)
{
    if (!prepare(whyNot))
        return false;
    launch(withSessionManager);
    return true;
}

bool PipeWireTestServer::prepare(std::string& whyNot)
{
    if (std::system(("bash " + kScript + " available >/dev/null 2>&1").c_str()) != 0)
    {
        whyNot = "PipeWire test server programs missing (pipewire, wireplumber, pipewire-bin)";
        return false;
    }
    char pattern[] = "/tmp/strovik-pw-XXXXXX";
    if (!::mkdtemp(pattern))
        throw std::runtime_error("mkdtemp failed");
    dir = pattern;
    running = true; // from here on stop() cleans up, whatever else happens
    const std::string exports = commandOutput("bash " + kScript + " env " + dir);
    // Lines of the form: export NAME=value
    size_t pos = 0;
    int found = 0;
    while (pos < exports.size())
    {
        size_t end = exports.find('\n', pos);
        if (end == std::string::npos)
            end = exports.size();
        std::string line = exports.substr(pos, end - pos);
        pos = end + 1;
        if (line.rfind("export ", 0) != 0)
            continue;
        line = line.substr(7);
        const size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string value = line.substr(eq + 1);
        if (value.size() >= 2 && (value.front() == '\'' || value.front() == '"'))
            value = value.substr(1, value.size() - 2);
        ::setenv(line.substr(0, eq).c_str(), value.c_str(), 1);
        ++found;
    }
    if (found == 0)
        throw std::runtime_error("no environment for the private PipeWire server in " + dir);
    return true;
}

void PipeWireTestServer::launch(bool withSessionManager)
{
    // A server killed before may have left its pid files: stop clears them.
    std::system(("bash " + kScript + " stop " + dir + " >/dev/null 2>&1").c_str());
    const std::string mode = withSessionManager ? " start " : " start-bare ";
    if (std::system(("bash " + kScript + mode + dir + " >/dev/null").c_str()) != 0)
    {
        // Stopped, but its directory stays for the logs the message points at.
        running = false;
        std::system(("bash " + kScript + " stop " + dir + " >/dev/null 2>&1").c_str());
        throw std::runtime_error("the private PipeWire server did not start (see " + dir + ")");
    }
}

void PipeWireTestServer::kill()
{
    for (const char* program : {"wireplumber", "pipewire"})
    {
        int pid = 0;
        std::ifstream(dir + "/" + program + ".pid") >> pid;
        if (pid > 0)
            ::kill(pid, SIGKILL);
    }
}

void PipeWireTestServer::restartSessionManager(int signal)
{
    const std::string name = signal == SIGKILL ? "KILL" : "TERM";
    if (std::system(("bash " + kScript + " restart-session-manager " + dir + " " + name).c_str()) !=
        0)
        throw std::runtime_error("the session manager did not come back (see " + dir + ")");
}

int PipeWireTestServer::serverPid() const
{
    if (!running)
        return 0;
    int pid = 0;
    std::ifstream(dir + "/pipewire.pid") >> pid;
    return pid;
}

std::vector<std::string> PipeWireTestServer::lateClientReports() const
{
    std::ifstream log(dir + "/pipewire.log");
    std::vector<std::string> reports;
    for (std::string line; std::getline(log, line);)
        if (line.find("client too slow!") != std::string::npos)
            reports.push_back(line);
    return reports;
}

void PipeWireTestServer::stop()
{
    if (!running)
        return;
    running = false;
    if (std::system(("bash " + kScript + " stop " + dir + " >/dev/null 2>&1").c_str()) == 0)
        std::system(("rm -rf '" + dir + "'").c_str());
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv)
{
    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (::posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0)
        throw std::runtime_error("cannot start " + argv[0]);
}

ChildProcess::~ChildProcess()
{
    terminate();
}

int ChildProcess::wait()
{
    if (pid < 0)
        return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void ChildProcess::terminate()
{
    if (pid < 0)
        return;
    ::kill(pid, SIGTERM);
    wait();
}

ChildProcess play(const std::string& wavPath, const std::string& target, int latencyFrames)
{
    std::vector<std::string> argv{"timeout", "30", "pw-play"};
    if (!target.empty())
        argv.push_back("--target=" + target);
    if (latencyFrames > 0)
        argv.push_back("--latency=" + std::to_string(latencyFrames));
    argv.push_back(wavPath);
    return ChildProcess(argv);
}

} // namespace Strovik::Test
