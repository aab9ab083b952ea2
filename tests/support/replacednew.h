#pragma once

// The whole family of replaceable operator new and delete (plain, array,
// nothrow, sized and over-aligned), for a program that wants every C++
// allocation to go through two functions of its own. Linking replacednew.cpp
// replaces the operators; the program defines these two:

#include <cstddef>

namespace Strovik::ReplacedNew {

// A block of at least `size` bytes (never 0), aligned as malloc aligns, or
// nullptr when there is none; the operators turn that into the new-handler
// loop and std::bad_alloc.
void* allocateBlock(std::size_t size);
// A block from allocateBlock, or nullptr.
void releaseBlock(void* block);

} // namespace Strovik::ReplacedNew
