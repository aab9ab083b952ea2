#pragma once

// Finds the module library a host would load: the installed bundle, or the
// bundle (or bare library) named on the command line.

#include <string>
#include <vector>

namespace Strovik::Probe {

constexpr const char* kBundleName = "StrovikCapture.vst3";

// Where VST 3 hosts on Linux look, in the order they look: the user's
// bundles first. `home` may be null or empty (no HOME).
std::vector<std::string> installedBundleCandidates(const char* home);

struct LocatedModule
{
    enum class Status
    {
        found,
        missing,   // nothing at the path, or no bundle installed
        notABundle // a directory that is no bundle, or a bundle without its library
    };
    Status status = Status::missing;
    std::string bundle;  // the path as found (bundle or library)
    std::string library; // the shared library to dlopen
    std::string message; // why not, for the user
};

// `path` empty: the first existing candidate. `arch` is the bundle's
// architecture folder, e.g. "x86_64-linux".
LocatedModule locateModule(const std::string& path, const std::vector<std::string>& candidates,
                           const std::string& arch);

} // namespace Strovik::Probe
