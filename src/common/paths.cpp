#include "paths.h"

#include <cstdlib>
#include <mutex>

#ifndef TARVI_ROOT_PREFIX
#define TARVI_ROOT_PREFIX ""
#endif

namespace {

std::string &root_storage() {
    static std::string root = [] {
        std::string r = TARVI_ROOT_PREFIX;
#ifdef TARVI_ROOT_FROM_ENV
        if (const char *env = std::getenv("TARVI_ROOT"))
            r = env;
#endif
        while (!r.empty() && r.back() == '/')
            r.pop_back();
        return r;
    }();
    return root;
}

} // namespace

const char *tarvi_root() { return root_storage().c_str(); }

void tarvi_set_root(const char *root) {
    std::string r = root ? root : "";
    while (!r.empty() && r.back() == '/')
        r.pop_back();
    root_storage() = r;
}

std::string tarvi_path(const char *abs) { return root_storage() + abs; }
