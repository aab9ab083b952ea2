#include "pluginhost.h"

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace Strovik::Test {

std::string bundleLibraryPath()
{
    return STROVIK_BUNDLE_LIBRARY;
}

std::string readLog()
{
    std::ifstream in(kLogPath);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void removeLog()
{
    ::unlink(kLogPath);
}

size_t countOf(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; ++at)
        ++n;
    return n;
}

PClassInfo ProcessorInstance::firstClass(IPluginFactory& factory)
{
    PClassInfo info{};
    if (factory.getClassInfo(0, &info) != kResultOk)
        throw std::runtime_error("no class 0");
    return info;
}

} // namespace Strovik::Test
