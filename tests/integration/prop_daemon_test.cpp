// The property service in a running daemon: persistence across a restart,
// services started and stopped through the sandbox's stubs whatever their
// launcher does, trigger commands that call back or hang, the self-test and
// the tarvi tool.
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

#include "command.h"
#include "daemon.h"
#include "device.h"
#include "libtarvi.h"
#include "prop_core.h"
#include "prop_proc.h"
#include "records.h"
#include "scratch.h"

namespace {

// Launchers of three kinds, chosen by the rc file: "demo" stays in the
// foreground as the service; "bg" starts the service in the background and
// returns; "ds" starts it in a session of its own (it leaves the launcher's
// process group) and returns. Each writes the service's pid to
// /<kind>.pid; "ds" returns a second later, so that a stop may come while
// it still runs. killall only records: stopping is the daemon's own work.
const char LAUNCHER[] = R"(case "$1" in
init.demo.rc) echo $$ > "$ROOT/demo.pid"; exec sleep 60 ;;
init.bg.rc) sleep 61 & echo $! > "$ROOT/bg.pid" ;;
init.ds.rc) setsid /bin/sleep 62 & echo $! > "$ROOT/ds.pid"; sleep 1 ;;
esac
)";

class PropDaemon : public ::testing::Test {
  protected:
    void SetUp() override {
        lay_device(root_, "wan.mode=dhcp\n");
        std::string calls = root_.at("/calls");
        write_stub("service-launcher",
                   "ROOT=" + root_.path() + "\necho \"service-launcher $*\" >> " + calls + "\n" + LAUNCHER);
        write_stub("killall", "echo \"killall $*\" >> " + calls + "\n");
        root_.write("/init.demo.rc", "service demo /usr/bin/demo-daemon\n");
        root_.write("/init.bg.rc", "service bg /usr/bin/bg-daemon\n");
        root_.write("/init.ds.rc", "service ds /bin/sleep 62\n");
        root_.write("/default.prop", "ro.product = sandbox\nsys.mode=idle\n");
        std::string path = root_.at("/bin") + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
        setenv("PATH", path.c_str(), 1);
    }
    void TearDown() override {
        if (daemon_) {
            daemon_->stop();
            EXPECT_EQ("", daemon_->sanitizer_report());
        }
        for (const char *kind : {"/demo.pid", "/bg.pid", "/ds.pid"})
            if (pid_t pid = static_cast<pid_t>(atoi(root_.read(kind).c_str())); pid > 0)
                kill(pid, SIGKILL);
    }
    void write_stub(const std::string &name, const std::string &body) {
        root_.write("/bin/" + name, "#!/bin/sh\n" + body);
        chmod(root_.at("/bin/" + name).c_str(), 0755);
    }
    void start() {
        daemon_ = std::make_unique<Daemon>(root_.path());
        ASSERT_TRUE(daemon_->start()) << daemon_->stderr_text();
    }
    // The pid the launcher recorded for `kind`, once it has; 0 if never.
    pid_t service_pid(const std::string &kind) {
        std::string pid;
        eventually([&] { return !(pid = root_.read("/" + kind + ".pid")).empty(); });
        return static_cast<pid_t>(atoi(pid.c_str()));
    }
    // True once `pid` is gone (or a zombie, reaped here when it is ours).
    static bool gone(pid_t pid) {
        return eventually([pid] {
            struct prop_proc_t p;
            if (prop_proc_read(pid, &p) == 0 && p.state != 'Z')
                return false;
            waitpid(pid, nullptr, WNOHANG); // ours when it was started by a test
            return true;
        });
    }
    size_t launches(const std::string &kind) {
        std::string calls = root_.read("/calls"), line = "service-launcher init." + kind + ".rc\n";
        size_t n = 0;
        for (size_t at = calls.find(line); at != std::string::npos; at = calls.find(line, at + 1))
            ++n;
        return n;
    }
    static std::string prop(const char *name) {
        char value[PROPERTY_VALUE_MAX + 1];
        return property_get(name, value, "<absent>") < 0 ? "<failed>" : value;
    }
    // Waits until property `name` reads `expect`.
    static bool prop_becomes(const char *name, const std::string &expect) {
        return eventually([&] { return prop(name) == expect; });
    }

    ScratchRoot root_;
    std::unique_ptr<Daemon> daemon_;
};

TEST_F(PropDaemon, SetGetRules) {
    start();
    EXPECT_EQ("sandbox", prop("ro.product"));
    EXPECT_EQ(-1, property_set("ro.product", "other"));
    EXPECT_EQ(0, property_set("sys.empty", nullptr));
    EXPECT_EQ("", prop("sys.empty"));
    EXPECT_EQ(0, property_debug(const_cast<char *>("9"), nullptr));
}

// Whatever the launcher does with the service, its state follows the
// service's process, a second start starts no second copy, a stop stops it,
// and a property reload forgets none of it.
TEST_F(PropDaemon, ServicesFollowTheirProcessWhateverTheLauncherDoes) {
    start();
    for (const std::string kind : {"demo", "bg", "ds"}) {
        SCOPED_TRACE(kind);
        std::string state = "init.svc." + kind;
        EXPECT_EQ("<absent>", prop(state.c_str()));
        ASSERT_EQ(0, property_set("ctl.start", kind.c_str()));
        pid_t service = service_pid(kind);
        ASSERT_GT(service, 0);
        EXPECT_EQ(0, property_reload());
        for (int round = 0; round < 2; ++round) {
            EXPECT_EQ(0, property_set("ctl.start", kind.c_str()));
            EXPECT_EQ("running", prop(state.c_str()));
        }
        EXPECT_EQ(1u, launches(kind)) << root_.read("/calls");
        EXPECT_TRUE(daemon_->wait_stderr("svc is running! " + kind));

        // Stopped by the daemon, not by the (recording) killall.
        ASSERT_EQ(0, property_set("ctl.stop", kind.c_str()));
        EXPECT_EQ("stopped", prop(state.c_str()));
        EXPECT_TRUE(gone(service));
        EXPECT_EQ(0, property_set("ctl.stop", kind.c_str()));
        EXPECT_TRUE(daemon_->wait_stderr("svc is stopped " + kind));

        // Started again; this time the service dies on its own.
        root_.write("/" + kind + ".pid", "");
        ASSERT_EQ(0, property_set("ctl.start", kind.c_str()));
        service = service_pid(kind);
        ASSERT_GT(service, 0);
        EXPECT_EQ(2u, launches(kind));
        kill(service, SIGKILL);
        EXPECT_TRUE(gone(service));
        EXPECT_TRUE(prop_becomes(state.c_str(), "stopped")) << daemon_->stderr_text();
    }
    EXPECT_EQ(0, property_set("ctl.restart", "demo"));
    EXPECT_EQ(-1, property_set("ctl.pause", "demo"));
    EXPECT_EQ(-1, property_set("ctl.start", "nosuch"));
    EXPECT_NE(std::string::npos, root_.read("/calls").find("killall -9 demo-daemon\n"));
    EXPECT_TRUE(daemon_->running());
}

TEST_F(PropDaemon, ATriggerAndAServiceOfOneNameStayApart) {
    root_.write("/init.tw.rc",
                "on property:tw=1\n    setprop tw.fired 1\n\nservice tw /bin/touch " + root_.at("/tw.ran") + "\n");
    start();
    EXPECT_EQ(0, property_set("tw", "1"));
    EXPECT_TRUE(prop_becomes("tw.fired", "1"));
    EXPECT_FALSE(root_.exists("/tw.ran")) << "the trigger ran the service's command";
    EXPECT_EQ(0, property_set("ctl.stop", "tw"));
    std::string calls;
    eventually([&] { return !(calls = root_.read("/calls")).empty(); });
    EXPECT_NE(std::string::npos, calls.find("killall -9 tw.ran\n")) << calls;
    EXPECT_EQ(std::string::npos, calls.find("killall -9 1\n")) << calls;
}

// Trigger commands run while the property thread serves others: a command
// may call back into the daemon, a set waits for its commands at most
// PROP_COMMAND_WAIT_MS, and the trigger's later commands run after the
// command, or once its wait has run out.
TEST_F(PropDaemon, TriggerCommandsNeverHoldUpTheService) {
    std::string tarvi = target_command(TARVI_CLI_PATH);
    write_stub("call-back", tarvi + " prop get dl.x > " + root_.at("/dl.out") + "\n" + tarvi + " prop set dl.y seen\n");
    write_stub("held", "touch " + root_.at("/held.started") + "\nfor i in $(seq 1000); do [ -f " +
                           root_.at("/held.release") + " ] && break; sleep 0.05; done\ntouch " +
                           root_.at("/held.ended") + "\n");
    root_.write("/dl.rc", "on property:dl.go=1\n    call-back\n    setprop dl.done 1\n\n"
                          "on property:slow=1\n    held\n    setprop slow.after 1\n\n"
                          "on property:hang=1\n    held\n\non property:hang=2\n    held\n\n"
                          "on property:ok=1\n    touch " +
                              root_.at("/ok.ran") + "\n");
    start();
    ASSERT_EQ(0, property_set("dl.x", "from the daemon"));
    ASSERT_EQ(0, property_set("dl.go", "1"));
    EXPECT_TRUE(prop_becomes("dl.done", "1"));
    EXPECT_EQ("seen", prop("dl.y"));
    EXPECT_EQ("from the daemon\n", root_.read("/dl.out"));

    std::chrono::milliseconds took{0};
    std::thread slow([&] {
        auto sent = std::chrono::steady_clock::now();
        EXPECT_EQ(0, property_set("slow", "1"));
        took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sent);
    });
    ASSERT_TRUE(eventually([&] { return root_.exists("/held.started"); }));
    // Others are served while the command runs and the set waits for it.
    EXPECT_EQ("1", prop("slow"));
    EXPECT_EQ(0, property_set("sys.other", "x"));
    EXPECT_FALSE(root_.exists("/held.ended"));
    slow.join(); // answered once its wait ran out; the trigger went on
    EXPECT_GE(took.count(), PROP_COMMAND_WAIT_MS);
    EXPECT_TRUE(prop_becomes("slow.after", "1"));
    EXPECT_FALSE(root_.exists("/held.ended"));

    // A command that hangs uses up its own room only: a third copy of it is
    // not started, other commands still are.
    EXPECT_EQ(0, property_set("hang", "1"));
    EXPECT_EQ(0, property_set("hang", "2"));
    EXPECT_TRUE(daemon_->wait_stderr("Too many commands running:2, 2 of them this one, not run:held"));
    EXPECT_EQ(0, property_set("ok", "1"));
    EXPECT_TRUE(eventually([&] { return root_.exists("/ok.ran"); }));
    root_.write("/held.release", "");
    EXPECT_TRUE(eventually([&] { return root_.exists("/held.ended"); }));
}

TEST_F(PropDaemon, SelfTestRunsInTheClientAndInTheDaemon) {
    start();
    EXPECT_EQ(0, property_test(const_cast<char *>("UT"), const_cast<char *>("normal_ro_persist")));
    // Sent as a request, the unit tests run on the daemon's property thread.
    tarvi_request r = make_request(TARVI_REQUEST_TYPE_PROP_TEST, "UT", "all");
    EXPECT_EQ(0, request_for_tarvi(&r));
    EXPECT_TRUE(daemon_->wait_stderr(":]--- OK!"));
    EXPECT_EQ(std::string::npos, daemon_->stderr_text().find("Test Fail!")) << daemon_->stderr_text();
    EXPECT_EQ(0, property_test(const_cast<char *>("DUMP"), nullptr));
    EXPECT_TRUE(daemon_->wait_stderr("Dumping services..."));
    EXPECT_EQ(0, property_test(const_cast<char *>("exec_func"), nullptr));
    EXPECT_EQ(0, property_test(const_cast<char *>("system_func"), nullptr));
    EXPECT_TRUE(daemon_->running());
}

TEST_F(PropDaemon, ToolSubcommands) {
    start();
    auto tarvi = [&](const std::string &args) {
        std::string cmd =
            "TARVI_ROOT=" + root_.path() + " " + target_command(TARVI_CLI_PATH) + " " + args + " 2>" + root_.at("/err");
        return run_command(cmd);
    };
    EXPECT_EQ(0, tarvi("prop set sys.color blue").status);
    command_result r = tarvi("prop get sys.color");
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("blue\n", r.out);
    EXPECT_NE(std::string::npos, tarvi("prop list sys.").out.find("sys.color=blue\n"));
    EXPECT_EQ("fallback\n", tarvi("prop get sys.none fallback").out);
    EXPECT_EQ(1, tarvi("prop set ro.product x").status);
    EXPECT_EQ(1, tarvi("prop get " + std::string(32, 'n')).status);
    EXPECT_NE(std::string::npos, root_.read("/err").find("name longer than 31 characters"));
    EXPECT_EQ(0, tarvi("prop reload").status);
    EXPECT_EQ(0, tarvi("prop debug 3").status);
    EXPECT_EQ(2, tarvi("prop debug loud").status);
    EXPECT_EQ(0, tarvi("prop test UT ro").status);
    EXPECT_EQ(2, tarvi("prop lst").status);
    EXPECT_EQ(2, tarvi("prop set onlyname").status);
    r = tarvi("prop --help");
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.out.find("debug    LEVEL"));
}

} // namespace
