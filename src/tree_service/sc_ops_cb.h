// Running the tree's callbacks. A callback function lives in a shared object
// named by the node's callback data; the daemon never loads such an object
// itself: a child of the callback host (sc_cbhost.h) or, while there is
// none, the program "tarvi-callback" loads it and calls the function, and the
// function exchanges its input and output with the
// daemon through a pair of flat keys "IPC%05d" (a key pair, IPCType).
//
// Every call here is made under the configuration lock (tarvid_lock.h). A
// worker lends it while it waits for a callback child.
#ifndef TARVI_SC_OPS_CB_H
#define TARVI_SC_OPS_CB_H

#include "sc_types.h"

// How long a callback is waited for, in milliseconds: without and with the
// wait flag. The child is not waited for beyond that.
#define SC_CB_WAIT_SHORT_MS 300
#define SC_CB_WAIT_LONG_MS 1000
// A callback child that outlives its wait is killed, with the process group
// it leads, this much later: soon when its answer was waited for (verify,
// convert, execute), later when only its side effects count (get, set,
// notify, whose output is dropped), later still for a shell command
// ("s(...)"), the firmware's own.
#define SC_CB_KILL_GRACE_MS 1000
#define SC_CB_SIDE_GRACE_MS 5000
#define SC_CB_SHELL_GRACE_MS 10000
// Callback children alive at once (waited for or outliving their wait), in
// all and of one node; a callback beyond that is not run and gives no
// output. The limit per node keeps a node whose callbacks hang from using up
// the room of the others.
#define SC_CB_CHILDREN_MAX 16
#define SC_CB_NODE_CHILDREN_MAX 4
// How long a client's tree request waits for a node's key pair that another
// request holds, before it gives up as for a pair in use.
#define SC_CB_PAIR_WAIT_MS 2000

// Finds the helper program and installs the tree's hooks (notify delivery,
// flat-key change notification); the reference reads are hooked by the tree
// operations when they build a tree. Called once at start, or by a test
// before it runs callbacks; calling it again is harmless.
void config_sc_cb_init(void);

// Runs function FUN of shared object SO ("/lib/" SO) for the node at `URI`
// (slash form without "./"): takes the node's key pair, stores INPUT (may be
// null) under the input key, starts the call and waits up to the short
// (`wait` 0) or long (`wait` 1) limit, then reads the output key. A child
// that outlives the wait is left to the reaper, which kills it after the
// grace; its pair is not reused until it has ended. `direction`
// is -1 for the three-argument form, else the fourth argument. *OUTPUT gets
// a copy of the output (the caller frees it with SC_FREE), or null for none
// or "NC". Returns 0, or -1 when no key pair can be had or a key cannot be
// stored or read.
int config_sc_op_wrapper(const char *URI, const char *SO, const char *FUN, const char *INPUT, int direction, int wait,
                         char **OUTPUT);

// Called once a tree has been built or extended: the callback host loads the
// objects that its callback and notify files name.
void config_sc_cb_tree_loaded(void);

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

// Each thread that runs callbacks says once what it is. On the callback
// worker, a request that finds its node's key pair in use is a callback
// writing its own node: it is refused at once.
void config_sc_cb_mark_thread(void);
// A tree request worker: a request that finds its node's key pair in use by
// another request waits for it (SC_CB_PAIR_WAIT_MS).
void config_sc_cb_mark_worker(void);
// The thread that serves flat requests. It runs callbacks only for
// notifications raised by flat writes, and a flat request never waits for
// a child: it starts the child and leaves it to the reaper at once.
void config_sc_cb_mark_dispatcher(void);

// A node that the operation in progress keeps using while it waits for a
// callback child. Meanwhile other requests may be served, the child's own
// among them, which can delete instances: a subtree that holds a held node is
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

// Number of callback children alive (for tests and diagnostics).
int config_sc_cb_children(void);

#endif
