#pragma once

// Float storage that starts at a chosen offset within a 4 KiB page. A copy
// whose destination lies a few bytes after its source, modulo a page, can
// run many times slower on some processors (4K aliasing); a floor and its
// subject must therefore have the same distances between source and
// destination, or the comparison measures the allocator's luck.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace Strovik::Bench {

constexpr size_t kPage = 4096;

inline size_t pageOffset(const void* p)
{
    return reinterpret_cast<uintptr_t>(p) & (kPage - 1);
}

// How far, modulo a page, a copy's destination lies after its source: the
// figures carry it, so a copy slowed by aliasing can be told apart.
inline double pageDistance(const void* destination, const void* source)
{
    const auto d = reinterpret_cast<uintptr_t>(destination);
    const auto s = reinterpret_cast<uintptr_t>(source);
    return static_cast<double>((d - s) & (kPage - 1));
}

class PageBuffer
{
public:
    PageBuffer(size_t floats, size_t offsetInPage)
    {
        const size_t bytes = floats * sizeof(float) + offsetInPage + kPage;
        block = std::aligned_alloc(kPage, (bytes + kPage - 1) & ~(kPage - 1));
        if (!block)
            throw std::bad_alloc();
        start = reinterpret_cast<float*>(static_cast<char*>(block) +
                                         (offsetInPage % kPage & ~size_t{3}));
    }
    ~PageBuffer() { std::free(block); }
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;

    float* data() { return start; }
    const float* data() const { return start; }

private:
    void* block;
    float* start;
};

} // namespace Strovik::Bench
