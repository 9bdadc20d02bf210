#include "sc_cbrun.h"

#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <sys/socket.h>

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

// The object is named in a callback file, which may come from a restored
// backup: it is a file name in the library folder, never a path that could
// lead elsewhere.
bool plain_name(const char *so) { return *so && !strchr(so, '/'); }

const size_t NUMBERS_SIZE = 3 * sizeof(int32_t);

} // namespace

std::string sc_cbrun_object_path(const char *so) {
    return so ? tarvi_path((std::string(LIB_DIR) + so).c_str()) : tarvi_path(FALLBACK_SO);
}

int sc_cbrun_call(const char *so, const char *fun, char *uri, char *ikey, char *okey, int direction, int debug) {
    if (!plain_name(so)) {
        printf("Error opening %s: not a file name in %s\n", so, LIB_DIR);
        return 1;
    }
    void *handle = open_object(sc_cbrun_object_path(so));
    if (!handle)
        return 1;
    void *sym = look_up(handle, fun);
    if (!sym) {
        dlclose(handle);
        handle = open_object(sc_cbrun_object_path(nullptr));
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

bool sc_cbrun_preload(const char *so) {
    if (so && !plain_name(so))
        return false;
    std::string path = sc_cbrun_object_path(so);
    // Bound at once where every symbol can be, so that no call has to bind
    // them again in its own process; an object that relies on lazy binding
    // (a function it calls exists nowhere) is loaded as a call loads it.
    return dlopen(path.c_str(), RTLD_NOW) != nullptr || dlopen(path.c_str(), RTLD_LAZY) != nullptr;
}

void sc_cbrun_rehearse(const char *so) {
    if (so && !plain_name(so))
        return;
    std::string path = sc_cbrun_object_path(so);
    void *handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (!handle)
        return;
    dlerror();
    // Not found, whatever the object holds: the lookup walks every table.
    (void)dlsym(handle, "\x01");
    dlclose(handle);
}

size_t sc_cbrun_pack(const sc_cbrun_request &r, unsigned char *buf, size_t cap) {
    size_t size = NUMBERS_SIZE;
    for (const std::string *s : {&r.so, &r.fun, &r.uri, &r.ikey, &r.okey}) {
        if (s->find('\0') != std::string::npos)
            return 0;
        size += s->size() + 1;
    }
    if (size > cap)
        return 0;
    int32_t numbers[3] = {r.direction, r.debug, r.kill_after_ms};
    memcpy(buf, numbers, NUMBERS_SIZE);
    size_t at = NUMBERS_SIZE;
    for (const std::string *s : {&r.so, &r.fun, &r.uri, &r.ikey, &r.okey}) {
        memcpy(buf + at, s->c_str(), s->size() + 1);
        at += s->size() + 1;
    }
    return size;
}

bool sc_cbrun_unpack(const unsigned char *buf, size_t len, sc_cbrun_request *out) {
    if (len < NUMBERS_SIZE || len > SC_CBRUN_REQUEST_MAX)
        return false;
    int32_t numbers[3];
    memcpy(numbers, buf, NUMBERS_SIZE);
    out->direction = numbers[0];
    out->debug = numbers[1];
    out->kill_after_ms = numbers[2];
    size_t at = NUMBERS_SIZE;
    for (std::string *s : {&out->so, &out->fun, &out->uri, &out->ikey, &out->okey}) {
        const void *nul = at < len ? memchr(buf + at, '\0', len - at) : nullptr;
        if (!nul)
            return false;
        size_t n = static_cast<size_t>(static_cast<const unsigned char *>(nul) - (buf + at));
        s->assign(reinterpret_cast<const char *>(buf + at), n);
        at += n + 1;
    }
    return at == len;
}

bool sc_cbrun_pass(int sock, const unsigned char *buf, size_t n, int fd) {
    union {
        char space[CMSG_SPACE(sizeof(int))];
        struct cmsghdr align;
    } cmsg = {};
    struct iovec iov = {const_cast<unsigned char *>(buf), n};
    struct msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = cmsg.space;
    msg.msg_controllen = sizeof cmsg.space;
    struct cmsghdr *c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(c), &fd, sizeof fd);
    // Never waits: a receiver that takes nothing is one that hangs.
    return sendmsg(sock, &msg, MSG_DONTWAIT | MSG_NOSIGNAL) == static_cast<ssize_t>(n);
}
