#include "tarvid.h"

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "backend.h"
#include "log.h"
#include "paths.h"
#include "prop_debug.h"
#include "prop_tarvi.h"
#include "request.h"
#include "sc_ops_cb.h"
#include "tarvi-ex.h"
#include "tarvid_access.h"
#include "tarvid_child.h"
#include "tarvid_confirm.h"
#include "tarvid_cursor.h"
#include "tarvid_lock.h"
#include "tarvid_store.h"
#include "unique.h"
#include "utility.h"

struct list ReqList;
pthread_mutex_t MutexReqList;
pthread_cond_t ConditionReqList;
struct list ReqCbList;
pthread_mutex_t MutexCbReqList;
pthread_cond_t ConditionCbReqList;

struct operator_table *opera;

namespace {

struct operator_table backend_table;

// Self-pipe through which the signal handlers hand work to the main loop.
int signal_pipe[2] = {-1, -1};
constexpr char SIGNAL_LISTING = 'L';
constexpr char SIGNAL_DUMP = 'D';
constexpr char SIGNAL_CHILD = 'C';

// A connection accepted but whose request has not arrived yet. Waiting ones
// never hold up the others; each gets one socket timeout to send its record.
struct pending_conn {
    int fd;
    struct timespec deadline;
};
// Connections kept waiting at once. When the room is full, or the daemon runs
// out of descriptors, the one that has waited longest is dropped to admit the
// newcomer: a well-behaved client writes its record right after connecting,
// so a crowd of silent connections must not keep it in the listen backlog
// until they time out.
constexpr size_t PENDING_MAX = 256;
// Out of descriptors with nobody waiting to drop (the workers hold them):
// how long the loop leaves the listen socket alone instead of spinning on it.
constexpr int ACCEPT_PAUSE_MS = 100;

// Requests that work on the flat store or the backend under the
// configuration lock. The main loop hands them to a thread of their own: the
// loop must stay free to pass a callback child's own requests on, whoever
// waits for the lock.
struct list ReqStoreList;
pthread_mutex_t MutexStoreReqList;
pthread_cond_t ConditionStoreReqList;

// Work asked for by SIGUSR1 (the listing) and SIGUSR2 (the backend's dump),
// done on a thread of its own: it needs the configuration lock, and the
// listing is written to standard output, which may be slow to take it. A
// burst of signals makes one more round of each at most.
std::mutex signal_work_mutex;
std::condition_variable signal_work_cv;
bool listing_due = false, dump_due = false;

struct timespec now_monotonic() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

long long ms_until(const struct timespec &deadline, const struct timespec &now) {
    return (deadline.tv_sec - now.tv_sec) * 1000LL + (deadline.tv_nsec - now.tv_nsec) / 1000000LL;
}

} // namespace

// ---- signal handlers ----

static void term_handler(int sig, siginfo_t *, void *) {
    char msg[64];
    // Only async-signal-safe work here: format by hand, write, _exit.
    const char head[] = "[TARVID] Received a signal ";
    const char tail[] = ", Terminating !!";
    size_t n = 0;
    memcpy(msg, head, sizeof head - 1);
    n += sizeof head - 1;
    char digits[12];
    int d = 0;
    unsigned v = static_cast<unsigned>(sig);
    do {
        digits[d++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v && d < 11);
    while (d)
        msg[n++] = digits[--d];
    memcpy(msg + n, tail, sizeof tail - 1);
    n += sizeof tail - 1;
    ssize_t ignored = write(STDOUT_FILENO, msg, n);
    (void)ignored;
    _exit(-1);
}

static void signal_to_loop(char what) {
    int saved = errno;
    ssize_t ignored = write(signal_pipe[1], &what, 1);
    (void)ignored;
    errno = saved;
}

// Children are reaped by the main loop (tarvid_child_reap), by pid, so that
// the exit of a service's process can be handed to the property thread and
// children that other code waits for are left to it.
static void reapchild(int) { signal_to_loop(SIGNAL_CHILD); }
static void wake_reaper() { signal_to_loop(SIGNAL_CHILD); }

// The listing and the backend dump read the store, which the workers change
// under the configuration lock; so the handlers only note the signal, and
// the main loop passes it on to the signal worker.
static void handle_debug(int) { signal_to_loop(SIGNAL_LISTING); }
static void handle_dump(int) { signal_to_loop(SIGNAL_DUMP); }

static void note_signal_work(char what) {
    if (what != SIGNAL_LISTING && what != SIGNAL_DUMP)
        return; // children are reaped once the pipe has been drained
    std::lock_guard<std::mutex> lock(signal_work_mutex);
    (what == SIGNAL_LISTING ? listing_due : dump_due) = true;
    signal_work_cv.notify_one();
}

// The listing is made under the lock into memory and written after it: a
// reader that is slow to take standard output holds up nobody else.
static void write_listing() {
    char *text = nullptr;
    size_t size = 0;
    FILE *mem = open_memstream(&text, &size);
    if (!mem)
        return;
    {
        config_lock_guard lock(CONFIG_LOCK_BRIEF);
        config_dump_store(mem);
    }
    fclose(mem);
    fwrite(text, 1, size, stdout);
    fflush(stdout);
    free(text);
}

static void *signal_work_thread(void *) {
    for (;;) {
        bool listing, dump;
        {
            std::unique_lock<std::mutex> lock(signal_work_mutex);
            signal_work_cv.wait(lock, [] { return listing_due || dump_due; });
            listing = listing_due;
            dump = dump_due;
            listing_due = dump_due = false;
        }
        if (listing)
            write_listing();
        if (dump && opera && opera->dump) {
            config_lock_guard lock(CONFIG_LOCK_BRIEF);
            opera->dump();
        }
    }
    return nullptr;
}

// ---- dispatch ----

static void handle_get(struct req *r) {
    tarvi_request *q = &r->request;
    unsigned char wire[TARVI_REQUEST_MAX_SIZE];
    int size;
    {
        config_lock_guard lock(CONFIG_LOCK_BRIEF);
        if (q->type == TARVI_REQUEST_TYPE_SC_DEBUG) {
            char *value = nullptr;
            q->status = config_sc_debug(q->key, &value);
            q->value = value;
        } else {
            q->value = q->key ? config_get(q->key) : nullptr;
            q->status = q->key ? 0 : -1;
        }
        // The value points into the store: pack before the lock goes.
        size = request_encode(q, wire);
        if (size < 0) {
            q->value = nullptr;
            q->status = -1;
            size = request_encode(q, wire);
        }
    }
    req_reply_packed(r, wire, size);
}

static void handle_commit(tarvi_request *q) {
    // The flags belong to the store, so they are read and consumed under the
    // same lock as the flush.
    config_lock_guard lock(CONFIG_LOCK_EXCLUSIVE);
    config_commit_prepare();
    q->status = opera->flush ? opera->flush(0) : -1;
    if (q->status >= 0)
        config_store_committed();
}

static void handle_chroot(tarvi_request *q) {
    if (!q->key) {
        q->status = -1;
        return;
    }
    // A folder that cannot be entered is a failed request, not a change
    // of root to wherever the daemon happens to stand.
    int status = chdir(q->key);
    if (status == 0)
        status = chroot(".");
    int err = errno;
    if (chdir("/") != 0 && status == 0) {
        status = -1;
        err = errno;
    }
    q->status = status;
    if (status == 0) {
        close(0);
        if (open("/dev/console", O_RDWR) < 0)
            tarvid_log(LOG_INFO, "Can not change STDIO to new root : %s !!", strerror(errno));
        dup2(0, 1);
        dup2(0, 2);
    }
    tarvid_log(LOG_INFO, "Change root directory to %s : %s !!", q->key, status == 0 ? "Success" : strerror(err));
}

static void handle_list(struct req *r) {
    if (r->request.type == TARVI_REQUEST_TYPE_LIST_NEXT) {
        cursor_reply_next(r);
        return;
    }
    std::string text;
    {
        // The snapshot is taken at once; its pages are served without the lock.
        config_lock_guard lock(CONFIG_LOCK_BRIEF);
        text = config_list_text(r->request.key);
    }
    cursor_reply_listing(r, std::move(text));
}

static bool is_tree_worker_type(int type) {
    return type == TARVI_REQUEST_TYPE_SC_GET || type == TARVI_REQUEST_TYPE_SC_SET ||
           type == TARVI_REQUEST_TYPE_SC_LIST || type == TARVI_REQUEST_TYPE_IMPORT ||
           (type >= TARVI_REQUEST_TYPE_SC_RELOAD && type <= TARVI_REQUEST_TYPE_SC_IS_EXIST) ||
           (type >= TARVI_REQUEST_TYPE_SC_TEST_ME && type <= TARVI_REQUEST_TYPE_SC_QUERY_INT_NUM) ||
           (type >= TARVI_REQUEST_TYPE_SC_GET_INSTANCE_FIELDS_BY_NUM &&
            type <= TARVI_REQUEST_TYPE_SC_SET_INSTANCE_FIELDS);
}

static bool is_property_type(int type) {
    return (type >= TARVI_REQUEST_TYPE_PROP_SET && type <= TARVI_REQUEST_TYPE_PROP_DEBUG) ||
           type == TARVI_REQUEST_TYPE_PROP_TEST || type == TARVI_REQUEST_TYPE_PROP_LIST;
}

// Serves one request of the store worker's queue and replies.
static void serve_store_request(struct req *r) {
    tarvi_request *q = &r->request;
    int type = q->type;

    if (type == TARVI_REQUEST_TYPE_GET || type == TARVI_REQUEST_TYPE_NONBLOCK_GET ||
        type == TARVI_REQUEST_TYPE_SC_DEBUG) {
        handle_get(r);
        return;
    }
    if (type == TARVI_REQUEST_TYPE_CONFIG_LIST || type == TARVI_REQUEST_TYPE_LIST_NEXT) {
        handle_list(r);
        return;
    }

    if (confirm_refuses(type)) {
        q->status = -1;
        q->key = q->value = nullptr;
        req_reply(r);
        return;
    }
    char text[16];
    switch (type) {
    case TARVI_REQUEST_TYPE_COMMIT_CONFIRM:
    case TARVI_REQUEST_TYPE_CONFIRM:
    case TARVI_REQUEST_TYPE_ROLLBACK:
    case TARVI_REQUEST_TYPE_COMMIT_STATUS:
        q->value = nullptr;
        confirm_serve(q, text, sizeof text);
        q->key = nullptr;
        break;
    case TARVI_REQUEST_TYPE_SET: {
        // A flat write starts the notifications it raises without waiting
        // for them, so it is brief.
        config_lock_guard lock(CONFIG_LOCK_BRIEF);
        q->status = (q->key && q->value) ? config_set(q->key, q->value) : -1;
        break;
    }
    case TARVI_REQUEST_TYPE_DSET: {
        config_lock_guard lock(CONFIG_LOCK_EXCLUSIVE);
        q->status = (opera->dset && q->key && q->value) ? opera->dset(q->key, q->value) : -1;
        break;
    }
    case TARVI_REQUEST_TYPE_DUNSET: {
        config_lock_guard lock(CONFIG_LOCK_EXCLUSIVE);
        q->status = (opera->dunset && q->key) ? opera->dunset(q->key) : -1;
        break;
    }
    case TARVI_REQUEST_TYPE_COMMIT:
    case TARVI_REQUEST_TYPE_SC_COMMIT:
        handle_commit(q);
        q->key = q->value = nullptr;
        break;
    case TARVI_REQUEST_TYPE_RELOAD:
    case TARVI_REQUEST_TYPE_RELOAD_DEFAULT: {
        config_lock_guard lock(CONFIG_LOCK_EXCLUSIVE);
        int user = type == TARVI_REQUEST_TYPE_RELOAD ? 1 : 0;
        q->status = opera->reload ? opera->reload(user) : -1;
        if (q->status >= 0)
            config_store_committed();
        q->key = q->value = nullptr;
        break;
    }
    case TARVI_REQUEST_TYPE_RESTORE_DEFAULT: {
        config_lock_guard lock(CONFIG_LOCK_EXCLUSIVE);
        q->status = opera->restore_default ? opera->restore_default(0) : -1;
        if (q->status >= 0)
            config_store_committed();
        q->key = q->value = nullptr;
        break;
    }
    case TARVI_REQUEST_TYPE_BACKUP_CFGFILE: {
        config_lock_guard lock(CONFIG_LOCK_EXCLUSIVE);
        q->status = opera->backup_cfgfile ? opera->backup_cfgfile(q->key) : -1;
        q->key = q->value = nullptr;
        break;
    }
    case TARVI_REQUEST_TYPE_RESTORE_CFGFILE: {
        config_lock_guard lock(CONFIG_LOCK_EXCLUSIVE);
        q->status = opera->restore_cfgfile ? opera->restore_cfgfile(q->key) : -1;
        if (q->status >= 0)
            config_store_committed();
        q->key = q->value = nullptr;
        break;
    }
    case TARVI_REQUEST_TYPE_CHROOT:
        handle_chroot(q);
        q->key = q->value = nullptr;
        break;
    default:
        tarvid_log(LOG_WARNING, "Unknown request type : %d !!", type);
        req_drop(r);
        return;
    }
    req_reply(r);
}

static void *request_store_thread(void *) {
    // Flat writes raise notifications whose callbacks this thread starts; it
    // does not wait for them.
    config_sc_cb_mark_dispatcher();
    for (;;)
        serve_store_request(req_queue_take(&ReqStoreList, &MutexStoreReqList, &ConditionStoreReqList));
    return nullptr;
}

static void dispatch(struct req *r) {
    int type = r->request.type;
    if (is_property_type(type)) {
        if (prop_tarvi_enqueue(r) != 0) {
            PROP_LOG_AS(PROP_DEBUG_TRACE, "request_handle", "Can't prop_tarvi_enqueue!!\n");
            req_drop(r);
        }
        return;
    }
    if (is_tree_worker_type(type)) {
        req_queue_put(r, &ReqList, &MutexReqList, &ConditionReqList);
        return;
    }
    if (type >= TARVI_REQUEST_TYPE_SC_CB_SET && type <= TARVI_REQUEST_TYPE_CB_GET) {
        req_queue_put(r, &ReqCbList, &MutexCbReqList, &ConditionCbReqList);
        return;
    }
    // The store's requests, and unknown types, which it logs and closes.
    req_queue_put(r, &ReqStoreList, &MutexStoreReqList, &ConditionStoreReqList);
}

// Reads the one record of a connection and dispatches it; every failure
// costs only this connection. With `may_wait`, a connection whose record has
// not arrived yet is left open and false is returned.
static bool serve_connection(int fd, bool may_wait) {
    unsigned char wire[TARVI_REQUEST_MAX_SIZE];
    struct ucred sent;
    bool have_sent = false;
    ssize_t n = access_recv(fd, wire, sizeof wire, may_wait ? MSG_DONTWAIT : 0, &sent, &have_sent);
    if (may_wait && n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return false;
    int got = static_cast<int>(n);
    if (got < 0) {
        tarvid_log(LOG_ERR, "Can't read request on %d : %s !!", fd, strerror(errno));
        safe_close(fd);
        return true;
    }
    auto *r = static_cast<struct req *>(malloc(sizeof(struct req)));
    if (!r) {
        tarvid_log(LOG_ERR, "Can't malloc for pending request : %s !!", strerror(errno));
        safe_close(fd);
        return true;
    }
    list_init(&r->next);
    r->sock = fd;
    r->child_pid = 0;
    if (request_decode(&r->request, wire, got) != 0) {
        tarvid_log(LOG_ERR, "Can't unpack request, size = %d !!", got);
        req_drop(r);
        return true;
    }
    if (!access_permits(fd, &r->request, have_sent ? &sent : nullptr)) {
        // A short reply, which fits the empty socket buffer: no wait here.
        r->request.status = -1;
        r->request.reservedLen = 0;
        r->request.key = nullptr;
        r->request.value = const_cast<char *>(TARVI_REPLY_NOT_PERMITTED);
        req_reply(r);
        return true;
    }
    dispatch(r);
    return true;
}

// ---- start-up ----

static int open_listen_socket() {
    std::string path = tarvi_path(TARVI_SOCKET_PATH);
    const char *p = path.c_str();
    unlink(p);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) {
        tarvid_log(LOG_ERR, "Can't create socket on %s : %s !!", p, strerror(errno));
        return -1;
    }
    int one = 1;
    const char *failed = nullptr;
    if (fd_set_cloexec(fd) != 0)
        failed = "Can't fcntl set FD_CLOEXEC on %s : %s !!";
    else if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
        failed = "Can't setsockopt SO_REUSEADDR on %s : %s !!";
    else {
        if (socket_path_bind(fd, p) != 0)
            failed = "Can't bind on %s : %s !!";
        else if (listen(fd, 5) != 0)
            failed = "Can't listen on %s : %s !!";
        // The loop only accepts after poll said so; non-blocking keeps a
        // client that vanished in between from stalling the accept.
        else if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0)
            failed = "Can't listen on %s : %s !!";
    }
    if (failed) {
        int err = errno;
        tarvid_log(LOG_ERR, failed, p, strerror(err));
        close(fd);
        return -1;
    }
    // Under a policy each record comes with its sender's ids (accepted
    // connections inherit this), which spares asking the kernel for them;
    // without, the policy asks for the connection's.
    if (access_wants_ids() && setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &one, sizeof one) != 0)
        tarvid_log(LOG_WARNING, "Can't setsockopt SO_PASSCRED on %s : %s !!", p, strerror(errno));
    // Under an access policy every local user may connect and the policy
    // decides what each may do. Should the mode not change, root is still
    // served: no reason to stop.
    if (access_open_socket() && chmod(p, 0666) != 0)
        tarvid_log(LOG_WARNING, "Can't chmod 0666 %s : %s !!", p, strerror(errno));
    return fd;
}

static void install_signals() {
    static const int terminating[] = {SIGHUP,  SIGINT,    SIGUSR1,   SIGUSR2, SIGPIPE, SIGALRM,
                                      SIGTERM, SIGSTKFLT, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR};
    struct sigaction sa = {};
    sa.sa_sigaction = term_handler;
    sa.sa_flags = SA_SIGINFO;
    sigfillset(&sa.sa_mask);
    for (int sig : terminating)
        sigaction(sig, &sa, nullptr);
    struct sigaction ign = {};
    ign.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ign, nullptr);
    signal(SIGCHLD, reapchild);
    signal(SIGUSR1, handle_debug);
    signal(SIGUSR2, handle_dump);
}

static bool make_signal_pipe() {
    if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    return true;
}

// Starts a worker thread. Logs `announce` before and `failure` (with the
// error) when the thread cannot be created.
static bool start_worker(void *(*fn)(void *), const char *announce, const char *failure) {
    tarvid_log(LOG_INFO, "%s", announce);
    pthread_t thread;
    int rc = pthread_create(&thread, nullptr, fn, nullptr);
    if (rc != 0) {
        tarvid_log(LOG_ERR, failure, strerror(rc));
        return false;
    }
    pthread_detach(thread);
    return true;
}

// Closes the connection that has waited longest for its record.
static void drop_oldest(std::vector<pending_conn> &pending, const char *why) {
    tarvid_log(LOG_ERR, "Can't read request on %d : %s !!", pending.front().fd, why);
    safe_close(pending.front().fd);
    pending.erase(pending.begin());
}

static void main_loop(int listen_fd) {
    std::vector<pending_conn> pending, still;
    std::vector<struct pollfd> fds;
    struct timespec accept_resume = {};
    for (;;) {
        fds.clear();
        fds.push_back({signal_pipe[0], POLLIN, 0});
        struct timespec now = now_monotonic();
        long long paused = ms_until(accept_resume, now);
        fds.push_back({paused > 0 ? -1 : listen_fd, POLLIN, 0});
        int timeout = paused > 0 ? static_cast<int>(paused) : -1;
        // Children that outlive their time are killed from here.
        int kill_in = tarvid_child_next_kill_ms();
        if (kill_in >= 0 && (timeout < 0 || kill_in < timeout))
            timeout = kill_in;
        bool kill_due = kill_in >= 0 && kill_in == timeout;
        for (const auto &p : pending) {
            fds.push_back({p.fd, POLLIN, 0});
            long long left = ms_until(p.deadline, now);
            if (left < 0)
                left = 0;
            if (timeout < 0 || left < timeout)
                timeout = static_cast<int>(left);
        }
        int n = poll(fds.data(), fds.size(), timeout);
        if (n < 0 && errno != EINTR)
            continue;

        if (n > 0 && (fds[0].revents & POLLIN)) {
            char what;
            while (read(signal_pipe[0], &what, 1) == 1)
                note_signal_work(what);
            // Whatever the byte said: a wake-up dropped on a full pipe must
            // not leave an ended child unreaped.
            tarvid_child_reap();
        } else if (kill_due) {
            tarvid_child_reap(); // kills the overdue; their ends come as SIGCHLD
        }

        // Serve the waiting connections that have data; drop the overdue.
        now = now_monotonic();
        still.clear();
        for (size_t i = 0; i < pending.size(); ++i) {
            const struct pollfd &pfd = fds[i + 2];
            if (n > 0 && (pfd.revents & (POLLIN | POLLHUP | POLLERR))) {
                serve_connection(pending[i].fd, false);
            } else if (ms_until(pending[i].deadline, now) <= 0) {
                tarvid_log(LOG_ERR, "Can't read request on %d : %s !!", pending[i].fd, strerror(EAGAIN));
                safe_close(pending[i].fd);
            } else {
                still.push_back(pending[i]);
            }
        }
        pending.swap(still);

        if (n > 0 && (fds[1].revents & POLLIN)) {
            int fd = accept_request(listen_fd);
            if (fd < 0 && (errno == EAGAIN || errno == EINTR))
                continue; // the client gave up before we got to it
            if (fd < 0 && (errno == EMFILE || errno == ENFILE)) {
                tarvid_log(LOG_ERR, "Can't accept request socket on %d : %s !!", listen_fd, strerror(errno));
                if (!pending.empty()) {
                    drop_oldest(pending, strerror(errno));
                } else {
                    accept_resume = now_monotonic();
                    accept_resume.tv_nsec += ACCEPT_PAUSE_MS * 1000000L;
                    if (accept_resume.tv_nsec >= 1000000000L) {
                        accept_resume.tv_sec += 1;
                        accept_resume.tv_nsec -= 1000000000L;
                    }
                }
                continue;
            }
            if (fd < 0) {
                tarvid_log(LOG_ERR, "Can't accept request socket on %d : %s !!", listen_fd, strerror(errno));
                continue;
            }
            // Most clients have written their record by now.
            if (serve_connection(fd, true))
                continue;
            if (pending.size() >= PENDING_MAX)
                drop_oldest(pending, "too many connections waiting");
            struct timespec deadline = now_monotonic();
            deadline.tv_sec += TARVI_SOCKET_TIMEOUT;
            pending.push_back({fd, deadline});
        }
    }
}

// Records the daemon's pid in the open pid file and closes it. The file is
// emptied first: a shorter pid written over a longer one must not leave digits
// of the old one behind for whoever kills by it.
static void write_pid_file(int fd, const char *path) {
    FILE *f = fdopen(fd, "w");
    if (!f) {
        close(fd);
        return;
    }
    if (ftruncate(fd, 0) != 0)
        tarvid_log(LOG_WARNING, "Can't truncate %s : %s !!", path, strerror(errno));
    fprintf(f, "%d\n", static_cast<int>(getpid()));
    fflush(f);
    // Only a try: the parent may not have exited and released its lock yet.
    int locked = lockf(fd, F_TLOCK, 0);
    (void)locked;
    fclose(f);
}

int tarvid_run() {
    openlog("[TARVID]", LOG_CONS | LOG_ODELAY | LOG_PERROR, LOG_DAEMON);

    if (config_store_init() != 0) {
        tarvid_log(LOG_ERR, "Configuration initialization error !!");
        return -1;
    }

    memset(&backend_table, 0, sizeof backend_table);
    tarvid_backend_init(&backend_table);
    opera = &backend_table;
    if (!opera->reload || opera->reload(1) < 0) {
        tarvid_log(LOG_ERR, "Configuration initialization error !!");
        return -1;
    }

    access_load();
    int listen_fd = open_listen_socket();
    if (listen_fd < 0 || !make_signal_pipe()) {
        if (listen_fd >= 0)
            close(listen_fd);
        tarvid_log(LOG_ERR, "Request interface initialization error !!");
        return -1;
    }

    list_init(&ReqList);
    list_init(&ReqCbList);
    list_init(&ReqStoreList);
    tarvid_child_set_wake(wake_reaper);
    install_signals();

    std::string pid_path = tarvi_path(TARVID_PID_PATH);
    int pid_fd = open(pid_path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (pid_fd >= 0 && lockf(pid_fd, F_LOCK, 0) != 0)
        tarvid_log(LOG_WARNING, "Can't lock %s : %s !!", pid_path.c_str(), strerror(errno));

    pid_t pid = fork();
    if (pid < 0) {
        tarvid_log(LOG_ERR, "Can't fork to become a daemon : %s  !!", strerror(errno));
        return -1;
    }
    if (pid > 0)
        return 0; // the parent's descriptors, and its lock, go with it

    if (pid_fd >= 0)
        write_pid_file(pid_fd, pid_path.c_str());

    if (prop_tarvi_init() != 0) {
        close(listen_fd);
        return -1;
    }

    // The tree's hooks are in place before any thread can use them.
    config_sc_cb_init();
    pthread_mutex_init(&MutexReqList, nullptr);
    pthread_cond_init(&ConditionReqList, nullptr);
    bool started = true;
    for (int i = 0; i < TARVID_TREE_WORKERS && started; ++i)
        started = start_worker(request_thread, "Creating request processing thread",
                               "Can't create thread for processing request : %s !!");
    pthread_mutex_init(&MutexCbReqList, nullptr);
    pthread_cond_init(&ConditionCbReqList, nullptr);
    pthread_mutex_init(&MutexStoreReqList, nullptr);
    pthread_cond_init(&ConditionStoreReqList, nullptr);
    if (!started ||
        !start_worker(request_cb_thread, "Creating request processing cb thread",
                      "Can't create thread for processing cb request : %s !!") ||
        !start_worker(request_store_thread, "Creating request processing store thread",
                      "Can't create thread for processing store request : %s !!") ||
        !start_worker(signal_work_thread, "Creating signal work thread",
                      "Can't create thread for signal work : %s !!") ||
        !start_worker(confirm_timer_thread, "Creating confirmation timer thread",
                      "Can't create thread for the confirmation timer : %s !!")) {
        close(listen_fd);
        return -1;
    }

    main_loop(listen_fd);
    return -1;
}
