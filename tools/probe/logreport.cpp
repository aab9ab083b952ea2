#include "logreport.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

namespace Strovik::Probe {

namespace {

bool startsWith(const std::string& line, const char* prefix)
{
    return line.rfind(prefix, 0) == 0;
}

// The digits after `key` up to `end`; false unless there are 1 to 9 of them.
bool numberAfter(const std::string& line, const std::string& key, char end, unsigned& value)
{
    const size_t at = line.find(key);
    if (at == std::string::npos)
        return false;
    size_t i = at + key.size();
    const size_t first = i;
    while (i < line.size() && std::isdigit(static_cast<unsigned char>(line[i])))
        ++i;
    if (i == first || i - first > 9 || (end != '\0' && (i >= line.size() || line[i] != end)))
        return false;
    value = static_cast<unsigned>(std::stoul(line.substr(first, i - first)));
    return true;
}

} // namespace

LogReport analyzeLog(const std::string& text)
{
    LogReport r;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line))
    {
        if (line == LogText::kSetupDone)
            r.connected = true;
        else if (line == LogText::kConnectFailed)
            r.connectFailed = true;
        else if (startsWith(line, LogText::kConnectStream))
            numberAfter(line, " rate=", ' ', r.streamRate);
        else if (startsWith(line, LogText::kRingReset))
            ++r.ringResets;
        else if (startsWith(line, LogText::kPwStatus) || startsWith(line, LogText::kProcStatus))
        {
            unsigned fill = 0;
            if (!numberAfter(line, " fill=", '%', fill))
                continue;
            r.fillMin = r.fillLines ? std::min(r.fillMin, fill) : fill;
            r.fillMax = r.fillLines ? std::max(r.fillMax, fill) : fill;
            r.fillLast = fill;
            ++r.fillLines;
        }
    }
    return r;
}

std::string readTextFile(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace Strovik::Probe
