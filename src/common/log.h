// Logging wrappers, one per convention of the system, with one test seam.
#ifndef TARVI_LOG_H
#define TARVI_LOG_H

#include <syslog.h>

// Daemon core and storage: syslog at `prio` (the daemon opens the log with
// LOG_PERROR, so the text reaches standard error as well).
void tarvid_log(int prio, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Shared I/O functions and client library: "[LIBTARVI][pid] " + text, once to
// standard error followed by `eol`, once to syslog at LOG_WARNING without it.
void libtarvi_log(const char *eol, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Test seam: while a sink is set, every message goes to it (priority and the
// syslog text) instead of syslog and standard error. Null restores normal output.
typedef void (*tarvi_log_sink)(int prio, const char *msg);
void tarvi_log_set_sink(tarvi_log_sink sink);

#endif
