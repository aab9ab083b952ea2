#include "diagnosticlog.h"

#include <cstdarg>
#include <fcntl.h>
#include <unistd.h>

namespace Strovik {

namespace {

// The log lives in world-writable /tmp, so another user could plant a
// symlink there and have us truncate a file of ours it points at. O_NOFOLLOW
// makes such an open fail instead; the line is then dropped like any other
// after a failed open, and the next line tries again.
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

void writeDropped(std::FILE* file, uint32_t count)
{
    if (count != 0)
        std::fprintf(file, "%s %u lines dropped\n", LogText::kDropped, count);
}

} // namespace

bool DiagnosticLog::openFile()
{
    if (!file)
        file = openTruncated(path);
    return file != nullptr;
}

void DiagnosticLog::writeQueue(LineQueue& queue)
{
    if (!queue.hasLines())
        return;
    openFile();
    // With no file the lines are dropped all the same: a queue left full
    // would only drop the newer ones instead.
    queue.drain([this](uint32_t droppedBefore, const char* text, uint32_t length) {
        if (!file)
            return;
        writeDropped(file, droppedBefore);
        std::fwrite(text, 1, length, file);
    });
}

void DiagnosticLog::write(const char* format, ...)
{
    std::lock_guard<std::mutex> lock(fileMutex);
    writeQueue(audioLines);
    writeQueue(dataLines);
    if (!openFile())
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(file, format, args);
    va_end(args);
    std::fflush(file);
}

void DiagnosticLog::flushQueued()
{
    std::lock_guard<std::mutex> lock(fileMutex);
    writeQueue(audioLines);
    writeQueue(dataLines);
    if (file)
        std::fflush(file);
}

void DiagnosticLog::close()
{
    // The lock keeps a close from cutting into a line being written.
    std::lock_guard<std::mutex> lock(fileMutex);
    writeQueue(audioLines);
    writeQueue(dataLines);
    const uint32_t audioDropped = audioLines.takeDroppedAtEnd();
    const uint32_t dataDropped = dataLines.takeDroppedAtEnd();
    if ((audioDropped != 0 || dataDropped != 0) && !openFile())
        return;
    if (file)
    {
        writeDropped(file, audioDropped);
        writeDropped(file, dataDropped);
        std::fclose(file);
        file = nullptr;
    }
}

} // namespace Strovik
