#include "tarvi-ex.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "paths.h"
#include "unique.h"

#include "sc_debug.h"
#include "sc_tree.h"
#include "sc_tree_write.h"

namespace {

// Set when a flush wrote tree files and no commit has packed them since: the
// files then differ from the archive in flash even when no module is marked
// changed any more (a restore of the defaults, or a commit whose image write
// failed after its flush).
bool unpacked = false;

const char *const TREE_DIR_PREFIX = "/tmp/sc/tree";
const char KILLME[] = "killme";

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

void config_sc_remove_etcfile() {
    for (int n = 0; n <= 1; ++n) {
        std::string dirpath = tarvi_path(TREE_DIR_PREFIX) + std::to_string(n);
        unique_dir dir(opendir(dirpath.c_str()));
        if (!dir)
            continue;
        std::string marker = dirpath + "/" + KILLME;
        int fd = open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0)
            close(fd);
        while (struct dirent *entry = readdir(dir.get())) {
            if (strcmp(entry->d_name, KILLME) == 0)
                continue;
            std::string path = dirpath + "/" + entry->d_name;
            unlink(path.c_str());
        }
        unlink(marker.c_str());
    }
}
