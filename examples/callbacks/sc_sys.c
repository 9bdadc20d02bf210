/*
 * Callbacks of the sample device's "sys" module (usr/sc/cb0/sys.cb). The
 * daemon runs each in a process of its own with the node's URI and the names
 * of two flat keys: the input (the value to check or apply) and the output
 * (the answer; "NC" means none).
 */
#include <stdlib.h>
#include <string.h>

#include <libtarvi.h>

/* The input value, or an empty text; the caller frees it. */
static char *input_of(char *key1) {
    char *value = NULL;
    if (tarvi_cb_get(key1, &value) != 0 || !value)
        return strdup("");
    return value;
}

static int answer(char *key2, int ok) { return tarvi_cb_set(key2, ok ? "OK" : "FAIL"); }

/* An MTU is a decimal number from 576 to 1500. */
int sys_wan_verify_mtu(char *uri, char *key1, char *key2) {
    (void)uri;
    char *value = input_of(key1);
    char *end = NULL;
    long mtu = strtol(value, &end, 10);
    int ok = *value && *end == '\0' && mtu >= 576 && mtu <= 1500;
    free(value);
    return answer(key2, ok);
}

int sys_wan_verify_mode(char *uri, char *key1, char *key2) {
    (void)uri;
    char *value = input_of(key1);
    int ok = strcmp(value, "dhcp") == 0 || strcmp(value, "static") == 0 || strcmp(value, "pppoe") == 0;
    free(value);
    return answer(key2, ok);
}

/* Applying a WAN change: the sample device only notes when it happened. */
int sys_wan_apply(char *uri, char *key1, char *key2) {
    (void)key2;
    char *value = input_of(key1);
    int rc = tarvi_cb_set("WAN_LAST_APPLIED", uri);
    free(value);
    return rc;
}

int sys_v6_add(char *uri, char *key1, char *key2) {
    (void)uri;
    (void)key1;
    (void)key2;
    return 0;
}

int sys_v6_del(char *uri, char *key1, char *key2) {
    (void)uri;
    (void)key1;
    (void)key2;
    return 0;
}
