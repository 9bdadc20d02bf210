#include "tarvid_confirm.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

#include "backend.h"
#include "log.h"
#include "sc_ops.h"
#include "tarvid.h"
#include "tarvid_lock.h"
#include "tarvid_store.h"
#include "utility.h"

namespace {

// Whether a commit waits and until when. Changed only with the exclusive
// configuration lock held (and this mutex, which the status and the timer
// take alone); so the lock is always taken first.
std::mutex wait_mutex;
std::condition_variable wait_cv;
bool waiting = false;
long long deadline_ms = 0;
int waited_seconds = 0;

void set_waiting(bool now, int seconds = 0) {
    std::lock_guard<std::mutex> lock(wait_mutex);
    waiting = now;
    waited_seconds = seconds;
    deadline_ms = now ? monotonic_ms() + seconds * 1000LL : 0;
    wait_cv.notify_all();
}

// Strictly a number of seconds from 1 to the longest wait; else -1.
int seconds_of(const char *text) {
    unsigned long n = 0;
    return util_decimal(text, TARVI_CONFIRM_SECONDS_MAX, &n) && n >= 1 ? static_cast<int>(n) : -1;
}

// Drops the waiting commit, with the exclusive lock held: the backend takes
// the last confirmed configuration back into the store, and the tree, when
// one is loaded, is built again from what that brought back.
int roll_back() {
    int rc = opera->rollback ? opera->rollback() : -1;
    set_waiting(false);
    if (rc < 0)
        return -1;
    config_store_committed();
    if (config_sc_loaded() && config_sc_reload(1) != 0) {
        tarvid_log(LOG_ERR, "Rollback - Can not build the tree again !!");
        return -1;
    }
    return 0;
}

} // namespace

void *confirm_timer_thread(void *) {
    for (;;) {
        int seconds;
        {
            std::unique_lock<std::mutex> lock(wait_mutex);
            wait_cv.wait(lock, [] { return waiting; });
            long long left = deadline_ms - monotonic_ms();
            if (left > 0) {
                wait_cv.wait_for(lock, std::chrono::milliseconds(left));
                continue; // confirmed, rolled back, or due: look again
            }
            seconds = waited_seconds;
        }
        config_lock_guard lock(CONFIG_LOCK_EXCLUSIVE);
        {
            // A confirmation may have come in while the lock was awaited.
            std::lock_guard<std::mutex> wait(wait_mutex);
            if (!waiting || deadline_ms > monotonic_ms())
                continue;
        }
        tarvid_log(LOG_WARNING, "Commit - Not confirmed within %d seconds, rolling back !!", seconds);
        if (roll_back() == 0)
            tarvid_log(LOG_WARNING, "Commit - Rolled back to the last confirmed configuration");
    }
    return nullptr;
}

bool confirm_refuses(int type) {
    switch (type) {
    case TARVI_REQUEST_TYPE_COMMIT:
    case TARVI_REQUEST_TYPE_SC_COMMIT:
    case TARVI_REQUEST_TYPE_COMMIT_CONFIRM:
    case TARVI_REQUEST_TYPE_RELOAD:
    case TARVI_REQUEST_TYPE_RELOAD_DEFAULT:
    case TARVI_REQUEST_TYPE_RESTORE_DEFAULT:
    case TARVI_REQUEST_TYPE_RESTORE_CFGFILE:
        break;
    default:
        return false;
    }
    std::lock_guard<std::mutex> lock(wait_mutex);
    if (waiting)
        tarvid_log(LOG_ERR, "Request %d refused : a commit waits for confirmation, confirm or roll it back first !!",
                   type);
    return waiting;
}

void confirm_serve(tarvi_request *q, char *text, size_t size) {
    switch (q->type) {
    case TARVI_REQUEST_TYPE_COMMIT_CONFIRM: {
        int seconds = seconds_of(q->key);
        if (seconds < 0 || !opera->flush_pending) {
            tarvid_log(LOG_ERR, "Commit - Can not wait for confirmation : %s !!",
                       seconds < 0 ? "no number of seconds from 1 to 86400" : "not supported by this storage");
            q->status = -1;
            return;
        }
        config_lock_guard lock(CONFIG_LOCK_EXCLUSIVE);
        config_commit_prepare();
        q->status = opera->flush_pending();
        if (q->status >= 0) {
            config_store_committed();
            set_waiting(true, seconds);
            tarvid_log(LOG_INFO, "Commit - Waits %d seconds for confirmation", seconds);
        }
        return;
    }
    case TARVI_REQUEST_TYPE_CONFIRM: {
        config_lock_guard lock(CONFIG_LOCK_EXCLUSIVE);
        q->status = opera->confirm ? opera->confirm() : -1;
        if (q->status >= 0)
            set_waiting(false);
        return;
    }
    case TARVI_REQUEST_TYPE_ROLLBACK: {
        config_lock_guard lock(CONFIG_LOCK_EXCLUSIVE);
        q->status = roll_back();
        return;
    }
    default: { // the status
        std::lock_guard<std::mutex> lock(wait_mutex);
        q->status = waiting ? 1 : 0;
        if (waiting) {
            long long left = deadline_ms - monotonic_ms();
            snprintf(text, size, "%lld", left > 0 ? (left + 999) / 1000 : 0);
            q->value = text;
        }
    }
    }
}
