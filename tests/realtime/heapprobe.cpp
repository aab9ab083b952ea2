#include "heapprobe.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <new>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
// glibc's own lock under its compatibility name, reachable without dlsym
// (which may itself lock or allocate).
int strovikRealMutexLock(pthread_mutex_t*);
__asm__(".symver strovikRealMutexLock,__pthread_mutex_lock@GLIBC_2.2.5");
}

namespace HeapProbe {

namespace {

constexpr int kMaxThreads = 256;

struct Slot
{
    std::atomic<int> tid{0};
    std::atomic<uint64_t> allocations{0};
    std::atomic<uint64_t> frees{0};
    std::atomic<uint64_t> locks{0};
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
        if (s.allocations == 0 && s.frees == 0 && s.locks == 0)
            continue;
        ThreadCounts t;
        t.tid = s.tid.load();
        t.name = threadName(t.tid);
        t.allocations = s.allocations.load();
        t.frees = s.frees.load();
        t.locks = s.locks.load();
        result.push_back(t);
    }
    return result;
}

void failFrom(size_t bytes)
{
    failThreshold.store(bytes);
}

} // namespace HeapProbe

using namespace HeapProbe;

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

} // extern "C"

// operator new/delete go through malloc/free above, so they are counted
// there; only the failure must become an exception here.
void* operator new(size_t size)
{
    if (void* p = malloc(size))
        return p;
    throw std::bad_alloc();
}

void* operator new[](size_t size)
{
    return operator new(size);
}

void operator delete(void* p) noexcept
{
    free(p);
}

void operator delete[](void* p) noexcept
{
    free(p);
}

void operator delete(void* p, size_t) noexcept
{
    free(p);
}

void operator delete[](void* p, size_t) noexcept
{
    free(p);
}
