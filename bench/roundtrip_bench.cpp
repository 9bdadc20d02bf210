// Round trips of one client through the real daemon, against a floor: a bare
// socket server that only echoes each record. Every benchmark runs the same
// client call (request_for_tarvi: pack, connect, write, read, unpack, close),
// so the gap between the floor and the daemon is what the daemon itself costs
// per request.
//
// The daemon and the floor each live in a sandbox of their own; a benchmark
// picks its server by switching the process's device root before it runs.
//
// The access policy's cost: a second daemon runs with a policy file. The
// BM_Policy benchmarks ask both daemons in turn from a child process that
// has dropped to a user that is not root and holds its rights through a
// supplementary group, the longest path of the check (ids, groups, lookups),
// and compare the round trips.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <map>
#include <sched.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "daemon.h"
#include "device.h"
#include "libtarvi.h"
#include "paths.h"
#include "scratch.h"
#include "tarvid_access.h"

namespace {

// The daemon should cost at most this much over the floor.
constexpr double TARGET_RATIO = 1.5;
// ... and a policy at most this share over no policy.
constexpr double POLICY_TARGET = 0.05;

// Long enough for a stable figure, short enough that the three benchmarks
// take 10 to 20 seconds together.
constexpr double MIN_TIME_S = 3.0;

const char GET_KEY[] = "bench.get";
const char GET_VALUE[] = "short-value";
const char SET_KEY[] = "bench.set";
const char *const SET_VALUES[2] = {"on", "off"};

std::string daemon_root, floor_root, policy_root;

// The user the policy benchmarks ask as, with its rights from the last of
// its groups.
constexpr uid_t PEER_ID = 65534;
const gid_t PEER_GROUPS[] = {4301, 4302, 4303, 4304, 4305, 4306, 4307, 4300};
const char POLICY[] = "# front ends\nuid:33 all\ngid:4301 prop-get\ngid:4302 tree-get\ngid:4300 get, set\n";

// The servers' pids, for the handler to stop them when a signal ends the run
// early (-1: none), and the signal that did.
volatile sig_atomic_t daemon_pid = -1, policy_pid = -1, floor_pid = -1, interrupted = 0;

void on_terminate(int sig) {
    interrupted = sig;
    // Killing the servers makes the running benchmark fail at its next call
    // and the rest skip, so main gets to stop, reap and remove everything.
    if (daemon_pid > 0)
        kill(daemon_pid, SIGTERM);
    if (policy_pid > 0)
        kill(policy_pid, SIGTERM);
    if (floor_pid > 0)
        kill(floor_pid, SIGKILL);
}

void install_handlers() {
    struct sigaction sa = {};
    sa.sa_handler = on_terminate;
    sigemptyset(&sa.sa_mask);
    // A second signal of the same kind ends the process at once.
    sa.sa_flags = static_cast<int>(SA_RESETHAND);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);
    // A server that died mid-request must fail the call, not kill the run.
    signal(SIGPIPE, SIG_IGN);
}

// ---- the floor ----

// In the child: accept, one read, echo, close; forever.
[[noreturn]] void floor_serve(int listen_fd) {
    char buf[TARVI_REQUEST_MAX_SIZE];
    for (;;) {
        int fd = accept(listen_fd, nullptr, nullptr);
        if (fd < 0)
            continue;
        ssize_t got = read(fd, buf, sizeof buf);
        if (got > 0) {
            ssize_t put = write(fd, buf, static_cast<size_t>(got));
            (void)put;
        }
        close(fd);
    }
}

// A forked echo server bound at the floor sandbox's socket path.
class FloorServer {
  public:
    explicit FloorServer(std::string socket_path) : path_(std::move(socket_path)) {}
    ~FloorServer() { stop(); }
    FloorServer(const FloorServer &) = delete;
    FloorServer &operator=(const FloorServer &) = delete;

    // Returns once the child listens; false (with a message) when it could not.
    bool start() {
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        if (path_.size() >= sizeof addr.sun_path) {
            fprintf(stderr, "floor: socket path too long: %s\n", path_.c_str());
            return false;
        }
        memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
        auto addr_len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + path_.size() + 1);

        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0)
            return false;
        pid_t parent = getpid();
        pid_ = fork();
        if (pid_ < 0) {
            close(ready[0]);
            close(ready[1]);
            return false;
        }
        if (pid_ == 0) {
            // Only system calls from here on: the child never returns.
            for (int sig : {SIGINT, SIGTERM, SIGHUP})
                signal(sig, SIG_DFL);
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent)
                _exit(1);
            close(ready[0]);
            int err = 0;
            unlink(addr.sun_path);
            int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            // The daemon's backlog, so both queue connections alike.
            if (fd < 0 || bind(fd, reinterpret_cast<struct sockaddr *>(&addr), addr_len) != 0 || listen(fd, 5) != 0)
                err = errno ? errno : EINVAL;
            ssize_t put = write(ready[1], &err, sizeof err);
            (void)put;
            close(ready[1]);
            if (err)
                _exit(1);
            floor_serve(fd);
        }
        floor_pid = pid_;
        close(ready[1]);
        int err = -1;
        ssize_t got;
        do {
            got = read(ready[0], &err, sizeof err);
        } while (got < 0 && errno == EINTR);
        close(ready[0]);
        if (got != static_cast<ssize_t>(sizeof err) || err != 0) {
            fprintf(stderr, "floor: cannot listen on %s: %s\n", path_.c_str(),
                    got == static_cast<ssize_t>(sizeof err) ? strerror(err) : "server exited");
            return false;
        }
        return true;
    }

    void stop() {
        if (pid_ <= 0)
            return;
        floor_pid = -1;
        kill(pid_, SIGKILL);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }

  private:
    std::string path_;
    pid_t pid_ = -1;
};

// Stops and reaps whatever descendants are still around: the bench is the
// reaper of the daemon's orphans, so this is the last guard against a server
// left running by a start that failed half way.
void reap_leftovers() {
    std::string list = "/proc/" + std::to_string(getpid()) + "/task/" + std::to_string(getpid()) + "/children";
    std::ifstream in(list);
    for (long pid; in >> pid;) {
        if (pid > 0) {
            kill(static_cast<pid_t>(pid), SIGKILL);
            waitpid(static_cast<pid_t>(pid), nullptr, 0);
        }
    }
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

// ---- the client loop ----

// The process's effective ids and groups as the peer's while it lives: the
// kernel hands the daemon those. The real uid stays root, so they come back.
class AsPeer {
  public:
    AsPeer() {
        int n = getgroups(0, nullptr);
        saved_.resize(n > 0 ? static_cast<size_t>(n) : 0);
        ok_ = getuid() == 0 && getgroups(n, saved_.data()) == n &&
              setgroups(std::size(PEER_GROUPS), PEER_GROUPS) == 0 && setegid(PEER_ID) == 0 && seteuid(PEER_ID) == 0;
    }
    ~AsPeer() {
        // Without its ids back the run could not stop its daemons.
        if (seteuid(0) != 0 || setegid(0) != 0 || setgroups(saved_.size(), saved_.data()) != 0)
            abort();
    }
    AsPeer(const AsPeer &) = delete;
    AsPeer &operator=(const AsPeer &) = delete;
    bool ok() const { return ok_; }

  private:
    std::vector<gid_t> saved_;
    bool ok_ = false;
};

// False (and the benchmark marked failed) when the run cannot start.
bool use_server(benchmark::State &state, const std::string &root) {
    if (interrupted) {
        state.SkipWithError("interrupted");
        return false;
    }
    tarvi_set_root(root.c_str());
    return true;
}

// Fills `r` for one request; each call of request_for_tarvi consumes it.
void fill_request(tarvi_request *r, int type, char *key, char *value) {
    r->magic = TARVI_REQUEST_MAGIC;
    r->type = static_cast<uint16_t>(type);
    r->status = 0;
    r->reservedLen = 0;
    r->key = key;
    r->value = value;
}

// One GET of `key` per iteration; the reply must carry `expect` (null: no
// value, as the floor echoes the request back).
void get_loop(benchmark::State &state, const char *expect) {
    char key[sizeof GET_KEY];
    memcpy(key, GET_KEY, sizeof key);
    tarvi_request r;
    for (auto _ : state) {
        fill_request(&r, TARVI_REQUEST_TYPE_GET, key, nullptr);
        if (request_for_tarvi(&r) != 0) {
            state.SkipWithError("request_for_tarvi failed");
            break;
        }
        bool right = expect ? (r.value && strcmp(r.value, expect) == 0) : !r.value;
        if (!right || !r.key || strcmp(r.key, GET_KEY) != 0) {
            state.SkipWithError("wrong reply to GET");
            break;
        }
    }
    state.counters["req/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_DaemonGet(benchmark::State &state) {
    if (use_server(state, daemon_root))
        get_loop(state, GET_VALUE);
}

void BM_FloorEcho(benchmark::State &state) {
    if (use_server(state, floor_root))
        get_loop(state, nullptr);
}

// One SET per iteration, of alternating values.
void set_loop(benchmark::State &state) {
    char key[sizeof SET_KEY];
    memcpy(key, SET_KEY, sizeof key);
    char values[2][8];
    for (int i = 0; i < 2; ++i)
        snprintf(values[i], sizeof values[i], "%s", SET_VALUES[i]);
    tarvi_request r;
    unsigned n = 0;
    for (auto _ : state) {
        // Alternating values, so that every SET really changes the store.
        fill_request(&r, TARVI_REQUEST_TYPE_SET, key, values[n++ & 1]);
        if (request_for_tarvi(&r) != 0) {
            state.SkipWithError("request_for_tarvi failed");
            break;
        }
    }
    state.counters["req/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    if (state.error_occurred() || n == 0)
        return;
    // The store must hold the last value set.
    fill_request(&r, TARVI_REQUEST_TYPE_GET, key, nullptr);
    if (request_for_tarvi(&r) != 0 || !r.value || strcmp(r.value, SET_VALUES[(n - 1) & 1]) != 0)
        state.SkipWithError("the store does not hold the last value set");
}

void BM_DaemonSet(benchmark::State &state) {
    if (use_server(state, daemon_root))
        set_loop(state);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// One pair of requests of `type` as the peer, to the daemon without and
// with a policy in the order that `n` picks, each timed: took[0] without,
// took[1] with. False when one failed (errno says why).
bool timed_pair(int type, unsigned n, double took[2]) {
    char key[sizeof SET_KEY > sizeof GET_KEY ? sizeof SET_KEY : sizeof GET_KEY];
    snprintf(key, sizeof key, "%s", type == TARVI_REQUEST_TYPE_SET ? SET_KEY : GET_KEY);
    char value[8];
    snprintf(value, sizeof value, "%s", SET_VALUES[n & 1]);
    tarvi_request r;
    for (int i = 0; i < 2; ++i) {
        int which = (i + static_cast<int>(n)) & 1; // 1: the daemon with a policy
        tarvi_set_root((which ? policy_root : daemon_root).c_str());
        fill_request(&r, type, key, type == TARVI_REQUEST_TYPE_SET ? value : nullptr);
        auto start = std::chrono::steady_clock::now();
        int rc = request_for_tarvi(&r);
        std::chrono::duration<double, std::micro> us = std::chrono::steady_clock::now() - start;
        if (rc != 0)
            return false;
        took[which] = us.count();
    }
    return true;
}

// Pairs of requests the peer sends per round; each round starts with one
// more, untimed, since the first after the peer's wait for the round meets
// colder caches than those after it.
constexpr int ROUND_PAIRS = 16;

// What the peer answers for a round: the times without and with a policy of
// each pair, and 0, or the errno of a failure (-1: it could not drop).
struct round_answer {
    double took[ROUND_PAIRS][2];
    double error;
};

// The peer: a child process that has dropped to PEER_ID and PEER_GROUPS for
// good (real ids too, as a front end started as that user has them), and
// sends a round of pairs of requests each time the benchmark asks over
// `sock`.
[[noreturn]] void peer_main(int sock, int type) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    bool dropped = setgroups(std::size(PEER_GROUPS), PEER_GROUPS) == 0 && setgid(PEER_ID) == 0 && setuid(PEER_ID) == 0;
    unsigned n;
    while (read(sock, &n, sizeof n) == static_cast<ssize_t>(sizeof n)) {
        round_answer answer = {};
        double warm[2];
        if (!dropped)
            answer.error = -1;
        else if (!timed_pair(type, n, warm))
            answer.error = errno ? errno : EIO;
        for (int i = 0; i < ROUND_PAIRS && answer.error == 0; ++i)
            if (!timed_pair(type, n + static_cast<unsigned>(i), answer.took[i]))
                answer.error = errno ? errno : EIO;
        if (write(sock, &answer, sizeof answer) != static_cast<ssize_t>(sizeof answer))
            break;
    }
    _exit(0);
}

// Sets the CPUs of every thread of `pid` (or of the calling thread, for 0).
void set_cpus(pid_t pid, const cpu_set_t &cpus) {
    if (pid == 0) {
        sched_setaffinity(0, sizeof cpus, &cpus);
        return;
    }
    std::error_code ec;
    for (const auto &task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec))
        sched_setaffinity(static_cast<pid_t>(std::atoi(task.path().filename().c_str())), sizeof cpus, &cpus);
}

// While it lives, both daemons (every thread) and the peer forked meanwhile
// run on one CPU, the last this process may use: where their threads land
// otherwise changes from run to run, and with it either daemon's round trip
// by more than the policy costs. One CPU is the device's lot too.
class OneCpu {
  public:
    OneCpu() {
        sched_getaffinity(0, sizeof all_, &all_);
        int last = -1;
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
            if (CPU_ISSET(cpu, &all_))
                last = cpu;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(last < 0 ? 0 : last, &one);
        apply(one);
    }
    ~OneCpu() { apply(all_); }
    OneCpu(const OneCpu &) = delete;
    OneCpu &operator=(const OneCpu &) = delete;

  private:
    void apply(const cpu_set_t &cpus) {
        set_cpus(0, cpus);
        for (sig_atomic_t pid : {daemon_pid, policy_pid})
            if (pid > 0)
                set_cpus(static_cast<pid_t>(pid), cpus);
    }
    cpu_set_t all_;
};

// As the peer, requests of `type` alternately to the daemon without and with
// a policy, one of each per pair in changing order, a round of pairs per
// iteration, all on one CPU: both meet the same load, so their medians
// compare even on a busy machine. Counters: the median round trips and the
// policy's cost in percent.
void paired_loop(benchmark::State &state, int type) {
    OneCpu one_cpu;
    int sv[2];
    if (getuid() != 0 || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        state.SkipWithError("the policy benchmarks change their ids: run them as root");
        return;
    }
    pid_t peer = fork();
    if (peer == 0) {
        close(sv[0]);
        peer_main(sv[1], type);
    }
    close(sv[1]);
    std::vector<double> took[2];
    unsigned n = 0;
    for (auto _ : state) {
        round_answer answer;
        if (peer < 0 || write(sv[0], &n, sizeof n) != static_cast<ssize_t>(sizeof n) ||
            read(sv[0], &answer, sizeof answer) != static_cast<ssize_t>(sizeof answer) || answer.error < 0) {
            state.SkipWithError("the peer could not drop to its ids or died");
            break;
        }
        if (answer.error > 0) {
            state.SkipWithError(answer.error == EPERM ? "the policy refused the request" : "request_for_tarvi failed");
            break;
        }
        for (const auto &pair : answer.took) {
            took[0].push_back(pair[0]);
            took[1].push_back(pair[1]);
        }
        n += ROUND_PAIRS;
    }
    close(sv[0]);
    if (peer > 0)
        waitpid(peer, nullptr, 0);
    double plain = median(took[0]), policy = median(took[1]);
    state.counters["plain_us"] = plain;
    state.counters["policy_us"] = policy;
    state.counters["cost_%"] = plain > 0 ? (policy / plain - 1) * 100 : 0;
}

void BM_PolicyGet(benchmark::State &state) {
    if (use_server(state, policy_root))
        paired_loop(state, TARVI_REQUEST_TYPE_GET);
}

void BM_PolicySet(benchmark::State &state) {
    if (use_server(state, policy_root))
        paired_loop(state, TARVI_REQUEST_TYPE_SET);
}

// The check alone, in this process, under the policy daemon's policy, on a
// connection of the peer's (a socket pair made with the peer's ids carries
// them). Its time against a round trip is the policy's cost, free of the
// noise that a shared machine puts into round trips.
void BM_AccessCheck(benchmark::State &state) {
    tarvi_set_root(policy_root.c_str());
    access_load();
    int sv[2] = {-1, -1};
    {
        AsPeer peer;
        if (!peer.ok() || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
            state.SkipWithError("cannot make the peer's connection: run as root");
            return;
        }
    }
    char key[sizeof GET_KEY];
    memcpy(key, GET_KEY, sizeof key);
    tarvi_request r;
    fill_request(&r, TARVI_REQUEST_TYPE_GET, key, nullptr);
    // The ids that come with the peer's record; its groups the check asks
    // the kernel for, as the daemon does.
    struct ucred sent = {getpid(), PEER_ID, PEER_ID};
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (!access_permits(sv[0], &r, &sent)) {
            state.SkipWithError("the policy refused the peer");
            break;
        }
    }
    std::chrono::duration<double, std::micro> us = std::chrono::steady_clock::now() - start;
    if (state.iterations() > 0)
        state.counters["check_us"] = us.count() / static_cast<double>(state.iterations());
    close(sv[0]);
    close(sv[1]);
}

// ---- reporting ----

// Passes every report to the display the command line chose and keeps each
// benchmark's req/s for the ratios.
class RateReporter : public benchmark::BenchmarkReporter {
  public:
    // The library owns the display reporter.
    RateReporter() : display_(benchmark::CreateDefaultDisplayReporter()) {}

    bool ReportContext(const Context &context) override { return display_->ReportContext(context); }
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.error_occurred) {
                ++failed;
                continue;
            }
            // With repetitions, the mean stands for the benchmark.
            bool mean = run.run_type == Run::RT_Aggregate && run.aggregate_name == "mean";
            if (run.run_type != Run::RT_Iteration && !mean)
                continue;
            auto it = run.counters.find("req/s");
            if (it != run.counters.end())
                rates[run.run_name.function_name] = it->second.value;
            for (const char *name : {"plain_us", "policy_us", "cost_%", "check_us"}) {
                it = run.counters.find(name);
                if (it != run.counters.end())
                    paired[run.run_name.function_name][name] = it->second.value;
            }
        }
        display_->ReportRuns(runs);
    }
    void Finalize() override { display_->Finalize(); }

    std::map<std::string, double> rates;
    std::map<std::string, std::map<std::string, double>> paired; // counters of the policy benchmarks
    int failed = 0;

  private:
    benchmark::BenchmarkReporter *display_;
};

void print_ratio(const RateReporter &rep, const char *label, const char *daemon_bench) {
    auto f = rep.rates.find("BM_FloorEcho");
    auto d = rep.rates.find(daemon_bench);
    if (f == rep.rates.end() || d == rep.rates.end() || d->second <= 0) {
        printf("ratio floor/daemon %s: n/a\n", label);
        return;
    }
    double ratio = f->second / d->second;
    printf("ratio floor/daemon %s: %.2fx (floor %.0f req/s, daemon %.0f req/s) %s\n", label, ratio, f->second,
           d->second, ratio <= TARGET_RATIO ? "within target" : "ABOVE TARGET");
}

void print_policy_cost(const RateReporter &rep, const char *label, const char *bench) {
    auto it = rep.paired.find(bench);
    if (it == rep.paired.end() || !it->second.count("cost_%")) {
        printf("policy cost %s: n/a\n", label);
        return;
    }
    double cost = it->second.at("cost_%");
    printf("policy cost %s: %+.1f %% (median round trip %.1f us without a policy, %.1f us with one) %s\n", label, cost,
           it->second.at("plain_us"), it->second.at("policy_us"),
           cost <= POLICY_TARGET * 100 ? "within target" : "ABOVE TARGET");
}

void print_check_cost(const RateReporter &rep) {
    auto check = rep.paired.find("BM_AccessCheck");
    auto get = rep.rates.find("BM_DaemonGet");
    if (check == rep.paired.end() || !check->second.count("check_us") || get == rep.rates.end() || get->second <= 0) {
        printf("access check: n/a\n");
        return;
    }
    double us = check->second.at("check_us"), round_trip = 1e6 / get->second;
    printf("access check: %.2f us per request, %.1f %% of a GET round trip without a policy (%.1f us) %s\n", us,
           us / round_trip * 100, round_trip, us / round_trip <= POLICY_TARGET ? "within target" : "ABOVE TARGET");
}

// A fixed MinTime would override the command line's, so it is set only when
// the command line has none.
bool min_time_given(int argc, char **argv) {
    const char flag[] = "benchmark_min_time";
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        while (*arg == '-')
            ++arg;
        if (arg != argv[i] && strncmp(arg, flag, sizeof flag - 1) == 0)
            return true;
    }
    return false;
}

int run(bool fixed_min_time) {
    ScratchRoot daemon_box;
    lay_device(daemon_box,
               std::string(GET_KEY) + "=" + GET_VALUE + "\n" + SET_KEY + "=" + SET_VALUES[1] + "\nbench.other=1\n");
    ScratchRoot floor_box;
    make_dirs(floor_box.at("/var/run"));
    ScratchRoot policy_box;
    lay_device(policy_box,
               std::string(GET_KEY) + "=" + GET_VALUE + "\n" + SET_KEY + "=" + SET_VALUES[1] + "\nbench.other=1\n");
    policy_box.write("/etc/tarvi/access.conf", POLICY);
    // Reachable for the peer, as "/var/run" is on a device.
    chmod(policy_box.path().c_str(), 0755);
    daemon_root = daemon_box.path();
    floor_root = floor_box.path();
    policy_root = policy_box.path();

    // Declared after the sandboxes, so both servers stop before those go.
    Daemon daemon(daemon_root);
    struct PidGuard {
        volatile sig_atomic_t *pid;
        ~PidGuard() { *pid = -1; }
    } forget_daemon_first{&daemon_pid};
    tarvi_set_root(daemon_root.c_str());
    bool up = daemon.start();
    daemon_pid = daemon.pid();
    if (!up) {
        fprintf(stderr, "tarvid did not come up; its standard error:\n%s\n", daemon.stderr_text().c_str());
        return 1;
    }
    // The peer asks this daemon too; without a policy it checks nobody.
    chmod(daemon_root.c_str(), 0755);
    chmod(daemon_box.at(TARVI_SOCKET_PATH).c_str(), 0666);
    Daemon policy_daemon(policy_root);
    PidGuard forget_policy_daemon_first{&policy_pid};
    tarvi_set_root(policy_root.c_str());
    bool policy_up = policy_daemon.start();
    policy_pid = policy_daemon.pid();
    if (!policy_up) {
        fprintf(stderr, "tarvid with a policy did not come up; its standard error:\n%s\n",
                policy_daemon.stderr_text().c_str());
        return 1;
    }
    FloorServer floor(floor_box.at(TARVI_SOCKET_PATH));
    if (!floor.start())
        return 1;

    const struct {
        const char *name;
        void (*fn)(benchmark::State &);
    } benches[] = {{"BM_DaemonGet", BM_DaemonGet}, {"BM_PolicyGet", BM_PolicyGet}, {"BM_DaemonSet", BM_DaemonSet},
                   {"BM_PolicySet", BM_PolicySet}, {"BM_FloorEcho", BM_FloorEcho}, {"BM_AccessCheck", BM_AccessCheck}};
    for (const auto &bench : benches) {
        // The client mostly waits on the server: wall time is what counts.
        auto *b = benchmark::RegisterBenchmark(bench.name, bench.fn)->Unit(benchmark::kMicrosecond)->UseRealTime();
        if (fixed_min_time)
            b->MinTime(MIN_TIME_S);
    }
    RateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    bool alive[2] = {daemon.running(), policy_daemon.running()};
    floor.stop();
    daemon_pid = -1;
    daemon.stop();
    policy_pid = -1;
    policy_daemon.stop();
    if (interrupted)
        return 1;
    print_ratio(reporter, "GET", "BM_DaemonGet");
    print_ratio(reporter, "SET", "BM_DaemonSet");
    print_policy_cost(reporter, "GET", "BM_PolicyGet");
    print_policy_cost(reporter, "SET", "BM_PolicySet");
    print_check_cost(reporter);
    // A daemon's standard error goes with its sandbox: show it when the
    // daemon died or a sanitizer spoke.
    const Daemon *daemons[2] = {&daemon, &policy_daemon};
    for (int i = 0; i < 2; ++i) {
        std::string err = daemons[i]->stderr_text();
        bool sanitizer = err.find("Sanitizer") != std::string::npos || err.find("runtime error:") != std::string::npos;
        if (!alive[i] || sanitizer) {
            fprintf(stderr, "tarvid%s %s; its standard error:\n%s\n", i ? " with a policy" : "",
                    alive[i] ? "reported errors" : "died during the run", err.c_str());
            return 1;
        }
    }
    return reporter.failed ? 1 : 0;
}

} // namespace

int main(int argc, char **argv) {
    bool fixed_min_time = !min_time_given(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    install_handlers();
    int rc = 1;
    try {
        rc = run(fixed_min_time);
    } catch (const std::exception &e) {
        fprintf(stderr, "roundtrip_bench: %s\n", e.what());
    }
    reap_leftovers();
    if (int sig = interrupted) {
        signal(sig, SIG_DFL);
        raise(sig);
    }
    return rc;
}
