#include "bundlelocator.h"

#include <sys/stat.h>

namespace Strovik::Probe {

namespace {

bool isDirectory(const std::string& path)
{
    struct stat info
    {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool exists(const std::string& path)
{
    struct stat info
    {};
    return ::stat(path.c_str(), &info) == 0;
}

std::string withoutTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

LocatedModule fromPath(const std::string& given, const std::string& arch)
{
    LocatedModule m;
    const std::string path = withoutTrailingSlashes(given);
    m.bundle = path;
    if (!exists(path))
    {
        m.message = "no such file or directory: " + given;
        return m;
    }
    if (!isDirectory(path))
    {
        // A bare module library: dlopen decides whether it is one.
        m.status = LocatedModule::Status::found;
        m.library = path;
        return m;
    }
    const std::string suffix = ".vst3";
    const std::string base = path.substr(path.find_last_of('/') + 1);
    if (base.size() <= suffix.size() ||
        base.compare(base.size() - suffix.size(), suffix.size(), suffix) != 0)
    {
        m.status = LocatedModule::Status::notABundle;
        m.message = path + " is a directory, not a .vst3 bundle";
        return m;
    }
    // <Name>.vst3/Contents/<arch>/<Name>.so, as every Linux host expects.
    const std::string name = base.substr(0, base.size() - suffix.size());
    m.library = path + "/Contents/" + arch + "/" + name + ".so";
    if (!exists(m.library))
    {
        m.status = LocatedModule::Status::notABundle;
        m.message =
            path + " has no module for this machine (no Contents/" + arch + "/" + name + ".so)";
        return m;
    }
    m.status = LocatedModule::Status::found;
    return m;
}

} // namespace

std::vector<std::string> installedBundleCandidates(const char* home)
{
    std::vector<std::string> places;
    if (home && *home)
        places.push_back(withoutTrailingSlashes(home) + "/.vst3/" + kBundleName);
    places.push_back(std::string("/usr/lib/vst3/") + kBundleName);
    places.push_back(std::string("/usr/local/lib/vst3/") + kBundleName);
    return places;
}

LocatedModule locateModule(const std::string& path, const std::vector<std::string>& candidates,
                           const std::string& arch)
{
    if (!path.empty())
        return fromPath(path, arch);
    for (const auto& candidate : candidates)
        if (exists(candidate))
            return fromPath(candidate, arch);
    LocatedModule m;
    m.message = "no installed Strovik Capture bundle; looked in:";
    for (const auto& candidate : candidates)
        m.message += "\n  " + candidate;
    m.message += "\nInstall it with ./scripts/install.sh, or name a bundle on the command line.";
    return m;
}

} // namespace Strovik::Probe
