// Runs test code as another, unprivileged user: in a child process that
// drops to the user's uid, gid and groups (and, if asked, runs with another
// effective uid). Needs root to drop from.
#ifndef TARVI_TEST_PEER_H
#define TARVI_TEST_PEER_H

#include <cerrno>
#include <csignal>
#include <functional>
#include <grp.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "libtarvi.h"

struct peer {
    uid_t uid;
    gid_t gid;
    std::vector<gid_t> groups;           // supplementary
    uid_t euid = static_cast<uid_t>(-1); // effective uid, when not `uid`
};

// What `body` returned in a child running as `p`, or "<...>" when the child
// could not drop or did not finish. The child's calls give up after one
// socket timeout, and the child is killed after 30 s: nothing waits longer.
inline std::string run_as(const peer &p, const std::function<std::string()> &body) {
    int out[2];
    if (pipe(out) != 0)
        return "<pipe failed>";
    pid_t pid = fork();
    if (pid < 0) {
        close(out[0]);
        close(out[1]);
        return "<fork failed>";
    }
    if (pid == 0) {
        close(out[0]);
        alarm(30);
        std::string text;
        uid_t euid = p.euid == static_cast<uid_t>(-1) ? p.uid : p.euid;
        if (setgroups(p.groups.size(), p.groups.data()) != 0 || setgid(p.gid) != 0 ||
            setresuid(p.uid, euid, p.uid) != 0)
            text = "<cannot drop to uid " + std::to_string(p.uid) + ">";
        else {
            libtarvi_rw_block = 0;
            text = body();
        }
        for (size_t at = 0; at < text.size();) {
            ssize_t n = write(out[1], text.data() + at, text.size() - at);
            if (n <= 0)
                break;
            at += static_cast<size_t>(n);
        }
        _exit(0); // no test teardown, no leak report of the parent's heap
    }
    close(out[1]);
    std::string text;
    char buf[512];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        text.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "<child died: " + text + ">";
    return text;
}

#endif
