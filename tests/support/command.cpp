#include "command.h"

#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>

command_result run_command(const std::string &cmd) {
    command_result r;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return r;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    int status = pclose(p);
    r.status = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string target_command(const std::string &path) {
    const char *emulator = std::getenv("TARVI_TEST_EMULATOR");
    if (!emulator || !*emulator)
        return path;
    return std::string(emulator) + " " + path;
}
