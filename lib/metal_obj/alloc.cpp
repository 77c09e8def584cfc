#include "alloc.h"

#include <cstdlib>

namespace cwphymod {

namespace {
AllocFn current_alloc = nullptr;
}

void *allocate(std::size_t size)
{
    return current_alloc ? current_alloc(size) : std::malloc(size);
}

void set_allocator_for_testing(AllocFn fn)
{
    current_alloc = fn;
}

} // namespace cwphymod
