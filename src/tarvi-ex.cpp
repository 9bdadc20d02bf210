#include "tarvi-ex.h"

#include <cerrno>
#include <cstdlib>

#include "sc_debug.h"

int config_sc_debug(char *level, char **value) {
    if (!level)
        return -1;
    char *end = nullptr;
    errno = 0;
    long n = strtol(level, &end, 10);
    if (end != level && *end == '\0' && errno == 0 && n >= 0 && n <= SC_DEBUG_LEVEL_MAX)
        DebugLevel = static_cast<u_32>(n);
    *value = level;
    return 0;
}

// Until the tree is built there is nothing to write.
int config_sc_dirty() { return 0; }

int config_sc_flush(int force) {
    (void)force;
    return 0;
}
