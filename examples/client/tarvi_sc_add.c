/*
 * tarvi-sc-add: adds the next numbered instance to a table of the
 * configuration tree with some of its fields set, and prints its name.
 *
 *   tarvi-sc-add TABLE FIELD=VALUE...
 *
 * Exits 0 when the instance was added, 1 when the daemon refused or could
 * not be asked, 2 on a usage error.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <libtarvi.h>

#define MAX_FIELDS 16

int main(int argc, char **argv) {
    char *fields[MAX_FIELDS + 1];
    char *values[MAX_FIELDS + 1];
    char *name = NULL;
    int i, n = 0, rc;

    if (argc < 3 || argc - 2 > MAX_FIELDS) {
        fprintf(stderr, "usage: tarvi-sc-add TABLE FIELD=VALUE... (at most %d fields)\n", MAX_FIELDS);
        return 2;
    }
    for (i = 2; i < argc; i++) {
        char *eq = strchr(argv[i], '=');
        if (!eq) {
            fprintf(stderr, "tarvi-sc-add: %s is not FIELD=VALUE\n", argv[i]);
            return 2;
        }
        *eq = '\0';
        fields[n] = argv[i];
        values[n++] = eq + 1;
    }
    fields[n] = NULL;
    values[n] = NULL;
    rc = tarvi_sc_add_instance_fields(argv[1], fields, values, &name);
    if (rc != 0) {
        fprintf(stderr, "tarvi-sc-add: %s: refused (%d)\n", argv[1], rc);
        return 1;
    }
    printf("%s/%s\n", argv[1], name);
    free(name);
    return 0;
}
