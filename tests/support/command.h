// Runs a shell command from a test and collects what it printed.
#ifndef TARVI_TEST_COMMAND_H
#define TARVI_TEST_COMMAND_H

#include <string>

struct command_result {
    int status = -1; // exit status, or -1 when it did not exit normally
    std::string out; // everything written to standard output
};

// `cmd` run by /bin/sh.
command_result run_command(const std::string &cmd);

#endif
