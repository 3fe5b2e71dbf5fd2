// What the pool in pool.cpp tells the rest of the host kernel about its blocks.
#pragma once

#include <cstddef>

namespace host {

// Whether [start, start + length) lies inside one live block of non-paged pool: the only
// memory whose pages MmBuildMdlForNonPagedPool may describe.
bool PoolRangeIsNonPaged(const void* start, size_t length);

}  // namespace host
