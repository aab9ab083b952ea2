#pragma once

// Points this process's PipeWire clients at an empty runtime directory, so
// that they find no server even on a machine whose desktop runs one: a host
// that drives the plug-in without ever reaching a real session.

#include <string>

namespace Strovik::Hostkit {

class NoServerEnvironment
{
public:
    NoServerEnvironment();  // creates the directory and sets the variables
    ~NoServerEnvironment(); // restores the variables and removes the directory
    NoServerEnvironment(const NoServerEnvironment&) = delete;
    NoServerEnvironment& operator=(const NoServerEnvironment&) = delete;

    const std::string& directory() const { return dir; }

private:
    struct Saved
    {
        const char* name;
        bool wasSet;
        std::string value;
    };
    std::string dir;
    Saved saved[3];
};

} // namespace Strovik::Hostkit
