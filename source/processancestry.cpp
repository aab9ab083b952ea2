// The host's processes, by the walk up /proc that processancestry.h describes.

#include "processancestry.h"

#include <fstream>
#include <sstream>
#include <utility>

namespace Strovik {

// What the walk needs of /proc/<pid>/status. The NS lines list one number
// per pid namespace, from the one /proc belongs to down to the process's own.
struct ProcessAncestry::Status
{
    std::string name;
    pid_t ppid = -1;
    long realUid = -1;
    std::vector<pid_t> nspid;
    std::vector<pid_t> nssid;
};

namespace {

std::vector<pid_t> numbersAfter(const std::string& line, size_t colon)
{
    std::vector<pid_t> numbers;
    std::istringstream in(line.substr(colon + 1));
    long n = 0;
    while (in >> n)
        numbers.push_back(static_cast<pid_t>(n));
    return numbers;
}

} // namespace

ProcessAncestry::ProcessAncestry(std::string procRoot) : procRoot(std::move(procRoot)) {}

bool ProcessAncestry::read(const std::string& which, Status& status) const
{
    std::ifstream in(procRoot + "/" + which + "/status");
    if (!in)
        return false;
    pid_t pid = -1;
    std::string line;
    while (std::getline(in, line))
    {
        const size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        const std::string key = line.substr(0, colon);
        if (key == "Name")
        {
            const size_t start = line.find_first_not_of(" \t", colon + 1);
            status.name = start == std::string::npos ? "" : line.substr(start);
        }
        else if (key == "Pid" || key == "PPid" || key == "Uid")
        {
            const auto numbers = numbersAfter(line, colon);
            if (numbers.empty())
                continue;
            if (key == "Pid")
                pid = numbers[0];
            else if (key == "PPid")
                status.ppid = numbers[0];
            else
                status.realUid = numbers[0];
        }
        else if (key == "NSpid")
            status.nspid = numbersAfter(line, colon);
        else if (key == "NSsid")
            status.nssid = numbersAfter(line, colon);
    }
    // A kernel without the NS lines knows one namespace only.
    if (status.nspid.empty() && pid > 0)
        status.nspid.push_back(pid);
    return !status.nspid.empty() && status.ppid >= 0;
}

ProcessAncestry::Result ProcessAncestry::hostProcesses(pid_t ownServerPid) const
{
    Result result;
    Status self;
    if (!read("self", self))
    {
        result.processes.push_back({ownServerPid, ""});
        result.stoppedBecause = "no /proc";
        return result;
    }
    result.processes.push_back({ownServerPid, self.name});

    // The level of the server's namespace in /proc's lists: where the
    // plug-in's own number is the one the server gave.
    size_t level = self.nspid.size();
    for (size_t i = 0; i < self.nspid.size() && level == self.nspid.size(); ++i)
        if (self.nspid[i] == ownServerPid)
            level = i;
    if (level == self.nspid.size())
    {
        result.stoppedBecause = "the server's pid namespace is not visible in /proc";
        return result;
    }

    Status current = self;
    for (int depth = 0; depth < kMaxDepth; ++depth)
    {
        const bool sessionLeader = !current.nssid.empty() && current.nssid[0] == current.nspid[0];
        if (sessionLeader)
        {
            result.stoppedBecause = "session leader";
            return result;
        }
        if (current.ppid <= 0)
        {
            result.stoppedBecause = "no parent";
            return result;
        }
        Status parent;
        if (!read(std::to_string(current.ppid), parent))
        {
            result.stoppedBecause = "parent unreadable";
            return result;
        }
        if (parent.nspid.back() == 1)
        {
            result.stoppedBecause = "init of a pid namespace";
            return result;
        }
        if (parent.realUid != self.realUid)
        {
            result.stoppedBecause = "another user";
            return result;
        }
        if (parent.nspid.size() <= level)
        {
            result.stoppedBecause = "outside the server's pid namespace";
            return result;
        }
        result.processes.push_back({parent.nspid[level], parent.name});
        current = std::move(parent);
    }
    result.stoppedBecause = "too deep";
    return result;
}

} // namespace Strovik
