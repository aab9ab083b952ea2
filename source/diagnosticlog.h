#pragma once

#include "linequeue.h"
#include "logtext.h"

#include <cstdio>
#include <mutex>

namespace Strovik {

// A plain-text trace of the capture path, one per plug-in instance. The
// file is opened lazily by the first line written (and truncated then),
// every write is flushed at once, and a failed open simply drops the line:
// logging never changes what its caller does.
//
// The two real-time threads never touch the file: the host's audio thread
// and PipeWire's data thread each post their lines to a queue of their own,
// and a thread that may block (the instance's PipeWire loop, on a timer)
// writes them out with flushQueued().
class DiagnosticLog
{
public:
    explicit DiagnosticLog(const char* path = LogText::kPath) : path(path) {}
    ~DiagnosticLog() { close(); }
    DiagnosticLog(const DiagnosticLog&) = delete;
    DiagnosticLog& operator=(const DiagnosticLog&) = delete;

    // Any thread but the real-time ones: queued lines first, then this
    // printf-style line. The caller brings the "[strovik] " prefix and the
    // newline.
    void write(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // The real-time threads' own queues: one producer each.
    LineQueue& audioThread() { return audioLines; }
    LineQueue& dataThread() { return dataLines; }

    // Writes what the queues hold; never from a real-time thread.
    void flushQueued();

    // Writes what is still queued, with the count of lines dropped at the
    // very end, then closes the file; the next line opens (and truncates)
    // it again. Only once the real-time threads have stopped posting.
    void close();

private:
    bool openFile();
    void writeQueue(LineQueue& queue);

    const char* path;
    std::FILE* file = nullptr;
    std::mutex fileMutex;
    LineQueue audioLines;
    LineQueue dataLines;
};

} // namespace Strovik
