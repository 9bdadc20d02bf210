// Client calls of the property service. Every call that talks to the daemon
// builds its own request record and makes one exchange.
#include "prop_api.h"

#include <cerrno>
#include <cstring>

#include "libtarvi.h"
#include "prop_debug.h"
#include "prop_limits.h"
#include "prop_test.h"

namespace {

const char *const CHECK_LABEL = "_property_check";

// One exchange of `type` with `key` and `value`; on 0, `reply` holds the answer.
int prop_exchange(int type, const char *key, const char *value, tarvi_request *reply) {
    memset(reply, 0, sizeof *reply);
    reply->magic = TARVI_REQUEST_MAGIC;
    reply->type = static_cast<uint16_t>(type);
    // The record is only read while it is packed.
    reply->key = const_cast<char *>(key);
    reply->value = const_cast<char *>(value);
    return request_for_tarvi(reply);
}

// -1 with errno 0 when the daemon answered that `key` has no value (a
// failure status or none), with errno set by the exchange when it could not
// be asked.
int remote_fetch(const char *key, char *value) {
    tarvi_request reply;
    int rc = prop_exchange(TARVI_REQUEST_TYPE_PROP_GET, key, nullptr, &reply);
    if (rc != 0 && errno != TARVI_EREFUSED)
        return -1;
    errno = 0;
    if (rc != 0 || !reply.value)
        return -1;
    size_t len = strnlen(reply.value, PROP_VALUE_MAX);
    memcpy(value, reply.value, len);
    value[len] = '\0';
    return 0;
}

int remote_store(const char *key, const char *value) {
    tarvi_request reply;
    return prop_exchange(TARVI_REQUEST_TYPE_PROP_SET, key, value, &reply);
}

bool key_too_long(const char *key) {
    size_t len = strlen(key);
    if (len <= PROP_NAME_MAX)
        return false;
    PROP_LOG_AS(PROP_DEBUG_FAIL, CHECK_LABEL, "[PropSet] key=%s size:%zd >= max:%d\n\n", key, static_cast<ssize_t>(len),
                PROP_NAME_MAX + 1);
    return true;
}

// Copies at most 91 characters of `text` and a NUL. Returns the count.
int copy_value(char *dst, const char *text) {
    size_t len = strnlen(text, PROP_VALUE_MAX);
    memcpy(dst, text, len);
    dst[len] = '\0';
    return static_cast<int>(len);
}

} // namespace

int _property_check(const char *key, const char *value) {
    if (!key) {
        PROP_LOG_AS(PROP_DEBUG_FAIL, CHECK_LABEL, "[PropSet] key==0 return directly\n\n");
        return -1;
    }
    if (key_too_long(key))
        return -1;
    size_t vlen = value ? strlen(value) : 0;
    if (vlen > PROP_VALUE_MAX) {
        PROP_LOG_AS(PROP_DEBUG_FAIL, CHECK_LABEL, "[PropSet] value=%s size:%zd >= max:%d\n\n", value,
                    static_cast<ssize_t>(vlen), PROP_VALUE_MAX + 1);
        return -1;
    }
    return 0;
}

int _property_get_with(const char *key, char *value, const char *default_value,
                       int (*fetch)(const char *key, char *value)) {
    if (!key || !value) {
        PROP_LOG_AS(PROP_DEBUG_FAIL, CHECK_LABEL, "[PropSet] key==0 return directly\n\n");
        errno = EINVAL;
        return -1;
    }
    if (key_too_long(key)) {
        errno = EINVAL;
        return -1;
    }
    char found[PROP_VALUE_SIZE];
    if (fetch(key, found) == 0)
        return copy_value(value, found);
    return copy_value(value, default_value ? default_value : "");
}

int _property_set_with(const char *key, const char *value, int (*store)(const char *key, const char *value)) {
    if (!value)
        value = "";
    if (_property_check(key, value) != 0) {
        errno = EINVAL;
        return -1;
    }
    return store(key, value) == 0 ? 0 : -1;
}

extern "C" {

int property_get(const char *key, char *value, const char *default_value) {
    return _property_get_with(key, value, default_value, remote_fetch);
}

int property_set(const char *key, const char *in_value) { return _property_set_with(key, in_value, remote_store); }

int property_reload(void) {
    tarvi_request reply;
    return prop_exchange(TARVI_REQUEST_TYPE_PROP_RELOAD, nullptr, nullptr, &reply) == 0 ? 0 : -1;
}

int property_debug(char *key, char *in_value) {
    return _property_set_with(key, in_value, [](const char *k, const char *v) {
        tarvi_request reply;
        return prop_exchange(TARVI_REQUEST_TYPE_PROP_DEBUG, k, v, &reply);
    });
}

int property_test(char *key, char *in_value) {
    return _property_set_with(key, in_value, [](const char *k, const char *v) {
        // The unit tests and the empty-value test drive the daemon through
        // the library calls, so they run here, in the caller.
        if (strncmp(k, "UT", 2) == 0 || strncmp(k, "NULL", 4) == 0)
            return prop_test_func(const_cast<char *>(k), const_cast<char *>(v));
        tarvi_request reply;
        return prop_exchange(TARVI_REQUEST_TYPE_PROP_TEST, k, v, &reply);
    });
}

} // extern "C"
