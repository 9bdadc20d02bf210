#include "sc_debug.h"

#include <cstdarg>
#include <cstdio>

u_32 DebugLevel = 0;

void changeDebugLevel(u_32 level) {
    if (level <= SC_DEBUG_LEVEL_MAX)
        DebugLevel = level;
}

void sc_debug_print(u_32 level, const char *fmt, ...) {
    if (DebugLevel < level)
        return;
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    fflush(stdout);
}
