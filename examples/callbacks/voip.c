/*
 * Callbacks of the sample device's voice lines (usr/sc/cb0/sys.cb, object
 * libvoip.so): a line number is 1 to 32 digits.
 */
#include <stdlib.h>
#include <string.h>

#include <libtarvi.h>

int voip_verify_number(char *uri, char *key1, char *key2) {
    (void)uri;
    char *value = NULL;
    int ok = tarvi_cb_get(key1, &value) == 0 && value && *value && strlen(value) <= 32 &&
             strspn(value, "0123456789") == strlen(value);
    free(value);
    return tarvi_cb_set(key2, ok ? "OK" : "FAIL");
}

int voip_line_apply(char *uri, char *key1, char *key2) {
    (void)uri;
    (void)key1;
    (void)key2;
    return 0;
}
