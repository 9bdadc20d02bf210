#include "sc_ops_cb.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "sc_cbhost.h"
#include "sc_debug.h"
#include "sc_memiface.h"
#include "sc_tree.h"
#include "sc_tree_cb.h"
#include "sc_tree_key.h"
#include "tarvid_child.h"
#include "tarvid_lock.h"
#include "tarvid_store.h"
#include "utility.h"

namespace {

// The output that means "no output".
const char *const NO_CHANGE = "NC";

// ---- callback children ----

// Every callback child from its start until it is reaped: waited for by the
// worker that started it, then, if it outlived that wait, by the reaper,
// which kills it (with its process group) after a grace. While it lives it
// may still write its pair's keys, so the pair is not handed to another call
// until it has ended: a late answer can never be read as the answer of a
// later call. Keys are remembered by name (empty for shell commands): the
// pair record itself goes with the tree on a reload, the flat keys do not.
struct cb_child {
    pid_t pid;
    std::string uri; // the node's, as the callback got it
    std::string ikey, okey;
};
std::mutex child_mutex;
std::vector<cb_child> live_children;

void child_gone(pid_t pid, int) {
    std::lock_guard<std::mutex> lock(child_mutex);
    for (size_t i = 0; i < live_children.size(); ++i) {
        if (live_children[i].pid == pid) {
            live_children[i] = live_children.back();
            live_children.pop_back();
            return;
        }
    }
}

bool key_lingering(const char *key) {
    sc_cbhost_sweep();
    std::lock_guard<std::mutex> lock(child_mutex);
    for (const auto &child : live_children)
        if (child.ikey == key || child.okey == key)
            return true;
    return false;
}

bool pair_lingering(const IPCType *ipc) { return key_lingering(ipc->IKey) || key_lingering(ipc->OKey); }

// Room for one more child of node `uri`? A node whose callbacks hang uses
// up its own room, not the others'. Logs the refusal.
bool child_room(const char *uri, const char *what) {
    sc_cbhost_sweep();
    std::lock_guard<std::mutex> lock(child_mutex);
    size_t mine = 0;
    for (const auto &child : live_children)
        mine += child.uri == uri;
    if (live_children.size() < SC_CB_CHILDREN_MAX && mine < SC_CB_NODE_CHILDREN_MAX)
        return true;
    SC_FAIL("%d callback children alive, %d of %s: %s not run!!\n", static_cast<int>(live_children.size()),
            static_cast<int>(mine), uri, what);
    return false;
}

void child_started(pid_t pid, const char *uri, const char *ikey, const char *okey) {
    try {
        std::lock_guard<std::mutex> lock(child_mutex);
        live_children.push_back({pid, uri, ikey, okey});
    } catch (const std::bad_alloc &) {
        // Unrecorded, its pair may be reused early; it is still killed and reaped.
    }
}

// Leaves a child that still runs to the reaper, which kills it after
// `grace_ms` unless it ends first.
void hand_off(pid_t pid, int grace_ms) {
    if (tarvid_child_watch(pid, child_gone, grace_ms) == 0)
        return;
    // Nobody would reap it: end it here.
    kill(-pid, SIGKILL);
    nonrt_wait(pid);
    child_gone(pid, 0);
}

// The thread a callback runs on decides how it may wait.
enum cb_thread_kind { THREAD_OTHER, THREAD_WORKER, THREAD_CB, THREAD_DISPATCH };
thread_local cb_thread_kind thread_kind = THREAD_OTHER;

// Waits (with the configuration lock lent) for child `pid` of a callback
// that may take `limit_ms`, then hands it off if it still runs. On the
// thread that dispatches flat writes nothing is waited for: the child gets
// its time with the reaper. True when it ended within the wait.
bool wait_or_hand_off(pid_t pid, int limit_ms, int grace_ms) {
    if (thread_kind == THREAD_DISPATCH) {
        hand_off(pid, limit_ms + grace_ms);
        return false;
    }
    bool ended;
    {
        config_park_guard parked;
        ended = nonrt_wait_for(pid, limit_ms);
    }
    if (ended)
        child_gone(pid, 0);
    else
        hand_off(pid, grace_ms);
    return ended;
}

// ---- waits for a key pair that another request holds ----

std::mutex release_mutex;
std::condition_variable release_cv;
unsigned long release_count = 0;

void pair_released() {
    std::lock_guard<std::mutex> lock(release_mutex);
    ++release_count;
    release_cv.notify_all();
}

// Waits, with the configuration lock lent, until some pair is released or
// `deadline` (monotonic ms) passes. False once the deadline has passed.
bool wait_for_release(long long deadline) {
    long long left = deadline - monotonic_ms();
    if (left <= 0)
        return false;
    // Counted before the lock is lent: the holder may release its pair the
    // moment it has the lock again.
    unsigned long seen;
    {
        std::lock_guard<std::mutex> lock(release_mutex);
        seen = release_count;
    }
    config_park_guard parked;
    std::unique_lock<std::mutex> lock(release_mutex);
    release_cv.wait_for(lock, std::chrono::milliseconds(left), [seen] { return release_count != seen; });
    return true;
}

// The requests waiting for a node's key pair, in arrival order: the pair
// goes to the first of them. Used under the configuration lock only.
class pair_turn {
  public:
    explicit pair_turn(const SCTreeNode *node) : node_(node), ticket_(next_++) { waiting_.push_back(this); }
    // The next in turn may be waiting for this one rather than for a release.
    ~pair_turn() {
        waiting_.erase(std::find(waiting_.begin(), waiting_.end(), this));
        pair_released();
    }
    pair_turn(const pair_turn &) = delete;
    pair_turn &operator=(const pair_turn &) = delete;
    // True when a request that came before `mine` (none: any) waits for
    // `node`'s pair.
    static bool waits_before(const SCTreeNode *node, const std::optional<pair_turn> &mine) {
        for (const pair_turn *t : waiting_)
            if (t->node_ == node && (!mine || t->ticket_ < mine->ticket_))
                return true;
        return false;
    }

  private:
    const SCTreeNode *node_;
    unsigned long ticket_;
    static inline unsigned long next_ = 0;
    static inline std::vector<const pair_turn *> waiting_;
};

// ---- nodes held across a wait ----

std::mutex hold_mutex;
std::vector<const SCTreeNode *> held_nodes;

// ---- key pairs ----

// Puts the pair's keys in their empty state: no input, output "NC". Done on
// every hand-out, so that nothing an earlier call left there is taken for
// this call's answer.
bool clear_pair(IPCType *ipc) {
    if (config_sc_tarvi_set(ipc->IKey, "") != 0) {
        SC_FAIL("clear key fail , key=%s, \n", ipc->IKey);
        return false;
    }
    if (config_sc_tarvi_set(ipc->OKey, NO_CHANGE) != 0) {
        SC_FAIL("clear key faile, key=%s\n", ipc->OKey);
        return false;
    }
    return true;
}

// True when a pair of the tree already has one of `ipc`'s key names.
bool pair_named_like(const IPCType *ipc) {
    list_for_each(pos, &SC.IPCList) {
        const IPCType *p = list_entry(pos, IPCType, chain);
        for (const char *key : {p->IKey, p->OKey})
            if (strcmp(key, ipc->IKey) == 0 || strcmp(key, ipc->OKey) == 0)
                return true;
    }
    return false;
}

IPCType *adopt_pair(IPCType *ipc, SCTreeNode *node, const char *URI) {
    ipc->lock = 1;
    if (ipc->node && ipc->node != node)
        ipc->node->ipc = nullptr;
    ipc->node = node;
    node->ipc = ipc;
    if (!clear_pair(ipc)) {
        ipc->lock = 0;
        SC_FAIL("config_sc_get_ipc fail, URI %s!\n", URI);
        return nullptr;
    }
    return ipc;
}

// Takes a key pair for the node at URI (locked). Null when the node is
// missing, its pair is in use, or memory is short.
IPCType *config_sc_get_ipc(const char *URI) {
    SCTreeNode *node = nullptr;
    // A client's request on a node whose pair another request holds waits
    // for it (bounded), in turn with the others that wait for it; a
    // callback writing its own node, or a flat write, does not: the holder
    // waits for it.
    long long deadline = monotonic_ms() + SC_CB_PAIR_WAIT_MS;
    std::optional<pair_turn> turn;
    for (;;) {
        if (config_sc_search("config_sc_get_ipc", URI, &node) != SC_DATA_FOUND) {
            SC_FAIL("config_sc_get_ipc fail, URI %s!\n", URI);
            return nullptr;
        }
        bool in_use = node->ipc && node->ipc->lock;
        if (thread_kind != THREAD_WORKER ? !in_use : !in_use && !pair_turn::waits_before(node, turn))
            break;
        if (thread_kind == THREAD_WORKER && !turn)
            turn.emplace(node);
        if (thread_kind != THREAD_WORKER || !wait_for_release(deadline)) {
            SC_FAIL("node %s IPC is used by others !!\n", URI);
            SC_FAIL("config_sc_get_ipc fail, URI %s!\n", URI);
            return nullptr;
        }
    }
    if (IPCType *ipc = node->ipc) {
        if (ipc->IKey[0] != 'I' || ipc->OKey[0] != 'I' || ipc->node != node)
            SC_BUG();
        if (!pair_lingering(ipc)) {
            SC_TRACE("Use existed IPC\n");
            return adopt_pair(ipc, node, URI);
        }
        // Its last child may still answer there: leave the pair to it.
        node->ipc = nullptr;
        ipc->node = nullptr;
    }
    list_for_each(pos, &SC.IPCList) {
        IPCType *tmp = list_entry(pos, IPCType, chain);
        SC_TRACE("Interation tmp->lock==%d\n", tmp->lock);
        if (!tmp->lock && !pair_lingering(tmp)) {
            SC_TRACE("we found an unused IPCType\n");
            return adopt_pair(tmp, node, URI);
        }
    }
    auto *ipc = static_cast<IPCType *>(SC_ZALLOC(sizeof(IPCType)));
    if (!ipc) {
        SC_FAIL("SC Struct initailzation Fail!\n");
        SC_FAIL("config_sc_get_ipc fail, URI %s!\n", URI);
        return nullptr;
    }
    // Numbers whose keys a child of an earlier tree may still write, or
    // that a pair of this tree has (the numbers wrap), are skipped.
    for (int tries = 0; tries < 32768; ++tries) {
        snprintf(ipc->IKey, sizeof ipc->IKey, "IPC%05u", static_cast<unsigned>(SC.IPCindex++));
        snprintf(ipc->OKey, sizeof ipc->OKey, "IPC%05u", static_cast<unsigned>(SC.IPCindex++));
        if (!pair_lingering(ipc) && !pair_named_like(ipc))
            break;
    }
    list_init(&ipc->chain);
    list_add(&ipc->chain, &SC.IPCList);
    SC_TRACE("allocate new IPCType\n");
    return adopt_pair(ipc, node, URI);
}

// Starts the helper for one call. Everything the child needs is built here,
// before the spawn; the child only execs. Returns the pid, or -1.
pid_t start_helper(const sc_cbrun_request &r) {
    std::vector<std::string> args = sc_cbhost_command();
    for (const std::string *arg : {&r.so, &r.fun, &r.uri, &r.ikey, &r.okey})
        args.push_back(*arg);
    args.push_back(std::to_string(r.direction));
    args.push_back(std::to_string(r.debug));
    std::vector<char *> argv;
    for (auto &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    // Descriptors from 3 up are the daemon's (socket, connections, files);
    // a child holding a client's connection would keep that client waiting.
    // Its own process group: whatever the function starts goes with it.
    if (nonrt_spawnv(argv[0], argv.data(), 3, &pid, true) != 0)
        return -1;
    return pid;
}

// Host children are recorded under numbers that no process has: the host
// reports their pids to the host module, which alone uses them.
pid_t host_tag() {
    static std::atomic<unsigned> next{0};
    return -2 - static_cast<pid_t>(next++ & 0x3fffffff);
}

// Runs call `r` in a child of the callback host or, when the host cannot
// take it, of the helper, and waits for it as wait_or_hand_off does. -1
// when no child could be started, else whether it ended within the wait.
int run_function(sc_cbrun_request &r, int limit_ms, int grace_ms) {
    r.kill_after_ms = limit_ms + grace_ms;
    sc_cbhost_call call;
    if (sc_cbhost_begin(r, &call) == 0) {
        pid_t tag = host_tag();
        child_started(tag, r.uri.c_str(), r.ikey.c_str(), r.okey.c_str());
        int state = SC_CBHOST_RUNNING;
        if (thread_kind != THREAD_DISPATCH) {
            config_park_guard parked;
            state = sc_cbhost_wait(&call, limit_ms);
        }
        if (state == SC_CBHOST_RUNNING) {
            sc_cbhost_hand_off(&call, thread_kind == THREAD_DISPATCH ? limit_ms + grace_ms : grace_ms, tag, child_gone);
            return 0;
        }
        child_gone(tag, 0);
        if (state == SC_CBHOST_ENDED)
            return 1;
    }
    pid_t pid = start_helper(r);
    if (pid < 0)
        return -1;
    child_started(pid, r.uri.c_str(), r.ikey.c_str(), r.okey.c_str());
    return wait_or_hand_off(pid, limit_ms, grace_ms) ? 1 : 0;
}

// An "s(command)" callback: run by the shell and waited for like a function,
// but given longer before it is killed: it is the firmware's own command,
// and it has no key pair whose answer could come late.
void run_shell(const char *uri, const std::string &command, int limit_ms) {
    if (!child_room(uri, command.c_str()))
        return;
    pid_t pid;
    if (nonrt_spawn_group(command.c_str(), &pid) != 0) {
        SC_FAIL("Fail to fork!!\n");
        return;
    }
    child_started(pid, uri, "", "");
    if (!wait_or_hand_off(pid, limit_ms, SC_CB_SHELL_GRACE_MS))
        SC_FAIL("BUG: we wait too long for s(%s)!!\n", command.c_str());
}

enum cb_step { STEP_GET, STEP_SET, STEP_VER, STEP_EXE, STEP_COV, STEP_NOTIFY };

// The common part of every callback step: checks the node's record for the
// step, then runs its callback text ("f(function)" or "s(command)"). 0 when
// it ran, -1 when it could not.
int op_run(SCTreeNode *node, const char *name, cb_step step, const char *input, int direction, int wait, char **out) {
    *out = nullptr;
    sc_node_hold hold(node);
    if (!node) {
        SC_FAIL("BUG: node is NULL!\n");
        return -1;
    }
    SCDataType *data = node->data;
    if (!data) {
        SC_FAIL("BUG: node data is NULL!\n");
        return -1;
    }
    const char *call = nullptr, *so = nullptr;
    if (step == STEP_NOTIFY) {
        if (!data->Notify) {
            SC_FAIL("%s:%d : node %s does not have this cb function!\n", name, __LINE__, data->uri);
            return -1;
        }
        call = data->Notify->cb;
        so = data->Notify->so;
    } else {
        CBDataType *cb = data->CBData;
        if (!cb) {
            SC_FAIL("%s:%d : node %s does not have this cb function!\n", name, __LINE__, data->uri);
            return -1;
        }
        const char *const calls[] = {cb->get, cb->set, cb->ver, cb->exe, cb->cov};
        call = calls[step];
        so = cb->so;
    }
    if (!call || !*call) {
        SC_FAIL("%s:%d: node %s does not have this cb function!\n", name, __LINE__, data->uri);
        return -1;
    }
    if (!so || !*so) {
        SC_FAIL("%s:%d: node %s does not provide so file name!\n", name, __LINE__, data->uri);
        return -1;
    }
    // "x(body)": the body runs from the third character to the last but one.
    size_t len = strlen(call);
    std::string body = len >= 3 ? std::string(call + 2, len - 3) : std::string();
    const char *uri = data->uri;
    if (strncmp(uri, "./", 2) == 0)
        uri += 2;
    if (call[0] == 's') {
        SC_TRACE("s(), %s!\n", body.c_str());
        run_shell(uri, body, wait ? SC_CB_WAIT_LONG_MS : SC_CB_WAIT_SHORT_MS);
    } else if (call[0] == 'f') {
        SC_TRACE("f(),URI=%s!\n", uri);
        SC_TRACE("f(),SO=%s!\n", so);
        SC_TRACE("f(),FUN=%s!\n", body.c_str());
        config_sc_op_wrapper(uri, so, body.c_str(), input, direction, wait, out);
    }
    return 0;
}

void notify_tarvi(void *node) { sc_setNotifyNode(static_cast<SCTreeNode *>(node)); }

} // namespace

void config_sc_cb_init(void) {
    sc_cbhost_command();
    sc_op_notify_hook = config_sc_op_notfiy;
    sc_setNotify_hook = sc_setNotify;
    config_sc_notify_hook = notify_tarvi;
}

int config_sc_op_wrapper(const char *URI, const char *SO, const char *FUN, const char *INPUT, int direction, int wait,
                         char **OUTPUT) {
    *OUTPUT = nullptr;
    IPCType *ipc = config_sc_get_ipc(URI);
    if (!ipc)
        return -1;
    // The pair stays in the tree; its key names are copied because the tree
    // may change while the child runs.
    char ikey[sizeof ipc->IKey], okey[sizeof ipc->OKey];
    memcpy(ikey, ipc->IKey, sizeof ikey);
    memcpy(okey, ipc->OKey, sizeof okey);
    if (INPUT && config_sc_tarvi_set(ikey, INPUT) != 0) {
        SC_FAIL("tarvi_set fail , key=%s, value=%s\n", ikey, INPUT);
        config_sc_release_ipc(URI);
        return -1;
    }
    if (!child_room(URI, FUN)) {
        config_sc_release_ipc(URI);
        return -1;
    }
    sc_cbrun_request r;
    r.direction = direction;
    r.debug = static_cast<int32_t>(DebugLevel);
    r.so = SO;
    r.fun = FUN;
    r.uri = URI;
    r.ikey = ikey;
    r.okey = okey;
    int ran = run_function(r, wait ? SC_CB_WAIT_LONG_MS : SC_CB_WAIT_SHORT_MS,
                           wait ? SC_CB_KILL_GRACE_MS : SC_CB_SIDE_GRACE_MS);
    if (ran < 0)
        SC_FAIL("Fail to fork!!\n");
    else if (ran == 0 && thread_kind != THREAD_DISPATCH)
        SC_FAIL("BUG: we wait too long for %s:%s:%s!!\n", URI, SO, FUN);
    config_sc_release_ipc(URI);
    char *value = nullptr;
    if (config_sc_tarvi_get(okey, &value) != 0) {
        SC_FAIL("tarvi get fail key=%s\n", okey);
        return -1;
    }
    if (!value) {
        SC_TRACE("no value return...\n");
        return 0;
    }
    if (strcmp(value, NO_CHANGE) == 0) {
        free(value);
        return 0;
    }
    *OUTPUT = value;
    return 0;
}

int config_sc_release_ipc(const char *URI) {
    SCTreeNode *node = nullptr;
    int rc = config_sc_search("config_sc_release_ipc", URI, &node);
    if (rc != SC_DATA_FOUND)
        return rc;
    if (!node->ipc) {
        SC_TRACE("The IPC of node %s is not exist!!\n", URI);
    } else if (node->ipc->lock) {
        SC_TRACE("The IPC of node %s is going to released!!\n", URI);
        node->ipc->lock = 0;
        pair_released();
    } else {
        SC_TRACE("The IPC of node %s is already released!!\n", URI);
    }
    return 0;
}

int config_sc_op_get(SCTreeNode *node, const char *input, char **out) {
    return op_run(node, "config_sc_op_get", STEP_GET, input, -1, 0, out);
}

int config_sc_op_set(SCTreeNode *node, const char *input, char **out) {
    return op_run(node, "config_sc_op_set", STEP_SET, input, -1, 0, out);
}

int config_sc_op_ver(SCTreeNode *node, const char *input, char **out) {
    return op_run(node, "config_sc_op_ver", STEP_VER, input, -1, 1, out);
}

int config_sc_op_cov(SCTreeNode *node, const char *input, int direction, char **out) {
    return op_run(node, "config_sc_op_cov", STEP_COV, input, direction, 1, out);
}

int config_sc_op_notfiy(SCTreeNode *node, const char *input, char **out) {
    return op_run(node, "config_sc_op_notfiy", STEP_NOTIFY, input, -1, 0, out);
}

int config_sc_exe(const char *URI, char **out) {
    *out = nullptr;
    SCTreeNode *node = nullptr;
    int rc = config_sc_search("config_sc_exe", URI, &node);
    if (rc != SC_DATA_FOUND)
        return rc == SC_DATA_NOT_FOUND || rc == SC_URI_TOO_LONG ? rc : -1;
    if (!node->data) {
        SC_BUG();
        return -1;
    }
    CBDataType *cb = node->data->CBData;
    if (!cb || !cb->exe)
        return -1;
    op_run(node, "config_sc_op_exe", STEP_EXE, nullptr, -1, 1, out);
    return 0;
}

int config_sc_notify_passive(const char *ME_NAME) { return sc_notifyPassive(&SC, ME_NAME); }

void config_sc_cb_mark_thread(void) { thread_kind = THREAD_CB; }

void config_sc_cb_mark_worker(void) { thread_kind = THREAD_WORKER; }

void config_sc_cb_mark_dispatcher(void) { thread_kind = THREAD_DISPATCH; }

sc_node_hold::sc_node_hold(const SCTreeNode *node) : node_(node) {
    if (!node_)
        return;
    std::lock_guard<std::mutex> lock(hold_mutex);
    try {
        held_nodes.push_back(node_);
    } catch (const std::bad_alloc &) {
        node_ = nullptr;
    }
}

sc_node_hold::~sc_node_hold() {
    if (!node_)
        return;
    std::lock_guard<std::mutex> lock(hold_mutex);
    for (size_t i = held_nodes.size(); i-- > 0;) {
        if (held_nodes[i] == node_) {
            held_nodes.erase(held_nodes.begin() + static_cast<long>(i));
            return;
        }
    }
}

int config_sc_cb_holds_within(const SCTreeNode *top) {
    std::lock_guard<std::mutex> lock(hold_mutex);
    for (const SCTreeNode *n : held_nodes) {
        for (; n; n = n->parent)
            if (n == top)
                return 1;
    }
    return 0;
}

void config_sc_cb_tree_loaded(void) {
    std::vector<std::string> objects;
    for (struct list *so_list : {&SC.SOList, &SC.NSOList}) {
        list_for_each(pos, so_list) {
            const SOType *so = list_entry(pos, SOType, chain);
            if (so->name)
                objects.emplace_back(so->name);
        }
    }
    sc_cbhost_refresh(objects);
}

int config_sc_cb_children(void) {
    sc_cbhost_sweep();
    std::lock_guard<std::mutex> lock(child_mutex);
    return static_cast<int>(live_children.size());
}
