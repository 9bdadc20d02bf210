// The callback host: "tarvi-callback --host", started by the daemon (exec'd,
// never a fork of the threaded daemon), loads the tree's callback objects
// once and forks one child per call, which runs the call exactly as the
// helper would. A call through the host costs a fork instead of an exec, a
// dynamic link and the loading of the object.
//
// The daemon keeps its rules for the host's children: every call is waited
// for within its limit, a child that outlives its time is killed with its
// process group (by the host, which alone may name it safely; by the daemon
// when the host stops answering), and no child outlives the host. A host
// that dies, hangs or cannot start is replaced, after a pause that grows
// while it keeps failing; meanwhile sc_cbhost_begin refuses and the caller
// runs the helper. A host that has not started a call by the end of the
// call's wait is slow or hung: it takes no calls until it reports on that
// one, and is given up as hung once the call's kill time has passed by the
// margin. All calls are thread-safe.
#ifndef TARVI_SC_CBHOST_H
#define TARVI_SC_CBHOST_H

#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

#include "sc_cbrun.h"

// How long a host may take to load its objects before it is given up, how
// long past a child's kill time the daemon waits for the host to report its
// end before it takes the host for hung, and the pause before a failed host
// is replaced (doubling up to the longest while replacements keep failing).
#define SC_CBHOST_READY_MS 30000
#define SC_CBHOST_MARGIN_MS 2000
#define SC_CBHOST_RETRY_MS 1000
#define SC_CBHOST_RETRY_MAX_MS 60000
// Objects one host loads at most; calls of others run in the host's child,
// which loads them itself.
#define SC_CBHOST_OBJECTS_MAX 64

// The command that runs the helper, without its arguments: an optional
// prefix (an emulator on a test host) and the program's path. Found once.
const std::vector<std::string> &sc_cbhost_command(void);

// The objects the tree names (file names in "/lib/"), after the tree has
// been built. When they, or the files behind them, differ from what the
// host loaded, that host is let go (it ends once its children have) and a
// new one is started for them.
void sc_cbhost_refresh(const std::vector<std::string> &objects);

struct cb_host;
// One call in progress in the host: its child's pid and the call's socket.
struct sc_cbhost_call {
    pid_t pid = -1;
    int fd = -1;
    std::shared_ptr<cb_host> host;
    bool late = false;     // its wait ended before the host started it
    int kill_after_ms = 0; // the request's
};

// Sends call `r` to the host, which starts a child for it. 0 with *call
// filled (the child's pid comes later); -1 when there is no ready host, or it
// takes no calls (the caller runs the helper). Never waits.
int sc_cbhost_begin(const sc_cbrun_request &r, sc_cbhost_call *call);

enum sc_cbhost_state {
    SC_CBHOST_ENDED,       // the call is over: its function returned (the
                           // host winds the child up), or the child ended,
                           // or was lost with a host that died or hung
    SC_CBHOST_RUNNING,     // its child still runs (call->pid), or has not
                           // been started yet (call->late)
    SC_CBHOST_NOT_STARTED, // no child was started: the caller runs the helper
};

// Waits up to `limit_ms` for the child of `call` to end. Returns an
// sc_cbhost_state; but for RUNNING the call is finished (its socket closed).
// The caller lends the configuration lock.
int sc_cbhost_wait(sc_cbhost_call *call, int limit_ms);

// Leaves a call whose child still runs, or has not yet been reported
// started: the host kills it `grace_ms` from now at the latest. `gone`
// (tag, 0) runs once its end is known, on a thread of this module's that
// watches such calls (or on the thread of sc_cbhost_sweep).
void sc_cbhost_hand_off(sc_cbhost_call *call, int grace_ms, pid_t tag, void (*gone)(pid_t, int));

// Collects the ends of handed-off calls now. Must not be called with a lock
// that a `gone` function takes.
void sc_cbhost_sweep(void);

#endif
