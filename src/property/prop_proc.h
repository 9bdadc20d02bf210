// Processes as the system's process table shows them: what the service
// engine needs to tell whether a service still runs once the process it
// started (the launcher) is gone, and to find the service's process when the
// launcher left it running in the background. The table is the kernel's
// "/proc", not a device path under the sandbox root.
#ifndef TARVI_PROP_PROC_H
#define TARVI_PROP_PROC_H

#include <sys/types.h>
#include <vector>

// One process: its id, process group, state letter and start time (clock
// ticks since boot). Id and start time together name it for good: a later
// process given the same id starts later.
struct prop_proc_t {
    pid_t pid;
    pid_t pgrp;
    char state;
    unsigned long long start;
};

// Results of the look-ups below besides 0: there is no such process, or the
// table could not be read (out of descriptors, for one), so nobody knows.
#define PROP_PROC_NONE (-1)
#define PROP_PROC_UNKNOWN (-2)

// Reads process `pid`. 0, PROP_PROC_NONE or PROP_PROC_UNKNOWN.
int prop_proc_read(pid_t pid, struct prop_proc_t *out);

// True while the process `p` names still runs (same id, same start time,
// not a zombie), and when that cannot be told.
bool prop_proc_alive(const struct prop_proc_t *p);

// Every running process other than the caller in process group `pgrp`
// (when > 0), then every one whose command line (words joined by blanks)
// contains `text` (when not empty), into *out. 0 when some were found, else
// PROP_PROC_NONE or PROP_PROC_UNKNOWN.
int prop_proc_list(pid_t pgrp, const char *text, std::vector<struct prop_proc_t> *out);

// A running process other than the caller: the first in process group
// `pgrp` (when > 0) or, failing that, the first whose command line (words
// joined by blanks) contains `text` (when not empty). 0 with *out,
// PROP_PROC_NONE or PROP_PROC_UNKNOWN.
int prop_proc_find(pid_t pgrp, const char *text, struct prop_proc_t *out);

#endif
