// The property service in a running daemon: persistence across a restart,
// services started and stopped through the sandbox's stubs, a service's exit
// seen by the daemon, request order, the self-test and the tarvi tool.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <thread>

#include "command.h"
#include "daemon.h"
#include "device.h"
#include "libtarvi.h"
#include "records.h"
#include "scratch.h"

namespace {

using namespace std::chrono_literals;

class PropDaemon : public ::testing::Test {
  protected:
    void SetUp() override {
        lay_device(root_, "wan.mode=dhcp\n");
        // The launcher stands for the service until it is killed; killall
        // kills what the launcher started. Both record their command line.
        std::string calls = root_.at("/calls"), pidfile = root_.at("/service.pid");
        write_stub("service-launcher",
                   "echo \"service-launcher $*\" >> " + calls + "\necho $$ > " + pidfile + "\nexec sleep 60\n");
        write_stub("killall", "echo \"killall $*\" >> " + calls + "\n[ -f " + pidfile + " ] && kill -9 $(cat " +
                                  pidfile + ")\nexit 0\n");
        root_.write("/init.demo.rc", "service demo /usr/bin/demo-daemon\n");
        root_.write("/default.prop", "ro.product = sandbox\nsys.mode=idle\n");
        std::string path = root_.at("/bin") + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
        setenv("PATH", path.c_str(), 1);
    }
    void TearDown() override {
        if (daemon_) {
            daemon_->stop();
            EXPECT_EQ("", daemon_->sanitizer_report());
        }
        kill_service();
    }
    void write_stub(const std::string &name, const std::string &body) {
        root_.write("/bin/" + name, "#!/bin/sh\n" + body);
        chmod(root_.at("/bin/" + name).c_str(), 0755);
    }
    void start() {
        daemon_ = std::make_unique<Daemon>(root_.path());
        ASSERT_TRUE(daemon_->start()) << daemon_->stderr_text();
    }
    void kill_service() {
        std::string pid = root_.read("/service.pid");
        if (!pid.empty())
            kill(static_cast<pid_t>(atoi(pid.c_str())), SIGKILL);
    }
    static std::string prop(const char *name) {
        char value[PROPERTY_VALUE_MAX + 1];
        return property_get(name, value, "<absent>") < 0 ? "<failed>" : value;
    }
    // Waits until property `name` reads `expect`.
    static bool prop_becomes(const char *name, const std::string &expect) {
        for (int i = 0; i < 500; ++i) {
            if (prop(name) == expect)
                return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
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

TEST_F(PropDaemon, ServicesStartStopAndTheirExitIsSeen) {
    start();
    EXPECT_EQ("<absent>", prop("init.svc.demo"));
    ASSERT_EQ(0, property_set("ctl.start", "demo"));
    EXPECT_EQ("running", prop("init.svc.demo"));
    for (int i = 0; i < 500 && root_.read("/service.pid").empty(); ++i)
        std::this_thread::sleep_for(10ms);

    // The service dies on its own: the daemon reaps it and says so.
    kill_service();
    EXPECT_TRUE(prop_becomes("init.svc.demo", "stopped")) << daemon_->stderr_text();

    root_.write("/service.pid", "");
    ASSERT_EQ(0, property_set("ctl.start", "demo"));
    EXPECT_EQ("running", prop("init.svc.demo"));
    for (int i = 0; i < 500 && root_.read("/service.pid").empty(); ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(0, property_set("ctl.stop", "demo"));
    EXPECT_EQ("stopped", prop("init.svc.demo"));
    EXPECT_EQ(0, property_set("ctl.restart", "demo"));
    EXPECT_EQ(-1, property_set("ctl.pause", "demo"));
    for (int i = 0; i < 500 && root_.read("/calls").find("killall") == std::string::npos; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ("service-launcher init.demo.rc\nservice-launcher init.demo.rc\nkillall -9 demo-daemon\n",
              root_.read("/calls"));
    EXPECT_TRUE(daemon_->running());
}

TEST_F(PropDaemon, RequestsAreServedInArrivalOrderWhileFlatCallsGoOn) {
    root_.write("/slow.rc", "on property:slow=1\n    sleep 1\n");
    start();
    std::atomic<long long> set_done{0};
    auto since = [t0 = std::chrono::steady_clock::now()] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    };
    std::thread slow([&] {
        EXPECT_EQ(0, property_set("slow", "1"));
        set_done = since();
    });
    std::this_thread::sleep_for(200ms);
    char *value = nullptr;
    ASSERT_EQ(0, tarvi_get(const_cast<char *>("wan.mode"), &value));
    free(value);
    long long flat_done = since();
    EXPECT_EQ("1", prop("slow"));
    long long get_done = since();
    slow.join();
    EXPECT_LT(flat_done, set_done.load()) << "the main thread does not wait for the property thread";
    // The set holds the property thread for the trigger's whole second, so
    // the later get cannot be answered before then. (Compared with when the
    // other client thread saw its own reply, the two replies could arrive in
    // either order.)
    EXPECT_GE(get_done, 1000) << "the later request is served after the earlier one";
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
    EXPECT_EQ("fallback\n", tarvi("prop get sys.none fallback").out);
    EXPECT_EQ(1, tarvi("prop set ro.product x").status);
    EXPECT_EQ(1, tarvi("prop get " + std::string(32, 'n')).status);
    EXPECT_NE(std::string::npos, root_.read("/err").find("name longer than 31 characters"));
    EXPECT_EQ(0, tarvi("prop reload").status);
    EXPECT_EQ(0, tarvi("prop debug 3").status);
    EXPECT_EQ(2, tarvi("prop debug loud").status);
    EXPECT_EQ(0, tarvi("prop test UT ro").status);
    EXPECT_EQ(2, tarvi("prop list").status);
    EXPECT_EQ(2, tarvi("prop set onlyname").status);
    r = tarvi("prop --help");
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.out.find("debug    LEVEL"));
}

} // namespace
