#include "tarvid_lock.h"

#include <condition_variable>
#include <list>
#include <mutex>

namespace {

struct waiter {
    unsigned long long ticket;
    config_lock_kind kind;
    bool resume; // a parked holder taking its lock back
};

std::mutex lock_mutex;
std::condition_variable lock_cv;
bool working = false; // a holder is at work (not parked)
int parked = 0;
int parked_exclusive = 0;
unsigned long long next_ticket = 0;
std::list<const waiter *> waiters;

thread_local int held_depth = 0;
thread_local config_lock_kind held_kind = CONFIG_LOCK_BRIEF;
thread_local bool held_parked = false;

bool may_go(const waiter &w) {
    if (working)
        return false;
    if (w.resume)
        return true;
    switch (w.kind) {
    case CONFIG_LOCK_BRIEF:
    case CONFIG_LOCK_CHILD:
        return true;
    case CONFIG_LOCK_SHARED:
        return parked_exclusive == 0;
    case CONFIG_LOCK_EXCLUSIVE:
        return parked == 0;
    }
    return false;
}

// A shared newcomer does not overtake an exclusive one that came first: it
// would park and keep the exclusive one waiting for ever.
bool may_go_now(const waiter &w) {
    if (!may_go(w))
        return false;
    if (w.resume || w.kind != CONFIG_LOCK_SHARED)
        return true;
    for (const waiter *o : waiters)
        if (!o->resume && o->kind == CONFIG_LOCK_EXCLUSIVE && o->ticket < w.ticket)
            return false;
    return true;
}

// Resumers first, then the requests of callback children (what the parked
// ones wait for), then the others; within each, the earliest that may go.
int rank(const waiter &w) { return w.resume ? 0 : w.kind == CONFIG_LOCK_CHILD ? 1 : 2; }

bool my_turn(const waiter &w) {
    if (!may_go_now(w))
        return false;
    for (const waiter *o : waiters) {
        if (o == &w || !may_go_now(*o))
            continue;
        if (rank(*o) != rank(w) ? rank(*o) < rank(w) : o->ticket < w.ticket)
            return false;
    }
    return true;
}

void wait_turn(std::unique_lock<std::mutex> &lock, const waiter &w) {
    waiters.push_back(&w);
    lock_cv.wait(lock, [&w] { return my_turn(w); });
    waiters.remove(&w);
    working = true;
}

} // namespace

void config_lock(config_lock_kind kind) {
    if (held_depth++ > 0)
        return;
    std::unique_lock<std::mutex> lock(lock_mutex);
    waiter w = {next_ticket++, kind, false};
    wait_turn(lock, w);
    held_kind = kind;
    held_parked = false;
}

void config_unlock(void) {
    if (held_depth == 0 || --held_depth > 0)
        return;
    std::lock_guard<std::mutex> lock(lock_mutex);
    working = false;
    lock_cv.notify_all();
}

void config_lock_park(void) {
    if (held_depth == 0 || held_parked)
        return;
    std::lock_guard<std::mutex> lock(lock_mutex);
    working = false;
    ++parked;
    if (held_kind == CONFIG_LOCK_EXCLUSIVE)
        ++parked_exclusive;
    held_parked = true;
    lock_cv.notify_all();
}

void config_lock_unpark(void) {
    if (!held_parked)
        return;
    std::unique_lock<std::mutex> lock(lock_mutex);
    --parked;
    if (held_kind == CONFIG_LOCK_EXCLUSIVE)
        --parked_exclusive;
    waiter w = {next_ticket++, held_kind, true};
    wait_turn(lock, w);
    held_parked = false;
}

int config_lock_parked(void) {
    std::lock_guard<std::mutex> lock(lock_mutex);
    return parked;
}
