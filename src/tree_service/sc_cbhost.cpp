#include "sc_cbhost.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "log.h"
#include "tarvid_child.h"
#include "unique.h"
#include "utility.h"

struct cb_host {
    pid_t pid = -1;
    int pidfd = -1;   // signals exactly this process; -1 where the kernel has none
    int control = -1; // ours; closed when the host is let go
    bool ready = false;
    bool failed = false; // given up: killed, or ended without being let go
    bool reaped = false;
    long long since = 0; // start, monotonic ms
    std::string identity;

    ~cb_host() {
        if (pidfd >= 0)
            close(pidfd);
        if (control >= 0)
            close(control);
    }
};

namespace {

const char *const HELPER_NAME = "tarvi-callback";
const char *const FALLBACK_NAME = "libsc_sys.so";

std::once_flag command_once;
std::vector<std::string> command;
bool host_disabled = false;

void find_command() {
    std::string helper;
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string dir(self, static_cast<size_t>(n));
        size_t slash = dir.rfind('/');
        helper = (slash == std::string::npos ? std::string(".") : dir.substr(0, slash)) + "/" + HELPER_NAME;
    } else {
        helper = std::string("/usr/sbin/") + HELPER_NAME;
    }
#ifdef TARVI_ROOT_FROM_ENV
    // Test hosts: the helper may live elsewhere, a cross build's helper has
    // to be started through the emulator, and a benchmark compares the
    // helper alone with the host.
    if (const char *env = getenv("TARVI_CALLBACK_PROGRAM"); env && *env)
        helper = env;
    if (const char *prefix = getenv("TARVI_CALLBACK_PREFIX")) {
        std::string words = prefix;
        size_t pos = 0;
        while ((pos = words.find_first_not_of(' ', pos)) != std::string::npos) {
            size_t end = words.find(' ', pos);
            command.push_back(words.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
            pos = end;
        }
    }
    if (const char *env = getenv("TARVI_CALLBACK_HOST"))
        host_disabled = strcmp(env, "0") == 0;
#endif
    command.push_back(helper);
}

// A call whose child outlived the caller's wait.
struct handed_call {
    pid_t pid;
    int fd;
    long long deadline; // by then the host has reported its end, or is hung
    std::shared_ptr<cb_host> host;
    pid_t tag;
    void (*gone)(pid_t, int);
    bool late;         // its wait ended before the host started it
    int kill_after_ms; // the child's time from its start, as the host counts it
};

std::mutex host_mutex;
std::shared_ptr<cb_host> current;
std::vector<std::shared_ptr<cb_host>> unreaped;
std::vector<handed_call> handed;
std::vector<std::string> wanted; // the objects of the tree, sorted
long long retry_at = 0;
int retry_ms = SC_CBHOST_RETRY_MS;

// What the files of `objects` are now: a host that loaded other files
// serves an older firmware's callbacks.
std::string identity_of(const std::vector<std::string> &objects) {
    std::string id;
    for (const std::string &name : objects) {
        struct stat st;
        id += name;
        if (stat(sc_cbrun_object_path(name.c_str()).c_str(), &st) == 0)
            id += ":" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) +
                  ":" + std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
        id += ";";
    }
    return id;
}

void signal_host(const cb_host &host) {
#ifdef SYS_pidfd_send_signal
    if (host.pidfd >= 0 && syscall(SYS_pidfd_send_signal, host.pidfd, SIGKILL, nullptr, 0) == 0)
        return;
#endif
    // Unreaped, the pid is still the host's.
    if (!host.reaped)
        kill(host.pid, SIGKILL);
}

// Lets a host go: it takes no more calls and ends once its children have.
void retire(const std::shared_ptr<cb_host> &host) {
    if (host->control >= 0) {
        close(host->control);
        host->control = -1;
    }
    if (current == host)
        current.reset();
}

// Kills the process groups of the handed-off calls of `host` whose child has
// been reported started. host_mutex held.
void kill_groups(const std::shared_ptr<cb_host> &host) {
    for (const handed_call &c : handed)
        if (c.host == host && c.pid > 0)
            kill(-c.pid, SIGKILL);
}

// Gives a host up: kills what it runs and the host. Its children die with
// it; what they started is killed here while the host, which does not reap
// any more, still keeps their pids and groups. host_mutex held.
void fail_host(const std::shared_ptr<cb_host> &host, const char *why) {
    if (host->failed)
        return;
    host->failed = true;
    tarvid_log(LOG_WARNING, "Callback host %d %s: callbacks run by %s until it is restarted !!",
               static_cast<int>(host->pid), why, HELPER_NAME);
    if (!host->reaped)
        kill_groups(host);
    signal_host(*host);
    if (current == host) {
        retry_at = monotonic_ms() + retry_ms;
        retry_ms = std::min(retry_ms * 2, SC_CBHOST_RETRY_MAX_MS);
    }
    retire(host);
}

// The reaping thread: the host has ended.
void host_exited(pid_t pid, int status) {
    std::lock_guard<std::mutex> lock(host_mutex);
    auto it = std::find_if(unreaped.begin(), unreaped.end(), [pid](const auto &h) { return h->pid == pid; });
    if (it == unreaped.end())
        return;
    std::shared_ptr<cb_host> host = *it;
    unreaped.erase(it);
    // Reaped, its pid may name another process from now on.
    host->reaped = true;
    if (host->control >= 0) {
        char why[48];
        snprintf(why, sizeof why, "ended (status %d)", status);
        fail_host(host, why);
    }
    // A host ends well only once all its children have been reaped: their
    // pids are nobody's to kill then. Otherwise its children went with it,
    // and what they started goes now, while their groups still stand.
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        kill_groups(host);
}

// The thread that watches the handed-off calls: it learns of each end as it
// comes (the call's pair is free again, the kill is logged), and gives up a
// host that owes an end past its deadline. Started with the first host (no
// host is started without it); `watch_wake` tells it that the list grew.
int watch_wake[2] = {-1, -1};

void *watch_handed(void *) {
    std::vector<struct pollfd> fds;
    for (;;) {
        int timeout = -1;
        fds.assign(1, {watch_wake[0], POLLIN, 0});
        {
            std::lock_guard<std::mutex> lock(host_mutex);
            long long now = monotonic_ms();
            for (const handed_call &c : handed) {
                fds.push_back({c.fd, POLLIN, 0});
                long long left = std::max(0LL, c.deadline - now);
                if (timeout < 0 || left < timeout)
                    timeout = static_cast<int>(left);
            }
        }
        if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR)
            continue;
        char drain[64];
        while (read(watch_wake[0], drain, sizeof drain) > 0) {
        }
        sc_cbhost_sweep();
    }
    return nullptr;
}

// True once the watcher runs; tries to start it otherwise (descriptors or
// threads may be short for a while). host_mutex held.
bool watch_running() {
    if (watch_wake[1] >= 0)
        return true;
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    watch_wake[0] = wake[0];
    watch_wake[1] = wake[1];
    pthread_t thread;
    if (pthread_create(&thread, nullptr, watch_handed, nullptr) != 0) {
        close(wake[0]);
        close(wake[1]);
        watch_wake[0] = watch_wake[1] = -1;
        return false;
    }
    pthread_detach(thread);
    return true;
}

// Starts a host for `wanted`, unless it is disabled, pausing, or has
// nothing to load. host_mutex held.
void start_host() {
    std::call_once(command_once, find_command);
    if (host_disabled || wanted.empty() || monotonic_ms() < retry_at || !watch_running())
        return;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0)
        return;
    unique_fd theirs(sv[1]);
    auto host = std::make_shared<cb_host>();
    host->control = sv[0];
    std::vector<std::string> args = command;
    args.emplace_back("--host");
    args.insert(args.end(), wanted.begin(), wanted.end());
    std::vector<char *> argv;
    for (auto &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    // Descriptor 3 is the host's control socket; nothing else of the
    // daemon's from 3 up reaches it.
    if (nonrt_spawnv(argv[0], argv.data(), 3, &host->pid, true, theirs.get()) != 0) {
        tarvid_log(LOG_WARNING, "Callback host cannot be started: callbacks run by %s !!", HELPER_NAME);
        retry_at = monotonic_ms() + retry_ms;
        return;
    }
#ifdef SYS_pidfd_open
    host->pidfd = static_cast<int>(syscall(SYS_pidfd_open, host->pid, 0));
#endif
    host->since = monotonic_ms();
    host->identity = identity_of(wanted);
    try {
        unreaped.push_back(host);
    } catch (const std::bad_alloc &) {
        signal_host(*host);
        nonrt_wait(host->pid);
        return;
    }
    if (tarvid_child_watch(host->pid, host_exited) != 0) {
        unreaped.pop_back();
        signal_host(*host);
        nonrt_wait(host->pid);
        return;
    }
    current = host;
}

// One report of the host on `fd` within `limit_ms`: 1 with *ev, 0 when none
// came in time, -1 when the host closed the socket (it has ended).
int read_event(int fd, int limit_ms, sc_cbrun_event *ev) {
    long long deadline = monotonic_ms() + limit_ms;
    for (;;) {
        ssize_t n = recv(fd, ev, sizeof *ev, MSG_DONTWAIT);
        if (n == static_cast<ssize_t>(sizeof *ev))
            return 1;
        if (n >= 0 || (errno != EAGAIN && errno != EINTR))
            return -1;
        long long left = deadline - monotonic_ms();
        if (left <= 0)
            return 0;
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR)
            return -1;
    }
}

// True while `host` has said nothing yet of a call that it did not start
// within the call's wait: it may be slow, or hung, which only the call's
// deadline tells. host_mutex held.
bool owes_start(const std::shared_ptr<cb_host> &host) {
    for (const handed_call &c : handed) {
        struct pollfd p = {c.fd, POLLIN, 0};
        if (c.host == host && c.late && c.pid <= 0 && poll(&p, 1, 0) == 0)
            return true;
    }
    return false;
}

// The host that takes calls now, started or checked on the way; null when
// there is none yet, or it owes the start of a call. host_mutex held.
std::shared_ptr<cb_host> usable_host() {
    if (!current)
        start_host();
    if (current && !current->ready) {
        sc_cbrun_event ev;
        int got = read_event(current->control, 0, &ev);
        if (got == 1 && ev.kind == SC_CBRUN_READY)
            current->ready = true;
        else if (got < 0)
            fail_host(current, "ended while loading");
        else if (monotonic_ms() - current->since > SC_CBHOST_READY_MS)
            fail_host(current, "did not load its objects in time");
    }
    return current && current->ready && !owes_start(current) ? current : nullptr;
}

// An object the tree had not named at load: the next host loads it too.
void note_object(const std::string &so) {
    if (so.empty() || so.find('/') != std::string::npos || wanted.size() >= SC_CBHOST_OBJECTS_MAX ||
        std::binary_search(wanted.begin(), wanted.end(), so))
        return;
    struct stat st;
    if (stat(sc_cbrun_object_path(so.c_str()).c_str(), &st) != 0)
        return;
    wanted.insert(std::lower_bound(wanted.begin(), wanted.end(), so), so);
    if (current)
        retire(current);
}

// Where a call stands after the host's reports of the last `limit_ms`.
enum call_state {
    CALL_RUNNING,     // no end yet (pid known once started)
    CALL_ENDED,       // the child ended, or its function returned
    CALL_KILLED,      // the host killed it at the end of its time
    CALL_REFUSED,     // the host started no child for it
    CALL_NOT_STARTED, // the host went before it started a child
    CALL_HOST_GONE,   // the host went while the child ran, and took it along
};

call_state follow_call(int fd, pid_t *pid, int limit_ms) {
    long long deadline = monotonic_ms() + limit_ms;
    for (;;) {
        sc_cbrun_event ev;
        int got = read_event(fd, static_cast<int>(std::max(0LL, deadline - monotonic_ms())), &ev);
        if (got == 0)
            return CALL_RUNNING;
        if (got < 0)
            return *pid > 0 ? CALL_HOST_GONE : CALL_NOT_STARTED;
        if (ev.kind == SC_CBRUN_STARTED && ev.pid > 0 && *pid <= 0)
            *pid = ev.pid;
        else if (ev.kind == SC_CBRUN_ENDED || ev.kind == SC_CBRUN_KILLED || ev.kind == SC_CBRUN_RETURNED)
            return *pid <= 0 ? CALL_REFUSED : ev.kind == SC_CBRUN_KILLED ? CALL_KILLED : CALL_ENDED;
    }
}

void finish(sc_cbhost_call *call) {
    if (call->fd >= 0)
        close(call->fd);
    call->fd = -1;
    call->host.reset();
}

} // namespace

const std::vector<std::string> &sc_cbhost_command(void) {
    std::call_once(command_once, find_command);
    return command;
}

void sc_cbhost_refresh(const std::vector<std::string> &objects) {
    std::vector<std::string> names;
    for (const std::string &so : objects)
        if (!so.empty() && so.find('/') == std::string::npos)
            names.push_back(so);
    names.emplace_back(FALLBACK_NAME);
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    if (names.size() > SC_CBHOST_OBJECTS_MAX)
        names.resize(SC_CBHOST_OBJECTS_MAX);
    // Only objects that exist are worth a host.
    std::vector<std::string> present;
    for (const std::string &so : names) {
        struct stat st;
        if (stat(sc_cbrun_object_path(so.c_str()).c_str(), &st) == 0)
            present.push_back(so);
    }
    std::lock_guard<std::mutex> lock(host_mutex);
    wanted = present;
    if (current && current->identity == identity_of(wanted))
        return;
    if (current)
        retire(current);
    // A new tree is a fresh start.
    retry_at = 0;
    retry_ms = SC_CBHOST_RETRY_MS;
    start_host();
}

int sc_cbhost_begin(const sc_cbrun_request &r, sc_cbhost_call *call) {
    unsigned char buf[SC_CBRUN_REQUEST_MAX];
    size_t n = sc_cbrun_pack(r, buf, sizeof buf);
    if (n == 0)
        return -1;
    std::lock_guard<std::mutex> lock(host_mutex);
    note_object(r.so);
    std::shared_ptr<cb_host> host = usable_host();
    int sv[2];
    if (!host || socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0)
        return -1;
    bool sent = sc_cbrun_pass(host->control, buf, n, sv[1]);
    close(sv[1]);
    if (!sent) {
        close(sv[0]);
        fail_host(host, "takes no calls");
        return -1;
    }
    call->pid = -1;
    call->fd = sv[0];
    call->host = host;
    call->kill_after_ms = r.kill_after_ms;
    return 0;
}

int sc_cbhost_wait(sc_cbhost_call *call, int limit_ms) {
    call_state st = follow_call(call->fd, &call->pid, limit_ms);
    if (st == CALL_RUNNING) {
        // A host that has not started the call yet is slow or hung; it is
        // given up only once it owes the start past the call's kill time,
        // which the sweep tells, and takes no calls until it catches up.
        call->late = call->pid <= 0;
        return SC_CBHOST_RUNNING;
    }
    if (st == CALL_HOST_GONE)
        kill(-call->pid, SIGKILL);
    {
        std::lock_guard<std::mutex> lock(host_mutex);
        if (st == CALL_NOT_STARTED || st == CALL_HOST_GONE)
            fail_host(call->host, "ended");
        else if (st == CALL_ENDED && call->host == current)
            retry_ms = SC_CBHOST_RETRY_MS;
    }
    finish(call);
    return st == CALL_NOT_STARTED || st == CALL_REFUSED ? SC_CBHOST_NOT_STARTED : SC_CBHOST_ENDED;
}

void sc_cbhost_hand_off(sc_cbhost_call *call, int grace_ms, pid_t tag, void (*gone)(pid_t, int)) {
    {
        std::lock_guard<std::mutex> lock(host_mutex);
        try {
            long long deadline = monotonic_ms() + grace_ms + SC_CBHOST_MARGIN_MS;
            handed.push_back({call->pid, call->fd, deadline, call->host, tag, gone, call->late, call->kill_after_ms});
            call->fd = -1;
            call->host.reset();
        } catch (const std::bad_alloc &) {
        }
    }
    if (call->fd < 0) {
        char one = 1;
        ssize_t ignored = write(watch_wake[1], &one, 1); // a full pipe wakes it as well
        (void)ignored;
        return;
    }
    // Unrecorded, nobody would learn of its end: end it now (the host reaps
    // it), without waiting for the host to say so.
    if (follow_call(call->fd, &call->pid, 0) == CALL_RUNNING && call->pid > 0)
        kill(-call->pid, SIGKILL);
    finish(call);
    gone(tag, 0);
}

void sc_cbhost_sweep(void) {
    std::vector<std::pair<void (*)(pid_t, int), pid_t>> ended;
    {
        std::lock_guard<std::mutex> lock(host_mutex);
        if (handed.empty())
            return;
        long long now = monotonic_ms();
        for (size_t i = 0; i < handed.size();) {
            handed_call &c = handed[i];
            bool unstarted = c.pid <= 0;
            call_state st = follow_call(c.fd, &c.pid, 0);
            // Started late, the child has its whole time from its start.
            if (c.late && unstarted && c.pid > 0)
                c.deadline = std::max(c.deadline, now + c.kill_after_ms + SC_CBHOST_MARGIN_MS);
            if (st == CALL_RUNNING && now < c.deadline) {
                ++i;
                continue;
            }
            if (st == CALL_KILLED)
                tarvid_log(LOG_WARNING, "Child %d outlived its time, killed !!", static_cast<int>(c.pid));
            else if (st == CALL_RUNNING)
                fail_host(c.host, c.pid > 0 ? "did not end a call in time" : "did not start a call in time");
            else if (st == CALL_HOST_GONE)
                kill(-c.pid, SIGKILL);
            try {
                ended.emplace_back(c.gone, c.tag);
            } catch (const std::bad_alloc &) {
            }
            close(c.fd);
            handed[i] = std::move(handed.back());
            handed.pop_back();
        }
    }
    for (const auto &[gone, tag] : ended)
        if (gone)
            gone(tag, 0);
}
