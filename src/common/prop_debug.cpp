#include "prop_debug.h"

#include <cstdarg>
#include <cstdio>

#include "log.h"

std::atomic<unsigned int> prop_debug_level{2};
const char *const prop_debug_name[PROP_DEBUG_MAX + 1] = {"",        "TEST! ", "FAIL! ", "WARN! ",
                                                         "TRACE! ", "INFO! ", "LOUD! "};

int prop_debug_set(unsigned int level) {
    if (level <= PROP_DEBUG_MAX)
        prop_debug_level.store(level);
    return 0;
}

int prop_debug_get() { return static_cast<int>(prop_debug_level.load()); }

void prop_debug_log(unsigned int level, const char *func, int line, const char *fmt, ...) {
    if (level > PROP_DEBUG_MAX || prop_debug_level.load() < level)
        return;
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    tarvid_log(LOG_DEBUG, "[TARVID-PROP][%s][%s:%d:]--- %s", prop_debug_name[level], func, line, text);
}
