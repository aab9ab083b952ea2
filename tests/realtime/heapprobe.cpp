#include "heapprobe.h"
#include "replacednew.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <linux/magic.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

// The real functions, each under another name that glibc exports, so that
// none needs dlsym (which may itself lock or allocate) and none resolves
// back to the replacements below.
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
// glibc's own lock under its compatibility name.
int strovikRealMutexLock(pthread_mutex_t*);
__asm__(".symver strovikRealMutexLock,__pthread_mutex_lock@GLIBC_2.2.5");
int __open(const char*, int, ...);
ssize_t __write(int, const void*, size_t);
FILE* _IO_fopen(const char*, const char*);
int _IO_fflush(FILE*);
size_t _IO_fwrite(const void*, size_t, size_t, FILE*);
int _IO_vfprintf(FILE*, const char*, va_list);
}

namespace Strovik::HeapProbe {

namespace {

constexpr int kMaxThreads = 256;

enum FileCall
{
    Open,
    Openat,
    Fopen,
    Fflush,
    Fwrite,
    Fprintf,
    Write,
    kFileCalls
};
constexpr const char* kFileCallNames[kFileCalls] = {"open",   "openat",  "fopen", "fflush",
                                                    "fwrite", "fprintf", "write"};

struct Slot
{
    std::atomic<int> tid{0};
    std::atomic<uint64_t> allocations{0};
    std::atomic<uint64_t> frees{0};
    std::atomic<uint64_t> locks{0};
    std::atomic<uint64_t> files[kFileCalls] = {};
    std::atomic<uint64_t> otherWrites{0};
};

Slot slots[kMaxThreads];
std::atomic<int> slotsUsed{0};
std::atomic<bool> counting{false};
std::atomic<size_t> failThreshold{0};
// Plain TLS (no constructor), so it is safe inside malloc itself.
__thread int mySlot = -1;

Slot* slotOfThisThread()
{
    if (mySlot < 0)
    {
        const int index = slotsUsed.fetch_add(1);
        if (index >= kMaxThreads)
            return nullptr;
        slots[index].tid.store(static_cast<int>(::syscall(SYS_gettid)));
        mySlot = index;
    }
    return &slots[mySlot];
}

void countAllocation()
{
    if (counting.load(std::memory_order_relaxed))
        if (Slot* s = slotOfThisThread())
            s->allocations.fetch_add(1, std::memory_order_relaxed);
}

void countFree(void* p)
{
    if (p && counting.load(std::memory_order_relaxed))
        if (Slot* s = slotOfThisThread())
            s->frees.fetch_add(1, std::memory_order_relaxed);
}

void countFileCall(FileCall call)
{
    if (counting.load(std::memory_order_relaxed))
        if (Slot* s = slotOfThisThread())
            s->files[call].fetch_add(1, std::memory_order_relaxed);
}

// A write that lands in a file, a FIFO or a device, as opposed to an
// eventfd or a socket: PipeWire's threads wake each other through eventfds,
// which is how its graph works and no file I/O.
bool writesToAFile(int fd)
{
    struct stat st
    {};
    if (::fstat(fd, &st) != 0)
        return false;
    if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode))
        return true;
    if (!S_ISREG(st.st_mode))
        return false;
    // Kernels that give anonymous inodes (eventfd, timerfd) a regular file's
    // type still tell them apart by their file system.
    struct statfs fs
    {};
    return ::fstatfs(fd, &fs) != 0 || fs.f_type != ANON_INODE_FS_MAGIC;
}

void countWrite(int fd)
{
    if (!counting.load(std::memory_order_relaxed))
        return;
    const int savedErrno = errno;
    if (writesToAFile(fd))
        countFileCall(Write);
    else if (Slot* s = slotOfThisThread())
        s->otherWrites.fetch_add(1, std::memory_order_relaxed);
    errno = savedErrno;
}

// open and openat take a mode only when they may create a file.
mode_t modeArgument(int flags, va_list args)
{
    const bool creates = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
    return creates ? va_arg(args, mode_t) : 0;
}

bool shouldFail(size_t bytes)
{
    const size_t threshold = failThreshold.load(std::memory_order_relaxed);
    return threshold != 0 && bytes >= threshold;
}

std::string threadName(int tid)
{
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

} // namespace

int currentThreadId()
{
    return static_cast<int>(::syscall(SYS_gettid));
}

void start()
{
    for (auto& s : slots)
    {
        s.allocations.store(0);
        s.frees.store(0);
        s.locks.store(0);
        for (auto& f : s.files)
            f.store(0);
        s.otherWrites.store(0);
    }
    counting.store(true);
}

std::vector<ThreadCounts> stop()
{
    counting.store(false);
    std::vector<ThreadCounts> result;
    const int used = std::min(slotsUsed.load(), kMaxThreads);
    for (int i = 0; i < used; ++i)
    {
        const Slot& s = slots[i];
        ThreadCounts t;
        t.tid = s.tid.load();
        t.allocations = s.allocations.load();
        t.frees = s.frees.load();
        t.locks = s.locks.load();
        for (int f = 0; f < kFileCalls; ++f)
            if (const uint64_t n = s.files[f].load())
            {
                t.fileCalls += n;
                t.fileCallsByName += (t.fileCallsByName.empty() ? "" : ", ") +
                                     std::string(kFileCallNames[f]) + " " + std::to_string(n);
            }
        t.otherWrites = s.otherWrites.load();
        if (t.allocations == 0 && t.frees == 0 && t.locks == 0 && t.fileCalls == 0 &&
            t.otherWrites == 0)
            continue;
        t.name = threadName(t.tid);
        result.push_back(t);
    }
    return result;
}

void failFrom(size_t bytes)
{
    failThreshold.store(bytes);
}

} // namespace Strovik::HeapProbe

using namespace Strovik::HeapProbe;

extern "C" {

void* malloc(size_t size)
{
    countAllocation();
    return shouldFail(size) ? nullptr : __libc_malloc(size);
}

void* calloc(size_t n, size_t size)
{
    countAllocation();
    return shouldFail(n * size) ? nullptr : __libc_calloc(n, size);
}

void* realloc(void* p, size_t size)
{
    countAllocation();
    return shouldFail(size) ? nullptr : __libc_realloc(p, size);
}

void* memalign(size_t alignment, size_t size)
{
    countAllocation();
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size)
{
    countAllocation();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size)
{
    countAllocation();
    *out = __libc_memalign(alignment, size);
    return *out ? 0 : ENOMEM;
}

void free(void* p)
{
    countFree(p);
    __libc_free(p);
}

int pthread_mutex_lock(pthread_mutex_t* mutex)
{
    if (counting.load(std::memory_order_relaxed))
        if (Slot* s = slotOfThisThread())
            s->locks.fetch_add(1, std::memory_order_relaxed);
    return strovikRealMutexLock(mutex);
}

// The file functions, and the other names a large-file or fortified build
// calls them by.

int open(const char* path, int flags, ...)
{
    countFileCall(Open);
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    return __open(path, flags, mode);
}
int open64(const char*, int, ...) __attribute__((alias("open")));

int __open_2(const char* path, int flags)
{
    countFileCall(Open);
    return __open(path, flags);
}
int __open64_2(const char*, int) __attribute__((alias("__open_2")));

int openat(int dir, const char* path, int flags, ...)
{
    countFileCall(Openat);
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    return static_cast<int>(::syscall(SYS_openat, dir, path, flags, mode));
}
int openat64(int, const char*, int, ...) __attribute__((alias("openat"), nothrow));

int __openat_2(int dir, const char* path, int flags)
{
    countFileCall(Openat);
    return static_cast<int>(::syscall(SYS_openat, dir, path, flags, 0));
}
int __openat64_2(int, const char*, int) __attribute__((alias("__openat_2")));

FILE* fopen(const char* path, const char* mode)
{
    countFileCall(Fopen);
    return _IO_fopen(path, mode);
}

FILE* fopen64(const char*, const char*) __attribute__((alias("fopen")));

int fflush(FILE* stream)
{
    countFileCall(Fflush);
    return _IO_fflush(stream);
}

size_t fwrite(const void* data, size_t size, size_t count, FILE* stream)
{
    countFileCall(Fwrite);
    return _IO_fwrite(data, size, count, stream);
}

int vfprintf(FILE* stream, const char* format, va_list args)
{
    countFileCall(Fprintf);
    return _IO_vfprintf(stream, format, args);
}

int __vfprintf_chk(FILE* stream, int, const char* format, va_list args)
{
    return vfprintf(stream, format, args);
}

int fprintf(FILE* stream, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = vfprintf(stream, format, args);
    va_end(args);
    return n;
}

int __fprintf_chk(FILE* stream, int, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = vfprintf(stream, format, args);
    va_end(args);
    return n;
}

ssize_t write(int fd, const void* data, size_t size)
{
    countWrite(fd);
    return __write(fd, data, size);
}

} // extern "C"

// operator new and delete (tests/support/replacednew.cpp) go through malloc
// and free above, so C++ allocations are counted, and fail, with the rest.
void* Strovik::ReplacedNew::allocateBlock(size_t size)
{
    return malloc(size);
}

void Strovik::ReplacedNew::releaseBlock(void* block)
{
    free(block);
}
