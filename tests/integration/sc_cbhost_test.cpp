// The callback host of a real daemon: what its children may hold, what a
// callback object may do to it, and what the daemon does when the host dies,
// hangs or serves objects that a reload has replaced.
#include <chrono>
#include <csignal>
#include <filesystem>
#include <future>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "command.h"
#include "daemon.h"
#include "sc_ops_cb.h"
#include "tree_device.h"

namespace fs = std::filesystem;

namespace {

int tree_set(const char *uri, const char *value) {
    return tarvi_sc_set(const_cast<char *>(uri), const_cast<char *>(value));
}

// The children of `parent`: those that run a call, or (`spares`) those that
// wait for one.
std::vector<pid_t> children_of(pid_t parent, bool spares = false) {
    std::vector<pid_t> out;
    for (pid_t pid : child_pids(parent))
        if ((read_file("/proc/" + std::to_string(pid) + "/comm") == "tarvi-cb-spare\n") == spares)
            out.push_back(pid);
    return out;
}

// Ended: reaped, or a zombie that only its reaper still has to collect.
bool gone(pid_t pid) {
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return close == std::string::npos || stat.compare(close + 2, 1, "Z") == 0;
}

long rss_kb(pid_t pid) {
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

class CallbackHost : public ::testing::Test {
  protected:
    void SetUp() override {
        lay_tree_device(root_, "S2D_ALLOW_RESUME=0\n", "tests/fixtures/callbacks/usr");
        daemon_ = start_tree_daemon(root_);
        ASSERT_TRUE(daemon_);
        host_ = serving_host();
        ASSERT_GT(host_, 0) << daemon_->stderr_text();
    }
    void TearDown() override {
        // Nothing the callbacks started is left, the host's children included.
        EXPECT_TRUE(eventually([&] { return daemon_->usage_now().children == 0; }, 8000));
        stop_tree_daemon(daemon_);
    }

    // The running host once it is up and the one before `old` has gone, or -1.
    pid_t current_host(pid_t old = -1) {
        pid_t host = -1;
        eventually(
            [&] { return (host = daemon_->usage_now().host) > 0 && host != old && (old <= 0 || kill(old, 0) != 0); },
            8000);
        return host;
    }

    // The pid of the process that ran a verification just now.
    std::string verifier_parent() {
        EXPECT_EQ(0, tree_set("sys/cbt/leaky", "who"));
        return flat_value("CBT_PARENT");
    }

    // Writes through a verified node until a host other than `old` runs
    // its callback (a host takes calls once it has loaded its objects, and
    // the daemon restarts a failed host at a later call); every write
    // meanwhile passes, through the helper.
    pid_t serving_host(pid_t old = -1) {
        for (int i = 0; i < 200; ++i) {
            std::string parent = verifier_parent();
            pid_t host = daemon_->usage_now().host;
            if (host > 0 && host != old && parent == std::to_string(host))
                return host;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return -1;
    }

    ScratchRoot root_;
    std::unique_ptr<Daemon> daemon_;
    pid_t host_ = -1;
};

// Neither the host nor a child it runs holds any descriptor of the daemon's
// (from 3 up), and a child holds none of the host's but its own call's.
TEST_F(CallbackHost, NoDescriptorOfTheDaemonReachesTheHostOrItsChildren) {
    ASSERT_EQ(0, tree_set("sys/cbt/verified", "warm"));
    // The children of earlier calls may still be winding up.
    ASSERT_TRUE(eventually([&] { return children_of(host_).empty(); }, 5000));
    // A get callback that hangs: its child lives while its fds are read.
    auto read = std::async(std::launch::async, [] {
        char *value = nullptr;
        tarvi_sc_get(const_cast<char *>("sys/cbt/hang"), &value);
        free(value);
    });
    // Once the read has given up waiting, the child hangs inside the function.
    read.get();
    std::vector<pid_t> kids = children_of(host_);
    ASSERT_EQ(1u, kids.size());
    std::set<std::string> daemon_fds = fd_targets(daemon_->pid()), host_fds = fd_targets(host_),
                          kid_fds = fd_targets(kids[0]);
    for (const std::string &target : host_fds)
        EXPECT_EQ(0u, daemon_fds.count(target)) << "host holds the daemon's " << target;
    for (const std::string &target : kid_fds) {
        EXPECT_EQ(0u, daemon_fds.count(target)) << "child holds the daemon's " << target;
        EXPECT_EQ(0u, target.find("socket:")) << "child holds " << target;
    }
    EXPECT_LE(kid_fds.size(), 1u) << "more than its own call's socket";
    std::string control = fs::read_symlink("/proc/" + std::to_string(host_) + "/fd/3").string();
    EXPECT_EQ(0u, kid_fds.count(control)) << "child holds the host's control socket";
}

// A callback that counts its calls in a global, leaks memory and a
// descriptor: every call starts from the state the object had when loaded,
// and the host does not grow.
TEST_F(CallbackHost, EachCallStartsFreshAndALeakCostsOnlyItsOwnCall) {
    ASSERT_EQ(0, tree_set("sys/cbt/leaky", "first"));
    // No call runs, and the spare for the next is waiting.
    auto idle = [&] {
        return eventually([&] { return children_of(host_).empty() && children_of(host_, true).size() == 1; }, 5000);
    };
    ASSERT_TRUE(idle());
    long rss = rss_kb(host_);
    size_t fds = fd_targets(host_).size();
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(0, tree_set("sys/cbt/leaky", ("v" + std::to_string(i)).c_str()));
        ASSERT_EQ("OK1", flat_value("CBT_LEAK")) << "call " << i;
    }
    EXPECT_EQ(host_, daemon_->usage_now().host);
    ASSERT_TRUE(idle());
    EXPECT_LE(rss_kb(host_), rss + 256);
    EXPECT_EQ(fds, fd_targets(host_).size());
}

// The child that waits for the next call: a call that finds it gone runs in
// a child forked for it, a new spare follows, and none outlives its host.
TEST_F(CallbackHost, ASpareLostBeforeItsCallCostsNoCall) {
    std::vector<pid_t> spares;
    ASSERT_TRUE(eventually([&] { return (spares = children_of(host_, true)).size() == 1; }, 5000));
    pid_t lost = spares[0];
    // It holds nothing but its socket to the host.
    EXPECT_EQ(1u, fd_targets(lost).size());
    kill(lost, SIGKILL);
    // Reaped by the host, which so knows it lost it (a zombie may still be
    // closing its descriptors: under an emulator the threads of a killed
    // process end after the one whose state shows).
    ASSERT_TRUE(eventually([&] { return kill(lost, 0) != 0; }, 5000));
    ASSERT_EQ(0, tree_set("sys/cbt/leaky", "after"));
    EXPECT_EQ("OK1", flat_value("CBT_LEAK"));
    EXPECT_EQ(std::to_string(host_), flat_value("CBT_PARENT"));
    ASSERT_TRUE(eventually([&] { return (spares = children_of(host_, true)).size() == 1; }, 5000));
    EXPECT_NE(lost, spares[0]);
    // The host goes: its spare goes with it, and a new host comes.
    kill(host_, SIGKILL);
    EXPECT_TRUE(eventually([&] { return gone(spares[0]); }, 5000));
    EXPECT_GT(serving_host(host_), 0);
}

// The host killed in the middle of a call, or stopped: the call ends at once
// (killed) or at its limit (stopped) without an answer, what the host ran
// goes with it, later calls pass through the helper, and a new host takes
// over.
TEST_F(CallbackHost, AHostThatDiesOrHangsIsReplacedAndTheHelperServesMeanwhile) {
    struct fault {
        const char *name;
        int signal;
        bool mid_call;
    };
    for (const fault &f : {fault{"killed in a call", SIGKILL, true}, fault{"stopped", SIGSTOP, false}}) {
        SCOPED_TRACE(f.name);
        pid_t old = serving_host();
        ASSERT_GT(old, 0);
        std::string before = tree_value("sys/cbt/slow");
        auto start = std::chrono::steady_clock::now();
        std::future<int> write;
        if (f.mid_call) {
            write = std::async(std::launch::async, [] { return tree_set("sys/cbt/slow", "slow"); });
            ASSERT_TRUE(eventually([&] { return !children_of(old).empty(); }, 5000));
            kill(old, f.signal);
        } else {
            kill(old, f.signal);
            write = std::async(std::launch::async, [] { return tree_set("sys/cbt/slow", "lost"); });
        }
        EXPECT_EQ(-1, write.get());
        double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_LT(took, 2.5) << "the call waited beyond its limit";
        EXPECT_EQ(before, tree_value("sys/cbt/slow"));
        // A stopped host is given up once the call's kill time has passed.
        EXPECT_TRUE(daemon_->wait_stderr("Callback host " + std::to_string(old), 10000));
        // The old host and whatever it ran are gone, none left a zombie.
        EXPECT_TRUE(eventually([&] { return kill(old, 0) != 0; }, 5000));
        EXPECT_TRUE(eventually([&] { return daemon_->usage_now().children == 0; }, 5000));
        pid_t fresh = serving_host(old);
        EXPECT_GT(fresh, 0);
        EXPECT_NE(old, fresh);
        EXPECT_EQ(0, tree_set("sys/cbt/slow", f.name));
    }
}

// A host that is only slow -- stopped past a call's wait and beyond the
// time the daemon gives it to start the call, then going on -- is not given
// up: the call is refused at the end of its wait, the helper serves while
// the host owes its start, the call's child is killed at the end of its own
// time counted from its start, and then the same host serves again.
TEST_F(CallbackHost, AHostLateToStartACallIsNotGivenUp) {
    std::string before = tree_value("sys/cbt/slow");
    ASSERT_EQ(0, kill(host_, SIGSTOP));
    EXPECT_EQ(-1, tree_set("sys/cbt/slow", "slow"));
    auto refused = std::chrono::steady_clock::now();
    EXPECT_NE(std::to_string(host_), verifier_parent());
    std::this_thread::sleep_until(refused + std::chrono::milliseconds(SC_CB_KILL_GRACE_MS + 500));
    ASSERT_EQ(0, kill(host_, SIGCONT));
    EXPECT_TRUE(daemon_->wait_stderr("outlived its time", 10000));
    EXPECT_EQ(host_, serving_host());
    EXPECT_EQ(std::string::npos, daemon_->stderr_text().find("Callback host " + std::to_string(host_)));
    EXPECT_EQ(before, tree_value("sys/cbt/slow"));
}

// A reload after a firmware change of a callback object: the host serves
// the new object, not the one it had loaded.
TEST_F(CallbackHost, AReloadWithAChangedObjectRefreshesTheHost) {
    ASSERT_EQ(0, tree_set("sys/cbt/verified", "before"));
    // The new object lacks the verification: no write of the node passes.
    fs::copy_file(root_.at("/lib/libsc_sys.so"), root_.at("/lib/libcbtest.so.new"));
    fs::rename(root_.at("/lib/libcbtest.so.new"), root_.at("/lib/libcbtest.so"));
    ASSERT_EQ(0, tarvi_sc_reload());
    EXPECT_EQ(-1, tree_set("sys/cbt/verified", "after"));
    EXPECT_EQ("init", tree_value("sys/cbt/verified"));
    pid_t fresh = current_host(host_);
    EXPECT_GT(fresh, 0);
    // A reload that changes nothing keeps the host.
    ASSERT_EQ(0, tarvi_sc_reload());
    EXPECT_EQ(-1, tree_set("sys/cbt/verified", "again"));
    EXPECT_EQ(fresh, daemon_->usage_now().host);
}

} // namespace
