#include "noserver.h"

#include <cstdlib>
#include <stdexcept>
#include <unistd.h>

namespace Strovik::Hostkit {

NoServerEnvironment::NoServerEnvironment()
    : saved{{"PIPEWIRE_RUNTIME_DIR", false, {}},
            {"XDG_RUNTIME_DIR", false, {}},
            {"PIPEWIRE_REMOTE", false, {}}}
{
    char pattern[] = "/tmp/strovik-no-server-XXXXXX";
    if (!::mkdtemp(pattern))
        throw std::runtime_error("mkdtemp failed");
    dir = pattern;
    for (Saved& s : saved)
    {
        const char* value = std::getenv(s.name);
        s.wasSet = value != nullptr;
        if (value)
            s.value = value;
    }
    ::setenv("PIPEWIRE_RUNTIME_DIR", dir.c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    // A remote name would win over the runtime directory.
    ::unsetenv("PIPEWIRE_REMOTE");
}

NoServerEnvironment::~NoServerEnvironment()
{
    for (const Saved& s : saved)
    {
        if (s.wasSet)
            ::setenv(s.name, s.value.c_str(), 1);
        else
            ::unsetenv(s.name);
    }
    ::rmdir(dir.c_str());
}

} // namespace Strovik::Hostkit
