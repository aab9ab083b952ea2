#include "diagnosticlog.h"

#include <cstdarg>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace Strovik {

namespace {

// The log lives in world-writable /tmp, so another user could plant a
// symlink there and have us truncate a file of ours it points at. O_NOFOLLOW
// makes such an open fail instead; the message is then dropped like any
// other failed open, and the next message tries again.
std::FILE* openTruncated(const char* path)
{
    int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return nullptr;
    std::FILE* file = ::fdopen(fd, "w");
    if (!file)
        ::close(fd);
    return file;
}

} // namespace

void DiagnosticLog::logMessage(const char* format, ...)
{
    std::lock_guard<std::mutex> lock(logMutex);
    if (!logFile)
        logFile = openTruncated(path);
    if (!logFile)
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(logFile, format, args);
    va_end(args);
    std::fflush(logFile);
}

void DiagnosticLog::closeLog()
{
    // Taking the mutex keeps a close from cutting into a line being written.
    std::lock_guard<std::mutex> lock(logMutex);
    if (logFile)
    {
        std::fclose(logFile);
        logFile = nullptr;
    }
}

unsigned long long monotonicMillis()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<unsigned long long>(now.tv_sec) * 1000ull +
           static_cast<unsigned long long>(now.tv_nsec) / 1000000ull;
}

} // namespace Strovik
