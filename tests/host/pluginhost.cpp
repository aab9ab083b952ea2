#include "pluginhost.h"

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace StrovikTest {

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

PClassInfo ProcessorInstance::firstClass(IPluginFactory& factory)
{
    PClassInfo info{};
    if (factory.getClassInfo(0, &info) != kResultOk)
        throw std::runtime_error("no class 0");
    return info;
}

} // namespace StrovikTest
