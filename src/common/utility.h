// I/O and process helpers shared by the daemon and the client library.
#ifndef TARVI_UTILITY_H
#define TARVI_UTILITY_H

#include <cerrno>
#include <cstddef>
#include <sys/types.h>

#include "libtarvi.h"

// One read(2) on `fd`, retried after EINTR, and after a timeout (EAGAIN) while
// libtarvi_rw_block is set. Returns the count read (0 at end of stream) or -1;
// failures other than EINTR are reported with the "[LIBTARVI]" prefix.
int safe_read(int fd, void *buf, size_t count);

// One write(2) on `fd` with the same retry rules; a short count is returned as
// it is. Returns the count written, 0 (reported) or -1. On a socket whose
// peer has gone it fails with EPIPE instead of raising SIGPIPE: a client
// whose connection the daemon dropped must not be killed for it.
int safe_write(int fd, const void *buf, size_t count);

// safe_write with the retry-after-timeout choice given by `block` instead of
// libtarvi_rw_block; the daemon uses block = 0 so that no client can hold a
// thread of its for more than one socket timeout.
int safe_write_mode(int fd, const void *buf, size_t count, int block);

// Repeats `op(buf, n)` (a read(2) or write(2) of up to n bytes at buf) until
// `count` bytes have moved, retrying after EINTR. False on a failure or an
// early end of file.
template <typename Byte, typename Op> bool transfer_all(Byte *buf, size_t count, Op op) {
    while (count > 0) {
        auto n = op(buf, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        buf += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

// close(2), retried after EINTR. Returns close's result.
int safe_close(int fd);

// Sets close-on-exec on `fd`. Returns 0 or -1.
int fd_set_cloexec(int fd);

// A malloc'ed copy of `s` (the caller frees it), or null when memory is short
// or `s` is null.
char *dupstr(const char *s);

// Runs `cmd` with "/bin/sh -c" in a child switched to normal scheduling and
// waits for it. Returns the wait status, 1 for a null command, -1 when the
// child could not be started or waited for.
int nonrt_system(const char *cmd);

// Starts "/bin/sh -c cmd" with default SIGQUIT, SIGINT and SIGCHLD and normal
// scheduling, without touching the caller's signal handlers (which are
// process-wide: the daemon's threads keep theirs). Returns 0 with the child's
// pid in *pid, or posix_spawn's error number.
int nonrt_spawn(const char *cmd, pid_t *pid);

// Starts program `path` (searched in PATH when it has no '/') with `argv`
// (null-terminated) and the caller's environment, with the same signal and
// scheduling set-up as nonrt_spawn; with `close_from` >= 0 every descriptor
// from that number up is closed in the child. With `own_group` the child
// leads a process group of its own, so that it can be stopped together with
// whatever it starts. With `pass_fd` >= 0 (and `close_from` >= 0) that
// descriptor becomes the child's descriptor `close_from`, and only those
// above it are closed. Returns 0 with the pid in *pid, or posix_spawn's
// error number.
int nonrt_spawnv(const char *path, char *const argv[], int close_from, pid_t *pid, bool own_group = false,
                 int pass_fd = -1);

// nonrt_spawn, with the shell leading a process group of its own.
int nonrt_spawn_group(const char *cmd, pid_t *pid);

// The wait status of child `pid` (waited for by pid alone), or -1 when it
// cannot be waited for.
int nonrt_wait(pid_t pid);

// Waits at most `limit_ms` for child `pid` to end and reaps it if it did.
// True when it has ended (its wait status in *status when given; -1 when
// someone else reaped it), false when it still runs.
bool nonrt_wait_for(pid_t pid, int limit_ms, int *status = nullptr);

// Milliseconds of a monotonic clock.
long long monotonic_ms();

// Strictly a decimal number of at most `max`: digits only, nothing before or
// after them. True with the number in *out; false (and *out unchanged) for
// anything else.
bool util_decimal(const char *text, unsigned long max, unsigned long *out);

// The number at the start of `str` (after white space, an optional '-',
// then digits; what follows is ignored; none, or a null `str`, is 0). A
// number outside int's range is INT32_MAX.
int util_atoi(const char *str);

#endif
