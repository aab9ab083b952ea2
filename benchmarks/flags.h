#pragma once

// "--name=value" flags of the benchmark programs that are not Google
// Benchmark's own.

#include <cstring>
#include <string>

namespace Strovik::Bench {

inline std::string flagValue(int argc, char** argv, const char* name, const std::string& fallback)
{
    const std::string prefix = std::string("--") + name + "=";
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], prefix.c_str(), prefix.size()) == 0)
            return argv[i] + prefix.size();
    return fallback;
}

} // namespace Strovik::Bench
