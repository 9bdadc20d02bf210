#include "fuzz_support.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "log.h"
#include "paths.h"
#include "prop_debug.h"
#include "sc_debug.h"
#include "sc_tree.h"
#include "sc_tree_file.h"
#include "store.h"

namespace {

void drop_message(int, const char *) {}

std::string make_root() {
    const char *tmp = getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/tarvi-fuzz-XXXXXX";
    if (!mkdtemp(templ.data())) {
        perror("mkdtemp");
        abort();
    }
    return templ;
}

void remove_root() {
    std::error_code ec;
    std::filesystem::remove_all(fuzz_root(), ec);
}

} // namespace

const std::string &fuzz_root() {
    // Never destroyed: the exit handler that removes the folder needs it.
    static const std::string *root = [] {
        auto *r = new std::string(make_root());
        tarvi_set_root(r->c_str());
        tarvi_log_set_sink(drop_message);
        DebugLevel = 0;
        prop_debug_set(0);
        atexit(remove_root);
        return r;
    }();
    return *root;
}

void fuzz_write(const char *abs, const void *data, size_t len) {
    std::filesystem::path path = tarvi_path(abs);
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char *>(data), static_cast<std::streamsize>(len));
    if (!out) {
        fprintf(stderr, "cannot write %s\n", path.c_str());
        abort();
    }
}

void fuzz_remove(const char *abs) {
    std::error_code ec;
    std::filesystem::remove_all(tarvi_path(abs), ec);
}

void fuzz_store_reset() {
    free_store();
    if (config_store_init() != 0)
        abort();
}

void fuzz_load_tree(int with_trees) {
    fuzz_store_reset();
    // The daemon's one tree: freeing tells the shared "$so=" texts by it.
    sc_initSCType(&SC);
    sc_loadTree(&SC, with_trees);
    sc_deleteSCTree(&SC);
    fuzz_store_reset();
}

void fuzz_split(const uint8_t *data, size_t size, std::string *first, std::string *second) {
    const char *text = reinterpret_cast<const char *>(data);
    const void *nul = memchr(text, '\0', size);
    size_t cut = nul ? static_cast<size_t>(static_cast<const char *>(nul) - text) : size;
    first->assign(text, cut);
    second->assign(cut < size ? text + cut + 1 : text + size, cut < size ? size - cut - 1 : 0);
}

// Inputs name programs and shell commands (rc-file services and triggers,
// property controls): none of them may run.
extern "C" int __wrap__Z11nonrt_spawnPKcPi(const char *, pid_t *) {
    errno = EPERM;
    return -1;
}

extern "C" FILE *__wrap_popen(const char *, const char *) {
    errno = EPERM;
    return nullptr;
}
