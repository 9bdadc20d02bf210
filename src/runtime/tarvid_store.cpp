#include "tarvid_store.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "listing.h"
#include "log.h"

struct list ConfigHashTable[CONFIG_HASH_SIZE];
struct list ContList;
struct container *ContDefault;
struct container *ContRuntime;
int TARVI_KEY_CHANGE;
int ALLOW_RESUME_VALUE;
config_sc_notify_fn config_sc_notify_hook;

static const char RESUME_KEY[] = "S2D_ALLOW_RESUME";

// A key that only the factory's Not-Reset Default run defines lives in a
// container that no commit writes: a change of it would be gone at the next
// reload, so it is refused.
static bool factory_only(const struct config *c, const char *op) {
    if (!c->container || c->container != ContDefault)
        return false;
    tarvid_log(LOG_WARNING, "%s - Config (%s) is a factory setting that a commit does not keep, refused !!", op,
               c->key);
    return true;
}

int config_store_init() {
    list_init(&ContList);
    for (auto &bucket : ConfigHashTable)
        list_init(&bucket);
    ContDefault = nullptr;
    ContRuntime = container_new("Runtime");
    return ContRuntime ? 0 : -1;
}

int hash_config(const char *key) {
    unsigned sum = 0;
    for (int i = 0; i < CONFIG_HASH_KEY_CHARS && key[i]; ++i)
        sum += static_cast<unsigned char>(key[i]);
    return static_cast<int>(sum % CONFIG_HASH_SIZE);
}

struct config *find_config(const char *key) {
    struct list *bucket = &ConfigHashTable[hash_config(key)];
    list_for_each(pos, bucket) {
        struct config *c = list_entry(pos, struct config, next);
        if (strcmp(c->key, key) == 0)
            return c;
    }
    return nullptr;
}

char *config_get(const char *key) {
    struct config *c = find_config(key);
    return c ? c->value : nullptr;
}

void init_config(struct config *pConf) {
    list_init(&pConf->next);
    list_init(&pConf->sibling);
    list_init(&pConf->notify);
    pConf->container = nullptr;
    pConf->key = nullptr;
    pConf->value = nullptr;
    pConf->linebuf = nullptr;
    pConf->linebufsz = 0;
    pConf->saved = nullptr;
}

// Writes `value` into the entry as config_store_value does, keeping the value
// it had at the last commit or reload while the two differ. -1 when memory is
// short, with the entry as it was.
static int config_write_tracked(struct config *c, const char *value, bool grow_when_equal) {
    bool first = !c->saved;
    if (first && !(c->saved = strdup(c->value)))
        return -1;
    if (config_store_value(c, value, grow_when_equal) < 0) {
        if (first) {
            free(c->saved);
            c->saved = nullptr;
        }
        return -1;
    }
    if (strcmp(c->saved, c->value) == 0) {
        free(c->saved);
        c->saved = nullptr;
    }
    return 0;
}

// An entry with a buffer of `size` bytes holding the key at 0 and the value at
// `value_at`; not linked anywhere.
static struct config *config_alloc(const char *key, const char *value, size_t size, size_t value_at) {
    auto *c = static_cast<struct config *>(malloc(sizeof(struct config)));
    char *buf = static_cast<char *>(calloc(1, size));
    if (!c || !buf) {
        free(c);
        free(buf);
        return nullptr;
    }
    init_config(c);
    memcpy(buf, key, strlen(key) + 1);
    memcpy(buf + value_at, value, strlen(value) + 1);
    c->linebuf = buf;
    c->linebufsz = static_cast<uint32_t>(size);
    c->key = buf;
    c->value = buf + value_at;
    return c;
}

struct config *config_new(const char *key, const char *value) {
    size_t klen = strlen(key);
    return config_alloc(key, value, klen + strlen(value) + 3, klen + 1);
}

int config_store_value(struct config *pConf, const char *value, bool grow_when_equal) {
    size_t klen = strlen(pConf->key);
    size_t vlen = strlen(value);
    size_t need = klen + vlen + 3;
    size_t value_at = static_cast<size_t>(pConf->value - pConf->linebuf);
    bool grow = pConf->linebufsz < need || (grow_when_equal && pConf->linebufsz == need) ||
                value_at + vlen + 1 > pConf->linebufsz;
    if (grow) {
        if (need > UINT32_MAX)
            return -1;
        // The value may live in this very buffer; keep it readable across
        // the move by copying it out first.
        char *copy = static_cast<char *>(malloc(vlen + 1));
        char *buf = copy ? static_cast<char *>(realloc(pConf->linebuf, need)) : nullptr;
        if (!buf) {
            free(copy);
            return -1;
        }
        memcpy(copy, value, vlen + 1);
        pConf->linebuf = buf;
        pConf->linebufsz = static_cast<uint32_t>(need);
        pConf->key = buf;
        pConf->value = buf + klen + 1;
        memcpy(pConf->value, copy, vlen + 1);
        buf[need - 1] = '\0';
        free(copy);
        return 0;
    }
    memmove(pConf->value, value, vlen + 1);
    return 0;
}

int config_set(const char *key, const char *value) {
    struct config *c = find_config(key);
    if (!c)
        return config_set_runtime(key, value);
    if (strcmp(c->value, value) == 0) {
        TARVI_KEY_CHANGE = 0;
        return 0;
    }
    if (factory_only(c, "Set"))
        return -1;
    TARVI_KEY_CHANGE = 1;
    if (strcmp(key, RESUME_KEY) == 0)
        ALLOW_RESUME_VALUE = strcmp(value, "1") == 0 ? 1 : 0;
    if (config_write_tracked(c, value, false) < 0)
        return -1;
    list_for_each(pos, &c->notify) { config_sc_notify_tarvi(list_entry(pos, struct notifyElement, chain)->node); }
    if (c->container)
        c->container->flag |= CONTAINER_CHANGED;
    return 0;
}

int config_set_runtime(const char *key, const char *value) {
    size_t klen = strlen(key);
    struct config *c = config_alloc(key, value, klen + strlen(value) + 3, klen + 2);
    if (!c)
        return -1;
    c->container = ContRuntime;
    if (ContRuntime)
        list_add_tail(&c->sibling, &ContRuntime->config);
    list_add(&c->next, &ConfigHashTable[hash_config(key)]);
    return 0;
}

struct container *find_container(const char *filename) {
    list_for_each(pos, &ContList) {
        struct container *cont = list_entry(pos, struct container, next);
        if (strcmp(cont->filename, filename) == 0)
            return cont;
    }
    return nullptr;
}

int config_notify_register(const char *key, void *node) {
    auto *element = static_cast<struct notifyElement *>(malloc(sizeof(struct notifyElement)));
    if (!element)
        return -1;
    element->node = node;
    struct config *c = find_config(key);
    if (!c) {
        size_t klen = strlen(key);
        c = config_alloc(key, "", klen + 3, klen + 2);
        if (!c) {
            free(element);
            return -1;
        }
        list_add(&c->next, &ConfigHashTable[hash_config(key)]);
    }
    list_add(&element->chain, &c->notify);
    return 0;
}

int config_notify_unregister(const char *key, void *node) {
    struct config *c = find_config(key);
    if (!c)
        return 0;
    list_for_each(pos, &c->notify) {
        struct notifyElement *element = list_entry(pos, struct notifyElement, chain);
        if (element->node == node) {
            list_del(pos);
            free(element);
            return 0;
        }
    }
    return -1;
}

int config_sc_tarvi_set(const char *key, const char *value) {
    if (!value)
        return -1;
    struct config *c = find_config(key);
    if (!c)
        return config_set_runtime(key, value);
    if (factory_only(c, "Tree set"))
        return -1;
    if (config_write_tracked(c, value, true) < 0)
        return -1;
    if (c->container)
        c->container->flag |= CONTAINER_CHANGED;
    return 0;
}

int config_sc_tarvi_get(const char *key, char **value) {
    char *v = config_get(key);
    *value = v ? strdup(v) : nullptr;
    return 0;
}

void config_sc_notify_tarvi(void *node) {
    if (config_sc_notify_fn hook = config_sc_notify_hook)
        hook(node);
}

struct container *container_new(const char *name) {
    size_t len = strlen(name);
    auto *cont = static_cast<struct container *>(malloc(sizeof(struct container) + len + 1));
    if (!cont)
        return nullptr;
    list_init(&cont->next);
    list_init(&cont->config);
    cont->flag = 0;
    memcpy(cont->file, name, len + 1);
    cont->filename = cont->file;
    return cont;
}

void config_free(struct config *pConf) {
    list_for_each_safe(pos, &pConf->notify) { free(list_entry(pos, struct notifyElement, chain)); }
    free(pConf->linebuf);
    free(pConf->saved);
    free(pConf);
}

void container_free(struct container *cont) {
    list_for_each_safe(pos, &cont->config) {
        struct config *c = list_entry(pos, struct config, sibling);
        list_del(&c->next);
        config_free(c);
    }
    free(cont);
}

static void dump_entry(FILE *out, const struct config *c) {
    fprintf(out, " |-- %s=\"%s\"", c->key, c->value);
    if (c->container)
        fprintf(out, " ---> in %s @ %p\n", c->container->filename, static_cast<void *>(c->container));
    else
        fprintf(out, " ---> in (notify placeholder) @ %p\n", static_cast<void *>(nullptr));
}

static void dump_container_entries(FILE *out, const char *title, struct container *cont) {
    fprintf(out, "%s\n", title);
    list_for_each(pos, &cont->config) { dump_entry(out, list_entry(pos, struct config, sibling)); }
}

void config_dump_store(FILE *out) {
    list_for_each(pos, &ContList) {
        struct container *cont = list_entry(pos, struct container, next);
        fprintf(out, "%s @ %p\n", cont->filename, static_cast<void *>(cont));
    }
    if (ContDefault)
        fprintf(out, "%s @ %p\n", ContDefault->filename, static_cast<void *>(ContDefault));
    if (ContRuntime)
        fprintf(out, "%s @ %p\n", ContRuntime->filename, static_cast<void *>(ContRuntime));
    for (int i = 0; i < CONFIG_HASH_SIZE; ++i) {
        fprintf(out, "HASH[%d]\n", i);
        list_for_each(pos, &ConfigHashTable[i]) { dump_entry(out, list_entry(pos, struct config, next)); }
    }
    if (ContDefault)
        dump_container_entries(out, "[Not-Reset Default]", ContDefault);
    if (ContRuntime)
        dump_container_entries(out, "[Runtime]", ContRuntime);
    fflush(out);
}

void config_commit_prepare() {
    if (TARVI_KEY_CHANGE && !ALLOW_RESUME_VALUE) {
        config_set(RESUME_KEY, "0");
        TARVI_KEY_CHANGE = 0;
    }
    ALLOW_RESUME_VALUE = 0;
}

void config_store_committed() {
    for (auto &bucket : ConfigHashTable) {
        list_for_each(pos, &bucket) {
            struct config *c = list_entry(pos, struct config, next);
            free(c->saved);
            c->saved = nullptr;
        }
    }
}

std::string config_list_text(const char *prefix) {
    size_t plen = prefix ? strlen(prefix) : 0;
    std::vector<const struct config *> entries;
    for (auto &bucket : ConfigHashTable) {
        list_for_each(pos, &bucket) {
            const struct config *c = list_entry(pos, struct config, next);
            if (strncmp(c->key, prefix ? prefix : "", plen) == 0)
                entries.push_back(c);
        }
    }
    std::sort(entries.begin(), entries.end(),
              [](const struct config *a, const struct config *b) { return strcmp(a->key, b->key) < 0; });
    std::string text;
    for (const struct config *c : entries) {
        // Runtime keys and factory-only ones: a commit stores neither.
        bool runtime = !c->container || c->container == ContRuntime || c->container == ContDefault;
        std::string marks = std::string(runtime ? "r" : "") + (c->saved ? "c" : "");
        listing_put(&text, {c->key, c->value, c->container ? c->container->filename : "", marks});
    }
    return text;
}
