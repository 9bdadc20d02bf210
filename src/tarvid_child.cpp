#include "tarvid_child.h"

#include <atomic>
#include <cerrno>
#include <mutex>
#include <sys/wait.h>
#include <utility>
#include <vector>

namespace {

struct watched_child {
    pid_t pid;
    tarvid_child_exit_fn on_exit;
};

std::mutex child_mutex;
std::vector<watched_child> children;
std::atomic<void (*)(void)> child_wake{nullptr};

} // namespace

void tarvid_child_set_wake(void (*wake)(void)) { child_wake.store(wake); }

int tarvid_child_watch(pid_t pid, tarvid_child_exit_fn on_exit) {
    try {
        std::lock_guard<std::mutex> lock(child_mutex);
        children.push_back({pid, on_exit});
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

int tarvid_child_count(void) {
    std::lock_guard<std::mutex> lock(child_mutex);
    return static_cast<int>(children.size());
}
