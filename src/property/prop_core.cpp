#include "prop_core.h"

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "prop_db.h"
#include "prop_debug.h"
#include "prop_file.h"
#include "prop_proc.h"
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
const char STATE_PREFIX[] = "init.svc.";
const char STATE_FORMAT[] = "init.svc.%s";
const char RC_FORMAT[] = "init.%s.rc";

// ---- jobs ----

// A job is what one outside set (a request, a line of a property file) has
// set going: the trigger commands still to run, in order. Commands that set
// properties add the commands of the triggers they fire at the front, so a
// job runs them depth first, as nested calls would. A job waits for a shell
// command only in the background: meanwhile the property thread serves
// others, and the job goes on when the command ends or its wait runs out.
struct job_action {
    std::string line;
    int level; // nesting of the trigger that holds it: 0 for the outermost
};

struct prop_job {
    std::deque<job_action> todo;
    int actions_run = 0;
    pid_t waiting = 0;        // the command waited for
    long long wait_until = 0; // when that wait runs out
    void (*done)(void *) = nullptr;
    void *cookie = nullptr;
    long long answer_by = 0; // when `done` is due at the latest
};

std::list<std::unique_ptr<prop_job>> jobs;
bool background;
// The job whose command runs now, and its nesting; null outside jobs.
prop_job *current_job;
int current_level;

// Children of the engine that it counts: trigger commands (with the job
// waiting for them, or none) and kill commands.
struct command_child {
    pid_t pid;
    prop_job *job;
    std::string line;
};
std::vector<command_child> commands;

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
    struct prop_svc_t *svc = prop_svc_find_by_name(PROP_SVC_TYPE_SERVICE, rc_name, service, nullptr);
    if (!svc)
        PROP_LOG(PROP_DEBUG_FAIL, "failed to find svc. %s \n", service);
    return svc;
}

// Starts "/bin/sh -c cmd" without waiting (leading a process group of its
// own with `own_group`); the reaper reports its end to prop_core_exit_handler.
// Returns the child's pid, or -1.
pid_t _prop_core_spawn(const char *name, const char *cmd, bool own_group) {
    pid_t pid = -1;
    if ((own_group ? nonrt_spawn_group(cmd, &pid) : nonrt_spawn(cmd, &pid)) != 0) {
        PROP_LOG(PROP_DEBUG_FAIL, "failed to start fork() \n");
        return -1;
    }
    PROP_LOG(PROP_DEBUG_TRACE, " In child! name: %s action:%s \n", name, cmd);
    if (tarvid_child_watch(pid, prop_core_exit_handler) != 0) {
        // Nobody would reap it: end it here rather than leave a zombie.
        kill(pid, SIGKILL);
        nonrt_wait(pid);
        PROP_LOG(PROP_DEBUG_FAIL, "failed to start fork() \n");
        return -1;
    }
    return pid;
}

// Room for one more command `cmd` (see PROP_COMMANDS_MAX)? Logs the refusal.
bool _prop_core_command_room(const char *cmd) {
    int same = 0;
    for (const auto &c : commands)
        same += c.line == cmd;
    if (commands.size() < PROP_COMMANDS_MAX && same < PROP_COMMAND_SAME_MAX)
        return true;
    PROP_LOG(PROP_DEBUG_FAIL, "Too many commands running:%d, %d of them this one, not run:%s \n",
             static_cast<int>(commands.size()), same, cmd);
    return false;
}

// A command the engine counts, started for `job` (null: nobody waits for
// it). Returns its pid, or -1 (logged).
pid_t _prop_core_start_command(const char *name, const char *cmd, prop_job *job) {
    if (!_prop_core_command_room(cmd))
        return -1;
    pid_t pid = _prop_core_spawn(name, cmd, false);
    if (pid > 0)
        commands.push_back({pid, job, cmd});
    return pid;
}

// ---- the processes of a service ----

// Starts tracking process `p` as the service's.
void _prop_core_track(struct prop_svc_t *svc, const struct prop_proc_t &p) {
    svc->pid = p.pid;
    svc->start = p.start;
}

// Whether the service still runs: the process that stands for it; while
// that is the launcher, anything left in the launcher's process group (the
// launcher may have ended a moment ago, before the daemon heard of it); or a
// process found by the service's program text (a service may leave the
// launcher's group). A process found is tracked from then on. The group is
// searched only while it is the launcher's: once the launcher and all its
// group have gone, the group's number may be given to someone else.
bool _prop_core_service_alive(struct prop_svc_t *svc) {
    struct prop_proc_t p = {svc->pid, 0, 0, svc->start};
    if (svc->pid > 0 && prop_proc_alive(&p))
        return true;
    pid_t group = svc->pgid > 0 && svc->pid == svc->pgid ? svc->pgid : 0;
    char program[PROP_SVC_LINE_SIZE];
    if (prop_svc_get_daemon_ext(svc, program) != 0)
        program[0] = '\0';
    int rc = prop_proc_find(group, program, &p);
    if (rc == PROP_PROC_UNKNOWN)
        return true; // the state stays as it was until it can be told
    if (rc != 0)
        return false;
    PROP_LOG(PROP_DEBUG_TRACE, "svc:%s runs as pid:%d \n", svc->svc_key, static_cast<int>(p.pid));
    _prop_core_track(svc, p);
    return true;
}

// Kills what the service's start left running: the tracked process, with
// the launcher's process group while that group still has it, and what
// runs the service's program. The launcher may not have ended yet and have
// started the service outside its group already.
void _prop_core_kill_service(struct prop_svc_t *svc) {
    if (!(svc->flags & PROP_SVC_RUNNING) || !_prop_core_service_alive(svc))
        return;
    struct prop_proc_t now;
    if (prop_proc_read(svc->pid, &now) == 0 && now.start == svc->start && now.state != 'Z') {
        // A live member keeps the group's id from being reused: it is ours.
        if (svc->pgid > 0 && now.pgrp == svc->pgid)
            kill(-svc->pgid, SIGKILL);
        else
            kill(svc->pid, SIGKILL);
    }
    char program[PROP_SVC_LINE_SIZE];
    std::vector<struct prop_proc_t> found;
    if (prop_svc_get_daemon_ext(svc, program) == 0 && prop_proc_list(0, program, &found) == 0)
        for (const auto &p : found)
            kill(p.pid, SIGKILL);
}

void _prop_core_forget_processes(struct prop_svc_t *svc) {
    svc->pid = 0;
    svc->pgid = 0;
    svc->start = 0;
}

int _prop_core_set_ctrlstart(const char *service) {
    struct prop_svc_t *svc = _prop_core_find_service(service);
    if (!svc)
        return -1;
    if (svc->flags & PROP_SVC_RUNNING) {
        if (_prop_core_service_alive(svc)) {
            PROP_LOG(PROP_DEBUG_FAIL, "svc is running! %s \n", service);
            return 0;
        }
        // It ended without the daemon seeing it: it is started again.
        _prop_core_forget_processes(svc);
        _prop_core_set_ctrl_state(svc, "stopped");
    }
    char cmd[256];
    int n = snprintf(cmd, sizeof cmd, "service-launcher %s", svc->svc_name);
    if (n < 0 || n >= static_cast<int>(sizeof cmd)) {
        PROP_LOG(PROP_DEBUG_FAIL, "Length is error: %s\n", service);
        return -1;
    }
    PROP_LOG(PROP_DEBUG_FAIL, "Boot-up the service! key: %s action:%s \n", service, cmd);
    // The launcher leads a process group of its own: what it starts stays
    // in it (unless it leaves), so the service can be found and stopped
    // whether the launcher stays in the foreground or not.
    pid_t pid = _prop_core_spawn(service, cmd, true);
    if (pid < 0)
        return -1;
    struct prop_proc_t p = {pid, pid, 0, 0};
    prop_proc_read(pid, &p);
    _prop_core_track(svc, p);
    svc->pgid = pid;
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
    // The kill command goes by program name; what the start left running is
    // killed as well, whatever its launcher did with it.
    pid_t killer = _prop_core_start_command(service, cmd, nullptr);
    _prop_core_kill_service(svc);
    _prop_core_forget_processes(svc);
    if (killer < 0 && !(svc->flags & PROP_SVC_RUNNING))
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

// A command run by the shell for the current job. In the background the job
// waits for it (see prop_core_tick); otherwise it is waited for here, at
// most PROP_COMMAND_WAIT_MS. Returns its wait status when it ended, 0 when it
// still runs, -1 when it could not be started.
int _prop_core_run_command(const char *line) {
    if (background) {
        pid_t pid = _prop_core_start_command(line, line, current_job);
        if (pid < 0)
            return -1;
        current_job->waiting = pid;
        current_job->wait_until = monotonic_ms() + PROP_COMMAND_WAIT_MS;
        return 0;
    }
    if (!_prop_core_command_room(line))
        return -1;
    pid_t pid;
    if (nonrt_spawn(line, &pid) != 0)
        return -1;
    int status = 0;
    if (nonrt_wait_for(pid, PROP_COMMAND_WAIT_MS, &status))
        return status;
    PROP_LOG(PROP_DEBUG_FAIL, "Command still running after %d ms, left running:%s \n", PROP_COMMAND_WAIT_MS, line);
    if (tarvid_child_watch(pid, prop_core_exit_handler) == 0) {
        commands.push_back({pid, nullptr, line});
    } else {
        kill(pid, SIGKILL);
        nonrt_wait(pid);
    }
    return 0;
}

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
    return _prop_core_run_command(act->act_name);
}

// Runs one job until it is done or waits for a command.
void _prop_core_job_run(prop_job *job) {
    while (!job->waiting && !job->todo.empty()) {
        job_action a = std::move(job->todo.front());
        job->todo.pop_front();
        struct prop_svc_act_t act;
        if (prop_svc_split(a.line.c_str(), &act) != 0)
            continue;
        PROP_LOG(PROP_DEBUG_TRACE, "svc command:%s \n", act.act_name);
        if (job->actions_run >= PROP_TRIGGER_ACTIONS_MAX) {
            PROP_LOG(PROP_DEBUG_FAIL, " Trigger commands exceed MAX:%d, skip:%s \n", PROP_TRIGGER_ACTIONS_MAX,
                     act.act_name);
            continue;
        }
        ++job->actions_run;
        prop_job *outer = current_job;
        int outer_level = current_level;
        current_job = job;
        current_level = a.level;
        if (_prop_core_exec_onecommand(&act) < 0)
            PROP_LOG(PROP_DEBUG_FAIL, " Exec command error\n");
        current_job = outer;
        current_level = outer_level;
    }
}

// Gives the job's answer and drops the job once it is done.
void _prop_core_job_settle(prop_job *job) {
    if (job->waiting || !job->todo.empty())
        return;
    if (job->done)
        job->done(job->cookie);
    for (auto it = jobs.begin(); it != jobs.end(); ++it) {
        if (it->get() == job) {
            jobs.erase(it);
            return;
        }
    }
}

// The command `pid` of a job has ended or is no longer waited for.
void _prop_core_job_resume(prop_job *job) {
    job->waiting = 0;
    _prop_core_job_run(job);
    _prop_core_job_settle(job);
}

// The commands of the triggers that fire, in registry order.
std::vector<job_action> *fired;

// Collects the commands of trigger `svc` for the current job.
void _prop_core_exec_command(struct prop_svc_t *svc) {
    list_for_each(pos, &svc->act_list) {
        auto *act = list_entry(pos, struct prop_svc_act_t, alist);
        if (act->args_num < 1) {
            PROP_LOG(PROP_DEBUG_FAIL, " find the action without args???\n");
            continue;
        }
        fired->push_back({act->act_name, current_level + 1});
    }
}

// A service's record is not a trigger, and the lookup says so: setting a
// property that has a service's name never runs the service's command.
void _prop_core_trigger_action(const char *name, const char *value) {
    if (!value) {
        PROP_LOG(PROP_DEBUG_FAIL, " Wrong name or value\n");
        return;
    }
    if (current_level + 1 >= PROP_TRIGGER_DEPTH_MAX) {
        PROP_LOG(PROP_DEBUG_FAIL, " Trigger depth exceed MAX:%d, not run for key:%s value:%s \n",
                 PROP_TRIGGER_DEPTH_MAX, name, value);
        return;
    }
    std::vector<job_action> added;
    fired = &added;
    prop_svc_exe_by_name(PROP_SVC_TYPE_TRIGGER, nullptr, name, value, _prop_core_exec_command);
    fired = nullptr;
    current_job->todo.insert(current_job->todo.begin(), added.begin(), added.end());
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

// The name and value rules, then the control or the plain set.
int _prop_core_set_checked(const char *name, const char *value) {
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

// The service whose state property is `name`, or null.
struct prop_svc_t *_prop_core_state_service(const char *name) {
    if (!starts_with(name, STATE_PREFIX))
        return nullptr;
    const char *service = name + strlen(STATE_PREFIX);
    char rc_name[PROP_SVC_NAME_SIZE];
    int n = snprintf(rc_name, sizeof rc_name, RC_FORMAT, service);
    if (n < 0 || n >= static_cast<int>(sizeof rc_name))
        return nullptr;
    return prop_svc_find_by_name(PROP_SVC_TYPE_SERVICE, rc_name, service, nullptr);
}

// What a started service was, kept across a reload.
struct kept_service {
    std::string name, key;
    pid_t pid, pgid;
    unsigned long long start;
    int flags;
};

} // namespace

int prop_core_init(void) {
    std::vector<kept_service> kept;
    list_for_each(pos, &prop_svc_list) {
        auto *svc = list_entry(pos, struct prop_svc_t, slist);
        if (svc->svc_type == PROP_SVC_TYPE_SERVICE && svc->flags)
            kept.push_back({svc->svc_name, svc->svc_key, svc->pid, svc->pgid, svc->start, svc->flags});
    }
    prop_svc_init();
    prop_db_init();
    prop_core_inited = 1;
    prop_file_load_svc();
    // Before the property files, which may start services: one that runs
    // must not be started a second time.
    for (const auto &k : kept) {
        struct prop_svc_t *svc = prop_svc_find_by_name(PROP_SVC_TYPE_SERVICE, k.name.c_str(), k.key.c_str(), nullptr);
        if (!svc) {
            PROP_LOG(PROP_DEBUG_FAIL, "svc:%s is no longer declared, its state is dropped \n", k.key.c_str());
            continue;
        }
        svc->pid = k.pid;
        svc->pgid = k.pgid;
        svc->start = k.start;
        _prop_core_set_ctrl_state(svc, (k.flags & PROP_SVC_RUNNING)    ? "running"
                                       : (k.flags & PROP_SVC_STOPPING) ? "stopping"
                                                                       : "stopped");
    }
    prop_file_load_props(prop_core_set);
    return 0;
}

void prop_core_set_background(int on) { background = on != 0; }

int prop_core_set(const char *name, const char *value) {
    int later = 0;
    return prop_core_set_then(name, value, nullptr, nullptr, &later);
}

int prop_core_set_then(const char *name, const char *value, void (*done)(void *), void *cookie, int *later) {
    *later = 0;
    // A set made by a trigger's command adds to that command's job.
    if (current_job)
        return _prop_core_set_checked(name, value);
    auto owned = std::make_unique<prop_job>();
    prop_job *job = owned.get();
    jobs.push_back(std::move(owned));
    current_job = job;
    current_level = -1;
    int rc = _prop_core_set_checked(name, value);
    _prop_core_job_run(job);
    current_job = nullptr;
    if (job->waiting) {
        job->done = done;
        job->cookie = cookie;
        job->answer_by = monotonic_ms() + PROP_COMMAND_WAIT_MS;
        *later = done ? 1 : 0;
    }
    _prop_core_job_settle(job);
    return rc;
}

int prop_core_tick(void) {
    long long now = monotonic_ms();
    long long next = -1;
    std::vector<prop_job *> due;
    for (const auto &job : jobs)
        due.push_back(job.get());
    for (prop_job *job : due) {
        if (job->done && job->answer_by <= now) {
            job->done(job->cookie);
            job->done = nullptr;
        }
        if (job->waiting && job->wait_until <= now) {
            for (auto &c : commands)
                if (c.pid == job->waiting) {
                    PROP_LOG(PROP_DEBUG_FAIL, "Command still running after %d ms, left running:%s \n",
                             PROP_COMMAND_WAIT_MS, c.line.c_str());
                    c.job = nullptr;
                }
            _prop_core_job_resume(job); // may drop the job
        }
    }
    for (const auto &job : jobs) {
        if (job->waiting && (next < 0 || job->wait_until < next))
            next = job->wait_until;
        if (job->done && (next < 0 || job->answer_by < next))
            next = job->answer_by;
    }
    if (next < 0)
        return -1;
    return next <= now ? 0 : static_cast<int>(next - now);
}

int prop_core_get(const char *name, char *value) {
    if (!prop_core_inited) {
        PROP_LOG(PROP_DEBUG_FAIL, " Not Inited!\n");
        return -1;
    }
    // A service whose processes ended unseen (the launcher left it in the
    // background, and it is not the daemon's child) is stopped now.
    struct prop_svc_t *svc = _prop_core_state_service(name);
    if (svc && (svc->flags & PROP_SVC_RUNNING) && !_prop_core_service_alive(svc)) {
        _prop_core_forget_processes(svc);
        _prop_core_set_ctrl_state(svc, "stopped");
    }
    return prop_db_get(name, value);
}

int prop_core_notify_ctrl(pid_t pid) {
    PROP_LOG(PROP_DEBUG_TRACE, "Beginning trace %d\n", static_cast<int>(pid));
    if (!prop_core_inited) {
        PROP_LOG(PROP_DEBUG_FAIL, " Not Inited!\n");
        return -1;
    }
    for (size_t i = 0; i < commands.size(); ++i) {
        if (commands[i].pid != pid)
            continue;
        prop_job *job = commands[i].job;
        PROP_LOG(PROP_DEBUG_TRACE, "command ended. pid:%d command:%s \n", static_cast<int>(pid),
                 commands[i].line.c_str());
        commands.erase(commands.begin() + static_cast<long>(i));
        if (job && job->waiting == pid)
            _prop_core_job_resume(job);
        return 0;
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
    // The launcher may have left the service running in its process group,
    // or under a process of its own: the service is stopped only when
    // neither is there.
    if (svc->pid == 0 && svc->pgid == pid) {
        svc->pid = pid; // the group is still the launcher's: search it
        if (_prop_core_service_alive(svc))
            return 0;
    }
    _prop_core_forget_processes(svc);
    _prop_core_set_ctrl_state(svc, "stopped");
    PROP_LOG(PROP_DEBUG_TRACE, "OK. service: %s stopped. pid:%d \n", svc->svc_key, static_cast<int>(pid));
    return 0;
}

void prop_core_dump(void) {
    prop_db_dump();
    prop_svc_dump();
}
