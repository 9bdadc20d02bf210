// The daemon's main thread: start-up, the accept loop, dispatch of requests
// to the flat store, the backend, the tree workers and the property thread.
#ifndef TARVID_H
#define TARVID_H

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

// The flat store, the backend and the tree are guarded by the configuration
// lock of tarvid_lock.h.
// Queue of the tree request workers.
extern struct list ReqList;
extern pthread_mutex_t MutexReqList;
extern pthread_cond_t ConditionReqList;
// Queue of the tree callback worker.
extern struct list ReqCbList;
extern pthread_mutex_t MutexCbReqList;
extern pthread_cond_t ConditionCbReqList;

// Tree request workers: a request that waits for a callback child holds one
// of them, so this many may wait at once before the others queue.
#define TARVID_TREE_WORKERS 4

// Runs the daemon: start-up, then serves forever. Returns only on a start-up
// failure (with -1) in the process that should exit, or 0 in the parent of
// the background fork.
int tarvid_run();

// Packs request->request again and writes it on request->sock as the reply,
// then closes the connection and frees `request`. Returns 0 when the whole
// reply was written.
int req_reply(struct req *request);

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

// The tree workers; each takes requests from its queue forever.
void *request_thread(void *arg);
void *request_cb_thread(void *arg);

#endif
