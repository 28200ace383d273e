#pragma once

#include <cstdint>

// Counts heap allocations made by the current thread while a counter is
// active: operator new in every build, and malloc and friends too (libsoxr
// allocates with them) where no sanitizer owns the allocator.
namespace alloccount {

void begin();
std::uint64_t end();
bool countsMalloc();

} // namespace alloccount
