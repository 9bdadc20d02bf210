// Runs a shell command from a test and collects what it printed.
#ifndef TARVI_TEST_COMMAND_H
#define TARVI_TEST_COMMAND_H

#include <functional>
#include <string>

struct command_result {
    int status = -1; // exit status, or -1 when it did not exit normally
    std::string out; // everything written to standard output
};

// `cmd` run by /bin/sh.
command_result run_command(const std::string &cmd);

// The shell words that start one of our own programs at `path`. When the
// tests run under user-mode emulation (a cross build), TARVI_TEST_EMULATOR
// names the emulator, and its options if any; the host's kernel cannot start
// the target's programs by itself, so they are started through it.
std::string target_command(const std::string &path);

// Asks `done` every 10 ms until it holds; false when it still does not
// after `ms`.
bool eventually(const std::function<bool()> &done, int ms = 5000);

#endif
