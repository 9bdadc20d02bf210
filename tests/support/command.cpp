#include "command.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>
#include <thread>

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

bool eventually(const std::function<bool()> &done, int ms) {
    for (int waited = 0; !done(); waited += 10) {
        if (waited >= ms)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}
