#include "utility.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "log.h"

extern "C" {
int libtarvi_rw_block = 1;
}

static int safe_read_mode(int fd, void *buf, size_t count, int block) {
    for (;;) {
        ssize_t n = read(fd, buf, count);
        if (n >= 0)
            return static_cast<int>(n);
        int err = errno;
        if (err == EINTR)
            continue;
        libtarvi_log("\n", "read(%d) @ safe_read() failed : %s !!", fd, strerror(err));
        if (err == EAGAIN && block)
            continue;
        errno = err;
        return -1;
    }
}

int safe_write_mode(int fd, const void *buf, size_t count, int block) {
    bool socket = true;
    for (;;) {
        ssize_t n = socket ? send(fd, buf, count, MSG_NOSIGNAL) : write(fd, buf, count);
        if (n < 0 && errno == ENOTSOCK) {
            socket = false;
            continue;
        }
        if (n > 0)
            return static_cast<int>(n);
        if (n == 0) {
            libtarvi_log("\n", "write(%d) @ safe_write : write zero byte !!", fd);
            return 0;
        }
        int err = errno;
        if (err == EINTR)
            continue;
        libtarvi_log("\n", "write(%d) @ safe_write() failed : %s !!", fd, strerror(err));
        if (err == EAGAIN && block)
            continue;
        errno = err;
        return -1;
    }
}

int safe_read(int fd, void *buf, size_t count) { return safe_read_mode(fd, buf, count, libtarvi_rw_block); }

int safe_write(int fd, const void *buf, size_t count) { return safe_write_mode(fd, buf, count, libtarvi_rw_block); }

int safe_close(int fd) {
    for (;;) {
        int rc = close(fd);
        if (rc == 0)
            return 0;
        int err = errno;
        if (err == EINTR)
            continue;
        libtarvi_log("\n", "close(%d) @ safe_close() failed : %s !!", fd, strerror(err));
        errno = err;
        return rc;
    }
}

int fd_set_cloexec(int fd) {
    int flags = fcntl(fd, F_GETFD);
    if (flags < 0 || fcntl(fd, F_SETFD, flags | FD_CLOEXEC) < 0)
        return -1;
    return 0;
}

char *dupstr(const char *s) {
    if (!s)
        return nullptr;
    size_t n = strlen(s) + 1;
    char *copy = static_cast<char *>(malloc(n));
    if (copy)
        memcpy(copy, s, n);
    return copy;
}

// posix_spawn sets the child up in the cheap vfork way, without running our
// own code in the shared address space.
int nonrt_spawnv(const char *path, char *const argv[], int close_from, pid_t *pid, bool own_group, int pass_fd) {
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGQUIT);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGCHLD);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    struct sched_param param = {};
    param.sched_priority = 0;
    posix_spawnattr_setschedpolicy(&attr, SCHED_OTHER);
    posix_spawnattr_setschedparam(&attr, &param);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSCHEDULER;
    if (own_group) {
        posix_spawnattr_setpgroup(&attr, 0);
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    posix_spawnattr_setflags(&attr, flags);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (close_from >= 0 && pass_fd >= 0) {
        // dup2 onto itself clears close-on-exec as well.
        posix_spawn_file_actions_adddup2(&actions, pass_fd, close_from);
        posix_spawn_file_actions_addclosefrom_np(&actions, close_from + 1);
    } else if (close_from >= 0) {
        posix_spawn_file_actions_addclosefrom_np(&actions, close_from);
    }
    int err = posix_spawnp(pid, path, &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return err;
}

static int spawn_shell(const char *cmd, pid_t *pid, bool own_group) {
    char *const argv[] = {const_cast<char *>("sh"), const_cast<char *>("-c"), const_cast<char *>(cmd), nullptr};
    return nonrt_spawnv("/bin/sh", argv, -1, pid, own_group);
}

int nonrt_spawn(const char *cmd, pid_t *pid) { return spawn_shell(cmd, pid, false); }

int nonrt_spawn_group(const char *cmd, pid_t *pid) { return spawn_shell(cmd, pid, true); }

int nonrt_wait(pid_t pid) {
    int status = 0;
    for (;;) {
        pid_t w = wait4(pid, &status, 0, nullptr);
        if (w == pid)
            return status;
        if (w < 0 && errno == EINTR)
            continue;
        return -1;
    }
}

long long monotonic_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

bool util_decimal(const char *text, unsigned long max, unsigned long *out) {
    if (!text || *text < '0' || *text > '9')
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long v = strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > max)
        return false;
    *out = v;
    return true;
}

int util_atoi(const char *str) {
    if (!str)
        return 0;
    while (*str == ' ' || (*str >= '\t' && *str <= '\r'))
        ++str;
    bool negative = *str == '-';
    if (negative)
        ++str;
    int64_t value = 0;
    for (; *str >= '0' && *str <= '9'; ++str) {
        if (value > 214748364)
            return INT32_MAX;
        value = value * 10 + (*str - '0');
    }
    if (negative)
        value = -value;
    if (value > INT32_MAX || value < INT32_MIN)
        return INT32_MAX;
    return static_cast<int>(value);
}

// True when `pid` has ended (and is now reaped) or cannot be waited for.
static bool child_ended(pid_t pid, int *status) {
    int st = 0;
    pid_t w;
    do {
        w = waitpid(pid, &st, WNOHANG);
    } while (w < 0 && errno == EINTR);
    if (w == 0)
        return false;
    if (status)
        *status = w == pid ? st : -1;
    return true;
}

static int pidfd_of(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

// Sleeps on the child's pidfd where the kernel offers one (woken the moment
// it ends), else in short steps.
bool nonrt_wait_for(pid_t pid, int limit_ms, int *status) {
    long long deadline = monotonic_ms() + limit_ms;
    int pfd = pidfd_of(pid);
    bool ended = false;
    for (;;) {
        if ((ended = child_ended(pid, status)))
            break;
        long long left = deadline - monotonic_ms();
        if (left <= 0)
            break;
        if (pfd >= 0) {
            struct pollfd p = {pfd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) {
                close(pfd);
                pfd = -1;
            }
        } else {
            constexpr long long STEP_MS = 2;
            struct timespec step = {0, static_cast<long>((left < STEP_MS ? left : STEP_MS) * 1000000LL)};
            nanosleep(&step, nullptr);
        }
    }
    if (pfd >= 0)
        close(pfd);
    return ended;
}

int nonrt_system(const char *cmd) {
    if (!cmd)
        return 1;

    struct sigaction ignore = {}, deflt = {}, save_quit, save_int, save_chld;
    ignore.sa_handler = SIG_IGN;
    deflt.sa_handler = SIG_DFL;
    sigemptyset(&ignore.sa_mask);
    sigemptyset(&deflt.sa_mask);
    sigaction(SIGQUIT, &ignore, &save_quit);
    sigaction(SIGINT, &ignore, &save_int);
    sigaction(SIGCHLD, &deflt, &save_chld);

    pid_t pid;
    int err = nonrt_spawn(cmd, &pid);
    int result;
    if (err == 0)
        result = nonrt_wait(pid);
    else if (err == EAGAIN || err == ENOMEM)
        result = -1; // no process to run it in
    else
        result = 127 << 8; // as a child that could not switch scheduling or run the shell

    sigaction(SIGQUIT, &save_quit, nullptr);
    sigaction(SIGINT, &save_int, nullptr);
    sigaction(SIGCHLD, &save_chld, nullptr);
    return result;
}
