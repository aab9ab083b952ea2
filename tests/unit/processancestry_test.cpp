// Which processes are the host's, on fake /proc trees: where the walk up
// from the plug-in's process stops, and how a sandbox's numbers are mapped
// to the server's.

#include "processancestry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using Strovik::ProcessAncestry;

// A /proc of status files only, in a directory of its own.
class FakeProc
{
public:
    FakeProc()
    {
        char dir[] = "/tmp/strovik-fakeproc-XXXXXX";
        root = ::mkdtemp(dir) ? dir : "";
    }
    ~FakeProc() { std::system(("rm -rf '" + root + "'").c_str()); }

    // `nspid` and `nssid` as the status file lists them, from /proc's own
    // namespace down to the process's.
    void add(const std::string& which, const std::string& name, pid_t ppid,
             const std::string& nspid, const std::string& nssid, long uid = 1000)
    {
        const std::string dir = root + "/" + which;
        ::mkdir(dir.c_str(), 0700);
        std::ofstream(dir + "/status")
            << "Name:\t" << name << "\nUmask:\t0022\nState:\tS (sleeping)\nTgid:\t"
            << nspid.substr(0, nspid.find(' ')) << "\nPid:\t" << nspid.substr(0, nspid.find(' '))
            << "\nPPid:\t" << ppid << "\nUid:\t" << uid << "\t" << uid << "\t" << uid << "\t" << uid
            << "\nNStgid:\t" << nspid << "\nNSpid:\t" << nspid << "\nNSpgid:\t" << nssid
            << "\nNSsid:\t" << nssid << "\n";
    }
    // The plug-in's own process: "self", and under its number too.
    void addSelf(const std::string& number, const std::string& name, pid_t ppid,
                 const std::string& nspid, const std::string& nssid, long uid = 1000)
    {
        add("self", name, ppid, nspid, nssid, uid);
        add(number, name, ppid, nspid, nssid, uid);
    }

    std::string root;
};

std::vector<pid_t> pids(const ProcessAncestry::Result& r)
{
    std::vector<pid_t> out;
    for (const auto& p : r.processes)
        out.push_back(p.serverPid);
    return out;
}

// The user's session: init, the service manager, a terminal, its shell.
void addDesktop(FakeProc& proc)
{
    proc.add("1", "systemd", 0, "1", "1", 0);
    proc.add("900", "systemd", 1, "900", "900");
    proc.add("1000", "terminal", 900, "1000", "1000");
    proc.add("1100", "bash", 1000, "1100", "1100");
}

TEST(ProcessAncestry, TheWalkTakesTheEngineAndStopsAtTheSessionLeader)
{
    FakeProc proc;
    addDesktop(proc);
    proc.add("1200", "daw-engine", 1100, "1200", "1100");
    proc.addSelf("1300", "plugin-host", 1200, "1300", "1100");
    const auto r = ProcessAncestry(proc.root).hostProcesses(1300);
    // The plug-in's process, the engine that started it, the shell the
    // engine was started from; not the terminal, nor what is above it.
    EXPECT_EQ(pids(r), (std::vector<pid_t>{1300, 1200, 1100}));
    EXPECT_EQ(r.processes[1].name, "daw-engine");
    EXPECT_EQ(r.stoppedBecause, "session leader");

    // A host that is a session of its own (a service, a launcher's setsid
    // child): what started it is not the host's.
    FakeProc own;
    addDesktop(own);
    own.add("1200", "launcher", 1100, "1200", "1100");
    own.add("1250", "daw-engine", 1200, "1250", "1250");
    own.addSelf("1300", "plugin-host", 1250, "1300", "1250");
    EXPECT_EQ(pids(ProcessAncestry(own.root).hostProcesses(1300)),
              (std::vector<pid_t>{1300, 1250}));

    // The plug-in's process a session leader itself: nothing above it.
    FakeProc alone;
    addDesktop(alone);
    alone.addSelf("1300", "daw", 1100, "1300", "1300");
    EXPECT_EQ(pids(ProcessAncestry(alone.root).hostProcesses(1300)), (std::vector<pid_t>{1300}));
}

TEST(ProcessAncestry, NoInitAnotherUserOrUnreadableParentIsTheHosts)
{
    // A container's processes, in no session of their own, below its init.
    FakeProc container;
    container.add("1", "tini", 0, "1", "0");
    container.add("40", "daw-engine", 1, "40", "0");
    container.addSelf("41", "plugin-host", 40, "41", "0");
    const auto inContainer = ProcessAncestry(container.root).hostProcesses(41);
    EXPECT_EQ(pids(inContainer), (std::vector<pid_t>{41, 40}));
    EXPECT_EQ(inContainer.stoppedBecause, "init of a pid namespace");

    // A helper started by another user's process (a sudo, a system daemon).
    FakeProc user;
    user.add("1", "systemd", 0, "1", "1", 0);
    user.add("500", "sudo", 1, "500", "0", 0);
    user.addSelf("600", "daw", 500, "600", "0");
    const auto underRoot = ProcessAncestry(user.root).hostProcesses(600);
    EXPECT_EQ(pids(underRoot), (std::vector<pid_t>{600}));
    EXPECT_EQ(underRoot.stoppedBecause, "another user");

    // The parent gone (or hidden) between the two reads.
    FakeProc gone;
    gone.addSelf("600", "daw", 599, "600", "0");
    EXPECT_EQ(pids(ProcessAncestry(gone.root).hostProcesses(600)), (std::vector<pid_t>{600}));

    // No /proc at all: the plug-in's own process is still the host's.
    const auto none = ProcessAncestry("/nonexistent-proc").hostProcesses(77);
    EXPECT_EQ(pids(none), (std::vector<pid_t>{77}));
}

TEST(ProcessAncestry, InsideASandboxTheServersNumbersAreTakenFromNSpid)
{
    // /proc of the outermost namespace; the server runs in the one below
    // it, the host in a sandbox below that: three numbers per process.
    FakeProc proc;
    proc.add("1", "systemd", 0, "1", "1", 0);
    proc.add("7000", "systemd", 1, "7000 1", "7000 1");
    proc.add("7050", "bash", 7000, "7050 50", "7050 50");
    proc.add("7100", "bwrap", 7050, "7100 5100 1", "7050 50 0");
    proc.add("7200", "daw-engine", 7100, "7200 5200 2", "7050 50 0");
    proc.addSelf("7300", "plugin-host", 7200, "7300 5300 3", "7050 50 0");
    const auto r = ProcessAncestry(proc.root).hostProcesses(5300);
    // The engine in the server's numbers; the sandbox's init is not the host's.
    EXPECT_EQ(pids(r), (std::vector<pid_t>{5300, 5200}));
    EXPECT_EQ(r.stoppedBecause, "init of a pid namespace");

    // An ancestor that has no number in the server's namespace (it runs
    // outside it) cannot be a client of that server by any pid.
    FakeProc outside;
    outside.add("7000", "outer-launcher", 1, "7000", "7000");
    outside.add("7200", "daw-engine", 7000, "7200 5200", "7000 0");
    outside.addSelf("7300", "plugin-host", 7200, "7300 5300", "7000 0");
    const auto o = ProcessAncestry(outside.root).hostProcesses(5300);
    EXPECT_EQ(pids(o), (std::vector<pid_t>{5300, 5200}));
    EXPECT_EQ(o.stoppedBecause, "outside the server's pid namespace");
}

TEST(ProcessAncestry, ASandboxWhoseProcShowsOnlyItsOwnNumbersIsThePluginsProcessAlone)
{
    // The server knows the plug-in as 5300; the sandbox's own /proc knows
    // it as 3, its engine as 2. Nothing maps 2 to the server's numbers, and
    // 2 may well be a process of another sandbox there.
    FakeProc proc;
    proc.add("1", "bwrap", 0, "1", "0");
    proc.add("2", "daw-engine", 1, "2", "2");
    proc.addSelf("3", "plugin-host", 2, "3", "2");
    const auto r = ProcessAncestry(proc.root).hostProcesses(5300);
    EXPECT_EQ(pids(r), (std::vector<pid_t>{5300}));
    EXPECT_EQ(r.processes[0].name, "plugin-host");
    EXPECT_EQ(r.stoppedBecause, "the server's pid namespace is not visible in /proc");
}

} // namespace
