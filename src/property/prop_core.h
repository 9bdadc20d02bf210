// The property service's core: name rules, the meaning of the "ro.",
// "persist.", "net." and "ctl." prefixes, service control and triggers. Every
// call runs on the property thread (or on the thread that loads at start).
#ifndef TARVI_PROP_CORE_H
#define TARVI_PROP_CORE_H

#include <sys/types.h>

#include "tarvid_child.h"

// How deep triggers may set properties that fire further triggers, and how
// many trigger commands one outside set may run in all. A trigger loop (a
// command that, directly or through a chain, sets the property that fired it
// to a new value) stops there instead of recursing without end.
#define PROP_TRIGGER_DEPTH_MAX 8
#define PROP_TRIGGER_ACTIONS_MAX 256

// Trigger commands that the engine does not run itself (anything but start,
// stop, restart and setprop) run through the shell. A set waits for them at
// most this long in all; a command still running then is left running, and
// the trigger's later commands run when it ends (or when its wait has run
// out). The commands a set starts never hold up the property thread: it
// serves other requests meanwhile, so a command may call back into the
// daemon.
#define PROP_COMMAND_WAIT_MS 1000
// Commands (trigger and kill commands) alive at once, in all and of one
// command line; beyond that one more is not started (logged, and the
// trigger goes on). A command that hangs uses up its own room only.
#define PROP_COMMANDS_MAX 16
#define PROP_COMMAND_SAME_MAX 2

extern int prop_core_inited;

// Called (on the reaping thread) when the process a service start launched
// has been reaped; null leaves the exit unreported. The property queue sets
// it to hand the exit to the property thread.
extern tarvid_child_exit_fn prop_core_exit_handler;

// Empties the registry and the store, then loads the rc files and the
// property files. Services that were started keep their state and their
// processes when the files still declare them. Returns 0.
int prop_core_init(void);

// Sets property `name` to `value` with every rule of the prefixes, the
// persistent write and the triggers. Returns 0, or -1 for an illegal name or
// value, a refused "ro." change, an unknown control word, a failed control
// or a persistent value that could not be written (the new value is then in
// memory only). The result never depends on the triggered commands.
int prop_core_set(const char *name, const char *value);

// Chooses how trigger commands are waited for. Off (the default, for a
// caller without a property thread): on the spot, each at most
// PROP_COMMAND_WAIT_MS. On: in the background; prop_core_notify_ctrl
// reports a command's end and prop_core_tick the end of its wait, and the
// trigger goes on from there.
void prop_core_set_background(int on);

// prop_core_set for a request to be answered when the set is done. When
// commands it started still run on return, *later is 1 and done(cookie) is
// called once, on the property thread, when they have all run or
// PROP_COMMAND_WAIT_MS after the call, whichever comes first; else *later is
// 0 and done is never called.
int prop_core_set_then(const char *name, const char *value, void (*done)(void *), void *cookie, int *later);

// Does what is due: commands whose wait has run out are left running and
// their triggers go on; answers that are due are given. Returns the
// milliseconds until the next thing is due, or -1 when nothing waits.
int prop_core_tick(void);

// Copies the value of `name` into `value` (PROP_VALUE_SIZE bytes). Returns 0,
// or -1 when absent or before prop_core_init. The state of a started service
// ("init.svc.NAME") is checked against its processes first.
int prop_core_get(const char *name, char *value);

// Child `pid` has ended. A trigger command: its trigger goes on. The
// process that stands for a started service: the service stays "running"
// when it left the service's process running (in its process group, or
// found by its program's command line), else it becomes "stopped". Returns
// 0, or -1 when no command or started service has that pid or the service
// is already stopped.
int prop_core_notify_ctrl(pid_t pid);

// Writes the store and the registry to the log.
void prop_core_dump(void);

#endif
