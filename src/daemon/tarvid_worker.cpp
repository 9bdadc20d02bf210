// The tree workers. Several request_threads serve the tree requests of
// clients; request_cb_thread serves what callback children send back while
// a callback runs. All of them work under the configuration lock
// (tarvid_lock.h): a request that waits for a callback child lends it, so
// that the child's own requests, and the requests of other clients, are
// served meanwhile.
//
// Each request type has one row: how its key is parsed, which operation it
// calls and how the reply is written. Keys are split into blank-separated
// words without a length limit of their own (a record holds at most 4096
// bytes); the operations refuse URIs that are too long. Numbers written
// "%ho" on the wire are octal, both ways.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "listing.h"
#include "sc_debug.h"
#include "sc_memiface.h"
#include "sc_ops.h"
#include "sc_ops_cb.h"
#include "sc_ops_inst.h"
#include "sc_ops_list.h"
#include "sc_ops_walk.h"
#include "tarvid.h"
#include "tarvid_cursor.h"
#include "tarvid_lock.h"
#include "tarvid_store.h"

namespace {

const char QV_TOKEN[] = "<QV_TOKEN>";

// What a row hands back: the reply text (or none) and the status.
struct reply_t {
    std::string text;
    bool has_text = false;
    int status = 0;
    bool clear_key = false;
    bool listing = false; // `text` is a listing, paged through a cursor

    void set(const std::string &t) {
        text = t;
        has_text = true;
    }
    // Takes an owned tree string (or null).
    void take(char *owned) {
        if (owned)
            set(owned);
        SC_FREE(owned);
    }
};

// The blank-separated words of a key (none for a null key).
std::vector<std::string> words_of(const char *key) {
    std::vector<std::string> words;
    if (!key)
        return words;
    const char *p = key;
    for (;;) {
        while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f')
            ++p;
        if (!*p)
            break;
        const char *start = p;
        while (*p && *p != ' ' && *p != '\t' && *p != '\n' && *p != '\r' && *p != '\v' && *p != '\f')
            ++p;
        words.emplace_back(start, static_cast<size_t>(p - start));
    }
    return words;
}

// Word `i`, or empty when the key has fewer.
std::string word(const std::vector<std::string> &words, size_t i) { return i < words.size() ? words[i] : ""; }

// The words of the key of a request that changes the tree, which must be
// exactly `count`: a name or value with a blank in it would otherwise be
// cut, and the request would act on something else than what was asked.
bool exact_words(const tarvi_request *q, size_t count, std::vector<std::string> *words) {
    *words = words_of(q->key);
    if (words->size() == count)
        return true;
    SC_FAIL("request %d: %zu words where %zu are expected!!\n", q->type, words->size(), count);
    return false;
}

// Reads word `i` as a number in `base` into *out; a missing or malformed word
// leaves the preset, as a failed scan would.
template <typename T> void number(const std::vector<std::string> &words, size_t i, int base, T *out) {
    if (i >= words.size())
        return;
    const char *s = words[i].c_str();
    char *end = nullptr;
    long long v = strtoll(s, &end, base);
    if (end != s)
        *out = static_cast<T>(v);
}

std::string fmt_d(int rc) { return std::to_string(rc); }

std::string fmt_octal(unsigned v) {
    char buf[16];
    snprintf(buf, sizeof buf, "%ho", static_cast<unsigned short>(v));
    return buf;
}

std::string with_number(int rc, const std::string &rest) { return fmt_d(rc) + " " + rest; }

// ---- rows ----

void row_get(tarvi_request *q, reply_t *r) {
    char *value = nullptr;
    if (q->key)
        config_sc_get(q->key, &value);
    r->take(value);
}

void row_set(tarvi_request *q, reply_t *r) { r->status = q->key && q->value ? config_sc_set(q->key, q->value) : -1; }

// Rows whose result is the status alone, with key and value cleared.
template <int (*op)(void)> void row_cleared(tarvi_request *, reply_t *r) {
    r->status = op();
    r->clear_key = true;
}

int reload_saved() { return config_sc_reload(1); }
int reload_declared() { return config_sc_reload(0); }

void row_stage_reload(tarvi_request *q, reply_t *r) {
    r->status = config_sc_stage_reload(1, q->key);
    r->clear_key = true;
}

void row_is_exist(tarvi_request *q, reply_t *r) {
    s_32 exist = -1;
    if (q->key)
        config_sc_is_exist(q->key, &exist);
    r->set(fmt_d(exist));
}

void row_tree_start(tarvi_request *q, reply_t *r) {
    auto w = words_of(q->key);
    int type = -1, next_level = -1, treeid = 0;
    number(w, 0, 10, &type);
    number(w, 1, 10, &next_level);
    int rc = config_sc_get_tree_start(type, next_level, word(w, 2).c_str(), &treeid);
    r->set(with_number(rc, fmt_d(treeid)));
}

void row_tree_next(tarvi_request *q, reply_t *r) {
    auto w = words_of(q->key);
    int id = -1;
    number(w, 0, 10, &id);
    char *uri = nullptr;
    u_16 dtype = 0, attr = 0;
    int rc = config_sc_get_tree_next(id, &uri, &dtype, &attr);
    std::string tail = fmt_octal(dtype) + " " + fmt_octal(attr);
    r->set(uri ? with_number(rc, std::string(uri) + " " + tail) : with_number(rc, tail));
    SC_FREE(uri);
}

void row_dtype(tarvi_request *q, reply_t *r) {
    u_16 dtype = 0;
    int rc = config_sc_get_dtype(word(words_of(q->key), 0).c_str(), &dtype);
    r->set(with_number(rc, fmt_octal(dtype)));
}

void row_attr(tarvi_request *q, reply_t *r) {
    u_16 attr = 0;
    int rc = config_sc_get_attr(word(words_of(q->key), 0).c_str(), &attr);
    r->set(with_number(rc, fmt_octal(attr)));
}

void row_limit(tarvi_request *q, reply_t *r) {
    char *limit = nullptr;
    int rc = config_sc_get_limit(word(words_of(q->key), 0).c_str(), &limit);
    r->set(limit ? with_number(rc, limit) : fmt_d(rc));
    SC_FREE(limit);
}

void row_uint(tarvi_request *q, reply_t *r) {
    u_32 u = 0;
    int rc = config_sc_get_uint(word(words_of(q->key), 0).c_str(), &u);
    r->set(with_number(rc, std::to_string(u)));
}

void row_int(tarvi_request *q, reply_t *r) {
    s_32 i = 0;
    int rc = config_sc_get_int(word(words_of(q->key), 0).c_str(), &i);
    r->set(with_number(rc, std::to_string(i)));
}

void row_exe(tarvi_request *q, reply_t *r) {
    char *result = nullptr;
    int rc = config_sc_exe(word(words_of(q->key), 0).c_str(), &result);
    r->set(result ? with_number(rc, result) : fmt_d(rc));
    SC_FREE(result);
}

void row_add_inst(tarvi_request *q, reply_t *r) {
    std::vector<std::string> w;
    u_16 n = 0;
    char *end = nullptr;
    bool ok = exact_words(q, 3, &w) && (n = static_cast<u_16>(strtoul(w[2].c_str(), &end, 8)), *end == '\0');
    int rc = ok ? config_sc_me_add_inst(w[0].c_str(), w[1].c_str(), &n) : -1;
    r->set(with_number(rc, fmt_octal(n)));
}

void row_del_inst(tarvi_request *q, reply_t *r) {
    std::vector<std::string> w;
    r->set(fmt_d(exact_words(q, 1, &w) ? config_sc_del_Inst(w[0].c_str()) : -1));
}

// Rows whose key is "%s %ho" and whose reply is "%d %ho".
template <int (*op)(const char *, u_16 *)> void row_inst_number(tarvi_request *q, reply_t *r) {
    auto w = words_of(q->key);
    u_16 n = 0;
    number(w, 1, 8, &n);
    int rc = op(word(w, 0).c_str(), &n);
    r->set(with_number(rc, fmt_octal(n)));
}

void row_inst_name(tarvi_request *q, reply_t *r) {
    auto w = words_of(q->key);
    u_16 nth = 0;
    number(w, 1, 8, &nth);
    char *name = nullptr;
    config_sc_query_inst_name(word(w, 0).c_str(), nth, &name);
    r->take(name);
}

void row_last_name(tarvi_request *q, reply_t *r) {
    char *name = nullptr;
    if (q->key)
        config_sc_query_last_name(q->key, &name);
    r->take(name);
}

std::string token_reply(int rc, const char *list) { return fmt_d(rc) + QV_TOKEN + (list ? list : ""); }

void row_get_fields(tarvi_request *q, reply_t *r) {
    std::vector<std::string> w;
    char *values = nullptr;
    int rc = exact_words(q, 2, &w) ? config_sc_get_instance_fields(w[0].c_str(), w[1].c_str(), &values) : -1;
    r->set(token_reply(rc, values));
    SC_FREE(values);
}

void row_add_fields(tarvi_request *q, reply_t *r) {
    std::vector<std::string> w;
    char *name = nullptr;
    int rc =
        exact_words(q, 3, &w) ? config_sc_add_instance_fields(w[0].c_str(), w[1].c_str(), w[2].c_str(), &name) : -1;
    r->set(token_reply(rc, name));
    SC_FREE(name);
}

void row_set_fields(tarvi_request *q, reply_t *r) {
    std::vector<std::string> w;
    int rc = exact_words(q, 3, &w) ? config_sc_set_instance_fields(w[0].c_str(), w[1].c_str(), w[2].c_str()) : -1;
    r->set(token_reply(rc, word(w, 2).c_str()));
}

// A failed listing answers the negated code, which the client returns.
void row_list(tarvi_request *q, reply_t *r) {
    int rc = config_sc_list_text(q->key, &r->text);
    r->listing = rc == 0;
    r->status = rc == 0 ? 0 : rc > 0 ? -rc : -1;
    r->clear_key = true;
}

// Key "UPLOAD apply": the upload's text applied as one change.
void row_import(tarvi_request *q, reply_t *r) {
    r->clear_key = true;
    auto w = words_of(q->key);
    long id = listing_cursor_of(word(w, 0).c_str());
    std::string text, refusal;
    if (w.size() != 2 || w[1] != "apply")
        refusal = "not an import step";
    else if (id <= 0 || cursor_take(static_cast<unsigned>(id), &text) != 0)
        refusal = "the import text is unknown or was dropped; send it again";
    else if (config_import(text, &refusal) == 0)
        return;
    r->status = -1;
    r->set(refusal);
}

// Key "UPLOAD put" (UPLOAD 0 for a new one): the value is appended to the
// upload, whose cursor is the reply's key. Served without the configuration
// lock; false for any other import request.
bool import_upload(struct req *r) {
    tarvi_request *q = &r->request;
    auto w = words_of(q->key);
    if (w.size() != 2 || w[1] != "put")
        return false;
    long id = listing_cursor_of(w[0].c_str());
    unsigned upload = id > 0 ? static_cast<unsigned>(id) : 0;
    std::string key;
    q->status = id >= 0 && cursor_upload(&upload, q->value) == 0 ? 0 : -1;
    key = std::to_string(upload);
    q->key = q->status == 0 ? key.data() : nullptr;
    q->value = nullptr;
    req_reply(r);
    return true;
}

void row_cb_set(tarvi_request *q, reply_t *r) { r->status = q->key && q->value ? config_set(q->key, q->value) : -1; }

void row_cb_get(tarvi_request *q, reply_t *r) {
    const char *value = q->key ? config_get(q->key) : nullptr;
    if (value)
        r->set(value);
}

struct row {
    int type;
    void (*serve)(tarvi_request *, reply_t *);
    // Rows that replace or walk the whole tree run alone; the others may run
    // while other requests wait for their callbacks.
    config_lock_kind kind = CONFIG_LOCK_SHARED;
};

constexpr config_lock_kind ALONE = CONFIG_LOCK_EXCLUSIVE;

const row tree_rows[] = {
    {TARVI_REQUEST_TYPE_SC_GET, row_get},
    {TARVI_REQUEST_TYPE_SC_SET, row_set},
    {TARVI_REQUEST_TYPE_SC_RELOAD, row_cleared<reload_saved>, ALONE},
    {TARVI_REQUEST_TYPE_SC_STAGE_RELOAD, row_stage_reload, ALONE},
    {TARVI_REQUEST_TYPE_SC_RELOAD_DEFAULT, row_cleared<reload_declared>, ALONE},
    {TARVI_REQUEST_TYPE_SC_RESTORE_DEFAULT, row_cleared<config_sc_restore_default>, ALONE},
    {TARVI_REQUEST_TYPE_SC_IS_EXIST, row_is_exist},
    {TARVI_REQUEST_TYPE_SC_TEST_ME, row_cleared<config_sc_test_me>, ALONE},
    {TARVI_REQUEST_TYPE_SC_TEST_SET, row_cleared<config_sc_test_set>, ALONE},
    {TARVI_REQUEST_TYPE_SC_TEST_GET, row_cleared<config_sc_test_get>, ALONE},
    {TARVI_REQUEST_TYPE_SC_GET_TREE_START, row_tree_start},
    {TARVI_REQUEST_TYPE_SC_GET_TREE_NEXT, row_tree_next},
    {TARVI_REQUEST_TYPE_SC_GET_DTYPE, row_dtype},
    {TARVI_REQUEST_TYPE_SC_GET_LIMIT, row_limit},
    {TARVI_REQUEST_TYPE_SC_GET_ATTR, row_attr},
    {TARVI_REQUEST_TYPE_SC_GET_UINT, row_uint},
    {TARVI_REQUEST_TYPE_SC_GET_INT, row_int},
    {TARVI_REQUEST_TYPE_SC_EXE, row_exe},
    {TARVI_REQUEST_TYPE_SC_ME_ADD_INST, row_add_inst},
    {TARVI_REQUEST_TYPE_SC_ME_DEL_INST, row_del_inst},
    {TARVI_REQUEST_TYPE_SC_ME_QUERY_INT_NUM, row_inst_number<config_sc_query_sys_inst_number_by_me>},
    {TARVI_REQUEST_TYPE_SC_QUERY_INT_NAME, row_inst_name},
    {TARVI_REQUEST_TYPE_SC_QUERY_LAST_NAME, row_last_name},
    {TARVI_REQUEST_TYPE_SC_QUERY_INT_NUM, row_inst_number<config_sc_query_inst_number>},
    {TARVI_REQUEST_TYPE_SC_GET_INSTANCE_FIELDS, row_get_fields},
    {TARVI_REQUEST_TYPE_SC_ADD_INSTANCE_FIELDS, row_add_fields},
    {TARVI_REQUEST_TYPE_SC_SET_INSTANCE_FIELDS, row_set_fields},
    {TARVI_REQUEST_TYPE_SC_LIST, row_list},
    {TARVI_REQUEST_TYPE_IMPORT, row_import, ALONE},
};

// What callback children ask is served even while an exclusive request
// waits for them, and first: it is what the waiting requests wait for.
constexpr config_lock_kind CHILD = CONFIG_LOCK_CHILD;

const row cb_rows[] = {
    {TARVI_REQUEST_TYPE_SC_CB_SET, row_set, CHILD},
    {TARVI_REQUEST_TYPE_SC_CB_GET, row_get, CHILD},
    {TARVI_REQUEST_TYPE_SC_CB_GET_UINT, row_uint, CHILD},
    {TARVI_REQUEST_TYPE_SC_CB_GET_INT, row_int, CHILD},
    {TARVI_REQUEST_TYPE_SC_CB_EXE, row_exe, CHILD},
    {TARVI_REQUEST_TYPE_SC_CB_ME_ADD_INST, row_add_inst, CHILD},
    {TARVI_REQUEST_TYPE_SC_CB_ME_DEL_INST, row_del_inst, CHILD},
    {TARVI_REQUEST_TYPE_CB_SET, row_cb_set, CHILD},
    {TARVI_REQUEST_TYPE_CB_GET, row_cb_get, CHILD},
};

template <size_t N> const row *find_row(const row (&rows)[N], int type) {
    for (const row &w : rows)
        if (w.type == type)
            return &w;
    return nullptr;
}

size_t text_size(const char *s) { return s ? strlen(s) + 1 : 0; }

// Writes the reply. One that cannot be packed goes back as status -1 without
// a value.
void send(struct req *r, reply_t &reply) {
    tarvi_request *q = &r->request;
    if (reply.listing) {
        cursor_reply_listing(r, std::move(reply.text));
        return;
    }
    q->status = reply.status;
    if (reply.clear_key)
        q->key = nullptr;
    q->value = reply.has_text ? reply.text.data() : nullptr;
    size_t room = TARVI_REQUEST_STRING_SIZE - static_cast<size_t>(q->reservedLen);
    if (text_size(q->key) + text_size(q->value) > room) {
        q->status = -1;
        q->value = nullptr;
    }
    req_reply(r);
}

// Takes requests off `queue` and serves them by `rows`, forever.
template <size_t N>
void serve_queue(const row (&rows)[N], struct list *queue, pthread_mutex_t *mutex, pthread_cond_t *cond) {
    for (;;) {
        struct req *r = req_queue_take(queue, mutex, cond);
        if (r->request.type == TARVI_REQUEST_TYPE_IMPORT && import_upload(r))
            continue;
        const row *w = find_row(rows, r->request.type);
        if (!w) {
            req_drop(r);
            continue;
        }
        reply_t reply;
        {
            config_lock_guard lock(w->kind);
            w->serve(&r->request, &reply);
        }
        send(r, reply);
    }
}

} // namespace

void *request_thread(void *) {
    config_sc_cb_mark_worker();
    serve_queue(tree_rows, &ReqList, &MutexReqList, &ConditionReqList);
    return nullptr;
}

void *request_cb_thread(void *) {
    config_sc_cb_mark_thread();
    serve_queue(cb_rows, &ReqCbList, &MutexCbReqList, &ConditionCbReqList);
    return nullptr;
}
