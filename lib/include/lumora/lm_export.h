#pragma once
// Marks what the shared library exports; everything else stays hidden.
#if defined(LUMORA_BUILDING)
#define LUMORA_EXPORT __attribute__((visibility("default")))
#else
#define LUMORA_EXPORT
#endif
