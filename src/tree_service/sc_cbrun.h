// One tree callback function run in a process of its own, as the callback
// helper ("tarvi-callback SO FUN ...") runs it and as every child of the
// callback host ("tarvi-callback --host", sc_cbhost.h) runs it; and the
// records that the daemon and the host exchange for a call.
#ifndef TARVI_SC_CBRUN_H
#define TARVI_SC_CBRUN_H

#include <cstddef>
#include <cstdint>
#include <string>

// Loads "/lib/" SO (lazily), looks FUN up, falling back to
// "/lib/libsc_sys.so" when SO lacks it, and calls it with (URI, IKEY, OKEY),
// or with (URI, IKEY, OKEY, DIRECTION) when DIRECTION is not -1; prints
// what failed on standard output. SO must be a plain file name. Returns the
// exit status for the process: 0 when the function returned 0, else 1.
int sc_cbrun_call(const char *so, const char *fun, char *uri, char *ikey, char *okey, int direction, int debug);

// Where object SO (a plain file name) lies: "/lib/" SO under the device
// root; the fallback object for null.
std::string sc_cbrun_object_path(const char *so);

// Loads "/lib/" SO (or the fallback object for null) and keeps it loaded,
// so that a later sc_cbrun_call in this process or in a fork of it finds it
// mapped. Silent: a failure shows when a call needs the object. True when
// loaded.
bool sc_cbrun_preload(const char *so);

// Goes through what sc_cbrun_call does before it calls the function, for
// an object that sc_cbrun_preload loaded (or the fallback object for null):
// opens it again and looks up a name that no object defines. Runs nothing
// of the object's. A fork of the host does this while it waits for a call,
// so that the call finds those pages already its own.
void sc_cbrun_rehearse(const char *so);

// One call for the host. The strings are those of the helper's arguments.
struct sc_cbrun_request {
    int32_t direction = -1;
    int32_t debug = 0;
    int32_t kill_after_ms = 0; // from the child's start, its whole life
    std::string so, fun, uri, ikey, okey;
};

// A request record is three 32-bit numbers and the five strings, each ended
// by a NUL; longer records are not sent (the helper runs such a call).
#define SC_CBRUN_REQUEST_MAX 2048

// Writes the record of `r` into buf (cap bytes). Returns its size, or 0 when
// it is longer than cap or a string holds a NUL.
size_t sc_cbrun_pack(const sc_cbrun_request &r, unsigned char *buf, size_t cap);

// Reads a record of `len` bytes. False, with *out unspecified, for anything
// but exactly three numbers and five NUL-ended strings.
bool sc_cbrun_unpack(const unsigned char *buf, size_t len, sc_cbrun_request *out);

// Sends a call record of n bytes with the descriptor `fd` on the datagram
// socket `sock`, without waiting: the daemon so hands a call to the host,
// and the host to its spare child. True when all of it went.
bool sc_cbrun_pass(int sock, const unsigned char *buf, size_t n, int fd);

// What the host reports: on its control socket, once, that it has loaded
// its objects; on a call's own socket, that the call's child started (its
// pid), then that it ended (its wait status), or was killed at the end of
// its time. The child itself reports there that the function has returned
// (its result), before it exits. Both ends are one build, so the record goes
// as it is.
enum sc_cbrun_kind : int32_t {
    SC_CBRUN_READY = 'R',
    SC_CBRUN_STARTED = 'S',
    SC_CBRUN_RETURNED = 'D',
    SC_CBRUN_ENDED = 'E',
    SC_CBRUN_KILLED = 'K',
};
struct sc_cbrun_event {
    int32_t kind;
    int32_t pid;
    int32_t status;
};

#endif
