#include "pluginmodule.h"

#include <dlfcn.h>

namespace Strovik::Hostkit {

using Steinberg::IPluginFactory;

PluginModule::PluginModule(const std::string& libraryPath)
{
    handle = ::dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        throw ModuleError(ModuleError::Kind::cannotOpen, std::string("dlopen: ") + ::dlerror());
    // Both entry points are checked before either is called, so a library
    // that is no VST 3 module is told apart from a module that refuses to start.
    const char* missing = !symbol("GetPluginFactory") ? "GetPluginFactory"
                          : !symbol("ModuleEntry")    ? "ModuleEntry"
                                                      : nullptr;
    if (missing)
    {
        ::dlclose(handle);
        throw ModuleError(ModuleError::Kind::notVst3,
                          libraryPath + " exports no " + missing + ": not a VST 3 module");
    }
    if (!moduleEntry())
    {
        ::dlclose(handle);
        throw ModuleError(ModuleError::Kind::entryFailed, "ModuleEntry returned false");
    }
}

PluginModule::~PluginModule()
{
    moduleExit();
    ::dlclose(handle);
}

void* PluginModule::symbol(const char* name) const
{
    return ::dlsym(handle, name);
}

bool PluginModule::moduleEntry()
{
    auto entry = reinterpret_cast<bool (*)(void*)>(symbol("ModuleEntry"));
    return entry && entry(handle);
}

bool PluginModule::moduleExit()
{
    auto exit = reinterpret_cast<bool (*)()>(symbol("ModuleExit"));
    return exit && exit();
}

Steinberg::IPtr<IPluginFactory> PluginModule::factory()
{
    auto get = reinterpret_cast<IPluginFactory* (*)()>(symbol("GetPluginFactory"));
    IPluginFactory* factory = get ? get() : nullptr;
    if (!factory)
        throw ModuleError(ModuleError::Kind::noFactory, "GetPluginFactory returned no factory");
    return Steinberg::owned(factory);
}

} // namespace Strovik::Hostkit
