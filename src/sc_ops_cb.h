// Running the tree's callbacks. A callback function lives in a shared object
// named by the node's callback data; the daemon never loads such an object
// itself: it starts the program "tarvi-callback", which loads it and calls
// the function, and the function exchanges its input and output with the
// daemon through a pair of flat keys "IPC%05d" (a key pair, IPCType).
//
// Every call here is made by a tree worker under its configuration lock
// (MutexConfig, or MutexCbConfig on the callback worker).
#ifndef TARVI_SC_OPS_CB_H
#define TARVI_SC_OPS_CB_H

#include "sc_types.h"

// How long a callback is waited for, in milliseconds: without and with the
// wait flag. The child is not waited for beyond that.
#define SC_CB_WAIT_SHORT_MS 300
#define SC_CB_WAIT_LONG_MS 1000

// Finds the helper program and installs the tree's hooks (notify delivery,
// flat-key change notification, reference reads). Called once at start, or
// by a test before it runs callbacks; calling it again is harmless.
void config_sc_cb_init(void);

// Runs function FUN of shared object SO ("/lib/" SO) for the node at `URI`
// (slash form without "./"): takes the node's key pair, stores INPUT (may be
// null) under the input key, starts the helper and waits up to the short
// (`wait` 0) or long (`wait` 1) limit, then reads the output key. `direction`
// is -1 for the three-argument form, else the fourth argument. *OUTPUT gets
// a copy of the output (the caller frees it with SC_FREE), or null for none
// or "NC". Returns 0, or -1 when no key pair can be had or a key cannot be
// stored or read.
int config_sc_op_wrapper(const char *URI, const char *SO, const char *FUN, const char *INPUT, int direction, int wait,
                         char **OUTPUT);

// Frees the key pair of the node at URI for reuse. 0, 404 for a missing node,
// -1 for another search failure (414 for a URI that is too long).
int config_sc_release_ipc(const char *URI);

// The callback steps of a node: each runs the node's callback text for that
// step ("f(function)" in the node's shared object, or "s(command)" run by the
// shell) with `input`, and stores its output in *out (or null). They return
// 0 when something was run (whatever it answered), -1 when the node lacks
// the callback, its data or its shared object.
int config_sc_op_get(SCTreeNode *node, const char *input, char **out);
int config_sc_op_set(SCTreeNode *node, const char *input, char **out);
int config_sc_op_ver(SCTreeNode *node, const char *input, char **out);
int config_sc_op_cov(SCTreeNode *node, const char *input, int direction, char **out);
int config_sc_op_notfiy(SCTreeNode *node, const char *input, char **out);

// Runs the exe callback of the node at URI; *out as above. 0; -1 for a node
// without data or exe callback; 404 / 414 as for a search.
int config_sc_exe(const char *URI, char **out);

// Delivers the queued passive notifications of module ME_NAME. Returns 0.
int config_sc_notify_passive(const char *ME_NAME);

// Called on the callback worker's thread before it serves anything: a
// callback started there does not lend that thread's lock to anyone.
void config_sc_cb_mark_thread(void);

// Called on the thread that accepts connections (the daemon's main loop). It
// runs callbacks only for notifications raised by flat writes, and while it
// waited it could not pass on the child's own requests to the callback
// worker: so it starts the child and leaves it to the reaper at once.
void config_sc_cb_mark_dispatcher(void);

// The callback worker serves a request only while nobody else uses the flat
// store and the tree: either it holds MutexConfig, or the thread holding
// MutexConfig is parked waiting for a callback child (whose requests are
// exactly what the worker is there to serve). config_sc_cb_enter blocks until
// one of the two holds and returns a token for config_sc_cb_leave.
int config_sc_cb_enter(void);
void config_sc_cb_leave(int token);

// A node that the operation in progress keeps using while it waits for a
// callback child. Meanwhile the callback worker may serve the child's
// requests, which can delete instances: a subtree that holds a held node is
// not deleted (config_sc_cb_holds_within). Scoped to the operation.
class sc_node_hold {
  public:
    explicit sc_node_hold(const SCTreeNode *node);
    ~sc_node_hold();
    sc_node_hold(const sc_node_hold &) = delete;
    sc_node_hold &operator=(const sc_node_hold &) = delete;

  private:
    const SCTreeNode *node_;
};

// 1 when a held node lies in the subtree of `top` (top included), else 0.
int config_sc_cb_holds_within(const SCTreeNode *top);

// Number of callback children that outlived their wait and have not ended
// yet (for tests and diagnostics).
int config_sc_cb_lingering(void);

#endif
