#include "daemon.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "command.h"
#include "libtarvi.h"
#include "records.h"
#include "request.h"

namespace {

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Whether `pid` has ended, for a process that is not our child: no such
// process, or a zombie left to a parent that has not reaped it yet.
bool vanished(pid_t pid) {
    if (kill(pid, 0) != 0)
        return true;
    std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return paren == std::string::npos || stat.compare(paren, 3, ") Z") == 0;
}

bool wait_for(const std::string &path, const std::string &text, int ms) {
    return eventually([&] { return slurp(path).find(text) != std::string::npos; }, ms);
}

} // namespace

bool become_subreaper() { return prctl(PR_SET_CHILD_SUBREAPER, 1) == 0; }

Daemon::Daemon(std::string root, std::string binary) : root_(std::move(root)), binary_(std::move(binary)) {
    reaps_ = become_subreaper();
}

Daemon::~Daemon() {
    if (pid_ > 0)
        stop();
}

bool Daemon::start() {
    std::string err = root_ + "/daemon.stderr";
    std::string out = root_ + "/daemon.stdout";
    std::string pidfile = root_ + "/var/run/tarvid.pid";
    unlink(pidfile.c_str());
    pid_t launcher = fork();
    if (launcher < 0)
        return false;
    if (launcher == 0) {
        int efd = open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        int ofd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (efd < 0 || ofd < 0)
            _exit(126);
        dup2(efd, 2);
        dup2(ofd, 1);
        setenv("TARVI_ROOT", root_.c_str(), 1);
        std::string command = target_command(binary_);
        if (command == binary_)
            execl(binary_.c_str(), "tarvid", static_cast<char *>(nullptr));
        else
            execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    waitpid(launcher, &launcher_status_, 0);
    if (!WIFEXITED(launcher_status_) || WEXITSTATUS(launcher_status_) != 0)
        return false;

    // The background child writes its pid, then starts serving.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < until) {
        std::string text = slurp(pidfile);
        if (!text.empty() && text.back() == '\n') {
            pid_ = static_cast<pid_t>(std::atoi(text.c_str()));
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (pid_ <= 0)
        return false;
    while (std::chrono::steady_clock::now() < until) {
        // A GET of a key nobody uses answers as soon as the loop runs.
        tarvi_request r = make_request(TARVI_REQUEST_TYPE_GET, "tarvi.test.ping", nullptr);
        if (request_for_tarvi(&r) == 0)
            return true;
        if (!running())
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

bool Daemon::running() const {
    if (pid_ <= 0)
        return false;
    // Look without reaping, so that stop() still collects the exit status.
    siginfo_t info = {};
    if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0)
        return info.si_pid == 0;
    return !vanished(pid_);
}

void Daemon::signal(int sig) const {
    if (pid_ > 0)
        kill(pid_, sig);
}

int Daemon::stop() {
    if (pid_ <= 0)
        return -1;
    kill(pid_, SIGTERM);
    int status = -1;
    if (!reaps_) {
        if (!eventually([this] { return vanished(pid_); }, 10000))
            kill(pid_, SIGKILL);
        pid_ = -1;
        return -1;
    }
    // A daemon that does not end on SIGTERM within 10 seconds is killed, so
    // that no test leaves one behind.
    for (int i = 0; i < 1000; ++i) {
        pid_t w = waitpid(pid_, &status, WNOHANG);
        if (w == pid_) {
            pid_ = -1;
            return status;
        }
        if (w < 0)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid_, SIGKILL);
    if (waitpid(pid_, &status, 0) != pid_)
        status = -1;
    pid_ = -1;
    return status;
}

namespace {

// The fields of /proc/PID/stat after the command name: field 3 (state) is
// [0], so field n of the whole line is [n - 3].
std::vector<std::string> stat_fields(pid_t pid) {
    std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
    std::vector<std::string> fields;
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos)
        return fields;
    std::istringstream in(stat.substr(paren + 1));
    for (std::string f; in >> f;)
        fields.push_back(f);
    return fields;
}

long status_field(pid_t pid, const std::string &name) {
    std::istringstream in(slurp("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, name.size() + 1, name + ":") == 0)
            return std::atol(line.c_str() + name.size() + 1);
    return -1;
}

} // namespace

std::set<std::string> fd_targets(pid_t pid) {
    namespace fs = std::filesystem;
    std::set<std::string> out;
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
        if (std::atoi(entry.path().filename().c_str()) >= 3)
            out.insert(fs::read_symlink(entry.path(), ec).string());
    return out;
}

std::vector<pid_t> child_pids(pid_t parent) {
    namespace fs = std::filesystem;
    std::vector<pid_t> out;
    std::error_code ec;
    bool listed = false;
    // Each thread's own list: reading the state of every process instead
    // can stall for many seconds on a busy kernel thread.
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(parent) + "/task", ec);
         !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::ifstream in(it->path() / "children");
        listed = listed || in.is_open();
        for (pid_t pid; in >> pid;)
            out.push_back(pid);
    }
    if (listed)
        return out;
    for (auto it = fs::directory_iterator("/proc", ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::string name = it->path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        auto fields = stat_fields(std::atoi(name.c_str()));
        if (fields.size() > 1 && std::atoi(fields[1].c_str()) == parent)
            out.push_back(std::atoi(name.c_str()));
    }
    return out;
}

Daemon::usage Daemon::usage_now() const {
    usage u;
    if (pid_ <= 0)
        return u;
    namespace fs = std::filesystem;
    std::error_code ec;
    u.fds = 0;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", ec);
         !ec && it != fs::directory_iterator(); it.increment(ec))
        ++u.fds;
    u.threads = static_cast<int>(status_field(pid_, "Threads"));
    u.rss_kb = status_field(pid_, "VmRSS");
    auto own = stat_fields(pid_);
    if (own.size() > 12)
        u.cpu_ticks = std::atol(own[11].c_str()) + std::atol(own[12].c_str());
    // Callback children are the daemon's own or its callback host's; the
    // host itself, which lives as long as the tree has callbacks, is not one.
    u.children = 0;
    for (pid_t pid : child_pids(pid_)) {
        std::string cmdline = slurp("/proc/" + std::to_string(pid) + "/cmdline");
        if (cmdline.find(std::string("\0--host", 7)) == std::string::npos) {
            ++u.children;
            continue;
        }
        u.host = pid;
        // The host's spare waits for a call that has not come.
        for (pid_t grandchild : child_pids(pid))
            u.children += slurp("/proc/" + std::to_string(grandchild) + "/comm") != "tarvi-cb-spare\n";
    }
    return u;
}

bool Daemon::host_back(const std::function<void()> &call, int ms) const {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (usage_now().host <= 0) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        call();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

std::string Daemon::stderr_text() const { return slurp(root_ + "/daemon.stderr"); }
std::string Daemon::stdout_text() const { return slurp(root_ + "/daemon.stdout"); }
bool Daemon::wait_stderr(const std::string &text, int ms) const { return wait_for(root_ + "/daemon.stderr", text, ms); }
bool Daemon::wait_stdout(const std::string &text, int ms) const { return wait_for(root_ + "/daemon.stdout", text, ms); }

std::string Daemon::sanitizer_report() const {
    std::string err = stderr_text();
    for (const char *mark : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"}) {
        size_t at = err.find(mark);
        if (at != std::string::npos)
            return err.substr(at, 2000);
    }
    return "";
}
