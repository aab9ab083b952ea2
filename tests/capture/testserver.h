#pragma once

// A private PipeWire server with a session manager and two null sinks,
// started for one test process and stopped by process id (see
// tests/pipewire/test-server.sh), and players that feed it.

#include <string>
#include <sys/types.h>
#include <vector>

namespace Strovik::Test {

class PipeWireTestServer
{
public:
    // Starts the server and points this process's PipeWire clients at it.
    // Returns false with a reason when the PipeWire programs are missing.
    // Without a session manager, nothing is ever linked.
    bool start(std::string& whyNot, bool withSessionManager = true);
    // The two halves of start: the server's directory made and this
    // process's clients pointed at it (before any client runs: it sets the
    // environment), then the server started there and ready. launch() may
    // follow a kill() to bring a server up again on the same socket.
    bool prepare(std::string& whyNot);
    void launch(bool withSessionManager = true);
    // The server and its session manager killed (SIGKILL), as a crash does.
    void kill();
    // The session manager alone stopped with `signal` and started again,
    // back once it has published the defaults.
    void restartSessionManager(int signal);
    // The server's process id (0 when not running).
    int serverPid() const;
    // The server's reports of a client late for a graph cycle (the machine
    // did not run it in time) since it was last launched, in order: one for
    // each client and cycle.
    std::vector<std::string> lateClientReports() const;
    void stop();
    ~PipeWireTestServer() { stop(); }

    const std::string& directory() const { return dir; }

private:
    std::string dir;
    bool running = false;
};

// Whether tests that need the server must run rather than skip (CI).
bool serverRequired();

// The installed WirePlumber's series, "0.4" or "0.5" (empty when unknown):
// for the few costs that are the session manager's, not the plug-in's.
std::string wireplumberSeries();
// The installed PipeWire's major version (0 for the 0.3 series).
int pipewireMajor();

// A child process started with posix_spawnp, stopped by its pid.
class ChildProcess
{
public:
    explicit ChildProcess(const std::vector<std::string>& argv);
    ChildProcess(ChildProcess&& other) noexcept : pid(other.pid) { other.pid = -1; }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();
    int wait(); // exit status, or -1
    void terminate();
    // -1 once it has been waited for.
    pid_t processId() const { return pid; }

private:
    pid_t pid = -1;
};

// Plays a float WAV into the default sink (or a named one) under a timeout,
// so a graph that never starts cannot hang the test. A latency in frames
// asks the graph for that quantum.
ChildProcess play(const std::string& wavPath, const std::string& target = "",
                  int latencyFrames = 0);

// Runs a command and returns what it printed on stdout.
std::string commandOutput(const std::string& command);

} // namespace Strovik::Test
