#pragma once

// A minimal VST 3 host for tests: loads the built bundle with dlopen and
// drives it through the same calls, in the same order, as a DAW does. The
// hosting itself lives in tools/hostkit; this adds what only tests know.

#include "logtext.h"
#include "pluginmodule.h"
#include "processblock.h"
#include "processorinstance.h"

#include "pluginterfaces/vst/ivsteditcontroller.h"

#include <string>

namespace Strovik::Test {

using namespace Steinberg;
using namespace Steinberg::Vst;

// Class IDs byte by byte as a host stores them in a project, so a change of
// value or byte order shows up as a mismatch.
inline constexpr uint8 kProcessorCid[16] = {0x9E, 0x1B, 0x3F, 0x2A, 0x8C, 0x4D, 0x6E, 0x5F,
                                            0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5, 0x06, 0x17};
inline constexpr uint8 kControllerCid[16] = {0x71, 0x82, 0x93, 0x04, 0xA5, 0xB6, 0xC7, 0xD8,
                                             0xE9, 0xFA, 0x0B, 0x1C, 0x2D, 0x3E, 0x4F, 0x50};
inline FIDString cidString(const uint8* cid)
{
    return reinterpret_cast<FIDString>(cid);
}

// The module's shared library inside the freshly built bundle.
std::string bundleLibraryPath();
// The diagnostic log every processor instance writes.
constexpr const char* kLogPath = Strovik::LogText::kPath;
std::string readLog();
void removeLog();
// How often `what` occurs in `text`.
size_t countOf(const std::string& text, const std::string& what);
// A whole line of the log: one of the beginnings in logtext.h, then the rest.
inline std::string logLine(const char* prefix, const std::string& rest = "")
{
    return prefix + rest + "\n";
}

// The freshly built module unless told otherwise.
class PluginModule : public Strovik::Hostkit::PluginModule
{
public:
    explicit PluginModule(const std::string& path = bundleLibraryPath())
        : Strovik::Hostkit::PluginModule(path)
    {}
};

// The class the factory lists first: the processor.
class ProcessorInstance : public Strovik::Hostkit::ProcessorInstance
{
public:
    explicit ProcessorInstance(IPluginFactory& factory)
        : Strovik::Hostkit::ProcessorInstance(factory, firstClass(factory).cid)
    {}

private:
    static PClassInfo firstClass(IPluginFactory& factory);
};

using Strovik::Hostkit::ProcessBlock;

} // namespace Strovik::Test
