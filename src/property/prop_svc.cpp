#include "prop_svc.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log.h"
#include "prop_debug.h"
#include "prop_proc.h"
#include "unique.h"

struct list prop_svc_list = {&prop_svc_list, &prop_svc_list};

static void prop_svc_free(struct prop_svc_t *svc) {
    list_for_each_safe(pos, &svc->act_list) {
        list_del(pos);
        free(list_entry(pos, struct prop_svc_act_t, alist));
    }
    free(svc);
}

void prop_svc_init(void) {
    // Nothing outside the registry keeps a record across a reload, so the
    // records of the earlier load are freed.
    list_for_each_safe(pos, &prop_svc_list) {
        list_del(pos);
        prop_svc_free(list_entry(pos, struct prop_svc_t, slist));
    }
    list_init(&prop_svc_list);
}

static bool prop_svc_matches(const struct prop_svc_t *svc, int type, const char *name, const char *key,
                             const char *value) {
    return svc->svc_type == type && strcmp(svc->svc_key, key) == 0 && (!name || strcmp(svc->svc_name, name) == 0) &&
           (!value || strcmp(svc->svc_value, value) == 0);
}

struct prop_svc_t *prop_svc_find_by_name(int type, const char *name, const char *key, const char *value) {
    if (!key || !name)
        return nullptr;
    list_for_each(pos, &prop_svc_list) {
        auto *svc = list_entry(pos, struct prop_svc_t, slist);
        if (prop_svc_matches(svc, type, name, key, value))
            return svc;
    }
    return nullptr;
}

struct prop_svc_t *prop_svc_find_by_pid(pid_t pid) {
    list_for_each(pos, &prop_svc_list) {
        auto *svc = list_entry(pos, struct prop_svc_t, slist);
        if (svc->svc_type == PROP_SVC_TYPE_SERVICE && svc->pid == pid)
            return svc;
    }
    return nullptr;
}

struct prop_svc_t *prop_svc_exe_by_name(int type, const char *name, const char *key, const char *value,
                                        void (*fn)(struct prop_svc_t *)) {
    if (!key || !fn)
        return nullptr;
    list_for_each(pos, &prop_svc_list) {
        auto *svc = list_entry(pos, struct prop_svc_t, slist);
        if (prop_svc_matches(svc, type, name, key, value))
            fn(svc);
    }
    return nullptr;
}

int prop_svc_add(struct prop_svc_t *item) {
    if (!item)
        return -1;
    size_t klen = strnlen(item->svc_key, sizeof item->svc_key);
    size_t vlen = strnlen(item->svc_value, sizeof item->svc_value);
    size_t nlen = strnlen(item->svc_name, sizeof item->svc_name);
    if (klen >= sizeof item->svc_key) {
        PROP_LOG(PROP_DEBUG_FAIL, " Fail name. key:%.*s length:%d \n", static_cast<int>(klen), item->svc_key,
                 static_cast<int>(klen));
        return -1;
    }
    if (vlen >= sizeof item->svc_value) {
        PROP_LOG(PROP_DEBUG_FAIL, " Fail name. value:%.*s length:%d \n", static_cast<int>(vlen), item->svc_value,
                 static_cast<int>(vlen));
        return -1;
    }
    if (nlen >= sizeof item->svc_name) {
        PROP_LOG(PROP_DEBUG_FAIL, " Fail name. name:%.*s length:%d \n", static_cast<int>(nlen), item->svc_name,
                 static_cast<int>(nlen));
        return -1;
    }
    PROP_LOG(PROP_DEBUG_TRACE, "...1...type:%s len:%d key:%s len:%d value:%s len:%d\n", item->svc_name,
             static_cast<int>(nlen), item->svc_key, static_cast<int>(klen), item->svc_value, static_cast<int>(vlen));
    if (prop_svc_find_by_name(item->svc_type, item->svc_name, item->svc_key, item->svc_value)) {
        PROP_LOG(PROP_DEBUG_FAIL, "Item already existed...name:%s \n", item->svc_key);
        return -1;
    }
    auto *svc = static_cast<struct prop_svc_t *>(calloc(1, sizeof(struct prop_svc_t)));
    if (!svc) {
        PROP_LOG(PROP_DEBUG_FAIL, "Fail to malloc..name:%s \n", item->svc_key);
        return -1;
    }
    memcpy(svc->svc_name, item->svc_name, nlen);
    memcpy(svc->svc_key, item->svc_key, klen);
    memcpy(svc->svc_value, item->svc_value, vlen);
    svc->svc_type = item->svc_type;
    svc->flags = item->flags;
    list_init(&svc->act_list);
    list_add_tail(&svc->slist, &prop_svc_list);
    return 0;
}

static bool is_blank(char c) { return c == ' ' || c == '\t'; }

int prop_svc_add_act(int type, const char *name, const char *key, const char *value, const char *line) {
    if (!line || !key)
        return -1;
    if (value)
        PROP_LOG(PROP_DEBUG_TRACE, "name:%s svc_key:%s svc_value:%s actions:%s \n", name ? name : "", key, value, line);
    else
        PROP_LOG(PROP_DEBUG_TRACE, "name:%s svc_key:%s svc_value:NULL actions:%s \n", name ? name : "", key, line);
    size_t len = strnlen(line, PROP_SVC_LINE_SIZE);
    if (len == 0 || len >= PROP_SVC_LINE_SIZE) {
        PROP_LOG(PROP_DEBUG_FAIL, "action length:%d \n", static_cast<int>(len));
        return -1;
    }
    struct prop_svc_t *svc = prop_svc_find_by_name(type, name, key, value);
    if (!svc) {
        PROP_LOG(PROP_DEBUG_FAIL, "can not find the svc\n");
        return -1;
    }
    auto *act = static_cast<struct prop_svc_act_t *>(calloc(1, sizeof(struct prop_svc_act_t)));
    if (!act) {
        PROP_LOG(PROP_DEBUG_FAIL, "can not malloc\n");
        return -1;
    }
    if (prop_svc_split(line, act) != 0) {
        free(act);
        return -1;
    }
    list_add_tail(&act->alist, &svc->act_list);
    return 0;
}

int prop_svc_split(const char *line, struct prop_svc_act_t *act) {
    size_t len = strnlen(line, PROP_SVC_LINE_SIZE);
    if (len == 0 || len >= PROP_SVC_LINE_SIZE) {
        PROP_LOG(PROP_DEBUG_FAIL, "action length:%d \n", static_cast<int>(len));
        return -1;
    }
    memset(act->line_buf, 0, sizeof act->line_buf);
    memset(act->act_name, 0, sizeof act->act_name);
    act->args_num = 0;
    memcpy(act->line_buf, line, len);
    size_t i = 0;
    while (i < len && is_blank(act->line_buf[i]))
        ++i;
    if (i == len) {
        PROP_LOG(PROP_DEBUG_FAIL, "Wrong line! action_len:%d index:%d \n", static_cast<int>(len), static_cast<int>(i));
        return -1;
    }
    while (i < len) {
        // A command of more than 12 words would run cut short; it is refused
        // whole instead.
        if (act->args_num == PROP_SVC_ARGS_MAX) {
            PROP_LOG(PROP_DEBUG_FAIL, "Too many words, max:%d line:%s \n", PROP_SVC_ARGS_MAX, line);
            return -1;
        }
        act->args[act->args_num++] = &act->line_buf[i];
        while (i < len && !is_blank(act->line_buf[i]))
            ++i;
        while (i < len && is_blank(act->line_buf[i]))
            act->line_buf[i++] = '\0';
    }
    memcpy(act->act_name, line, len);
    return 0;
}

int prop_svc_get_daemon(struct prop_svc_t *svc, char *dst) {
    if (!svc || !dst)
        return -1;
    list_for_each(pos, &svc->act_list) {
        auto *act = list_entry(pos, struct prop_svc_act_t, alist);
        size_t end = strlen(act->act_name);
        while (end > 0 && is_blank(act->act_name[end - 1]))
            --end;
        size_t at = end;
        while (at > 0 && act->act_name[at - 1] != '/' && !is_blank(act->act_name[at - 1]))
            --at;
        if (at == 0)
            continue; // neither a path nor a second word
        memcpy(dst, act->act_name + at, end - at);
        dst[end - at] = '\0';
        PROP_LOG(PROP_DEBUG_TRACE, "Get the actions...act_name:%s daemon-name:%s\n", act->act_name, dst);
        return 0;
    }
    PROP_LOG(PROP_DEBUG_TRACE, "Can not Get the actions...name:%s\n", svc->svc_key);
    return -1;
}

int prop_svc_get_daemon_ext(struct prop_svc_t *svc, char *dst) {
    if (!svc || !dst)
        return -1;
    list_for_each(pos, &svc->act_list) {
        auto *act = list_entry(pos, struct prop_svc_act_t, alist);
        const char *slash = strchr(act->act_name, '/');
        if (!slash)
            continue;
        size_t n = strlen(slash);
        memcpy(dst, slash, n + 1);
        PROP_LOG(PROP_DEBUG_TRACE, "Get the actions...act_name:%s daemon-name:%s\n", act->act_name, dst);
        return 0;
    }
    PROP_LOG(PROP_DEBUG_TRACE, "Can not Get the actions...name:%s\n", svc->svc_key);
    return -1;
}

int prop_svc_get_pid(struct prop_svc_t *svc) {
    char program[PROP_SVC_LINE_SIZE];
    if (prop_svc_get_daemon_ext(svc, program) != 0) {
        PROP_LOG(PROP_DEBUG_FAIL, "failed to get the svc's action: %s\n", svc ? svc->svc_key : "");
        return -1;
    }
    // The process table is read here rather than through "pgrep": no child
    // to wait for on the property thread.
    struct prop_proc_t proc;
    if (prop_proc_find(0, program, &proc) != 0) {
        PROP_LOG(PROP_DEBUG_FAIL, "failed to fgets: %s\n", program);
        return -1;
    }
    PROP_LOG(PROP_DEBUG_INFO, "success to fgets: %s (%d)\n", program, static_cast<int>(proc.pid));
    return static_cast<int>(proc.pid);
}

int prop_svc_get_actions(struct prop_svc_t *svc, char *buf) {
    if (!svc || !buf)
        return -1;
    size_t cur = 0;
    buf[0] = '\0';
    list_for_each(pos, &svc->act_list) {
        auto *act = list_entry(pos, struct prop_svc_act_t, alist);
        size_t len = strlen(act->act_name);
        size_t sep = cur ? 1 : 0;
        if (cur + sep + len >= PROP_SVC_ACTIONS_SIZE) {
            PROP_LOG(PROP_DEBUG_FAIL, " action max length error!...name:%s length:%d cur_len:%d \n", svc->svc_key,
                     static_cast<int>(len), static_cast<int>(cur));
            continue;
        }
        if (sep)
            buf[cur++] = ';';
        memcpy(buf + cur, act->act_name, len + 1);
        cur += len;
        PROP_LOG(PROP_DEBUG_TRACE, "Find! name:%s actions:%s buffer:%s length:%d \n", svc->svc_key, act->act_name, buf,
                 static_cast<int>(cur));
    }
    PROP_LOG(PROP_DEBUG_TRACE, "Get the actions...name:%s action:%s cur_act_len:%d \n", svc->svc_key, buf,
             static_cast<int>(cur));
    return 0;
}

int prop_svc_get_actions_by_name(int type, const char *name, const char *key, const char *value, char *buf) {
    struct prop_svc_t *svc = prop_svc_find_by_name(type, name, key, value);
    if (!svc) {
        PROP_LOG(PROP_DEBUG_FAIL, "svc not exist...name:%s \n", name ? name : "");
        return -1;
    }
    if (prop_svc_get_actions(svc, buf) != 0) {
        PROP_LOG(PROP_DEBUG_FAIL, "can not find the actions...name:%s \n", name);
        return -1;
    }
    PROP_LOG(PROP_DEBUG_TRACE, "End. name:%s buf:%s \n", name, buf);
    return 0;
}

void prop_svc_dump(void) {
    tarvid_log(LOG_DEBUG, "\n\n\rDumping services...");
    list_for_each(pos, &prop_svc_list) {
        auto *svc = list_entry(pos, struct prop_svc_t, slist);
        if (svc->svc_type == PROP_SVC_TYPE_SERVICE)
            tarvid_log(LOG_DEBUG, "\n\n\r%s    service:%s %s", svc->svc_name, svc->svc_key, svc->svc_value);
        else
            tarvid_log(LOG_DEBUG, "\n\n\r%s    on property:%s=%s", svc->svc_name, svc->svc_key, svc->svc_value);
        list_for_each(apos, &svc->act_list) {
            auto *act = list_entry(apos, struct prop_svc_act_t, alist);
            tarvid_log(LOG_DEBUG, "\n\r     %s", act->act_name);
            for (int i = 0; i < act->args_num; ++i)
                tarvid_log(LOG_DEBUG, "\n\r         (args[%d]:%s len:%d)", i, act->args[i],
                           static_cast<int>(strlen(act->args[i])));
        }
    }
    fputc('\n', stdout);
    fflush(stdout);
}
