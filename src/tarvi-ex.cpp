#include "tarvi-ex.h"

#include <cerrno>
#include <cstdlib>

#include "sc_debug.h"
#include "sc_tree.h"
#include "sc_tree_write.h"

namespace {

// Set when a flush wrote tree files and no commit has packed them since: the
// files then differ from the archive in flash even when no module is marked
// changed any more (a restore of the defaults, or a commit whose image write
// failed after its flush).
bool unpacked = false;

} // namespace

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

int config_sc_dirty() {
    if (!SC.tree.root)
        return 0;
    return sc_IsDirty(&SC) || unpacked;
}

int config_sc_flush(int force) {
    if (!SC.tree.root)
        return 0;
    if (force == 1) {
        unpacked = true;
        return sc_writeTreeToTreeFile(&SC);
    }
    if (force != 0)
        return 0;
    if (sc_IsDirty(&SC))
        unpacked = true;
    return sc_writeDirtyToEtcFile(&SC);
}

void config_sc_packed() { unpacked = false; }
