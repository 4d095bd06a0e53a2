#pragma once
// Marks what the shared library exports; everything else stays hidden.
// LUMORA_NO_EXPORT keeps a class nested in an exported one out of the export: the nested
// class would otherwise take the visibility of its enclosing class, and every out-of-line
// member of an implementation object would become part of the library's interface.
#if defined(LUMORA_BUILDING)
#define LUMORA_EXPORT __attribute__((visibility("default")))
#define LUMORA_NO_EXPORT __attribute__((visibility("hidden")))
#else
#define LUMORA_EXPORT
#define LUMORA_NO_EXPORT
#endif
