// Runs the tarvi tool against a sandbox. Integration tests only: it needs
// TARVI_CLI_PATH.
#ifndef TARVI_TEST_TARVI_CLI_H
#define TARVI_TEST_TARVI_CLI_H

#include <string>

#include "command.h"
#include "scratch.h"

struct tool_result : command_result {
    std::string err; // everything written to standard error
};

// `tarvi ARGS` run in `root` (also its working folder) with `input` on
// standard input.
inline tool_result run_tarvi(const ScratchRoot &root, const std::string &args, const std::string &input = "") {
    root.write("/in", input);
    std::string cmd = "cd " + root.path() + " && TARVI_ROOT=" + root.path() + " " + target_command(TARVI_CLI_PATH) +
                      " " + args + " <" + root.at("/in") + " 2>" + root.at("/err");
    tool_result r;
    static_cast<command_result &>(r) = run_command(cmd);
    r.err = root.read("/err");
    return r;
}

// A whole run as one text, "STATUS OUT|ERR", to compare at once.
inline std::string run_text(const tool_result &r) { return std::to_string(r.status) + " " + r.out + "|" + r.err; }

#endif
