// The request record on the wire, and the socket ends of one exchange.
#ifndef TARVI_REQUEST_H
#define TARVI_REQUEST_H

#include "libtarvi.h"

// Packs `key` and `value` into request->string after the reserved bytes and
// replaces the two pointers by the wire marker. Returns the wire size
// (20 + reservedLen + packed bytes), or -1 (bad magic, type 58 or above 63,
// reservedLen outside 0..4096, texts that do not fit) with key and value as
// they were before the call.
int pack_request(tarvi_request *request);

// Turns a packed record of which `size` wire bytes are valid back into memory
// form: key and value point into request->string or are null. Returns 0, or -1
// for a bad magic or type, a reservedLen outside the received bytes, a pointer
// field other than 0 or the marker, or a text without its NUL in those bytes.
int unpack_request(tarvi_request *request, int size);

// Writes the first `size` wire bytes of a packed record into `wire` (which has
// room for TARVI_REQUEST_MAX_SIZE bytes). Returns `size`, or -1 when `size` is
// outside 20..4116.
int request_to_wire(const tarvi_request *request, unsigned char *wire, int size);

// Reads `size` received wire bytes into a record in packed form (pointer
// fields hold the raw 32-bit wire values). Returns 0, or -1 when `size` is
// shorter than the header or longer than a record.
int request_from_wire(tarvi_request *request, const unsigned char *wire, int size);

// pack_request + request_to_wire. Returns the wire size or -1.
int request_encode(tarvi_request *request, unsigned char *wire);

// request_from_wire + unpack_request. Returns 0 or -1.
int request_decode(tarvi_request *request, const unsigned char *wire, int size);

// Client side: a socket connected to the daemon, with 8-second send and
// receive timeouts, or -1 with errno set (ENOENT: no socket, ECONNREFUSED:
// nobody listens on it, EACCES: not ours to use, or a socket failure).
int connect_request();

// bind(2) and connect(2) of socket `fd` to the Unix socket at `path`, whatever
// its length (a path too long for a socket address is reached through its
// folder). Return 0, or -1 with errno set.
int socket_path_bind(int fd, const char *path);
int socket_path_connect(int fd, const char *path);

// Daemon side: accepts one connection on `sockfd`, sets close-on-exec and the
// 8-second timeouts. Returns the descriptor (the caller closes it) or -1.
int accept_request(int sockfd);

// The value of the reply to a request the daemon's access policy refuses
// (status -1, no key); the client library reports it as EPERM.
#define TARVI_REPLY_NOT_PERMITTED "not permitted"

// Socket timeout of both ends, in seconds.
#define TARVI_SOCKET_TIMEOUT 8

#endif
