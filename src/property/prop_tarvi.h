// The property service's request queue and thread: every property request,
// and every exit of a service's process, is served on that one thread, in
// arrival order.
#ifndef TARVI_PROP_TARVI_H
#define TARVI_PROP_TARVI_H

#include <sys/types.h>

#include "libtarvi.h"

struct req;

// Prepares the queue and starts the property thread, which first loads the
// service (rc and property files). Returns 0, or -1 when the thread cannot
// be started.
int prop_tarvi_init();

// Appends `request` to the property queue; ownership passes to the queue only
// on success. Returns 0, or -1 for a null request or an unprepared queue.
int prop_tarvi_enqueue(struct req *request);

// Queues the internal child-exit request for `pid` (a service's process that
// the reaper has collected; `status` is its wait status). Any thread.
void prop_tarvi_child_exit_handle(pid_t pid, int status);

// Serves one property request (types 13 to 18) and writes its reply on
// `sock`. Property thread only. Returns 0.
int _prop_tarvi_request_handle(const int sock, tarvi_request *request);

#endif
