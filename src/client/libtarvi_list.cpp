// Client calls that list the flat store, the properties and the tree, and the
// import that changes many settings as one. A listing comes in pages: the
// first request answers with a page and a cursor, LIST_NEXT with the cursor
// fetches the next page until the cursor is 0.
#include "libtarvi_private.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "listing.h"

namespace {

using records_t = std::vector<std::vector<std::string>>;

// Appends the page of `reply` to *text; *cursor: the next page's cursor.
int take_page(const tarvi_request &reply, std::string *text, long *cursor) {
    *cursor = listing_cursor_of(reply.key);
    if (*cursor < 0 || !reply.value || text->size() + strlen(reply.value) > LISTING_TEXT_MAX)
        return libtarvi_fail(EPROTO);
    text->append(reply.value);
    return 0;
}

// The whole listing of request `type` for `key`, split into records. On -1,
// *status is the daemon's refusal status when it sent one.
int fetch(int type, const char *key, records_t *records, int *status = nullptr) {
    tarvi_request reply;
    std::string text;
    long cursor = 0;
    if (libtarvi_exchange_appended(type, key, nullptr, &reply) != 0) {
        if (status && errno == TARVI_EREFUSED)
            *status = reply.status;
        return -1;
    }
    if (take_page(reply, &text, &cursor) != 0)
        return -1;
    while (cursor > 0) {
        std::string id = std::to_string(cursor);
        if (libtarvi_exchange(TARVI_REQUEST_TYPE_LIST_NEXT, id.data(), nullptr, &reply) != 0)
            return libtarvi_fail(errno == TARVI_EREFUSED ? ESTALE : errno);
        if (take_page(reply, &text, &cursor) != 0)
            return -1;
    }
    if (!listing_split(text, records))
        return libtarvi_fail(EPROTO);
    return 0;
}

// One malloc'ed block holding `n` structures of type T and then the texts
// they point at, so that the caller frees all with one free().
template <typename T> struct block {
    T *items = nullptr;
    char *texts = nullptr;

    bool make(size_t n, const records_t &records) {
        size_t bytes = n * sizeof(T);
        for (const auto &r : records)
            for (const auto &f : r)
                bytes += f.size() + 1;
        void *p = malloc(bytes ? bytes : 1);
        if (!p)
            return false;
        items = static_cast<T *>(p);
        memset(items, 0, n * sizeof(T));
        texts = static_cast<char *>(p) + n * sizeof(T);
        return true;
    }
    char *put(const std::string &s) {
        char *at = texts;
        memcpy(at, s.c_str(), s.size() + 1);
        texts += s.size() + 1;
        return at;
    }
};

// Every record must have `fields` fields.
bool shaped(const records_t &records, size_t fields) {
    for (const auto &r : records)
        if (r.size() != fields)
            return false;
    return true;
}

// One listing call: the records of request `type` for `key`, each of
// `fields` fields, handed out as one block through `fill`. On a refusal
// with a status below -1 (a tree code), that status is the result.
template <typename T, typename Fill>
int list_call(int type, const char *key, size_t fields, T **out, size_t *count, Fill fill) {
    if (!out || !count)
        return libtarvi_fail(EINVAL);
    *out = nullptr;
    *count = 0;
    records_t records;
    int status = -1;
    if (fetch(type, key, &records, &status) != 0)
        return status < -1 ? status : -1;
    if (!shaped(records, fields))
        return libtarvi_fail(EPROTO);
    if (records.empty())
        return 0;
    block<T> b;
    if (!b.make(records.size(), records))
        return libtarvi_fail(ENOMEM);
    for (size_t i = 0; i < records.size(); ++i)
        fill(&b.items[i], records[i], b);
    *out = b.items;
    *count = records.size();
    return 0;
}

u_16 number16(const std::string &s) { return static_cast<u_16>(strtoul(s.c_str(), nullptr, 10)); }

const char *import_kinds = "fit";

} // namespace

extern "C" {

int tarvi_config_list(const char *prefix, tarvi_config_entry **entries, size_t *count) {
    return list_call(TARVI_REQUEST_TYPE_CONFIG_LIST, prefix, 4, entries, count,
                     [](tarvi_config_entry *e, const auto &r, auto &b) {
                         e->key = b.put(r[0]);
                         e->value = b.put(r[1]);
                         e->container = b.put(r[2]);
                         e->runtime = r[3].find('r') != std::string::npos;
                         e->changed = r[3].find('c') != std::string::npos;
                     });
}

int property_list(const char *prefix, tarvi_prop_entry **entries, size_t *count) {
    return list_call(TARVI_REQUEST_TYPE_PROP_LIST, prefix, 2, entries, count,
                     [](tarvi_prop_entry *e, const auto &r, auto &b) {
                         e->name = b.put(r[0]);
                         e->value = b.put(r[1]);
                     });
}

int tarvi_sc_list(const char *uri, tarvi_sc_node **nodes, size_t *count) {
    return list_call(TARVI_REQUEST_TYPE_SC_LIST, uri ? uri : "", 6, nodes, count,
                     [](tarvi_sc_node *n, const auto &r, auto &b) {
                         n->uri = b.put(r[0]);
                         n->dtype = number16(r[1]);
                         n->attr = number16(r[2]);
                         bool limit = r[5].find('l') != std::string::npos, value = r[5].find('v') != std::string::npos;
                         n->limit = limit ? b.put(r[3]) : nullptr;
                         n->value = value ? b.put(r[4]) : nullptr;
                         n->instance = r[5].find('i') != std::string::npos;
                     });
}

int tarvi_import(const tarvi_import_entry *entries, size_t count, char **refusal) {
    if (refusal)
        *refusal = nullptr;
    if (count && !entries)
        return libtarvi_fail(EINVAL);
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        const tarvi_import_entry &e = entries[i];
        if (!e.name || e.kind < TARVI_IMPORT_FLAT || e.kind > TARVI_IMPORT_SC_VALUE)
            return libtarvi_fail(EINVAL);
        std::string kind(1, import_kinds[e.kind]);
        if (e.kind == TARVI_IMPORT_INSTANCE)
            listing_put(&text, {kind, e.name});
        else
            listing_put(&text, {kind, e.name, e.value ? e.value : ""});
    }
    if (text.size() > LISTING_TEXT_MAX)
        return libtarvi_fail(EINVAL);
    // The text goes up in pieces, then is applied as a whole.
    tarvi_request reply;
    std::string key = "0 put";
    size_t at = 0;
    do {
        std::string piece = text.substr(at, LISTING_PAGE_SIZE);
        at += piece.size();
        if (libtarvi_exchange_appended(TARVI_REQUEST_TYPE_IMPORT, key.c_str(), piece.c_str(), &reply) != 0)
            return -1;
        long id = listing_cursor_of(reply.key);
        if (id <= 0)
            return libtarvi_fail(EPROTO);
        key = std::to_string(id) + " put";
    } while (at < text.size());
    key.replace(key.size() - 3, 3, "apply");
    if (libtarvi_exchange(TARVI_REQUEST_TYPE_IMPORT, key.data(), nullptr, &reply) == 0)
        return 0;
    int err = errno;
    if (err == TARVI_EREFUSED && refusal && reply.value)
        *refusal = strdup(reply.value);
    return libtarvi_fail(err);
}

} // extern "C"
