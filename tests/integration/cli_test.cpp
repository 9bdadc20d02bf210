// The tarvi tool against a sandboxed daemon: output, errors and exit codes.
#include <cstdio>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/wait.h>

#include "command.h"
#include "daemon.h"
#include "device.h"
#include "scratch.h"
#include "tarvi_cli.h"

namespace {

class CliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // "guest-pw" hashed by the system's tool.
        std::string hash = run_command("openssl passwd -6 -salt clisalt1 guest-pw").out;
        ASSERT_FALSE(hash.empty());
        lay_device(root_, std::string("GUEST_NAME=guest\nGUEST_PASSWD=") + hash +
                              "ADMIN_NAME=admin\nwan.mode=dhcp\nSYS_NAME=Sandbox CPE\n");
        root_.write("/proc/stat", "cpu  1 2 3 4\n");
        root_.write("/proc/meminfo", "MemTotal: 1000 kB\nMemFree: 400 kB\nBuffers: 100 kB\n");
        daemon_ = std::make_unique<Daemon>(root_.path());
        ASSERT_TRUE(daemon_->start()) << daemon_->stderr_text();
    }
    void TearDown() override {
        daemon_->stop();
        EXPECT_EQ("", daemon_->sanitizer_report());
    }

    tool_result tarvi(const std::string &args, const std::string &input = "") { return run_tarvi(root_, args, input); }

    ScratchRoot root_;
    std::unique_ptr<Daemon> daemon_;
};

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

} // namespace

TEST_F(CliTest, FlatSubcommands) {
    tool_result r = tarvi("get wan.mode");
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("dhcp\n", r.out);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(0, tarvi("set wan.mode static").status);
    EXPECT_EQ(0, tarvi("commit").status);
    EXPECT_EQ(0, tarvi("reload-default").status);
    EXPECT_EQ("dhcp\n", tarvi("get wan.mode").out);
    EXPECT_EQ(0, tarvi("reload").status);
    EXPECT_EQ("static\n", tarvi("get wan.mode").out);

    // A relative backup name is the caller's folder, not the daemon's.
    EXPECT_EQ(0, tarvi("backup saved.cfg").status);
    EXPECT_TRUE(root_.exists("/saved.cfg"));
    EXPECT_EQ(0, tarvi("set wan.mode pppoe").status);
    EXPECT_EQ(0, tarvi("restore saved.cfg").status);
    EXPECT_EQ("static\n", tarvi("get wan.mode").out);
    EXPECT_EQ(0, tarvi("restore-default").status);
    EXPECT_EQ(0, tarvi("dset lan.ip 10.1.1.1").status);
    EXPECT_EQ(0, tarvi("dunset lan.ip").status);

    r = tarvi("get no.such.key");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("tarvi: no.such.key: no such key\n", r.err);
    EXPECT_EQ("50000000\n", tarvi("get AHBCLK").out);
}

// The tool tells a daemon that refused apart from one it could not reach.
TEST_F(CliTest, SaysWhetherTheDaemonRefusedOrWasNotReached) {
    // Flash that has gone away: the commit is refused.
    for (const char *label : {"ConfigPack1", "ConfigPack2"})
        ASSERT_EQ(0, unlink(root_.at(device_partition(label)).c_str()));
    EXPECT_EQ(0, tarvi("set wan.mode static").status);
    tool_result r = tarvi("commit");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("tarvi: tarvid refused the commit; see its log\n", r.err);
    EXPECT_EQ(0, tarvi("prop set ro.cli.once 1").status);
    r = tarvi("prop set ro.cli.once 2");
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(contains(r.err, "tarvid refused the prop set ro.cli.once")) << r.err;

    // A daemon that has died leaves its socket behind; then none is there.
    std::string socket = root_.at("/var/run/tarvi.socket");
    daemon_->stop();
    for (const std::string &gone : {"nobody answers on " + socket, "no socket at " + socket}) {
        for (const char *args : {"get wan.mode", "commit", "sc get sys/wan/mtu", "prop get ro.cli.once",
                                 "prop set a.b 1", "check-user admin"}) {
            r = tarvi(args);
            EXPECT_EQ(1, r.status) << args;
            EXPECT_EQ("", r.out) << args;
            EXPECT_EQ("tarvi: tarvid is not running (" + gone + ")\n", r.err) << args;
        }
        unlink(socket.c_str());
    }
    ASSERT_TRUE(daemon_->start());
}

// A checkout or temporary folder may lie deep: every path the daemon, the
// library and the tool build under the root works however long the root is.
TEST(DeepRoot, SetCommitRestartGet) {
    for (size_t length : {200, 2000}) {
        ScratchRoot root(length);
        lay_device(root, "wan.mode=dhcp\n");
        Daemon daemon(root.path());
        ASSERT_TRUE(daemon.start()) << length << ": " << daemon.stderr_text();
        EXPECT_EQ(0, run_tarvi(root, "set wan.mode static").status);
        tool_result r = run_tarvi(root, "commit");
        EXPECT_EQ(0, r.status) << length << ": " << r.err;
        daemon.stop();
        ASSERT_TRUE(daemon.start()) << length;
        r = run_tarvi(root, "get wan.mode");
        EXPECT_EQ("static\n", r.out) << length << ": " << r.err;
        EXPECT_EQ(std::string::npos, daemon.stderr_text().find("too long")) << daemon.stderr_text();
        daemon.stop();
    }
}

TEST_F(CliTest, UsageErrorsAndHelp) {
    for (const char *args :
         {"", "frobnicate", "set only-a-key", "get a b", "verify nosuch 1", "verify range 5", "verify range 5 1 x",
          "verify ip_address 1.2.3.4 7", "sc", "sc frobnicate", "sc set only-a-uri"}) {
        tool_result r = tarvi(args);
        EXPECT_EQ(2, r.status) << args;
        EXPECT_EQ("", r.out) << args;
        EXPECT_TRUE(contains(r.err, "usage: tarvi")) << args << ": " << r.err;
    }
    tool_result r = tarvi("--help");
    EXPECT_EQ(0, r.status);
    for (const char *cmd :
         {"get", "reload-default", "restore-default", "dunset", "verify", "sysinfo", "check-user", "check-password"})
        EXPECT_TRUE(contains(r.out, std::string("\n  ") + cmd + " ")) << cmd;
    r = tarvi("sc --help");
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(contains(r.out, "usage: tarvi sc SUBCOMMAND")) << r.out;
    r = tarvi("sc get sys/no/such/node");
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(contains(r.err, "sys/no/such/node")) << r.err;
    r = tarvi("verify --help");
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(contains(r.out, "ascii_exclude_comma*"));
}

TEST_F(CliTest, VerifySysinfoAndAccounts) {
    EXPECT_EQ(0, tarvi("verify ip_address 10.0.0.1").status);
    tool_result r = tarvi("verify ip_address 256.0.0.1");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("Range : '256' invalid range(0 ~ 255)\n", r.err);
    EXPECT_EQ(0, tarvi("verify range -5 -10 0").status);
    EXPECT_EQ(1, tarvi("verify string_size abcd 0 3").status);

    r = tarvi("sysinfo");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(contains(r.out, "cpu=0%\nmemory=50%\nuptime=")) << r.out;
    EXPECT_TRUE(contains(r.out, "\nname=Sandbox CPE\n")) << r.out;

    r = tarvi("check-user admin");
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("1\n", r.out);
    r = tarvi("check-user root");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("tarvi: root: no such account\n", r.err);

    r = tarvi("check-password guest", "guest-pw\n");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("0\n", r.out);
    r = tarvi("check-password guest", "wrong-pw\n");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("tarvi: guest: wrong password, or none is set\n", r.err);
    EXPECT_FALSE(contains(r.out + r.err, "wrong-pw"));
    EXPECT_EQ(1, tarvi("check-password admin", "x\n").status); // no password stored
    EXPECT_EQ(1, tarvi("check-password root", "x\n").status);
    EXPECT_EQ(2, tarvi("check-password guest", "").status);
}
