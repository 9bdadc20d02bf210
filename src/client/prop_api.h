// Client side of the property service: the checks made before a property
// request is sent, and the two call bodies shared by the library calls (which
// talk to the daemon) and the daemon's own self-test (which must not).
#ifndef TARVI_PROP_API_H
#define TARVI_PROP_API_H

// 0 when a request with this name and value may be sent; -1 (logged) for a
// null name, a name of 32 characters or more or a value of 92 or more.
int _property_check(const char *key, const char *value);

// Looks `key` up with `fetch` (0 and the value in its buffer, or -1) and
// fills `value` (92 bytes) like property_get: the found text, else the
// default (empty when null). Returns the length placed, or -1 for a bad call.
int _property_get_with(const char *key, char *value, const char *default_value,
                       int (*fetch)(const char *key, char *value));

// Checks `key` and `value` (null sent as empty) as property_set, property_debug
// and property_test do, then hands them to `store`. Returns 0 when store
// returned 0, else -1 (also when refused: store is not called then).
int _property_set_with(const char *key, const char *value, int (*store)(const char *key, const char *value));

#endif
