#include "device.h"

void lay_device(const ScratchRoot &root, const std::string &defaults) {
    root.write("/usr/cfg/system.cfg", defaults);
    make_dirs(root.at("/var/run"));
    make_dirs(root.at("/mnt/tarvi"));
    make_dirs(root.at("/tmp/sc/tree0"));
    make_dirs(root.at("/tmp/sc/tree1"));
}
