/*
 * Notification callbacks of the sample device (usr/sc/notify0/sys.notify,
 * object libsc_notify.so). Each gets the node's URI and, in its input key,
 * the node's new value. The sample device has nothing to restart, so it
 * writes what it was told into the flat key NOTIFY_LAST ("URI=VALUE"),
 * where a front end or a test can see it.
 */
#include <stdio.h>
#include <stdlib.h>

#include <libtarvi.h>

static int note(char *uri, char *key1) {
    char *value = NULL;
    if (tarvi_cb_get(key1, &value) != 0)
        return -1;
    char line[512];
    snprintf(line, sizeof line, "%s=%s", uri, value ? value : "");
    free(value);
    return tarvi_cb_set("NOTIFY_LAST", line);
}

int wimax_restart(char *uri, char *key1, char *key2) {
    (void)key2;
    return note(uri, key1);
}

int lan_changed(char *uri, char *key1, char *key2) {
    (void)key2;
    return note(uri, key1);
}

int voip_codec_changed(char *uri, char *key1, char *key2) {
    (void)key2;
    return note(uri, key1);
}
