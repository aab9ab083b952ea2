#pragma once

// What the module's factory says about itself and its classes, printed as
// a host's plug-in scanner would read it.

#include "public.sdk/source/vst/hosting/module.h"

#include <optional>
#include <ostream>

namespace Strovik::Probe {

constexpr const char* kCaptureClassName = "Strovik Capture";

void printFactory(std::ostream& out, const VST3::Hosting::PluginFactory& factory);

// The capture processor: found by name among the audio module classes, as
// a host finds a plug-in the user picked from its list.
std::optional<VST3::Hosting::ClassInfo>
findCaptureClass(const VST3::Hosting::PluginFactory::ClassInfos& classes);

} // namespace Strovik::Probe
