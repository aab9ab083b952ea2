#pragma once

// A VST 3 module loaded as a Linux host loads it: dlopen of the shared
// library inside the bundle, ModuleEntry, then GetPluginFactory. ModuleExit
// and dlclose when it goes.

#include "pluginterfaces/base/ipluginbase.h"
#include "pluginterfaces/base/smartpointer.h"

#include <stdexcept>
#include <string>

namespace Strovik::Hostkit {

class ModuleError : public std::runtime_error
{
public:
    enum class Kind
    {
        cannotOpen,  // dlopen failed: no such file, not a shared library, missing libraries
        notVst3,     // a shared library, but without the VST 3 entry points
        entryFailed, // ModuleEntry returned false
        noFactory    // GetPluginFactory returned nothing
    };
    ModuleError(Kind kind, const std::string& what) : std::runtime_error(what), kind(kind) {}
    const Kind kind;
};

class PluginModule
{
public:
    // Throws ModuleError.
    explicit PluginModule(const std::string& libraryPath);
    ~PluginModule(); // ModuleExit, then dlclose
    PluginModule(const PluginModule&) = delete;
    PluginModule& operator=(const PluginModule&) = delete;

    bool moduleEntry();
    bool moduleExit();
    // One reference for the caller. Throws ModuleError (noFactory).
    Steinberg::IPtr<Steinberg::IPluginFactory> factory();
    void* symbol(const char* name) const;

private:
    void* handle = nullptr;
};

} // namespace Strovik::Hostkit
