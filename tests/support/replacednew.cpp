#include "replacednew.h"

#include <cstdint>
#include <new>

using Strovik::ReplacedNew::allocateBlock;
using Strovik::ReplacedNew::releaseBlock;

namespace {

// What the standard asks of a throwing operator new: ask the new-handler
// for memory until there is some, and throw once there is no handler.
void* allocateOrThrow(std::size_t size)
{
    for (;;)
    {
        if (void* p = allocateBlock(size ? size : 1))
            return p;
        const std::new_handler handler = std::get_new_handler();
        if (!handler)
            throw std::bad_alloc();
        handler();
    }
}

// Over-aligned blocks come from the same two functions: the block is made
// large enough to place the object on its alignment, and the block's own
// address is kept just below the object for the delete.
void* allocateAligned(std::size_t size, std::align_val_t alignment)
{
    std::size_t align = static_cast<std::size_t>(alignment);
    if (align < alignof(void*))
        align = alignof(void*);
    if (size > SIZE_MAX - align - sizeof(void*))
        throw std::bad_alloc();
    void* block = allocateOrThrow(size + align + sizeof(void*));
    const std::uintptr_t object =
        (reinterpret_cast<std::uintptr_t>(block) + sizeof(void*) + align - 1) & ~(align - 1);
    reinterpret_cast<void**>(object)[-1] = block;
    return reinterpret_cast<void*>(object);
}

void releaseAligned(void* object)
{
    if (object)
        releaseBlock(static_cast<void**>(object)[-1]);
}

template <typename Allocate> void* orNull(Allocate&& allocate) noexcept
{
    try
    {
        return allocate();
    }
    catch (...)
    {
        return nullptr;
    }
}

} // namespace

void* operator new(std::size_t size)
{
    return allocateOrThrow(size);
}

void* operator new[](std::size_t size)
{
    return allocateOrThrow(size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return orNull([size] { return allocateOrThrow(size); });
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return orNull([size] { return allocateOrThrow(size); });
}

void* operator new(std::size_t size, std::align_val_t alignment)
{
    return allocateAligned(size, alignment);
}

void* operator new[](std::size_t size, std::align_val_t alignment)
{
    return allocateAligned(size, alignment);
}

void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    return orNull([=] { return allocateAligned(size, alignment); });
}

void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    return orNull([=] { return allocateAligned(size, alignment); });
}

void operator delete(void* p) noexcept
{
    releaseBlock(p);
}

void operator delete[](void* p) noexcept
{
    releaseBlock(p);
}

void operator delete(void* p, const std::nothrow_t&) noexcept
{
    releaseBlock(p);
}

void operator delete[](void* p, const std::nothrow_t&) noexcept
{
    releaseBlock(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    releaseBlock(p);
}

void operator delete[](void* p, std::size_t) noexcept
{
    releaseBlock(p);
}

void operator delete(void* p, std::align_val_t) noexcept
{
    releaseAligned(p);
}

void operator delete[](void* p, std::align_val_t) noexcept
{
    releaseAligned(p);
}

void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept
{
    releaseAligned(p);
}

void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept
{
    releaseAligned(p);
}

void operator delete(void* p, std::size_t, std::align_val_t) noexcept
{
    releaseAligned(p);
}

void operator delete[](void* p, std::size_t, std::align_val_t) noexcept
{
    releaseAligned(p);
}
