// The daemon's main thread: start-up, the accept loop, dispatch of requests
// to the flat store, the backend, the tree workers and the property thread.
#ifndef TARVID_H
#define TARVID_H

#include <pthread.h>

#include "libtarvi.h"
#include "list.h"
#include "tarvid_req.h"

struct operator_table;

// The backend's table after initialisation.
extern struct operator_table *opera;

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

// The tree workers; each takes requests from its queue forever.
void *request_thread(void *arg);
void *request_cb_thread(void *arg);

#endif
