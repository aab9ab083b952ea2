#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace Strovik {

// Which processes are the host's: the plug-in's own process, and those of its
// ancestors that still belong to the host (the audio engine that started a
// sandboxed plug-in process, and further up), numbered as the PipeWire
// server numbers them, so that they can be compared with the
// pipewire.sec.pid the server gives every client.
//
// The rule, in one place: from the plug-in's own process, which is always
// the host's, the walk goes to the parent, and then on, as long as
//  - the process it comes from is no session leader: a session is what a
//    terminal's shell, a service of the user's service manager, a
//    sandbox's application or a launcher that calls setsid() starts, and a
//    host's engine and its plug-in processes are started inside it; so the
//    session leader is the last process the walk takes, and whatever
//    started that session (a terminal, the service manager, a desktop
//    shell, a program that launched the host in a session of its own) is
//    never the host's;
//  - the parent is not the init of its pid namespace (the system's, a
//    container's or a sandbox's init reaps orphans and plays nothing);
//  - the parent runs under the same real user id (a host never changes
//    user on its way down);
//  - the parent has a pid in the server's pid namespace at all.
// A program that is not on this path (a browser, a call, a player started
// from the same terminal as the host) is never among the host's processes.
//
// Inside a pid namespace (a sandboxed host) the walk maps each process to
// the server's numbers by the NSpid line of /proc/<pid>/status, at the
// level where the plug-in's own NSpid equals its pid as the server knows
// it. Where /proc shows only the namespace's own numbers (a sandbox with a
// /proc of its own), no ancestor can be mapped, and the host is the
// plug-in's process alone: a process of another namespace with the same
// small number must never be taken for the host.
//
// Reads only files under the given /proc root; never from a real-time thread.
class ProcessAncestry
{
public:
    struct Process
    {
        // The pid as the server knows it.
        pid_t serverPid = 0;
        // The process's name (/proc/<pid>/status "Name:", at most 15 characters).
        std::string name;
    };
    struct Result
    {
        // The plug-in's own process first, then its ancestors, upwards.
        std::vector<Process> processes;
        // Why the walk went no further, for the log.
        std::string stoppedBecause;
    };

    explicit ProcessAncestry(std::string procRoot = "/proc");

    // `ownServerPid` is the plug-in's own process as the server knows it
    // (its client's pipewire.sec.pid). The result holds at least that pid.
    Result hostProcesses(pid_t ownServerPid) const;

    // The longest walk: deeper trees are cut there.
    static constexpr int kMaxDepth = 64;

private:
    struct Status;
    bool read(const std::string& which, Status& status) const;

    std::string procRoot;
};

} // namespace Strovik
