#include "tarvid_child.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "log.h"
#include "utility.h"

namespace {

struct watched_child {
    pid_t pid;
    tarvid_child_exit_fn on_exit;
    long long kill_at; // monotonic ms, or -1
};

std::mutex child_mutex;
std::vector<watched_child> children;
std::atomic<void (*)(void)> child_wake{nullptr};

// A child that is still ours (not reaped) keeps its pid and its group's id,
// so neither can name another process here.
void kill_child(pid_t pid) {
    if (getpgid(pid) == pid)
        kill(-pid, SIGKILL);
    else
        kill(pid, SIGKILL);
}

} // namespace

void tarvid_child_set_wake(void (*wake)(void)) { child_wake.store(wake); }

int tarvid_child_watch(pid_t pid, tarvid_child_exit_fn on_exit, int kill_after_ms) {
    try {
        std::lock_guard<std::mutex> lock(child_mutex);
        children.push_back({pid, on_exit, kill_after_ms >= 0 ? monotonic_ms() + kill_after_ms : -1});
    } catch (const std::bad_alloc &) {
        return -1;
    }
    if (auto wake = child_wake.load())
        wake();
    return 0;
}

int tarvid_child_reap(void) {
    std::vector<std::pair<watched_child, int>> ended;
    {
        std::lock_guard<std::mutex> lock(child_mutex);
        long long now = monotonic_ms();
        for (auto &child : children) {
            if (child.kill_at >= 0 && child.kill_at <= now) {
                tarvid_log(LOG_WARNING, "Child %d outlived its time, killed !!", static_cast<int>(child.pid));
                kill_child(child.pid);
                child.kill_at = -1;
            }
        }
        for (size_t i = 0; i < children.size();) {
            int status = 0;
            pid_t w;
            do {
                w = waitpid(children[i].pid, &status, WNOHANG);
            } while (w < 0 && errno == EINTR);
            // ECHILD: someone else took it; it will never be reported here.
            if (w == children[i].pid || (w < 0 && errno == ECHILD)) {
                ended.emplace_back(children[i], w < 0 ? -1 : status);
                children[i] = children.back();
                children.pop_back();
            } else {
                ++i;
            }
        }
    }
    // Callbacks run without the lock: they may start (and register) children.
    for (const auto &[child, status] : ended)
        if (child.on_exit)
            child.on_exit(child.pid, status);
    return static_cast<int>(ended.size());
}

int tarvid_child_next_kill_ms(void) {
    std::lock_guard<std::mutex> lock(child_mutex);
    long long next = -1;
    for (const auto &child : children)
        if (child.kill_at >= 0 && (next < 0 || child.kill_at < next))
            next = child.kill_at;
    if (next < 0)
        return -1;
    long long left = next - monotonic_ms();
    return left < 0 ? 0 : static_cast<int>(left);
}

int tarvid_child_count(void) {
    std::lock_guard<std::mutex> lock(child_mutex);
    return static_cast<int>(children.size());
}
