// Linked into the micro benchmarks: every C++ allocation of 64 KiB or more
// (the ring, its scratch arrays, the floors' buffers) gets fresh pages of its
// own and starts 16 bytes into them, as glibc places a block it maps. The
// distances between ring and scratch, which the allocator's history would
// otherwise decide, are then the same on every run; on processors where a
// copy whose destination lies just after its source modulo 4 KiB runs many
// times slower (see pagebuffer.h), figures taken without this moved by up
// to 4× from one run to the next.

#include "replacednew.h"

#include <array>
#include <cstdlib>
#include <mutex>
#include <sys/mman.h>

namespace {

constexpr size_t kLarge = 64 * 1024;
constexpr size_t kOffset = 16;

struct Mapping
{
    void* block = nullptr;
    size_t length = 0;
};

// Large blocks are few (a handful per benchmark): a fixed table, searched on
// delete, tells them from malloc's without touching memory around them.
std::array<Mapping, 256> mappings;
std::mutex mappingsMutex;

} // namespace

// replacednew.cpp turns a null block into the new-handler loop and
// std::bad_alloc.
void* Strovik::ReplacedNew::allocateBlock(size_t size)
{
    if (size < kLarge)
        return std::malloc(size);
    const size_t length = size + kOffset;
    void* block =
        ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED)
        return nullptr;
    std::lock_guard<std::mutex> lock(mappingsMutex);
    for (Mapping& m : mappings)
        if (!m.block)
        {
            m = {block, length};
            return static_cast<char*>(block) + kOffset;
        }
    ::munmap(block, length);
    return nullptr;
}

void Strovik::ReplacedNew::releaseBlock(void* p)
{
    if (!p)
        return;
    void* block = static_cast<char*>(p) - kOffset;
    {
        std::lock_guard<std::mutex> lock(mappingsMutex);
        for (Mapping& m : mappings)
            if (m.block == block)
            {
                ::munmap(m.block, m.length);
                m = {};
                return;
            }
    }
    std::free(p);
}
