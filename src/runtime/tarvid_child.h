// Children the daemon starts and does not wait for itself (service launchers,
// kill commands, trigger commands, callback children that outlived their
// wait). They are reaped in one place, the main loop, when SIGCHLD arrives;
// nobody calls waitpid(-1), so children that other code waits for by pid
// keep their exit status for their own waiter.
#ifndef TARVI_TARVID_CHILD_H
#define TARVI_TARVID_CHILD_H

#include <sys/types.h>

// Called on the reaping thread with the child's pid and wait status.
typedef void (*tarvid_child_exit_fn)(pid_t pid, int status);

// Puts `pid` in the watch list; `on_exit` (may be null) runs once when it has
// been reaped. With `kill_after_ms` >= 0 the child is killed (SIGKILL, with
// the process group it leads, if any) once it has run that much longer.
// Wakes the reaper, in case the child ended before it was registered.
// Returns 0, or -1 when memory is short (the child is then left for nobody:
// the caller should not start children it cannot register).
int tarvid_child_watch(pid_t pid, tarvid_child_exit_fn on_exit, int kill_after_ms = -1);

// Kills the watched children whose time is up, then reaps every watched
// child that has ended and runs its callback. Returns the number reaped.
// Safe to call from any thread, but not from a signal handler.
int tarvid_child_reap(void);

// Milliseconds until the next watched child is due to be killed (0 when one
// is overdue), or -1 when none is.
int tarvid_child_next_kill_ms(void);

// Number of children still watched.
int tarvid_child_count(void);

// The function that wakes the reaper (the daemon's main loop); null by
// default, when reaping is left to whoever calls tarvid_child_reap.
void tarvid_child_set_wake(void (*wake)(void));

#endif
