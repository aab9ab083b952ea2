#include "pluginreport.h"

#include "pluginterfaces/vst/ivstaudioprocessor.h"
#include "pluginterfaces/vst/ivstcomponent.h"

#include <cstdio>
#include <string>

namespace Strovik::Probe {

using Steinberg::PClassInfo;
using Steinberg::PFactoryInfo;

namespace {

std::string hex(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

std::string factoryFlags(Steinberg::int32 flags)
{
    std::string names;
    auto add = [&](Steinberg::int32 bit, const char* name) {
        if (flags & bit)
            names += names.empty() ? name : std::string(", ") + name;
    };
    add(PFactoryInfo::kClassesDiscardable, "classes discardable");
    add(PFactoryInfo::kLicenseCheck, "license check");
    add(PFactoryInfo::kComponentNonDiscardable, "component non-discardable");
    add(PFactoryInfo::kUnicode, "unicode");
    return hex(static_cast<unsigned>(flags)) + (names.empty() ? "" : " (" + names + ")");
}

std::string classFlags(Steinberg::uint32 flags)
{
    std::string names;
    if (flags & Steinberg::Vst::kDistributable)
        names += "distributable";
    if (flags & Steinberg::Vst::kSimpleModeSupported)
        names += names.empty() ? "simple mode" : ", simple mode";
    return hex(flags) + (names.empty() ? "" : " (" + names + ")");
}

std::string cardinality(int32_t value)
{
    return value == PClassInfo::kManyInstances ? "many instances" : std::to_string(value);
}

std::string orNone(const std::string& text)
{
    return text.empty() ? "(none)" : text;
}

} // namespace

void printFactory(std::ostream& out, const VST3::Hosting::PluginFactory& factory)
{
    const auto info = factory.info();
    out << "Factory\n"
        << "  vendor          " << orNone(info.vendor()) << "\n"
        << "  url             " << orNone(info.url()) << "\n"
        << "  email           " << orNone(info.email()) << "\n"
        << "  flags           " << factoryFlags(info.flags()) << "\n";
    const auto classes = factory.classInfos();
    out << "Classes (" << classes.size() << ")\n";
    for (size_t i = 0; i < classes.size(); ++i)
    {
        const auto& c = classes[i];
        out << "  [" << i << "] " << c.name() << "\n"
            << "      category        " << c.category() << "\n"
            << "      sub-categories  " << orNone(c.subCategoriesString()) << "\n"
            << "      class ID        " << c.ID().toString() << "\n"
            << "      vendor          " << orNone(c.vendor()) << "\n"
            << "      version         " << orNone(c.version()) << "\n"
            << "      SDK version     " << orNone(c.sdkVersion()) << "\n"
            << "      cardinality     " << cardinality(c.cardinality()) << "\n"
            << "      flags           " << classFlags(c.classFlags()) << "\n";
    }
}

std::optional<VST3::Hosting::ClassInfo>
findCaptureClass(const VST3::Hosting::PluginFactory::ClassInfos& classes)
{
    for (const auto& c : classes)
        if (c.category() == kVstAudioEffectClass && c.name() == kCaptureClassName)
            return c;
    return std::nullopt;
}

} // namespace Strovik::Probe
