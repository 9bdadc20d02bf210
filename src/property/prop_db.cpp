#include "prop_db.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "listing.h"
#include "log.h"
#include "prop_debug.h"

struct list prop_db_hash[PROP_DB_BUCKETS];
int prop_db_inited;

// Sum of the name's first (at most 31) bytes, modulo the bucket count.
static unsigned int prop_db_bucket(const char *key) {
    unsigned int sum = 0;
    for (size_t i = 0; i < PROP_NAME_MAX && key[i]; ++i)
        sum += static_cast<unsigned char>(key[i]);
    return sum % PROP_DB_BUCKETS;
}

// The common refusals of set and get, logged under the caller's name.
static bool prop_db_ready(const char *func, const void *key, const void *value) {
    if (!prop_db_inited) {
        prop_debug_log(PROP_DEBUG_FAIL, func, __LINE__, " Not Inited!\n");
        return false;
    }
    if (!key || !value) {
        prop_debug_log(PROP_DEBUG_FAIL, func, __LINE__, " Wrong key or value!\n");
        return false;
    }
    return true;
}

static void prop_db_free(struct prop_db_info_t *item) {
    free(item->prop_key);
    free(item->prop_value);
    free(item);
}

void prop_db_init() {
    // A reload starts from nothing; the records of the earlier load are not
    // reachable afterwards, so they are freed rather than leaked.
    for (auto &bucket : prop_db_hash) {
        if (prop_db_inited) {
            list_for_each_safe(pos, &bucket) {
                list_del(pos);
                prop_db_free(list_entry(pos, struct prop_db_info_t, sibling));
            }
        }
        list_init(&bucket);
    }
    prop_db_inited = 1;
}

struct prop_db_info_t *_prop_db_get(const char *in_key) {
    struct list *bucket = &prop_db_hash[prop_db_bucket(in_key)];
    list_for_each(pos, bucket) {
        auto *item = list_entry(pos, struct prop_db_info_t, sibling);
        if (strcmp(item->prop_key, in_key) == 0)
            return item;
    }
    return nullptr;
}

int _prop_db_add(const char *in_key, const char *in_value) {
    size_t klen = strnlen(in_key, PROP_NAME_MAX);
    size_t vlen = strnlen(in_value, PROP_VALUE_MAX);
    PROP_LOG(PROP_DEBUG_TRACE, "...key:%s value:%s key-len:%d val-len:%d\n", in_key, in_value, static_cast<int>(klen),
             static_cast<int>(vlen));
    auto *item = static_cast<struct prop_db_info_t *>(calloc(1, sizeof(struct prop_db_info_t)));
    if (!item) {
        PROP_LOG(PROP_DEBUG_FAIL, "Can't malloc buffer!!\n");
        return -1;
    }
    item->prop_value = static_cast<char *>(malloc(vlen + 1));
    if (!item->prop_value) {
        PROP_LOG(PROP_DEBUG_FAIL, "Can't malloc value buffer!!\n");
        free(item);
        return -1;
    }
    item->prop_key = static_cast<char *>(malloc(klen + 1));
    if (!item->prop_key) {
        PROP_LOG(PROP_DEBUG_FAIL, "Can't malloc key buffer!!\n");
        free(item->prop_value);
        free(item);
        return -1;
    }
    memcpy(item->prop_key, in_key, klen);
    item->prop_key[klen] = '\0';
    memcpy(item->prop_value, in_value, vlen);
    item->prop_value[vlen] = '\0';
    list_add(&item->sibling, &prop_db_hash[prop_db_bucket(item->prop_key)]);
    return 0;
}

int prop_db_set(const char *in_key, const char *in_value) {
    if (!prop_db_ready(__func__, in_key, in_value))
        return -1;
    // A name is stored cut to its limit, so the record of a longer name is
    // found under the cut name: setting it again updates that record instead
    // of adding one more each time (the daemon makes such names itself, for
    // the state of a service with a long name).
    char stored_key[PROP_NAME_MAX + 1];
    size_t klen = strnlen(in_key, PROP_NAME_MAX);
    memcpy(stored_key, in_key, klen);
    stored_key[klen] = '\0';
    struct prop_db_info_t *item = _prop_db_get(stored_key);
    if (!item)
        return _prop_db_add(in_key, in_value);

    size_t len = strnlen(in_value, PROP_VALUE_MAX);
    // The buffer is reused while the new value fits; it never shrinks.
    if (item->prop_value && strlen(item->prop_value) >= len) {
        memmove(item->prop_value, in_value, len);
        item->prop_value[len] = '\0';
        PROP_LOG(PROP_DEBUG_TRACE, " Update the item \n");
        return 0;
    }
    PROP_LOG(PROP_DEBUG_TRACE, " Update item with big wrongs. key:%s value:%s \n", in_key, in_value);
    char *bigger = static_cast<char *>(malloc(len + 1));
    if (!bigger) {
        PROP_LOG(PROP_DEBUG_FAIL, "Can't malloc for set prop_value!!\n");
        return -1;
    }
    memcpy(bigger, in_value, len);
    bigger[len] = '\0';
    free(item->prop_value);
    item->prop_value = bigger;
    return 0;
}

int prop_db_get(const char *in_key, char *value) {
    if (!prop_db_ready(__func__, in_key, value))
        return -1;
    struct prop_db_info_t *item = _prop_db_get(in_key);
    if (!item) {
        PROP_LOG(PROP_DEBUG_TRACE, "Can not find the value! key:%s \n", in_key);
        return -1;
    }
    size_t len = strnlen(item->prop_value, PROP_VALUE_MAX);
    memcpy(value, item->prop_value, len);
    value[len] = '\0';
    PROP_LOG(PROP_DEBUG_TRACE, " key:%s..value:%s length:%d \n", in_key, value, static_cast<int>(len));
    return 0;
}

void prop_db_dump() {
    if (!prop_db_inited)
        return;
    tarvid_log(LOG_DEBUG, "\n\n\r Dumping properties...");
    for (auto &bucket : prop_db_hash) {
        list_for_each(pos, &bucket) {
            auto *item = list_entry(pos, struct prop_db_info_t, sibling);
            tarvid_log(LOG_DEBUG, "\n\r    %s=%s", item->prop_key, item->prop_value);
        }
    }
    fputc('\n', stdout);
    fflush(stdout);
}

std::string prop_db_list_text(const char *prefix) {
    size_t plen = prefix ? strlen(prefix) : 0;
    std::vector<const prop_db_info_t *> found;
    if (prop_db_inited) {
        for (auto &bucket : prop_db_hash) {
            list_for_each(pos, &bucket) {
                const auto *p = list_entry(pos, prop_db_info_t, sibling);
                if (strncmp(p->prop_key, prefix ? prefix : "", plen) == 0)
                    found.push_back(p);
            }
        }
    }
    std::sort(found.begin(), found.end(),
              [](const prop_db_info_t *a, const prop_db_info_t *b) { return strcmp(a->prop_key, b->prop_key) < 0; });
    std::string text;
    for (const prop_db_info_t *p : found)
        listing_put(&text, {p->prop_key, p->prop_value});
    return text;
}
