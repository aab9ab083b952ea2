#include "clientconfig.h"

#include <cstdio>

namespace Strovik {

const char* realtimeClientConfig(const char* libraryVersion)
{
    int major = 0, minor = 0, micro = 0;
    if (!libraryVersion || std::sscanf(libraryVersion, "%d.%d.%d", &major, &minor, &micro) != 3)
        return nullptr;
    const bool beforeMerge = major < 1 || (major == 1 && (minor < 3 || (minor == 3 && micro < 81)));
    return beforeMerge ? "client-rt.conf" : nullptr;
}

} // namespace Strovik
