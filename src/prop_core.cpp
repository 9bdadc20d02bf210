#include "prop_core.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/wait.h>

#include "prop_db.h"
#include "prop_debug.h"
#include "prop_file.h"
#include "prop_svc.h"
#include "utility.h"

int prop_core_inited;
tarvid_child_exit_fn prop_core_exit_handler;

namespace {

const char CTL_PREFIX[] = "ctl.";
const char RO_PREFIX[] = "ro.";
const char NET_PREFIX[] = "net.";
const char NET_CHANGE[] = "net.change";
const char PERSIST_PREFIX[] = "persist.";
const char STATE_FORMAT[] = "init.svc.%s";
const char RC_FORMAT[] = "init.%s.rc";

// Nesting of sets made by trigger commands, and the commands run since the
// outermost set began.
int trigger_depth;
int trigger_actions;

bool starts_with(const char *text, const char *prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

bool name_char_ok(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return (u < 0x80 && isalnum(u)) || c == '.' || c == '-' || c == '_';
}

// The name rules; logs the first rule broken. Returns 0 or -1.
int _prop_core_check(const char *name) {
    const char *label = "_prop_core_check";
    size_t len = strlen(name);
    if (len > PROP_NAME_MAX) {
        PROP_LOG_AS(PROP_DEBUG_FAIL, label, "PropSet Error:[%s] namelen >= %d\n", name, PROP_NAME_MAX + 1);
        return -1;
    }
    if (len < 1) {
        PROP_LOG_AS(PROP_DEBUG_FAIL, label, "PropSet Error:[%s] namelen < 1\n", name);
        return -1;
    }
    if (name[0] == '.') {
        PROP_LOG_AS(PROP_DEBUG_FAIL, label, "PropSet Error:[%s] name shouldn't begin with .\n", name);
        return -1;
    }
    if (name[len - 1] == '.') {
        PROP_LOG_AS(PROP_DEBUG_FAIL, label, "PropSet Error:[%s] name shouldn't end with .\n", name);
        return -1;
    }
    for (size_t i = 0; i < len; ++i) {
        if (name[i] == '.' && i > 0 && name[i - 1] == '.') {
            PROP_LOG_AS(PROP_DEBUG_FAIL, label, "PropSet Error:[%s] don't allow .. in property name\n", name);
            return -1;
        }
        if (!name_char_ok(name[i])) {
            PROP_LOG_AS(PROP_DEBUG_FAIL, label, "PropSet Error:[%s] Only allow alphanumeric, plus '.', '-', or '_' \n",
                        name);
            return -1;
        }
    }
    return 0;
}

void _prop_core_set_ctrl_state(struct prop_svc_t *svc, const char *state) {
    size_t len = strlen(svc->svc_key);
    if (len >= 83) {
        PROP_LOG(PROP_DEBUG_FAIL, "Wrong Value length. name:%s length:%d \n", svc->svc_key, static_cast<int>(len));
        return;
    }
    if (strcmp(state, "running") == 0) {
        svc->flags = (svc->flags & ~(PROP_SVC_STOPPING | PROP_SVC_STOPPED)) | PROP_SVC_RUNNING;
    } else if (strcmp(state, "stopping") == 0) {
        svc->flags = (svc->flags & ~(PROP_SVC_RUNNING | PROP_SVC_STOPPED)) | PROP_SVC_STOPPING;
    } else if (strcmp(state, "stopped") == 0) {
        svc->flags = (svc->flags & ~(PROP_SVC_RUNNING | PROP_SVC_STOPPING)) | PROP_SVC_STOPPED;
    } else {
        PROP_LOG(PROP_DEBUG_FAIL, "Wrong state :%s \n", state);
        return;
    }
    PROP_LOG(PROP_DEBUG_TRACE, "key:%s sate:%s flags:%d \n", svc->svc_key, state, svc->flags);
    char key[PROP_VALUE_SIZE];
    snprintf(key, sizeof key, STATE_FORMAT, svc->svc_key);
    prop_db_set(key, state);
}

// The service record of `service` (declared in "init.<service>.rc"), or null
// after logging why.
struct prop_svc_t *_prop_core_find_service(const char *service) {
    char rc_name[PROP_SVC_NAME_SIZE];
    int n = snprintf(rc_name, sizeof rc_name, RC_FORMAT, service);
    if (n < 0 || n >= static_cast<int>(sizeof rc_name)) {
        PROP_LOG(PROP_DEBUG_FAIL, "Key length is error: %s\n", service);
        return nullptr;
    }
    struct prop_svc_t *svc = prop_svc_find_by_name(rc_name, service, nullptr);
    if (!svc)
        PROP_LOG(PROP_DEBUG_FAIL, "failed to find svc. %s \n", service);
    return svc;
}

// Starts "/bin/sh -c cmd" without waiting; the reaper reports its end to
// `on_exit`. Returns the child's pid, or -1.
pid_t _prop_core_spawn(const char *name, const char *cmd, tarvid_child_exit_fn on_exit) {
    pid_t pid = -1;
    if (nonrt_spawn(cmd, &pid) != 0) {
        PROP_LOG(PROP_DEBUG_FAIL, "failed to start fork() \n");
        return -1;
    }
    PROP_LOG(PROP_DEBUG_TRACE, " In child! name: %s action:%s \n", name, cmd);
    if (tarvid_child_watch(pid, on_exit) != 0) {
        // Nobody would reap it: wait here rather than leave a zombie behind.
        nonrt_wait(pid);
        PROP_LOG(PROP_DEBUG_FAIL, "failed to start fork() \n");
        return -1;
    }
    return pid;
}

int _prop_core_set_ctrlstart(const char *service) {
    struct prop_svc_t *svc = _prop_core_find_service(service);
    if (!svc)
        return -1;
    if (svc->flags & PROP_SVC_RUNNING) {
        PROP_LOG(PROP_DEBUG_FAIL, "svc is running! %s \n", service);
        return 0;
    }
    char cmd[256];
    int n = snprintf(cmd, sizeof cmd, "service-launcher %s", svc->svc_name);
    if (n < 0 || n >= static_cast<int>(sizeof cmd)) {
        PROP_LOG(PROP_DEBUG_FAIL, "Length is error: %s\n", service);
        return -1;
    }
    PROP_LOG(PROP_DEBUG_FAIL, "Boot-up the service! key: %s action:%s \n", service, cmd);
    // The launcher's own process stands for the service: when it ends, the
    // service is stopped.
    pid_t pid = _prop_core_spawn(service, cmd, prop_core_exit_handler);
    if (pid < 0)
        return -1;
    svc->pid = pid;
    _prop_core_set_ctrl_state(svc, "running");
    return 0;
}

int _prop_core_set_ctrlstop(const char *service) {
    struct prop_svc_t *svc = _prop_core_find_service(service);
    if (!svc)
        return -1;
    if (svc->flags & (PROP_SVC_STOPPING | PROP_SVC_STOPPED)) {
        PROP_LOG(PROP_DEBUG_FAIL, "svc is stopped %s \n", service);
        return 0;
    }
    char program[PROP_SVC_LINE_SIZE];
    if (prop_svc_get_daemon(svc, program) != 0) {
        PROP_LOG(PROP_DEBUG_FAIL, "failed to get the svc's action: %s\n", service);
        return -1;
    }
    char cmd[256];
    int n = snprintf(cmd, sizeof cmd, "killall -9 %s", program);
    if (n < 0 || n > 254) {
        PROP_LOG(PROP_DEBUG_FAIL, "Length is error: %s\n", program);
        return -1;
    }
    PROP_LOG(PROP_DEBUG_FAIL, "Stop the service! key:%s action:%s \n", service, cmd);
    if (_prop_core_spawn(service, cmd, nullptr) < 0)
        return -1;
    _prop_core_set_ctrl_state(svc, "stopped");
    return 0;
}

int _prop_core_set_ctrlrestart(const char *) { return 0; }

int _prop_core_set_ctrl(const char *name, const char *value) {
    const char *op = name + strlen(CTL_PREFIX);
    if (!value)
        value = "";
    if (strcmp(op, "start") == 0)
        return _prop_core_set_ctrlstart(value);
    if (strcmp(op, "stop") == 0)
        return _prop_core_set_ctrlstop(value);
    if (strcmp(op, "restart") == 0)
        return _prop_core_set_ctrlrestart(value);
    PROP_LOG(PROP_DEBUG_FAIL, "unknown control msg '%s'\n", name);
    return -1;
}

// The command words the engine runs itself, with the words each needs.
enum action_kind { ACTION_START, ACTION_STOP, ACTION_RESTART, ACTION_SETPROP };
struct action_word {
    const char *word;
    const char *label; // of the "too few words" message
    int needs;
    action_kind kind;
};
const action_word ACTION_WORDS[] = {
    {"start", "Start", 2, ACTION_START},
    {"stop", "Stop", 2, ACTION_STOP},
    {"restart", "Restart", 2, ACTION_RESTART},
    {"setprop", "Setprop", 3, ACTION_SETPROP},
};

int _prop_core_exec_onecommand(struct prop_svc_act_t *act) {
    PROP_LOG(PROP_DEBUG_TRACE, " command:%s args[0]:%s args_num:%d \n", act->act_name, act->args[0], act->args_num);
    // Only the beginning counts: a first word "startx" is "start".
    for (const auto &w : ACTION_WORDS) {
        if (!starts_with(act->args[0], w.word))
            continue;
        if (act->args_num < w.needs) {
            PROP_LOG(PROP_DEBUG_FAIL, "%s wrong num:%d \n", w.label, act->args_num);
            return -1;
        }
        switch (w.kind) {
        case ACTION_START:
            return _prop_core_set_ctrlstart(act->args[1]);
        case ACTION_STOP:
            return _prop_core_set_ctrlstop(act->args[1]);
        case ACTION_RESTART:
            return _prop_core_set_ctrlrestart(act->args[1]);
        case ACTION_SETPROP:
            return prop_core_set(act->args[1], act->args[2]);
        }
    }
    PROP_LOG(PROP_DEBUG_TRACE, " Unknown command...command:%s \n", act->act_name);
    pid_t pid;
    if (nonrt_spawn(act->act_name, &pid) != 0)
        return -1;
    return nonrt_wait(pid);
}

void _prop_core_exec_command(struct prop_svc_t *svc) {
    list_for_each(pos, &svc->act_list) {
        auto *act = list_entry(pos, struct prop_svc_act_t, alist);
        PROP_LOG(PROP_DEBUG_TRACE, "svc command:%s \n", act->act_name);
        if (act->args_num < 1) {
            PROP_LOG(PROP_DEBUG_FAIL, " find the action without args???\n");
            continue;
        }
        if (trigger_actions >= PROP_TRIGGER_ACTIONS_MAX) {
            PROP_LOG(PROP_DEBUG_FAIL, " Trigger commands exceed MAX:%d, skip:%s \n", PROP_TRIGGER_ACTIONS_MAX,
                     act->act_name);
            continue;
        }
        ++trigger_actions;
        if (_prop_core_exec_onecommand(act) < 0)
            PROP_LOG(PROP_DEBUG_FAIL, " Exec command error\n");
    }
}

// A service record is not a trigger: its command line is the service itself,
// which runs through the launcher, never in the property thread's own wait.
void _prop_core_exec_trigger(struct prop_svc_t *svc) {
    if (svc->svc_type == PROP_SVC_TYPE_TRIGGER)
        _prop_core_exec_command(svc);
}

void _prop_core_trigger_action(const char *name, const char *value) {
    if (!value) {
        PROP_LOG(PROP_DEBUG_FAIL, " Wrong name or value\n");
        return;
    }
    if (trigger_depth >= PROP_TRIGGER_DEPTH_MAX) {
        PROP_LOG(PROP_DEBUG_FAIL, " Trigger depth exceed MAX:%d, not run for key:%s value:%s \n",
                 PROP_TRIGGER_DEPTH_MAX, name, value);
        return;
    }
    if (trigger_depth == 0)
        trigger_actions = 0;
    ++trigger_depth;
    prop_svc_exe_by_name(nullptr, name, value, _prop_core_exec_trigger);
    --trigger_depth;
}

int _prop_core_set(const char *name, const char *value) {
    char current[PROP_VALUE_SIZE];
    if (prop_db_get(name, current) == 0) {
        PROP_LOG(PROP_DEBUG_TRACE, "Find the item...value:%s get_value:%s \n", value ? value : "", current);
        if (value && strcmp(current, value) == 0)
            return 0;
        if (starts_with(name, RO_PREFIX))
            return -1;
    }
    PROP_LOG(PROP_DEBUG_TRACE, "Can not find the item...key:%s value:%s \n", name, value ? value : "");
    // A persistent value that cannot be saved is refused before it is set:
    // kept in memory, it would be gone at the next start, and setting it
    // again would find it set and save nothing.
    if (starts_with(name, PERSIST_PREFIX) && prop_file_write_persistent(name, value) != 0)
        return -1;
    if (prop_db_set(name, value) != 0) {
        PROP_LOG(PROP_DEBUG_TRACE, "Add item error.\n");
        return -1;
    }
    if (starts_with(name, NET_PREFIX)) {
        if (strcmp(name, NET_CHANGE) == 0)
            return 0;
        prop_db_set(NET_CHANGE, name);
    }
    PROP_LOG(PROP_DEBUG_TRACE, "trigger the action. key:%s value:%s\n", name, value);
    _prop_core_trigger_action(name, value);
    return 0;
}

} // namespace

int prop_core_init(void) {
    prop_svc_init();
    prop_db_init();
    prop_core_inited = 1;
    trigger_depth = 0;
    prop_file_load_svc();
    prop_file_load_props();
    return 0;
}

int prop_core_set(const char *name, const char *value) {
    if (!prop_core_inited) {
        PROP_LOG(PROP_DEBUG_FAIL, " Not Inited!\n");
        return -1;
    }
    if (!name || _prop_core_check(name) != 0) {
        PROP_LOG_AS(PROP_DEBUG_FAIL, "_prop_core_check", " ... Error:[%s:%s] property name is illegal\n",
                    name ? name : "(null)", value ? value : "(null)");
        return -1;
    }
    PROP_LOG(PROP_DEBUG_TRACE, " name:%s  value:%s \n", name, value ? value : "(null)");
    if (value) {
        size_t len = strlen(value);
        if (len > PROP_VALUE_MAX) {
            PROP_LOG(PROP_DEBUG_FAIL, "...Error:[%s:%s] valuelen %d >= %d\n", name, value, static_cast<int>(len),
                     PROP_VALUE_MAX + 1);
            return -1;
        }
    }
    if (starts_with(name, CTL_PREFIX))
        return _prop_core_set_ctrl(name, value);
    return _prop_core_set(name, value);
}

int prop_core_get(const char *name, char *value) {
    if (!prop_core_inited) {
        PROP_LOG(PROP_DEBUG_FAIL, " Not Inited!\n");
        return -1;
    }
    return prop_db_get(name, value);
}

int prop_core_notify_ctrl(pid_t pid) {
    PROP_LOG(PROP_DEBUG_TRACE, "Beginning trace %d\n", static_cast<int>(pid));
    if (!prop_core_inited) {
        PROP_LOG(PROP_DEBUG_FAIL, " Not Inited!\n");
        return -1;
    }
    struct prop_svc_t *svc = pid > 0 ? prop_svc_find_by_pid(pid) : nullptr;
    if (!svc) {
        PROP_LOG(PROP_DEBUG_FAIL, " Cat not find svc. pid:%d \n", static_cast<int>(pid));
        return -1;
    }
    // The process is gone either way: a stale pid must not match a later
    // child that the system gives the same number.
    svc->pid = 0;
    if (svc->flags & PROP_SVC_STOPPED) {
        PROP_LOG(PROP_DEBUG_FAIL, "svc :%s is already stopped. pid:%d \n", svc->svc_key, static_cast<int>(pid));
        return -1;
    }
    _prop_core_set_ctrl_state(svc, "stopped");
    PROP_LOG(PROP_DEBUG_TRACE, "OK. service: %s stopped. pid:%d \n", svc->svc_key, static_cast<int>(pid));
    return 0;
}

void prop_core_dump(void) {
    prop_db_dump();
    prop_svc_dump();
}
