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

extern int prop_core_inited;

// Called (on the reaping thread) when the process a service start launched
// has been reaped; null leaves the exit unreported. The property queue sets
// it to hand the exit to the property thread.
extern tarvid_child_exit_fn prop_core_exit_handler;

// Empties the registry and the store, then loads the rc files and the
// property files. Returns 0.
int prop_core_init(void);

// Sets property `name` to `value` with every rule of the prefixes, the
// persistent write and the triggers. Returns 0, or -1 for an illegal name or
// value, a refused "ro." change, an unknown control word, a failed control
// or a persistent value that could not be written (the new value is then in
// memory only).
int prop_core_set(const char *name, const char *value);

// Copies the value of `name` into `value` (PROP_VALUE_SIZE bytes). Returns 0,
// or -1 when absent or before prop_core_init.
int prop_core_get(const char *name, char *value);

// The process `pid` of a service has ended: the service becomes "stopped".
// Returns 0, or -1 when no started service has that pid or it is already
// stopped.
int prop_core_notify_ctrl(pid_t pid);

// Writes the store and the registry to the log.
void prop_core_dump(void);

#endif
