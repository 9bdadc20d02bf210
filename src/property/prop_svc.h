// The service registry: services and "on property:" triggers declared by the
// rc files, in declaration order, each with its command lines. Used only on
// the property thread.
#ifndef TARVI_PROP_SVC_H
#define TARVI_PROP_SVC_H

#include <sys/types.h>

#include "list.h"

#define PROP_SVC_NAME_SIZE 64  // rc file name, NUL included
#define PROP_SVC_KEY_SIZE 32   // service or property name, NUL included
#define PROP_SVC_VALUE_SIZE 92 // trigger value, NUL included
#define PROP_SVC_LINE_SIZE 128 // command text, NUL included
#define PROP_SVC_ARGS_MAX 12   // words of one command
#define PROP_SVC_ACTIONS_SIZE 1024

// Record types.
#define PROP_SVC_TYPE_TRIGGER 2
#define PROP_SVC_TYPE_SERVICE 4

// Service state bits.
#define PROP_SVC_RUNNING 4
#define PROP_SVC_STOPPING 8
#define PROP_SVC_STOPPED 16

// One command line, split into words in place.
struct prop_svc_act_t {
    struct list alist;
    char line_buf[PROP_SVC_LINE_SIZE];
    char act_name[PROP_SVC_LINE_SIZE];
    int args_num;
    char *args[PROP_SVC_ARGS_MAX]; // into line_buf
};

// One service (type 4) or trigger (type 2).
struct prop_svc_t {
    struct list slist;
    char svc_name[PROP_SVC_NAME_SIZE];   // rc file that declared it
    char svc_value[PROP_SVC_VALUE_SIZE]; // trigger: the firing value; service: empty
    char svc_key[PROP_SVC_KEY_SIZE];     // trigger: the property; service: its name
    int svc_type;
    struct list act_list;
    // The process that stands for a started service: first its launcher,
    // then, if the launcher ends and leaves the service running, the
    // service's own process; 0 when none. `start` names it for good (see
    // prop_proc.h); `pgid` is the launcher's process group, 0 once it is
    // gone.
    pid_t pid;
    pid_t pgid;
    unsigned long long start;
    int flags; // PROP_SVC_RUNNING / STOPPING / STOPPED, 0 before any control
};

extern struct list prop_svc_list;

// Empties the registry, freeing the records of an earlier load.
void prop_svc_init(void);

// Copies `item` (name, key, value, type, flags) into a new record at the end
// of the registry. Returns 0, or -1 for texts over their limits, a record
// with the same name, key and value, or a short memory.
int prop_svc_add(struct prop_svc_t *item);

// Every lookup names the kind of record it wants (PROP_SVC_TYPE_SERVICE or
// PROP_SVC_TYPE_TRIGGER): a service and a trigger may share a name.

// Appends the command `line` to the record of kind `type` (name, key, value;
// null value matches any). Returns 0, or -1 for an empty line, one of 128
// characters or more, one of more than 12 words (refused whole), or no such
// record.
int prop_svc_add_act(int type, const char *name, const char *key, const char *value, const char *line);

// Fills `act` from the command `line`: its text and its words (at most 12).
// The list link is left alone. Returns 0, or -1 for a line that is empty,
// blank, of 128 characters or more, or of more than 12 words.
int prop_svc_split(const char *line, struct prop_svc_act_t *act);

// The first record of kind `type` with this name, key and (when given)
// value, or null.
struct prop_svc_t *prop_svc_find_by_name(int type, const char *name, const char *key, const char *value);
// The first service whose pid is `pid`, or null.
struct prop_svc_t *prop_svc_find_by_pid(pid_t pid);
// Calls `fn` on every record of kind `type` with key `key` and, when given,
// name and value, in registry order. `fn` must not change the registry.
// Returns null.
struct prop_svc_t *prop_svc_exe_by_name(int type, const char *name, const char *key, const char *value,
                                        void (*fn)(struct prop_svc_t *));

// The program name of the service: the text after the last '/' or blank of
// its first command that has one, into `dst` (PROP_SVC_LINE_SIZE bytes).
// Returns 0 or -1.
int prop_svc_get_daemon(struct prop_svc_t *svc, char *dst);
// The text from the first '/' of the first command that has one, into `dst`
// (PROP_SVC_LINE_SIZE bytes). Returns 0 or -1.
int prop_svc_get_daemon_ext(struct prop_svc_t *svc, char *dst);
// The id of a running process whose command line contains the service's
// program text (prop_svc_get_daemon_ext), as "pgrep -f" would find it, or -1.
int prop_svc_get_pid(struct prop_svc_t *svc);
// The service's commands joined by ';' into `buf` (PROP_SVC_ACTIONS_SIZE
// bytes). Returns 0 or -1.
int prop_svc_get_actions(struct prop_svc_t *svc, char *buf);
int prop_svc_get_actions_by_name(int type, const char *name, const char *key, const char *value, char *buf);

// Writes the registry to the log.
void prop_svc_dump(void);

#endif
