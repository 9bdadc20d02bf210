#include "request.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "log.h"
#include "paths.h"
#include "utility.h"

static_assert(sizeof(void *) != 4 || sizeof(tarvi_request) == TARVI_REQUEST_MAX_SIZE,
              "on a 32-bit target the in-memory record is the wire record");

namespace {

// Offsets of the header fields on the wire.
constexpr int WIRE_MAGIC = 0, WIRE_TYPE = 2, WIRE_STATUS = 4, WIRE_RESERVED = 8, WIRE_KEY = 12, WIRE_VALUE = 16;
constexpr uint16_t TYPE_LAST_FIRST_SET = TARVI_REQUEST_TYPE_SC_SET_INSTANCE_FIELDS;
// Types appended after the reserved one, which stays invalid for older peers.
constexpr uint16_t TYPE_APPENDED_FIRST = TARVI_REQUEST_TYPE_CONFIG_LIST,
                   TYPE_APPENDED_LAST = TARVI_REQUEST_TYPE_COMMIT_STATUS;

char *marker_pointer() { return reinterpret_cast<char *>(static_cast<uintptr_t>(TARVI_REQUEST_POINTER_MARKER)); }

uint32_t pointer_wire_value(const char *p) {
    if (!p)
        return 0;
    return TARVI_REQUEST_POINTER_MARKER;
}

bool header_valid(const tarvi_request *request) {
    return request->magic == TARVI_REQUEST_MAGIC &&
           (request->type <= TYPE_LAST_FIRST_SET ||
            (request->type >= TYPE_APPENDED_FIRST && request->type <= TYPE_APPENDED_LAST));
}

bool reserved_valid(const tarvi_request *request) {
    return request->reservedLen >= 0 && request->reservedLen <= TARVI_REQUEST_STRING_SIZE;
}

} // namespace

static int pack_request_string(char **p, char **next, const char *roof) {
    if (!*p)
        return 0;
    size_t len = strlen(*p) + 1;
    if (static_cast<size_t>(roof - *next) < len)
        return -1;
    // The text may already lie at *next (a received record packed again).
    memmove(*next, *p, len);
    *next += len;
    *p = marker_pointer();
    return 0;
}

static int unpack_request_string(char **p, char **next, const char *roof) {
    if (!*p)
        return 0;
    if (*p != marker_pointer())
        return -1;
    const void *nul = memchr(*next, '\0', static_cast<size_t>(roof - *next));
    if (!nul)
        return -1;
    *p = *next;
    *next = static_cast<char *>(const_cast<void *>(nul)) + 1;
    return 0;
}

int pack_request(tarvi_request *request) {
    if (!header_valid(request) || !reserved_valid(request))
        return -1;
    char *next = request->string + request->reservedLen;
    const char *roof = request->string + TARVI_REQUEST_STRING_SIZE;
    char *key = request->key;
    char *value = request->value;
    if (pack_request_string(&request->key, &next, roof) < 0 || pack_request_string(&request->value, &next, roof) < 0) {
        request->key = key;
        request->value = value;
        return -1;
    }
    return static_cast<int>(TARVI_REQUEST_HEADER_SIZE + (next - request->string));
}

int unpack_request(tarvi_request *request, int size) {
    if (!reserved_valid(request) || size < TARVI_REQUEST_HEADER_SIZE)
        return -1;
    int area = size - TARVI_REQUEST_HEADER_SIZE;
    if (area > TARVI_REQUEST_STRING_SIZE)
        area = TARVI_REQUEST_STRING_SIZE;
    char *next = request->string + request->reservedLen;
    const char *roof = request->string + area;
    if (next > roof || !header_valid(request))
        return -1;
    if (unpack_request_string(&request->key, &next, roof) < 0 ||
        unpack_request_string(&request->value, &next, roof) < 0)
        return -1;
    return 0;
}

int request_to_wire(const tarvi_request *request, unsigned char *wire, int size) {
    if (size < TARVI_REQUEST_HEADER_SIZE || size > TARVI_REQUEST_MAX_SIZE)
        return -1;
    uint32_t key = pointer_wire_value(request->key);
    uint32_t value = pointer_wire_value(request->value);
    memcpy(wire + WIRE_MAGIC, &request->magic, 2);
    memcpy(wire + WIRE_TYPE, &request->type, 2);
    memcpy(wire + WIRE_STATUS, &request->status, 4);
    memcpy(wire + WIRE_RESERVED, &request->reservedLen, 4);
    memcpy(wire + WIRE_KEY, &key, 4);
    memcpy(wire + WIRE_VALUE, &value, 4);
    memcpy(wire + TARVI_REQUEST_HEADER_SIZE, request->string, static_cast<size_t>(size - TARVI_REQUEST_HEADER_SIZE));
    return size;
}

int request_from_wire(tarvi_request *request, const unsigned char *wire, int size) {
    if (size < TARVI_REQUEST_HEADER_SIZE || size > TARVI_REQUEST_MAX_SIZE)
        return -1;
    uint32_t key, value;
    memcpy(&request->magic, wire + WIRE_MAGIC, 2);
    memcpy(&request->type, wire + WIRE_TYPE, 2);
    memcpy(&request->status, wire + WIRE_STATUS, 4);
    memcpy(&request->reservedLen, wire + WIRE_RESERVED, 4);
    memcpy(&key, wire + WIRE_KEY, 4);
    memcpy(&value, wire + WIRE_VALUE, 4);
    request->key = reinterpret_cast<char *>(static_cast<uintptr_t>(key));
    request->value = reinterpret_cast<char *>(static_cast<uintptr_t>(value));
    memcpy(request->string, wire + TARVI_REQUEST_HEADER_SIZE, static_cast<size_t>(size - TARVI_REQUEST_HEADER_SIZE));
    return 0;
}

int request_encode(tarvi_request *request, unsigned char *wire) {
    int size = pack_request(request);
    if (size < 0)
        return -1;
    return request_to_wire(request, wire, size);
}

int request_decode(tarvi_request *request, const unsigned char *wire, int size) {
    if (request_from_wire(request, wire, size) < 0)
        return -1;
    return unpack_request(request, size);
}

namespace {

// A Unix socket address holds about a hundred bytes of path, less than a
// sandbox root plus a device path may take. A longer path is reached through
// its folder: the folder is opened and the socket named as
// "/proc/self/fd/N/NAME", which the kernel resolves to the same place.
struct socket_address {
    struct sockaddr_un addr = {};
    socklen_t len = 0;
    int dirfd = -1;

    ~socket_address() {
        if (dirfd >= 0)
            close(dirfd);
    }

    // False with errno set when `path` cannot be addressed.
    bool set(const char *path) {
        addr.sun_family = AF_UNIX;
        std::string name = path;
        if (name.size() >= sizeof addr.sun_path) {
            size_t slash = name.rfind('/');
            if (slash == std::string::npos || slash == 0) {
                errno = ENAMETOOLONG;
                return false;
            }
            dirfd = open(name.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (dirfd < 0)
                return false;
            name = "/proc/self/fd/" + std::to_string(dirfd) + name.substr(slash);
            if (name.size() >= sizeof addr.sun_path) {
                errno = ENAMETOOLONG;
                return false;
            }
        }
        memcpy(addr.sun_path, name.c_str(), name.size() + 1);
        // The path's length plus 2, as the daemon has always passed it.
        len = static_cast<socklen_t>(name.size() + 2);
        return true;
    }
    const struct sockaddr *get() const { return reinterpret_cast<const struct sockaddr *>(&addr); }
};

} // namespace

int socket_path_bind(int fd, const char *path) {
    socket_address a;
    return a.set(path) ? bind(fd, a.get(), a.len) : -1;
}

int socket_path_connect(int fd, const char *path) {
    socket_address a;
    return a.set(path) ? connect(fd, a.get(), a.len) : -1;
}

static int set_timeouts(int fd, const char *side) {
    struct timeval tv = {TARVI_SOCKET_TIMEOUT, 0};
    const char *names[2] = {"SO_SNDTIMEO", "SO_RCVTIMEO"};
    const int opts[2] = {SO_SNDTIMEO, SO_RCVTIMEO};
    for (int i = 0; i < 2; ++i) {
        if (setsockopt(fd, SOL_SOCKET, opts[i], &tv, sizeof tv) != 0) {
            int err = errno;
            libtarvi_log("\r\n", "Can't setsockopt %s 8 seconds for %s ... %s !!", names[i], side, strerror(err));
            errno = err;
            return -1;
        }
    }
    return 0;
}

int connect_request() {
    std::string path = tarvi_path(TARVI_SOCKET_PATH);
    // No socket, or none this caller may use: the daemon is not running
    // (errno says which).
    if (access(path.c_str(), R_OK | W_OK) != 0)
        return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (set_timeouts(fd, "connect") < 0 || socket_path_connect(fd, path.c_str()) != 0) {
        int err = errno;
        safe_close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

int accept_request(int sockfd) {
    unsigned char addr[110];
    socklen_t len = sizeof addr;
    // Close-on-exec is set by the accept itself.
    int fd = accept4(sockfd, reinterpret_cast<struct sockaddr *>(addr), &len, SOCK_CLOEXEC);
    if (fd < 0)
        return -1;
    if (set_timeouts(fd, "accept") < 0) {
        safe_close(fd);
        return -1;
    }
    return fd;
}

static bool refused_by_policy(const tarvi_request *reply) {
    return !reply->key && reply->value && strcmp(reply->value, TARVI_REPLY_NOT_PERMITTED) == 0;
}

extern "C" int request_for_tarvi(tarvi_request *request) {
    unsigned char wire[TARVI_REQUEST_MAX_SIZE];
    int size = request_encode(request, wire);
    if (size < 0) {
        errno = EINVAL;
        return -1;
    }
    int sock = connect_request();
    if (sock < 0)
        return -1;
    // Why the exchange failed, left in errno for the caller: an I/O error of
    // its own, ETIMEDOUT when the daemon let the socket time out, EPROTO when
    // it closed without a reply it could decode, TARVI_EREFUSED when it
    // answered with a failure, EPERM when its access policy refused.
    int err = 0;
    if (safe_write(sock, wire, static_cast<size_t>(size)) != size) {
        err = errno;
    } else {
        int got = safe_read(sock, wire, sizeof wire);
        if (got < 0)
            err = errno;
        else if (request_decode(request, wire, got) != 0)
            err = EPROTO;
        else if (request->status < 0)
            err = refused_by_policy(request) ? EPERM : TARVI_EREFUSED;
    }
    safe_close(sock);
    if (err == 0)
        return 0;
    errno = err == EAGAIN ? ETIMEDOUT : err == EPIPE || err == ECONNRESET ? EPROTO : err;
    return -1;
}
