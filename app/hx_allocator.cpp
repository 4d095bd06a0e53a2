#include "hx_allocator.h"

#include <malloc.h>

namespace hx {

namespace {

// glibc's default is eight arenas a core; each thread that frees a network into its own
// arena keeps those pages for that arena's next use. Two serve the processing thread, the
// estimators and the workers without a measurable wait.
constexpr int MALLOC_ARENAS = 2;
// The default threshold, but fixed: left dynamic, it rises to the size of the largest
// mapped block once that is freed, and the next network's weights and layer buffers then
// come from the arenas, where they stay after the reload that frees them.
constexpr int MALLOC_MMAP_THRESHOLD = 128 * 1024;

}  // namespace

void boundAllocatorCaches() {
    mallopt(M_ARENA_MAX, MALLOC_ARENAS);
    mallopt(M_MMAP_THRESHOLD, MALLOC_MMAP_THRESHOLD);
}

void returnFreedMemory() { malloc_trim(0); }

}  // namespace hx
