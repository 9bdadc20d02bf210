// Request records as a client fills them, for tests and benchmarks.
#ifndef TARVI_TEST_RECORDS_H
#define TARVI_TEST_RECORDS_H

#include <cstdint>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "libtarvi.h"
#include "paths.h"
#include "request.h"

// A record of `type` carrying `key` and `value` (either may be null), with no
// reserved bytes. The texts are not copied: they must outlive the record.
inline tarvi_request make_request(int type, const char *key, const char *value) {
    tarvi_request r = {};
    r.magic = TARVI_REQUEST_MAGIC;
    r.type = static_cast<uint16_t>(type);
    r.key = const_cast<char *>(key);
    r.value = const_cast<char *>(value);
    return r;
}

// A connection of its own to the daemon's socket, whose sends and reads give
// up after `timeout_ms` (so that a test never waits in a full backlog or for
// a reply that does not come); -1 when it could not connect.
inline int raw_connect(int timeout_ms = 5000) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0 ||
        socket_path_connect(fd, tarvi_path(TARVI_SOCKET_PATH).c_str()) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

// The wire bytes of `r` (empty when it does not pack).
inline std::vector<unsigned char> encode_request(tarvi_request r) {
    std::vector<unsigned char> wire(TARVI_REQUEST_MAX_SIZE);
    int n = request_encode(&r, wire.data());
    wire.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return wire;
}

// Sends `r` on a connection of its own and reads everything the daemon writes
// until it closes the connection. The first record is decoded into `reply`
// (its texts point into its own string area). Returns how many bytes arrived beyond that
// one record (0 for a proper exchange), or -1 when no record came back.
inline int exchange_counted(tarvi_request r, tarvi_request *reply) {
    std::vector<unsigned char> out = encode_request(r);
    int fd = connect_request();
    if (out.empty() || fd < 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    // The daemon may be gone (a test killed it): no SIGPIPE for that.
    bool sent = send(fd, out.data(), out.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(out.size());
    std::vector<unsigned char> wire(2 * TARVI_REQUEST_MAX_SIZE);
    size_t got = 0;
    ssize_t n = 0;
    while (sent && got < wire.size() && (n = read(fd, wire.data() + got, wire.size() - got)) > 0)
        got += static_cast<size_t>(n);
    close(fd);
    if (!sent || n < 0 || got == 0)
        return -1;
    // Bytes after the first record do not stop it from decoding; packing it
    // again gives its own length.
    int first = static_cast<int>(got < TARVI_REQUEST_MAX_SIZE ? got : TARVI_REQUEST_MAX_SIZE);
    if (request_decode(reply, wire.data(), first) != 0)
        return -1;
    size_t size = encode_request(*reply).size();
    return size == 0 ? -1 : static_cast<int>(got - size);
}

#endif
