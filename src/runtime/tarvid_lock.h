// The configuration lock (MutexConfig): one thread at a time works on the
// flat store and the tree. A holder that waits for a child process (a tree
// callback) parks: while it waits, others may work in its place, so that the
// child's own requests, flat requests and other tree requests do not wait
// for it. What may run meanwhile depends on the kind of work:
//
//   brief      flat reads and writes, the signal listing: admitted whenever
//              nobody is working;
//   child      the callback worker's requests: as brief, and before the
//              other newcomers, since the parked holders wait for them;
//   shared     tree requests: also admitted while others are parked, unless
//              one of them is exclusive or an exclusive one waits;
//   exclusive  reloads, restores, commits, self-tests: admitted only when
//              nothing is in progress, parked or not.
//
// A parked holder resumes before any newcomer once the one working has
// finished; newcomers are admitted in arrival order among those that may go.
#ifndef TARVI_TARVID_LOCK_H
#define TARVI_TARVID_LOCK_H

enum config_lock_kind { CONFIG_LOCK_BRIEF, CONFIG_LOCK_CHILD, CONFIG_LOCK_SHARED, CONFIG_LOCK_EXCLUSIVE };

// Waits until the calling thread may work, then holds the lock. A thread
// that already holds it goes on (the calls nest).
void config_lock(config_lock_kind kind);
void config_unlock(void);

// Called by the holder around a wait for a child: lends the lock, then takes
// it back (before any newcomer). Both do nothing on a thread that does not
// hold the lock, or (park) that is parked already.
void config_lock_park(void);
void config_lock_unpark(void);

// Number of holders parked right now (for tests and diagnostics).
int config_lock_parked(void);

class config_lock_guard {
  public:
    explicit config_lock_guard(config_lock_kind kind) { config_lock(kind); }
    ~config_lock_guard() { config_unlock(); }
    config_lock_guard(const config_lock_guard &) = delete;
    config_lock_guard &operator=(const config_lock_guard &) = delete;
};

class config_park_guard {
  public:
    config_park_guard() { config_lock_park(); }
    ~config_park_guard() { config_lock_unpark(); }
    config_park_guard(const config_park_guard &) = delete;
    config_park_guard &operator=(const config_park_guard &) = delete;
};

#endif
