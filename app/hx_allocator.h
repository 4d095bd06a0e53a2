#pragma once
// How the program keeps the C library's allocator from holding on to freed memory: a
// settings change frees and allocates every network again (tens of MB), on whichever HTTP
// worker serves the request, and without these bounds each change left its predecessor's
// pages behind.

namespace hx {

// At most two arenas and a fixed threshold above which blocks are mapped one by one, so
// that a freed network goes back to the system. Process-wide: call before any thread exists.
void boundAllocatorCaches();

// Hands back the pages of free blocks that the allocator still keeps (after a reload).
void returnFreedMemory();

}  // namespace hx
