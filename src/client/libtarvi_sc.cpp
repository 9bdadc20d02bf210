// Client calls for the configuration tree. Each builds one request, makes one
// exchange and decodes the reply; the replies that carry a result begin with
// it as a decimal number, followed by the outputs ("%ho" numbers are octal).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "libtarvi_private.h"
#include "sc_status.h"
#include "utility.h"

namespace {

// A URI (or a key built from one) must fit the request buffers.
// Sets errno to EINVAL when not.
bool fits(const char *text) {
    if (text && strlen(text) < TARVI_SC_REQUEST_BUF_SIZE)
        return true;
    errno = EINVAL;
    return false;
}

// Calls that only check the exchange.
int sc_call(int type, char *key, char *value) {
    if (key && !fits(key))
        return -1;
    tarvi_request reply;
    return libtarvi_exchange(type, key, value, &reply) == 0 ? 0 : -1;
}

// A tree write: the daemon answers a missing node with status 404, which
// the exchange counts as an answer; the caller must learn that nothing was
// written.
int sc_set(int type, char *uri, char *value) {
    if (!uri)
        return libtarvi_fail(EINVAL);
    if (!fits(uri))
        return -1;
    tarvi_request reply;
    if (libtarvi_exchange(type, uri, value, &reply) != 0)
        return -1;
    if (reply.status > 0) {
        errno = TARVI_EREFUSED;
        return -reply.status;
    }
    return 0;
}

// One exchange for `key`, which must be shorter than `limit`.
bool sc_exchange(int type, char *key, tarvi_request *reply, size_t limit = TARVI_SC_REQUEST_BUF_SIZE) {
    if (!key || strlen(key) >= limit) {
        errno = EINVAL;
        return false;
    }
    return libtarvi_exchange(type, key, nullptr, reply) == 0;
}

// The result convention over one exchange (sc_reply_result).
int sc_result_call(int type, char *key, std::string *rest, size_t limit = TARVI_SC_REQUEST_BUF_SIZE) {
    tarvi_request reply;
    return sc_exchange(type, key, &reply, limit) ? sc_reply_result(&reply, rest) : -1;
}

// Reads an unsigned number of `base` at the start of `text` into *out, when
// there is one.
template <typename T> void read_number(const std::string &text, int base, T *out) {
    const char *s = text.c_str();
    char *end = nullptr;
    unsigned long long v = strtoull(s, &end, base);
    if (end != s)
        *out = static_cast<T>(v);
}

int get_int(int type, char *uri, int *value) {
    tarvi_request reply;
    return sc_exchange(type, uri, &reply) ? sc_reply_int(&reply, value) : -1;
}

int get_uint(int type, char *uri, unsigned int *value) {
    tarvi_request reply;
    return sc_exchange(type, uri, &reply) ? sc_reply_uint(&reply, value) : -1;
}

int get_u16(int type, char *uri, u_16 *value) {
    tarvi_request reply;
    return sc_exchange(type, uri, &reply) ? sc_reply_u16(&reply, value) : -1;
}

int get_text(int type, char *uri, char **out) {
    if (!out)
        return libtarvi_fail(EINVAL);
    *out = nullptr;
    tarvi_request reply;
    return sc_exchange(type, uri, &reply) ? sc_reply_text(&reply, out) : -1;
}

int sc_get(int type, char *uri, char **value) {
    if (!value)
        return libtarvi_fail(EINVAL);
    *value = nullptr;
    if (!fits(uri))
        return -1;
    if (type == TARVI_REQUEST_TYPE_SC_CB_GET)
        return libtarvi_get_common(type, uri, value);
    tarvi_request reply;
    if (libtarvi_exchange(type, uri, nullptr, &reply) != 0)
        return -1;
    if (reply.value && !(*value = dupstr(reply.value)))
        return -1;
    return 0;
}

} // namespace

bool sc_reply_number(const tarvi_request *reply, int *result, std::string *rest) {
    *result = -1;
    if (!reply->key || !reply->value) {
        errno = EPROTO;
        return false;
    }
    const char *text = reply->value;
    char *end = nullptr;
    long n = strtol(text, &end, 10);
    if (end != text)
        *result = static_cast<int>(n);
    *rest = *end == ' ' ? end + 1 : end;
    return true;
}

int sc_reply_result(const tarvi_request *reply, std::string *rest) {
    int result = -1;
    std::string text;
    if (!sc_reply_number(reply, &result, &text))
        return -1;
    if (result != 0) {
        errno = TARVI_EREFUSED;
        return result > 0 ? -result : result;
    }
    if (rest)
        *rest = text;
    return 0;
}

int sc_reply_int(const tarvi_request *reply, int *value) {
    std::string rest;
    int rc = sc_reply_result(reply, &rest);
    if (rc == 0 && value) {
        const char *s = rest.c_str();
        char *end = nullptr;
        long v = strtol(s, &end, 10);
        if (end != s)
            *value = static_cast<int>(v);
    }
    return rc;
}

int sc_reply_uint(const tarvi_request *reply, unsigned int *value) {
    std::string rest;
    int rc = sc_reply_result(reply, &rest);
    if (rc == 0 && value)
        read_number(rest, 10, value);
    return rc;
}

int sc_reply_u16(const tarvi_request *reply, u_16 *value) {
    std::string rest;
    int rc = sc_reply_result(reply, &rest);
    if (rc == 0 && value)
        read_number(rest, 8, value);
    return rc;
}

int sc_reply_text(const tarvi_request *reply, char **out) {
    *out = nullptr;
    std::string rest;
    int rc = sc_reply_result(reply, &rest);
    if (rc == 0 && !rest.empty()) {
        *out = dupstr(rest.c_str());
        if (!*out)
            return -1;
    }
    return rc;
}

int tarvi_sc_get(char *uri, char **value) { return sc_get(TARVI_REQUEST_TYPE_SC_GET, uri, value); }
int tarvi_sc_set(char *uri, char *value) { return sc_set(TARVI_REQUEST_TYPE_SC_SET, uri, value); }
int tarvi_sc_reload(void) { return sc_call(TARVI_REQUEST_TYPE_SC_RELOAD, nullptr, nullptr); }
int tarvi_sc_stage_reload(char *stage) { return sc_call(TARVI_REQUEST_TYPE_SC_STAGE_RELOAD, stage, nullptr); }
int tarvi_sc_reload_default(void) { return sc_call(TARVI_REQUEST_TYPE_SC_RELOAD_DEFAULT, nullptr, nullptr); }

int tarvi_sc_is_exist(char *uri, int *exist) {
    if (!exist)
        return libtarvi_fail(EINVAL);
    *exist = 0;
    if (!fits(uri))
        return -1;
    tarvi_request reply;
    if (libtarvi_exchange(TARVI_REQUEST_TYPE_SC_IS_EXIST, uri, nullptr, &reply) != 0)
        return -1;
    if (reply.value)
        *exist = atoi(reply.value);
    return 0;
}

int tarvi_sc_get_int(char *uri, int *value) { return get_int(TARVI_REQUEST_TYPE_SC_GET_INT, uri, value); }
int tarvi_sc_get_uint(char *uri, unsigned int *value) { return get_uint(TARVI_REQUEST_TYPE_SC_GET_UINT, uri, value); }
int tarvi_sc_get_dtype(char *uri, u_16 *dtype) { return get_u16(TARVI_REQUEST_TYPE_SC_GET_DTYPE, uri, dtype); }
int tarvi_sc_get_attr(char *uri, u_16 *attr) { return get_u16(TARVI_REQUEST_TYPE_SC_GET_ATTR, uri, attr); }
int tarvi_sc_get_limit(char *uri, char **limit) { return get_text(TARVI_REQUEST_TYPE_SC_GET_LIMIT, uri, limit); }
int tarvi_sc_exe(char *uri, char **result) { return get_text(TARVI_REQUEST_TYPE_SC_EXE, uri, result); }

int tarvi_sc_cb_set(char *uri, char *value) { return sc_set(TARVI_REQUEST_TYPE_SC_CB_SET, uri, value); }
int tarvi_sc_cb_get(char *uri, char **value) { return sc_get(TARVI_REQUEST_TYPE_SC_CB_GET, uri, value); }
int tarvi_sc_cb_get_uint(char *uri, unsigned int *value) {
    return get_uint(TARVI_REQUEST_TYPE_SC_CB_GET_UINT, uri, value);
}
int tarvi_sc_cb_get_int(char *uri, int *value) { return get_int(TARVI_REQUEST_TYPE_SC_CB_GET_INT, uri, value); }
int tarvi_sc_cb_exe(char *uri, char **result) { return get_text(TARVI_REQUEST_TYPE_SC_CB_EXE, uri, result); }

namespace {

// Requests 39 and 50: "URI NAME N", and *number (when given) the number the
// daemon chose.
int me_add_inst(int type, char *uri, char *me_name, u_16 *number) {
    if (!uri || !me_name)
        return libtarvi_fail(EINVAL);
    // The daemon reads the number as "%ho", so it is sent in octal.
    char key[TARVI_SC_REQUEST_BUF_SIZE];
    int n = snprintf(key, sizeof key, "%s %s %ho", uri, me_name, static_cast<unsigned short>(number ? *number : 0));
    if (n < 0 || static_cast<size_t>(n) >= sizeof key)
        return libtarvi_fail(EINVAL);
    u_16 chosen = number ? *number : 0;
    int rc = get_u16(type, key, &chosen);
    if (rc == 0 && number)
        *number = chosen;
    return rc;
}

} // namespace

int tarvi_sc_cb_me_add_inst(char *uri, char *me_name, u_16 *number) {
    return number ? me_add_inst(TARVI_REQUEST_TYPE_SC_CB_ME_ADD_INST, uri, me_name, number) : libtarvi_fail(EINVAL);
}

int tarvi_sc_cb_me_del_inst(char *uri) { return sc_result_call(TARVI_REQUEST_TYPE_SC_CB_ME_DEL_INST, uri, nullptr); }

int tarvi_cb_set(char *key, char *value) {
    return key ? sc_call(TARVI_REQUEST_TYPE_CB_SET, key, value) : libtarvi_fail(EINVAL);
}
int tarvi_cb_get(char *key, char **value) { return libtarvi_get_common(TARVI_REQUEST_TYPE_CB_GET, key, value); }

int tarvi_sc_commit(void) { return sc_call(TARVI_REQUEST_TYPE_SC_COMMIT, nullptr, nullptr); }
int tarvi_sc_restore_default(void) { return sc_call(TARVI_REQUEST_TYPE_SC_RESTORE_DEFAULT, nullptr, nullptr); }

int tarvi_sc_get_tree_start(int type, int next_level, char *uri, int *tree_id) {
    if (!uri || !tree_id)
        return libtarvi_fail(EINVAL);
    std::string key = std::to_string(type) + " " + std::to_string(next_level) + " " + uri;
    std::string rest;
    int rc = sc_result_call(TARVI_REQUEST_TYPE_SC_GET_TREE_START, key.data(), &rest);
    if (rc == 0)
        read_number(rest, 10, tree_id);
    return rc;
}

int tarvi_sc_get_tree_next(int tree_id, char **uri, u_16 *dtype, u_16 *attr) {
    if (!uri || !dtype || !attr)
        return libtarvi_fail(EINVAL);
    *uri = nullptr;
    *dtype = 0;
    *attr = 0;
    std::string key = std::to_string(tree_id);
    int result = -1;
    std::string rest;
    tarvi_request reply;
    if (!sc_exchange(TARVI_REQUEST_TYPE_SC_GET_TREE_NEXT, key.data(), &reply) ||
        !sc_reply_number(&reply, &result, &rest))
        return -1;
    if (result != 0 && result != SC_GET_NEXT_COMPLETE && result != SC_GET_NEXT_HAS_CHILD &&
        result != SC_GET_NEXT_NO_CHILD) {
        errno = TARVI_EREFUSED;
        return result > 0 ? -result : result;
    }
    // "URI dtype attr", or "dtype attr" when the walk is done: the two
    // numbers are the last two words.
    size_t attr_at = rest.rfind(' ');
    size_t dtype_at = attr_at == std::string::npos || attr_at == 0 ? std::string::npos : rest.rfind(' ', attr_at - 1);
    std::string text = dtype_at == std::string::npos ? "" : rest.substr(0, dtype_at);
    if (attr_at != std::string::npos) {
        read_number(rest.substr(dtype_at == std::string::npos ? 0 : dtype_at + 1), 8, dtype);
        read_number(rest.substr(attr_at + 1), 8, attr);
    }
    if (!(*uri = dupstr(text.c_str())))
        return -1;
    return result;
}

int tarvi_sc_me_add_inst(char *uri, char *me_name, u_16 *number) {
    return me_add_inst(TARVI_REQUEST_TYPE_SC_ME_ADD_INST, uri, me_name, number);
}

int tarvi_sc_me_del_inst(char *uri) { return sc_result_call(TARVI_REQUEST_TYPE_SC_ME_DEL_INST, uri, nullptr); }

namespace {

// "URI N" with N in octal, as the daemon reads it ("%ho"); false when it does
// not fit the request buffer.
bool uri_and_number(char (&key)[TARVI_SC_REQUEST_BUF_SIZE], const char *uri, u_16 number) {
    int n = snprintf(key, sizeof key, "%s %ho", uri, static_cast<unsigned short>(number));
    return n >= 0 && static_cast<size_t>(n) < sizeof key;
}

int inst_number(int type, char *uri, u_16 *number) {
    char key[TARVI_SC_REQUEST_BUF_SIZE];
    if (!uri || !number || !uri_and_number(key, uri, *number))
        return libtarvi_fail(EINVAL);
    return get_u16(type, key, number);
}

// A reply that is a bare name (requests 42 and 43): *name a copy of it, or
// null when there is none. 0, or -1 for a failed exchange.
int bare_name(int type, char *key, char **name) {
    tarvi_request reply;
    if (!sc_exchange(type, key, &reply))
        return -1;
    if (!reply.key)
        return libtarvi_fail(EPROTO);
    if (reply.value && !(*name = dupstr(reply.value)))
        return -1;
    return 0;
}

} // namespace

int tarvi_sc_query_inst_number(char *uri, u_16 *number) {
    return inst_number(TARVI_REQUEST_TYPE_SC_QUERY_INT_NUM, uri, number);
}

int tarvi_sc_me_query_inst_number(char *uri, u_16 *number) {
    return inst_number(TARVI_REQUEST_TYPE_SC_ME_QUERY_INT_NUM, uri, number);
}

int tarvi_sc_query_inst_name(char *uri, u_16 nth, char **name) {
    if (!name)
        return libtarvi_fail(EINVAL);
    *name = nullptr;
    char key[TARVI_SC_REQUEST_BUF_SIZE];
    if (!uri || !uri_and_number(key, uri, nth))
        return libtarvi_fail(EINVAL);
    int rc = bare_name(TARVI_REQUEST_TYPE_SC_QUERY_INT_NAME, key, name);
    if (rc != 0)
        return rc;
    // No instance at that place: the daemon answered without a name.
    return *name ? 0 : libtarvi_fail(TARVI_EREFUSED);
}

int tarvi_sc_query_last_name(char *uri, char **name) {
    if (!name)
        return libtarvi_fail(EINVAL);
    *name = nullptr;
    return bare_name(TARVI_REQUEST_TYPE_SC_QUERY_LAST_NAME, uri, name);
}

int tarvi_sc_debug(char *level, char **value) {
    if (!fits(level)) {
        if (value)
            *value = nullptr;
        return -1;
    }
    return libtarvi_get_common(TARVI_REQUEST_TYPE_SC_DEBUG, level, value);
}

int tarvi_sc_test_set(void) { return sc_call(TARVI_REQUEST_TYPE_SC_TEST_SET, nullptr, nullptr); }
int tarvi_sc_test_get(void) { return sc_call(TARVI_REQUEST_TYPE_SC_TEST_GET, nullptr, nullptr); }

int tarvi_sc_test_me(char *mode) {
    if (mode && strcmp(mode, "inst_f") == 0)
        return libtarvi_sc_test_inst_fields();
    return sc_call(TARVI_REQUEST_TYPE_SC_TEST_ME, nullptr, nullptr);
}

namespace {

const char QV_TOKEN[] = "<QV_TOKEN>";
const char QV_NULL[] = "QV_NULL";
// Keys of the instance-field calls are built in buffers of this size.
constexpr size_t FIELDS_KEY_SIZE = 1024;

// " item<QV_TOKEN>item...<QV_TOKEN>"; values get "<QV_SPACE>" for their
// blanks when `spaces`. False for a null list, an empty one, a field name
// with a blank, an item with another white-space character (the daemon
// splits its request at them, and only the blank has a stand-in), or an
// item holding the list's own words, which the daemon would take for a
// separator.
bool append_list(std::string *key, char *items[], bool spaces) {
    if (!items || !items[0])
        return false;
    *key += ' ';
    for (size_t i = 0; items[i]; ++i) {
        std::string item = items[i];
        if (item.find_first_of(spaces ? "\t\r\n\v\f" : " \t\r\n\v\f") != std::string::npos ||
            item.find("<QV_TOKEN>") != std::string::npos || item.find("<QV_SPACE>") != std::string::npos)
            return false;
        if (i)
            *key += QV_TOKEN;
        for (char c : item) {
            if (c == ' ' && spaces)
                *key += "<QV_SPACE>";
            else
                *key += c;
        }
    }
    *key += QV_TOKEN;
    return true;
}

// The pieces of a reply after its result: each "<QV_TOKEN>" starts one.
std::vector<std::string> reply_pieces(const std::string &rest) {
    std::vector<std::string> out;
    size_t at = rest.find(QV_TOKEN);
    while (at != std::string::npos) {
        size_t from = at + sizeof QV_TOKEN - 1;
        size_t next = rest.find(QV_TOKEN, from);
        out.push_back(rest.substr(from, next == std::string::npos ? std::string::npos : next - from));
        at = next;
    }
    return out;
}

// "URI/NAME" and the field list of the field calls; false for a list
// append_list refuses.
bool instance_key(std::string *key, const char *uri, const char *name, char *fields[]) {
    *key = std::string(uri) + "/" + name;
    return append_list(key, fields, false);
}

} // namespace

int tarvi_sc_get_instance_fields(char *uri, char *name, char *fields[], char *values[]) {
    std::string key;
    if (!uri || !name || !values || !instance_key(&key, uri, name, fields))
        return libtarvi_fail(EINVAL);
    std::string rest;
    int rc = sc_result_call(TARVI_REQUEST_TYPE_SC_GET_INSTANCE_FIELDS, key.data(), &rest, FIELDS_KEY_SIZE);
    if (rc != 0)
        return rc;
    std::vector<std::string> pieces = reply_pieces(rest);
    for (size_t i = 0; fields[i] && i < pieces.size(); ++i) {
        if (pieces[i] == QV_NULL)
            continue;
        // The caller's preset is not ours to free: it may be a default text.
        if (!(values[i] = dupstr(pieces[i].c_str())))
            return -1;
    }
    return 0;
}

int tarvi_sc_set_instance_fields(char *uri, char *name, char *fields[], char *values[]) {
    std::string key;
    if (!uri || !name || !instance_key(&key, uri, name, fields) || !append_list(&key, values, true))
        return libtarvi_fail(EINVAL);
    return sc_result_call(TARVI_REQUEST_TYPE_SC_SET_INSTANCE_FIELDS, key.data(), nullptr, FIELDS_KEY_SIZE);
}

int tarvi_sc_add_instance_fields(char *uri, char *fields[], char *values[], char **name) {
    if (!uri || !name)
        return libtarvi_fail(EINVAL);
    *name = nullptr;
    std::string key = uri;
    // Values are sent as for a set: blanks as "<QV_SPACE>", since sent as
    // they are they would cut the request where the daemon splits it, and
    // the list closed, so that an empty last value is one.
    if (!append_list(&key, fields, false) || !append_list(&key, values, true))
        return libtarvi_fail(EINVAL);
    std::string rest;
    int rc = sc_result_call(TARVI_REQUEST_TYPE_SC_ADD_INSTANCE_FIELDS, key.data(), &rest, FIELDS_KEY_SIZE);
    if (rc != 0)
        return rc;
    std::vector<std::string> pieces = reply_pieces(rest);
    if (pieces.empty() || pieces[0].empty()) {
        printf("[FixMe] BUG for SC2.0 %s:%d j=%d\n", __func__, __LINE__, 0);
        return libtarvi_fail(EPROTO);
    }
    *name = dupstr(pieces[0].c_str());
    return *name ? 0 : -1;
}

int tarvi_sc_get_instance_fields_by_num(char *uri, u_16 nth, char *fields[], char *values[], char **name) {
    if (!name)
        return libtarvi_fail(EINVAL);
    *name = nullptr;
    if (tarvi_sc_query_inst_name(uri, nth, name) != 0) {
        int err = errno;
        printf("Query inst name fail uri=%s num=%d\n", uri ? uri : "(null)", nth);
        return libtarvi_fail(err);
    }
    if (!*name) {
        printf("[FixMe] SC2.0 BUG %s:%d\n", __func__, __LINE__);
        return libtarvi_fail(EPROTO);
    }
    return tarvi_sc_get_instance_fields(uri, *name, fields, values) == 0 ? 0 : -1;
}

int tarvi_sc_del_instance_fields(char *uri, char *name) {
    if (!uri || !name)
        return libtarvi_fail(EINVAL);
    std::string key = std::string(uri) + "/" + name;
    return tarvi_sc_me_del_inst(key.data());
}
