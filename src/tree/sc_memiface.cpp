#include "sc_memiface.h"

#include <cstdlib>
#include <cstring>

void *mem_malloc_ex(size_t size, const char *, int) { return malloc(size ? size : 1); }

void mem_free_ex(void *ptr, const char *, int) { free(ptr); }

void *mem_zalloc_ex(size_t size, const char *file, int line) {
    void *p = mem_malloc_ex(size, file, line);
    if (p)
        memset(p, 0, size);
    return p;
}
