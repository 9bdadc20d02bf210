// tarvi: the shell front end of the configuration daemon.
//
// Usage: tarvi COMMAND [ARGS...]; `tarvi --help` lists the commands. Values go
// to standard output one per line, errors to standard error. Exit status: 0
// success, 1 failure, 2 usage error.
#include <cstdio>
#include <cstring>

#include "libtarvi.h"

namespace {

constexpr int EXIT_OK = 0, EXIT_FAIL = 1, EXIT_USAGE = 2;

struct command {
    const char *name;
    const char *args;
    const char *help;
    int argc; // arguments after the command's name
    int (*run)(char **argv);
};

// One exchange of `type` with `key` and `value`; prints the value of the reply
// when `print_value` is set.
int exchange(int type, char *key, char *value, bool print_value) {
    tarvi_request request = {};
    request.magic = TARVI_REQUEST_MAGIC;
    request.type = static_cast<uint16_t>(type);
    request.key = key;
    request.value = value;
    if (request_for_tarvi(&request) != 0) {
        fprintf(stderr, "tarvi: request failed (is tarvid running?)\n");
        return EXIT_FAIL;
    }
    if (print_value) {
        if (!request.value) {
            fprintf(stderr, "tarvi: %s: no such key\n", key);
            return EXIT_FAIL;
        }
        printf("%s\n", request.value);
    }
    return EXIT_OK;
}

int cmd_get(char **argv) { return exchange(TARVI_REQUEST_TYPE_GET, argv[0], nullptr, true); }
int cmd_set(char **argv) { return exchange(TARVI_REQUEST_TYPE_SET, argv[0], argv[1], false); }
int cmd_commit(char **) { return exchange(TARVI_REQUEST_TYPE_COMMIT, nullptr, nullptr, false); }
int cmd_reload(char **) { return exchange(TARVI_REQUEST_TYPE_RELOAD, nullptr, nullptr, false); }
int cmd_backup(char **argv) { return exchange(TARVI_REQUEST_TYPE_BACKUP_CFGFILE, argv[0], nullptr, false); }
int cmd_restore(char **argv) { return exchange(TARVI_REQUEST_TYPE_RESTORE_CFGFILE, argv[0], nullptr, false); }

const command commands[] = {
    {"get", "KEY", "print the value of KEY", 1, cmd_get},
    {"set", "KEY VALUE", "set KEY to VALUE (kept in memory until commit)", 2, cmd_set},
    {"commit", "", "write the configuration to storage", 0, cmd_commit},
    {"reload", "", "reload defaults and the saved configuration", 0, cmd_reload},
    {"backup", "FILE", "write the saved configuration to FILE", 1, cmd_backup},
    {"restore", "FILE", "take the configuration from FILE", 1, cmd_restore},
};

void usage(FILE *out) {
    fprintf(out, "usage: tarvi COMMAND [ARGS...]\n\ncommands:\n");
    for (const auto &c : commands)
        fprintf(out, "  %-8s %-12s %s\n", c.name, c.args, c.help);
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        usage(stderr);
        return EXIT_USAGE;
    }
    if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        usage(stdout);
        return EXIT_OK;
    }
    for (const auto &c : commands) {
        if (strcmp(argv[1], c.name) != 0)
            continue;
        if (argc > 2 && strcmp(argv[2], "--help") == 0) {
            printf("usage: tarvi %s %s\n  %s\n", c.name, c.args, c.help);
            return EXIT_OK;
        }
        if (argc - 2 != c.argc) {
            fprintf(stderr, "usage: tarvi %s %s\n", c.name, c.args);
            return EXIT_USAGE;
        }
        return c.run(argv + 2);
    }
    fprintf(stderr, "tarvi: unknown command '%s'\n", argv[1]);
    usage(stderr);
    return EXIT_USAGE;
}
