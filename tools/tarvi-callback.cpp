// tarvi-callback: runs one tree callback function for the daemon.
//
//   tarvi-callback SO FUN URI IKEY OKEY DIRECTION [DEBUGLEVEL]
//
// The daemon is multithreaded, so the process it forks may do nothing but
// exec: loading a shared object there could deadlock on a lock that another
// thread of the daemon held at the fork. This program is what it execs. It
// loads "/lib/" SO (lazily), looks FUN up, falling back to
// "/lib/libsc_sys.so" when SO lacks it, and calls it with (URI, IKEY, OKEY),
// or with (URI, IKEY, OKEY, DIRECTION) when DIRECTION is not -1. SO must be
// a plain file name (no '/'). The function
// exchanges its input and output with the daemon through the two keys.
//
// Exit status 0 when the function returned 0, 1 for any failure; the daemon
// only reads the output key, the status is for whoever debugs.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>

#include "paths.h"

namespace {

typedef int (*cb_fn3)(char *, char *, char *);
typedef int (*cb_fn4)(char *, char *, char *, int);

const char *const LIB_DIR = "/lib/";
const char *const FALLBACK_SO = "/lib/libsc_sys.so";

void *open_object(const std::string &path) {
    void *handle = dlopen(path.c_str(), RTLD_LAZY);
    if (!handle)
        printf("Error opening %s: %s\n", path.c_str(), dlerror());
    return handle;
}

void *look_up(void *handle, const char *fun) {
    dlerror();
    void *sym = dlsym(handle, fun);
    if (!sym) {
        const char *err = dlerror();
        printf("Error looking up %s: %s\n", fun, err ? err : "null symbol");
    }
    return sym;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 7 || argc > 8) {
        fprintf(stderr, "usage: tarvi-callback SO FUN URI IKEY OKEY DIRECTION [DEBUGLEVEL]\n");
        return 1;
    }
    const char *so = argv[1];
    const char *fun = argv[2];
    char *uri = argv[3], *ikey = argv[4], *okey = argv[5];
    int direction = atoi(argv[6]);
    int debug = argc == 8 ? atoi(argv[7]) : 0;

    // The object is named in a callback file, which may come from a restored
    // backup: it is a file name in the library folder, never a path that
    // could lead elsewhere.
    if (!*so || strchr(so, '/')) {
        printf("Error opening %s: not a file name in %s\n", so, LIB_DIR);
        return 1;
    }
    std::string path = tarvi_path((std::string(LIB_DIR) + so).c_str());
    void *handle = open_object(path);
    if (!handle)
        return 1;
    void *sym = look_up(handle, fun);
    if (!sym) {
        dlclose(handle);
        handle = open_object(tarvi_path(FALLBACK_SO));
        if (!handle)
            return 1;
        sym = look_up(handle, fun);
        if (!sym) {
            dlclose(handle);
            return 1;
        }
    }
    fflush(stdout);
    int result = direction == -1 ? reinterpret_cast<cb_fn3>(sym)(uri, ikey, okey)
                                 : reinterpret_cast<cb_fn4>(sym)(uri, ikey, okey, direction);
    if (result == 0) {
        dlclose(handle);
        if (debug > 2)
            printf("URI=%s,key1=%s, key2=%s\n", uri, ikey, okey);
        return 0;
    }
    printf("Error executing %s:%s return=%d\n", so, fun, result);
    dlclose(handle);
    return 1;
}
