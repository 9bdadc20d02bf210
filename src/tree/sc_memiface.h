// Allocation for the tree code. Every tree record and text is allocated and
// freed here; the caller's source position is passed for diagnostics.
#ifndef TARVI_SC_MEMIFACE_H
#define TARVI_SC_MEMIFACE_H

#include <cstddef>

// `size` bytes from malloc (uninitialised), or null.
void *mem_malloc_ex(size_t size, const char *file, int line);

// Frees memory from mem_malloc_ex; a null pointer is ignored.
void mem_free_ex(void *ptr, const char *file, int line);

// `size` zeroed bytes, or null.
void *mem_zalloc_ex(size_t size, const char *file, int line);

#define SC_MALLOC(size) mem_malloc_ex((size), __FILE__, __LINE__)
#define SC_ZALLOC(size) mem_zalloc_ex((size), __FILE__, __LINE__)
#define SC_FREE(ptr) mem_free_ex((ptr), __FILE__, __LINE__)

#endif
