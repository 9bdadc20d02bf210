/*
 * tarvi-show: prints settings of the configuration daemon, one "KEY=value"
 * line each, from a program built outside the tarvi tree against the
 * installed libtarvi.
 *
 *   tarvi-show KEY...
 *
 * Exits 0 when every key was answered, 1 when the daemon could not be asked
 * or does not know a key, 2 on a usage error.
 */
#include <stdio.h>
#include <stdlib.h>

#include <libtarvi.h>

int main(int argc, char **argv) {
    int i, failed = 0;

    if (argc < 2) {
        fprintf(stderr, "usage: tarvi-show KEY...\n");
        return 2;
    }
    for (i = 1; i < argc; i++) {
        char *value = NULL;
        /* The value is a copy that this program owns and frees. */
        if (tarvi_get(argv[i], &value) != 0 || value == NULL) {
            fprintf(stderr, "tarvi-show: %s: no value\n", argv[i]);
            failed = 1;
            continue;
        }
        printf("%s=%s\n", argv[i], value);
        free(value);
    }
    return failed;
}
