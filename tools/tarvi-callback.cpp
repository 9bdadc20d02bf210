// tarvi-callback: runs tree callback functions for the daemon.
//
//   tarvi-callback SO FUN URI IKEY OKEY DIRECTION [DEBUGLEVEL]
//   tarvi-callback --host [SO...]
//
// The daemon is multithreaded, so the process it forks may do nothing but
// exec: loading a shared object there could deadlock on a lock that another
// thread of the daemon held at the fork. This program is what it execs.
//
// With SO FUN ... it runs one call: it loads "/lib/" SO (lazily), looks FUN
// up, falling back to "/lib/libsc_sys.so" when SO lacks it, and calls it
// with (URI, IKEY, OKEY), or with (URI, IKEY, OKEY, DIRECTION) when
// DIRECTION is not -1. SO must be a plain file name (no '/'). The function
// exchanges its input and output with the daemon through the two keys. Exit
// status 0 when the function returned 0, 1 for any failure; the daemon only
// reads the output key, the status is for whoever debugs.
//
// With --host it is the callback host: it loads the objects named (and the
// fallback object) once, tells the daemon so on descriptor 3, and then, one
// thread only, gives every call the daemon sends there a child of its own;
// the child runs the call exactly as above. The child is forked ahead: one
// spare waits (named "tarvi-cb-spare") for the next call, and a new spare is
// forked once a call has ended; a call that finds none gets a child forked
// for it. Each call comes with a socket of its own, on which the host
// reports the child's start and end, and the child that its function has
// returned. A child still running when its time is up is killed with its
// process group; when the host goes, its children go with it. The host ends
// when the daemon closes descriptor 3 and its last child has ended.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "ancillary.h"
#include "sc_cbrun.h"

namespace {

const int CONTROL_FD = 3;
// Loading the objects runs their initialisers; one that never returns must
// not leave a host that never answers.
const unsigned LOAD_LIMIT_S = 20;

long long now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

struct host_child {
    pid_t pid;
    int fd;            // the call's socket
    long long kill_at; // monotonic ms, or -1 once killed
};

std::vector<host_child> children;
int signal_fd = -1;
bool control_open = true;

void report(int fd, int32_t kind, pid_t pid, int status) {
    sc_cbrun_event ev = {kind, static_cast<int32_t>(pid), static_cast<int32_t>(status)};
    // The daemon may have stopped listening; nothing here waits for it.
    ssize_t ignored = send(fd, &ev, sizeof ev, MSG_DONTWAIT | MSG_NOSIGNAL);
    (void)ignored;
}

// A child forked ahead of its call, waiting on `sock` for it: forking (and,
// on a slow MMU, the page faults of a fresh process) is then off the path of
// the call. It serves exactly one call, like every other child.
struct spare_child {
    pid_t pid = -1;
    int sock = -1; // ours; the call and its socket go here
};
spare_child spare;

void drop_spare() {
    if (spare.sock >= 0)
        close(spare.sock);
    spare = spare_child();
}

// Forks a child of the host, as fork returns. In the child everything of
// the host's is closed, its signal set-up undone, and it leads a group of
// its own and dies with the host.
pid_t fork_child(const sigset_t &old_mask) {
    fflush(stdout);
    fflush(stderr);
    pid_t host = getpid();
    pid_t pid = fork();
    if (pid > 0)
        setpgid(pid, pid);
    if (pid != 0)
        return pid;
    close(CONTROL_FD);
    close(signal_fd);
    for (const host_child &c : children)
        close(c.fd);
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != host)
        _exit(1);
    signal(SIGCHLD, SIG_DFL);
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    return 0;
}

[[noreturn]] void run_call(const sc_cbrun_request &r, int fd) {
    std::vector<char> uri(r.uri.begin(), r.uri.end()), ikey(r.ikey.begin(), r.ikey.end()),
        okey(r.okey.begin(), r.okey.end());
    for (auto *v : {&uri, &ikey, &okey})
        v->push_back('\0');
    int status = sc_cbrun_call(r.so.c_str(), r.fun.c_str(), uri.data(), ikey.data(), okey.data(), r.direction, r.debug);
    // The answer is in: the daemon need not wait for this process to wind up.
    report(fd, SC_CBRUN_RETURNED, getpid(), status);
    close(fd);
    exit(status);
}

// One record and at most one descriptor from `sock`: the record's length,
// 0 at the end, -1 on error; *fd is -1 when none came (extra ones are closed).
ssize_t receive(int sock, unsigned char *buf, size_t cap, int *fd, bool *truncated) {
    union {
        char space[CMSG_SPACE(sizeof(int))];
        struct cmsghdr align;
    } control;
    struct msghdr msg;
    *fd = -1;
    ssize_t n = recv_ancillary(sock, buf, cap, 0, control.space, sizeof control.space, &msg);
    if (n < 0)
        return n;
    for (struct cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS && c->cmsg_len == CMSG_LEN(sizeof(int))) {
            int got;
            memcpy(&got, CMSG_DATA(c), sizeof got);
            if (*fd < 0)
                *fd = got;
            else
                close(got);
        }
    }
    *truncated = (msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0;
    return n;
}

// What a spare is called until it takes its call ("ps" tells them apart).
const char SPARE_NAME[] = "tarvi-cb-spare";

[[noreturn]] void spare_main(int sock, int argc, char **argv) {
    char name[16] = "";
    prctl(PR_GET_NAME, name);
    prctl(PR_SET_NAME, SPARE_NAME);
    // A fresh process pays for the first touch of every page; those of the
    // object lookup that starts each call are paid now, while it waits.
    for (int i = 2; i < argc; ++i)
        sc_cbrun_rehearse(argv[i]);
    sc_cbrun_rehearse(nullptr);
    unsigned char buf[SC_CBRUN_REQUEST_MAX + 1];
    int fd = -1;
    bool truncated = false;
    ssize_t n = receive(sock, buf, sizeof buf, &fd, &truncated);
    close(sock);
    sc_cbrun_request r;
    if (n <= 0 || fd < 0 || truncated || !sc_cbrun_unpack(buf, static_cast<size_t>(n), &r))
        _exit(1);
    prctl(PR_SET_NAME, name);
    run_call(r, fd);
}

// Forks the next spare child, unless there is one.
void make_spare(const sigset_t &old_mask, int argc, char **argv) {
    if (spare.pid > 0)
        return;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0)
        return;
    pid_t pid = fork_child(old_mask);
    if (pid == 0) {
        close(sv[0]);
        spare_main(sv[1], argc, argv);
    }
    close(sv[1]);
    if (pid < 0) {
        close(sv[0]);
        return;
    }
    spare.pid = pid;
    spare.sock = sv[0];
}

// Takes one call from the daemon and hands it to the spare child, or to a
// child forked for it.
void take_call(const sigset_t &old_mask) {
    unsigned char buf[SC_CBRUN_REQUEST_MAX + 1];
    int fd = -1;
    bool truncated = false;
    ssize_t n = receive(CONTROL_FD, buf, sizeof buf, &fd, &truncated);
    if (n < 0 && errno == EAGAIN)
        return;
    if (n <= 0) {
        if (fd >= 0)
            close(fd);
        control_open = false;
        return;
    }
    sc_cbrun_request r;
    if (fd < 0 || truncated || !sc_cbrun_unpack(buf, static_cast<size_t>(n), &r)) {
        if (fd >= 0) {
            report(fd, SC_CBRUN_ENDED, -1, -1);
            close(fd);
        }
        return;
    }
    try {
        children.reserve(children.size() + 1);
    } catch (...) {
        report(fd, SC_CBRUN_ENDED, -1, -1);
        close(fd);
        return;
    }
    pid_t pid = -1;
    bool passed = spare.pid > 0 && sc_cbrun_pass(spare.sock, buf, static_cast<size_t>(n), fd);
    pid_t taken = spare.pid;
    // Used, or of no use: a spare that cannot take a call is let go (it
    // ends at the close), and no child forked here inherits its socket.
    drop_spare();
    if (passed) {
        pid = taken;
    } else {
        pid = fork_child(old_mask);
        if (pid == 0)
            run_call(r, fd);
        if (pid < 0) {
            report(fd, SC_CBRUN_ENDED, -1, -1);
            close(fd);
            return;
        }
    }
    children.push_back({pid, fd, now_ms() + std::max(0, r.kill_after_ms)});
    report(fd, SC_CBRUN_STARTED, pid, 0);
}

// Reaps the children that ended; true when one of them had run a call.
bool reap() {
    bool ended = false;
    struct signalfd_siginfo info;
    while (read(signal_fd, &info, sizeof info) > 0) {
    }
    for (;;) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid <= 0)
            return ended;
        if (pid == spare.pid) {
            drop_spare();
            continue;
        }
        auto it = std::find_if(children.begin(), children.end(), [pid](const host_child &c) { return c.pid == pid; });
        if (it == children.end())
            continue;
        report(it->fd, it->kill_at < 0 ? SC_CBRUN_KILLED : SC_CBRUN_ENDED, pid, status);
        close(it->fd);
        children.erase(it);
        ended = true;
    }
}

// Kills the children whose time is up (each still unreaped: its pid and
// group are still its own). Returns the ms until the next is due, or -1.
int kill_overdue() {
    long long now = now_ms(), next = -1;
    for (host_child &c : children) {
        if (c.kill_at < 0)
            continue;
        if (c.kill_at <= now) {
            if (kill(-c.pid, SIGKILL) != 0)
                kill(c.pid, SIGKILL);
            c.kill_at = -1;
        } else if (next < 0 || c.kill_at < next) {
            next = c.kill_at;
        }
    }
    return next < 0 ? -1 : static_cast<int>(std::min<long long>(next - now, 60000));
}

int host_main(int argc, char **argv) {
    struct sockaddr_storage addr;
    socklen_t len = sizeof addr;
    if (getsockname(CONTROL_FD, reinterpret_cast<struct sockaddr *>(&addr), &len) != 0) {
        fprintf(stderr, "tarvi-callback --host: descriptor %d is no socket\n", CONTROL_FD);
        return 1;
    }
    alarm(LOAD_LIMIT_S);
    for (int i = 2; i < argc; ++i)
        sc_cbrun_preload(argv[i]);
    sc_cbrun_preload(nullptr);
    alarm(0);

    sigset_t mask, old_mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGCHLD);
    sigprocmask(SIG_BLOCK, &mask, &old_mask);
    signal_fd = signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signal_fd < 0)
        return 1;
    report(CONTROL_FD, SC_CBRUN_READY, getpid(), 0);
    make_spare(old_mask, argc, argv);

    while (control_open || !children.empty()) {
        int timeout = kill_overdue();
        struct pollfd p[2] = {{signal_fd, POLLIN, 0}, {control_open ? CONTROL_FD : -1, POLLIN, 0}};
        if (poll(p, 2, timeout) < 0 && errno != EINTR)
            return 1;
        // The next spare is forked once a call has ended, when the machine
        // is least busy with calls; a spare that died unused is replaced
        // only then too, so that nothing forks in a loop.
        bool ended = p[0].revents && reap();
        if (p[1].revents)
            take_call(old_mask);
        if (!control_open)
            drop_spare();
        else if (ended)
            make_spare(old_mask, argc, argv);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc >= 2 && strcmp(argv[1], "--host") == 0)
        return host_main(argc, argv);
    if (argc < 7 || argc > 8) {
        fprintf(stderr, "usage: tarvi-callback SO FUN URI IKEY OKEY DIRECTION [DEBUGLEVEL]\n"
                        "       tarvi-callback --host [SO...]\n");
        return 1;
    }
    int direction = atoi(argv[6]);
    int debug = argc == 8 ? atoi(argv[7]) : 0;
    return sc_cbrun_call(argv[1], argv[2], argv[3], argv[4], argv[5], direction, debug);
}
