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
// thread only, forks a child for every call the daemon sends there; the child
// runs the call exactly as above. Each call comes with a socket of its own,
// on which the host reports the child's start and end, and the child that
// its function has returned. A child still running
// when its time is up is killed with its process group; when the host goes,
// its children go with it. The host ends when the daemon closes descriptor 3
// and its last child has ended.
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

// In a new child: everything of the host's is closed, its signal set-up
// undone, the child leads a group of its own and dies with the host.
[[noreturn]] void run_child(const sc_cbrun_request &r, int fd, pid_t host, const sigset_t &old_mask) {
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

// Takes one call from the daemon and starts its child.
void take_call(const sigset_t &old_mask) {
    unsigned char buf[SC_CBRUN_REQUEST_MAX + 1];
    union {
        char space[CMSG_SPACE(sizeof(int))];
        struct cmsghdr align;
    } control;
    struct iovec iov = {buf, sizeof buf};
    struct msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.space;
    msg.msg_controllen = sizeof control.space;
    ssize_t n = recvmsg(CONTROL_FD, &msg, MSG_CMSG_CLOEXEC);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0) {
        control_open = false;
        return;
    }
    int fd = -1;
    for (struct cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS && c->cmsg_len == CMSG_LEN(sizeof(int))) {
            int got;
            memcpy(&got, CMSG_DATA(c), sizeof got);
            if (fd < 0)
                fd = got;
            else
                close(got);
        }
    }
    sc_cbrun_request r;
    if (fd < 0 || (msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) || !sc_cbrun_unpack(buf, static_cast<size_t>(n), &r)) {
        if (fd >= 0) {
            report(fd, SC_CBRUN_ENDED, -1, -1);
            close(fd);
        }
        return;
    }
    fflush(stdout);
    fflush(stderr);
    pid_t host = getpid();
    pid_t pid = fork();
    if (pid == 0)
        run_child(r, fd, host, old_mask);
    if (pid < 0) {
        report(fd, SC_CBRUN_ENDED, -1, -1);
        close(fd);
        return;
    }
    setpgid(pid, pid);
    try {
        children.push_back({pid, fd, now_ms() + std::max(0, r.kill_after_ms)});
    } catch (...) {
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        report(fd, SC_CBRUN_ENDED, -1, -1);
        close(fd);
        return;
    }
    report(fd, SC_CBRUN_STARTED, pid, 0);
}

void reap() {
    struct signalfd_siginfo info;
    while (read(signal_fd, &info, sizeof info) > 0) {
    }
    for (;;) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid <= 0)
            return;
        auto it = std::find_if(children.begin(), children.end(), [pid](const host_child &c) { return c.pid == pid; });
        if (it == children.end())
            continue;
        report(it->fd, it->kill_at < 0 ? SC_CBRUN_KILLED : SC_CBRUN_ENDED, pid, status);
        close(it->fd);
        children.erase(it);
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

    while (control_open || !children.empty()) {
        int timeout = kill_overdue();
        struct pollfd p[2] = {{signal_fd, POLLIN, 0}, {control_open ? CONTROL_FD : -1, POLLIN, 0}};
        if (poll(p, 2, timeout) < 0 && errno != EINTR)
            return 1;
        if (p[0].revents)
            reap();
        if (p[1].revents)
            take_call(old_mask);
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
