// Allocation for the library's records, with a seam that lets tests make an
// allocation fail. Internal: nothing here is exported from the shared library.
#pragma once

#include <cstddef>

namespace cwphymod {

using AllocFn = void *(*)(std::size_t size);

//! Allocates size bytes through the current allocator (malloc unless a test
//! replaced it). Null when the allocator fails.
void *allocate(std::size_t size);

//! Replaces the allocator; null restores malloc. For tests only; not thread-safe.
void set_allocator_for_testing(AllocFn fn);

} // namespace cwphymod
