// Client calls for the configuration tree. Each builds one request, makes one
// exchange and decodes the reply; the replies that carry a result begin with
// it as a decimal number, followed by the outputs ("%ho" numbers are octal).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "libtarvi_private.h"
#include "utility.h"

namespace {

// A URI (or a key built from one) must fit the request buffers.
bool fits(const char *text) { return text && strlen(text) < TARVI_SC_REQUEST_BUF_SIZE; }

// Calls that only check the exchange.
int sc_call(int type, char *key, char *value) {
    if (key && !fits(key))
        return -1;
    tarvi_request reply;
    return libtarvi_exchange(type, key, value, &reply) == 0 ? 0 : -1;
}

// One exchange for `key`, which must fit the request buffers.
bool sc_exchange(int type, char *key, tarvi_request *reply) {
    return fits(key) && libtarvi_exchange(type, key, nullptr, reply) == 0;
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
        return -1;
    *out = nullptr;
    tarvi_request reply;
    return sc_exchange(type, uri, &reply) ? sc_reply_text(&reply, out) : -1;
}

int sc_get(int type, char *uri, char **value) {
    if (!value)
        return -1;
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

int sc_reply_result(const tarvi_request *reply, std::string *rest) {
    if (!reply->key || !reply->value)
        return -1;
    const char *text = reply->value;
    char *end = nullptr;
    long n = strtol(text, &end, 10);
    int result = end == text ? -1 : static_cast<int>(n);
    if (result > 0)
        return -result;
    if (result == 0 && rest)
        *rest = *end == ' ' ? end + 1 : end;
    return result;
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
int tarvi_sc_set(char *uri, char *value) { return uri ? sc_call(TARVI_REQUEST_TYPE_SC_SET, uri, value) : -1; }
int tarvi_sc_reload(void) { return sc_call(TARVI_REQUEST_TYPE_SC_RELOAD, nullptr, nullptr); }
int tarvi_sc_stage_reload(char *stage) { return sc_call(TARVI_REQUEST_TYPE_SC_STAGE_RELOAD, stage, nullptr); }
int tarvi_sc_reload_default(void) { return sc_call(TARVI_REQUEST_TYPE_SC_RELOAD_DEFAULT, nullptr, nullptr); }

int tarvi_sc_is_exist(char *uri, int *exist) {
    if (!exist)
        return -1;
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

int tarvi_sc_cb_set(char *uri, char *value) { return uri ? sc_call(TARVI_REQUEST_TYPE_SC_CB_SET, uri, value) : -1; }
int tarvi_sc_cb_get(char *uri, char **value) { return sc_get(TARVI_REQUEST_TYPE_SC_CB_GET, uri, value); }
int tarvi_sc_cb_get_uint(char *uri, unsigned int *value) {
    return get_uint(TARVI_REQUEST_TYPE_SC_CB_GET_UINT, uri, value);
}
int tarvi_sc_cb_get_int(char *uri, int *value) { return get_int(TARVI_REQUEST_TYPE_SC_CB_GET_INT, uri, value); }
int tarvi_sc_cb_exe(char *uri, char **result) { return get_text(TARVI_REQUEST_TYPE_SC_CB_EXE, uri, result); }

int tarvi_sc_cb_me_add_inst(char *uri, char *me_name, u_16 *number) {
    if (!uri || !me_name || !number)
        return -1;
    // The daemon reads the number as "%ho", so it is sent in octal.
    char key[TARVI_SC_REQUEST_BUF_SIZE];
    int n = snprintf(key, sizeof key, "%s %s %ho", uri, me_name, static_cast<unsigned short>(*number));
    if (n < 0 || static_cast<size_t>(n) >= sizeof key)
        return -1;
    return get_u16(TARVI_REQUEST_TYPE_SC_CB_ME_ADD_INST, key, number);
}

int tarvi_sc_cb_me_del_inst(char *uri) {
    tarvi_request reply;
    return sc_exchange(TARVI_REQUEST_TYPE_SC_CB_ME_DEL_INST, uri, &reply) ? sc_reply_result(&reply, nullptr) : -1;
}

int tarvi_cb_set(char *key, char *value) { return key ? sc_call(TARVI_REQUEST_TYPE_CB_SET, key, value) : -1; }
int tarvi_cb_get(char *key, char **value) { return libtarvi_get_common(TARVI_REQUEST_TYPE_CB_GET, key, value); }
