#pragma once

#include <cstdio>
#include <mutex>

namespace Strovik {

// A plain-text trace of the capture path, written by every thread of one
// plug-in instance. The file is opened lazily by the first message (and
// truncated then), every line is flushed at once, and a failed open simply
// drops the message: logging never changes what its caller does.
class DiagnosticLog
{
public:
    static constexpr const char* kDefaultPath = "/tmp/strovik.log";

    explicit DiagnosticLog(const char* path = kDefaultPath) : path(path) {}
    ~DiagnosticLog() { closeLog(); }
    DiagnosticLog(const DiagnosticLog&) = delete;
    DiagnosticLog& operator=(const DiagnosticLog&) = delete;

    // One printf-style line; the caller brings the "[strovik] " prefix and the newline.
    void logMessage(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void closeLog();

private:
    const char* path;
    std::FILE* logFile = nullptr;
    std::mutex logMutex;
};

// The monotonic clock in whole milliseconds, for the lines that carry "t=".
unsigned long long monotonicMillis();

} // namespace Strovik
