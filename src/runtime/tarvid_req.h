// A request inside the daemon and the queues that carry it from the main loop
// to the thread that serves it (tree workers, property thread). Whoever
// finishes a request replies on, or drops, its connection and frees it.
#ifndef TARVI_TARVID_REQ_H
#define TARVI_TARVID_REQ_H

#include <pthread.h>

#include "libtarvi.h"
#include "list.h"

// A request inside the daemon: allocated by the main thread per connection
// and freed (with its connection closed) by whoever finishes it.
struct req {
    struct list next;      // link on a worker queue
    int sock;              // the connection
    int child_pid;         // internal child-exit requests of the property service
    tarvi_request request; // in memory form
};

// Packs request->request again and writes it on request->sock as the reply,
// then closes the connection and frees `request`. Returns 0 when the whole
// reply was written.
int req_reply(struct req *request);

// Writes the `size` bytes of an already packed reply (none when size <= 0)
// on request->sock, then closes the connection and frees `request`. Returns
// 0 when the whole reply was written.
int req_reply_packed(struct req *request, const unsigned char *wire, int size);

// Closes the connection without a reply and frees `request`.
void req_drop(struct req *request);

// Appends `request` at the tail of `queue` and wakes its worker.
void req_queue_put(struct req *request, struct list *queue, pthread_mutex_t *mutex, pthread_cond_t *cond);

// Takes the first request off `queue`, waiting on `cond` while it is empty.
struct req *req_queue_take(struct list *queue, pthread_mutex_t *mutex, pthread_cond_t *cond);
// The same, waiting at most `timeout_ms` (-1: for ever); null on timeout. A
// timed wait needs a condition on the monotonic clock: the wall clock may be
// set back by hours.
struct req *req_queue_take_for(struct list *queue, pthread_mutex_t *mutex, pthread_cond_t *cond, int timeout_ms);

#endif
