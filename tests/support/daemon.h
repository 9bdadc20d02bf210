// Starts the real tarvid in a sandbox and stops it by its pid.
#ifndef TARVI_TEST_DAEMON_H
#define TARVI_TEST_DAEMON_H

#include <functional>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

class Daemon {
  public:
    // `root` is a sandbox folder with the device's files already laid out.
    explicit Daemon(std::string root, std::string binary = TARVID_PATH);
    ~Daemon();
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    // Starts the daemon and waits until it serves (pid file written, socket
    // answering). Returns false when it exited or did not come up in time.
    bool start();
    // SIGTERM and reap. Returns the exit status as waitpid reports it, or -1.
    // Where this process cannot reap the daemon (see reaps()), waits until
    // it is gone and returns -1.
    int stop();
    // False where this process could not become the reaper of the daemon
    // that forked into the background (user-mode emulation does not offer
    // it): its exit status is then out of reach.
    bool reaps() const { return reaps_; }
    // Sends `sig` to the running daemon.
    void signal(int sig) const;
    bool running() const;

    pid_t pid() const { return pid_; }
    // Exit status of the launching process (the one that forks into the
    // background), as waitpid reports it.
    int launcher_status() const { return launcher_status_; }
    // What the running daemon holds, read from the process table.
    struct usage {
        int fds = -1;      // open descriptors
        int threads = -1;  // threads
        int children = -1; // child processes, zombies included, and those of
                           // the callback host (not counted itself, nor
                           // its spare child while that waits for a call)
        pid_t host = -1;   // the callback host
        long rss_kb = -1;  // resident memory
        long cpu_ticks = -1;
    };
    usage usage_now() const;
    // Runs `call`, a request that runs a callback, until a callback host
    // runs: one given up under load is replaced at a later call, after a
    // pause. False when none came within `ms`.
    bool host_back(const std::function<void()> &call, int ms = 20000) const;

    // Everything the daemon wrote to standard error / output so far.
    std::string stderr_text() const;
    std::string stdout_text() const;
    // The first sanitizer report in the daemon's standard error, or empty.
    std::string sanitizer_report() const;
    // Waits until standard error contains `text`; false after `ms`.
    bool wait_stderr(const std::string &text, int ms = 5000) const;
    bool wait_stdout(const std::string &text, int ms = 5000) const;

  private:
    std::string root_, binary_;
    pid_t pid_ = -1;
    int launcher_status_ = -1;
    bool reaps_ = true;
};

// What the descriptors of `pid` from 3 up refer to ("socket:[123]", paths).
std::set<std::string> fd_targets(pid_t pid);

// The child processes of `parent`, zombies included.
std::vector<pid_t> child_pids(pid_t parent);

// Makes this process the reaper of orphaned descendants, so that a daemon
// that forked into the background can be waited for. Called by Daemon.
// Returns false when the system refuses.
bool become_subreaper();

#endif
