// The client library and the tarvi tool against a real daemon: flat calls,
// accounts, the settings-driven system information, and the tool's output,
// errors and exit codes; and the daemon on real block devices (loop devices
// over the sandbox partition files, found by label as on a device).
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "command.h"
#include "daemon.h"
#include "device.h"
#include "libtarvi.h"
#include "records.h"
#include "request.h"
#include "scratch.h"
#include "tarvi_cli.h"

namespace {

// A hash made by another program than ours, so that the account calls are
// checked against the system's own idea of each method.
std::string openssl_hash(const std::string &method, const std::string &salt, const std::string &password) {
    std::string hash = run_command("openssl passwd " + method + " -salt " + salt + " " + password).out;
    return hash.substr(0, hash.find('\n'));
}

class LibtarviTest : public ::testing::Test {
  protected:
    void SetUp() override {
        admin_hash_ = openssl_hash("-6", "s4ltS4lt", "admin-secret");
        ASSERT_EQ(0u, admin_hash_.find("$6$s4ltS4lt$")) << "openssl passwd did not run";
        // The power user shares the guest's name and has no password.
        std::string defaults = "GUEST_NAME=guest\nGUEST_PASSWD=" + openssl_hash("-1", "guestsal", "guest-secret") +
                               "\nADMIN_NAME=admin\nADMIN_PASSWD=" + admin_hash_ +
                               "\nPOWERUSER_NAME=guest\n"
                               "SYS_NAME=Test CPE\nSLIC_TYPE=3215\nVOIP_CH_NUM=\nwan.mode=dhcp\n"
                               "VPNC_NUM=3\nVPNC_STATUS=vpnc2,0;\n";
        lay_device(root_, defaults);
        root_.write("/proc/stat", "cpu  1 2 3 4\n");
        root_.write("/proc/meminfo", "MemTotal: 1000 kB\nMemFree: 400 kB\nBuffers: 100 kB\n");
        start();
    }
    void TearDown() override {
        daemon_->stop();
        EXPECT_EQ("", daemon_->sanitizer_report());
    }
    void start() {
        daemon_ = std::make_unique<Daemon>(root_.path());
        ASSERT_TRUE(daemon_->start()) << daemon_->stderr_text();
    }
    void restart() {
        daemon_->stop();
        start();
    }
    // The value of `key`, "(null)" when the daemon has none, "(failed)".
    static std::string get(const std::string &key) {
        std::string k = key;
        char *value = nullptr;
        if (tarvi_get(k.data(), &value) != 0)
            return "(failed)";
        std::string text = value ? value : "(null)";
        free(value);
        return text;
    }
    tool_result tarvi(const std::string &args, const std::string &input = "") { return run_tarvi(root_, args, input); }
    static int check(const char *id, const std::string &password, int salted = 0) {
        std::string i = id, p = password;
        return tarvi_check_passwd(i.data(), p.data(), salted);
    }

    ScratchRoot root_;
    std::unique_ptr<Daemon> daemon_;
    std::string admin_hash_;
};

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

} // namespace

TEST_F(LibtarviTest, FlatCallsAndTheirResults) {
    EXPECT_EQ("(null)", get("no.such.key"));
    // Refused by the daemon: a negative status is a failure.
    char nowhere[] = "/nonexistent/folder";
    EXPECT_EQ(-1, tarvi_chroot(nowhere));

    // Special keys that consult the daemon take its value, or their default
    // when it is empty.
    EXPECT_EQ("3215", get("slic_type"));
    EXPECT_EQ("2", get("voip_ch_num"));
    char name[TARVI_SYS_NAME_SIZE];
    ASSERT_EQ(0, tarvi_get_sys_name(name));
    EXPECT_STREQ("Test CPE", name);

    daemon_->stop();
    EXPECT_EQ("(failed)", get("wan.mode"));
    start();
}

TEST_F(LibtarviTest, AccountsCheckHashesMadeByTheSystem) {
    EXPECT_EQ(TARVI_ACCOUNT_GUEST, check("guest", "guest-secret")); // MD5, and the first row of a shared name
    EXPECT_EQ(TARVI_ACCOUNT_ADMIN, check("admin", "admin-secret")); // SHA-512
    EXPECT_EQ(TARVI_PASSWD_MISMATCH, check("admin", "Admin-secret"));
    EXPECT_EQ(TARVI_PASSWD_MISMATCH, check("admin", ""));
    EXPECT_EQ(TARVI_PASSWD_NO_ACCOUNT, check("root", "admin-secret"));
    EXPECT_EQ(TARVI_ACCOUNT_ADMIN, check("admin", admin_hash_, 1));
    EXPECT_EQ(TARVI_PASSWD_MISMATCH, check("admin", "admin-secret", 1));

    char admin[] = "admin", guest[] = "guest", visitor[] = "visitor", nobody[] = "nobody";
    EXPECT_EQ(TARVI_ACCOUNT_ADMIN, tarvi_check_username(admin));
    EXPECT_EQ(TARVI_ACCOUNT_GUEST, tarvi_check_username(guest));
    EXPECT_EQ(-1, tarvi_check_username(nobody));

    // A rename to a name another account uses is refused and changes
    // nothing: the administrator keeps the name and the password.
    auto names = [] { return get("GUEST_NAME") + "," + get("ADMIN_NAME") + "," + get("POWERUSER_NAME"); };
    const std::string stored = stored_text(root_);
    for (auto [from, to] : {std::pair{guest, admin}, std::pair{admin, guest}, std::pair{nobody, admin}}) {
        EXPECT_EQ(-1, tarvi_update_username(from, to)) << from << " to " << to;
        EXPECT_EQ("guest,admin,guest", names());
    }
    EXPECT_EQ(stored, stored_text(root_));
    EXPECT_EQ(TARVI_ACCOUNT_ADMIN, check("admin", "admin-secret"));
    ASSERT_EQ(TARVI_ACCOUNT_ADMIN, tarvi_update_username(admin, admin)); // its own name

    // Once the guest is renamed, "guest" is the power user, who has no
    // password: a mismatch, distinct from an unknown account.
    ASSERT_EQ(TARVI_ACCOUNT_GUEST, tarvi_update_username(guest, visitor));
    EXPECT_EQ(-1, tarvi_update_username(visitor, admin));
    EXPECT_EQ(TARVI_PASSWD_MISMATCH, check("guest", "guest-secret"));
    EXPECT_EQ(TARVI_PASSWD_MISMATCH, check("guest", ""));
    char empty[] = "";
    EXPECT_EQ(-1, tarvi_update_password(guest, empty, empty));
    char passwd_key[] = "POWERUSER_PASSWD";
    std::string sha256 = openssl_hash("-5", "powersal", "power-secret");
    ASSERT_EQ(0, tarvi_set(passwd_key, sha256.data()));
    EXPECT_EQ(TARVI_ACCOUNT_POWERUSER, check("guest", "power-secret")); // SHA-256

    // An empty stored hash is no password, whichever way it is checked.
    ASSERT_EQ(0, tarvi_set(passwd_key, empty));
    EXPECT_EQ(TARVI_PASSWD_MISMATCH, check("guest", "", 1));
    EXPECT_EQ(TARVI_PASSWD_MISMATCH, check("guest", ""));

    // A hash whose method the system does not know never matches.
    char broken[] = "$99$nonsense$";
    ASSERT_EQ(0, tarvi_set(passwd_key, broken));
    EXPECT_EQ(TARVI_PASSWD_MISMATCH, check("guest", "power-secret"));
    EXPECT_EQ(TARVI_PASSWD_MISMATCH, check("guest", ""));
    EXPECT_EQ(-1, tarvi_update_password(guest, empty, empty));

    // Neither passwords nor hashes reach the daemon's output.
    for (const std::string &secret : {std::string("secret"), std::string("s4ltS4lt"), std::string("powersal")}) {
        EXPECT_EQ(std::string::npos, daemon_->stderr_text().find(secret));
        EXPECT_EQ(std::string::npos, daemon_->stdout_text().find(secret));
    }
}

TEST_F(LibtarviTest, PasswordAndNameChangesSurviveARestart) {
    char admin[] = "admin", old_pw[] = "admin-secret", new_pw[] = "n3w-secret", wrong[] = "guess";
    EXPECT_EQ(-1, tarvi_update_password(admin, wrong, new_pw));
    ASSERT_EQ(0, tarvi_update_password(admin, old_pw, new_pw));
    std::string stored = get("ADMIN_PASSWD");
    EXPECT_EQ(0u, stored.find("$6$s4ltS4lt$")) << "the new hash keeps method and salt";
    EXPECT_EQ(stored, openssl_hash("-6", "s4ltS4lt", "n3w-secret"));

    restart();
    EXPECT_EQ(TARVI_ACCOUNT_ADMIN, check("admin", "n3w-secret"));
    EXPECT_EQ(TARVI_PASSWD_MISMATCH, check("admin", "admin-secret"));

    // The second form takes the old password as its hash.
    std::string hash = get("ADMIN_PASSWD");
    char again[] = "again-secret";
    ASSERT_EQ(0, tarvi_update_password2(admin, hash.data(), again));
    EXPECT_EQ(TARVI_ACCOUNT_ADMIN, check("admin", "again-secret"));

    char guest[] = "guest", visitor[] = "visitor";
    EXPECT_EQ(TARVI_ACCOUNT_GUEST, tarvi_update_username(guest, visitor));
    restart();
    EXPECT_EQ(TARVI_ACCOUNT_GUEST, tarvi_check_username(visitor));
    EXPECT_EQ(TARVI_ACCOUNT_POWERUSER, tarvi_check_username(guest));

    // With the daemon gone a rename reports failure.
    daemon_->stop();
    EXPECT_EQ(-1, tarvi_update_username(visitor, guest));
    start();
}

TEST_F(LibtarviTest, VpnClientProfilesFromSettings) {
    char list[TARVI_VPN_LIST_SIZE];
    char number[] = "VPNC_NUM", status[] = "VPNC_STATUS", missing[] = "NO_SUCH_KEY";
    // Profile 2 names ppp0, which is not up on this machine.
    tarvi_get_vpn_client_connection(list, nullptr, number, status);
    EXPECT_STREQ("0;0;0;", list);
    // Without a status text no profile is up.
    tarvi_get_vpn_client_connection(list, nullptr, number, missing);
    EXPECT_STREQ("0;0;0;", list);
    strcpy(list, "untouched");
    tarvi_get_vpn_client_connection(list, nullptr, missing, status);
    EXPECT_STREQ("untouched", list);
    // A huge count is cut at the buffer's size.
    char count[] = "100000";
    ASSERT_EQ(0, tarvi_set(number, count));
    tarvi_get_vpn_client_connection(list, nullptr, number, status);
    EXPECT_EQ(2046u, strlen(list));
}

TEST_F(LibtarviTest, CliFlatSubcommands) {
    EXPECT_EQ("0 dhcp\n|", run_text(tarvi("get wan.mode")));
    for (const char *args : {"set wan.mode static", "commit", "reload-default"})
        EXPECT_EQ(0, tarvi(args).status) << args;
    EXPECT_EQ("dhcp\n", tarvi("get wan.mode").out);
    EXPECT_EQ(0, tarvi("reload").status);
    EXPECT_EQ("static\n", tarvi("get wan.mode").out);

    // A relative backup name is the caller's folder, not the daemon's.
    EXPECT_EQ(0, tarvi("backup saved.cfg").status);
    EXPECT_TRUE(root_.exists("/saved.cfg"));
    EXPECT_EQ(0, tarvi("set wan.mode pppoe").status);
    EXPECT_EQ(0, tarvi("restore saved.cfg").status);
    EXPECT_EQ("static\n", tarvi("get wan.mode").out);
    for (const char *args : {"restore-default", "dset lan.ip 10.1.1.1", "dunset lan.ip"})
        EXPECT_EQ(0, tarvi(args).status) << args;

    EXPECT_EQ("1 |tarvi: no.such.key: no such key\n", run_text(tarvi("get no.such.key")));
    EXPECT_EQ("50000000\n", tarvi("get AHBCLK").out);
}

// The tool tells a daemon that refused apart from one it could not reach.
TEST_F(LibtarviTest, CliSaysWhetherTheDaemonRefusedOrWasNotReached) {
    // Flash that has gone away: the commit is refused.
    for (const char *label : {"ConfigPack1", "ConfigPack2"})
        ASSERT_EQ(0, unlink(root_.at(device_partition(label)).c_str()));
    EXPECT_EQ(0, tarvi("set wan.mode static").status);
    EXPECT_EQ("1 |tarvi: tarvid refused the commit; see its log\n", run_text(tarvi("commit")));
    EXPECT_EQ(0, tarvi("prop set ro.cli.once 1").status);
    tool_result r = tarvi("prop set ro.cli.once 2");
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(contains(r.err, "tarvid refused the prop set ro.cli.once")) << r.err;

    // A daemon that has died leaves its socket behind; then none is there.
    std::string socket = root_.at("/var/run/tarvi.socket");
    daemon_->stop();
    for (const std::string &gone : {"nobody answers on " + socket, "no socket at " + socket}) {
        for (const char *args : {"get wan.mode", "commit", "sc get sys/wan/mtu", "prop get ro.cli.once",
                                 "prop set a.b 1", "check-user admin"}) {
            EXPECT_EQ("1 |tarvi: tarvid is not running (" + gone + ")\n", run_text(tarvi(args))) << args;
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

TEST_F(LibtarviTest, CliUsageErrorsAndHelp) {
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

TEST_F(LibtarviTest, CliVerifySysinfoAndAccounts) {
    EXPECT_EQ(0, tarvi("verify ip_address 10.0.0.1").status);
    EXPECT_EQ("1 |Range : '256' invalid range(0 ~ 255)\n", run_text(tarvi("verify ip_address 256.0.0.1")));
    EXPECT_EQ(0, tarvi("verify range -5 -10 0").status);
    EXPECT_EQ(1, tarvi("verify string_size abcd 0 3").status);

    tool_result r = tarvi("sysinfo");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(contains(r.out, "cpu=0%\nmemory=50%\nuptime=")) << r.out;
    EXPECT_TRUE(contains(r.out, "\nname=Test CPE\n")) << r.out;

    EXPECT_EQ("0 1\n|", run_text(tarvi("check-user admin")));
    EXPECT_EQ("1 |tarvi: root: no such account\n", run_text(tarvi("check-user root")));
    EXPECT_EQ("0 0\n|", run_text(tarvi("check-password guest", "guest-secret\n")));
    // The wrong password is not echoed.
    EXPECT_EQ("1 |tarvi: guest: wrong password, or none is set\n",
              run_text(tarvi("check-password guest", "wrong-pw\n")));
    EXPECT_EQ(1, tarvi("check-password admin", "x\n").status);
    EXPECT_EQ(1, tarvi("check-password root", "x\n").status);
    EXPECT_EQ(2, tarvi("check-password guest", "").status);
}

namespace {

// Loop devices attached for one test, detached whatever happens.
class LoopDevices {
  public:
    ~LoopDevices() {
        for (const std::string &dev : devices_)
            (void)system(("losetup -d " + dev + " 2>/dev/null").c_str());
    }
    // Attaches `file`; returns the device path, or empty with *why set.
    std::string attach(const std::string &file, std::string *why) {
        command_result losetup = run_command("losetup --find --show " + file + " 2>&1");
        int status = losetup.status;
        std::string out = losetup.out;
        while (!out.empty() && out.back() == '\n')
            out.pop_back();
        struct stat st;
        if (status != 0 || out.rfind("/dev/loop", 0) != 0 || stat(out.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) {
            *why = out.empty() ? "losetup failed" : out;
            return "";
        }
        devices_.push_back(out);
        return out;
    }

  private:
    std::vector<std::string> devices_;
};

std::string get(const char *key) {
    tarvi_request r = make_request(TARVI_REQUEST_TYPE_GET, key, nullptr);
    return request_for_tarvi(&r) == 0 && r.value ? r.value : "<none>";
}

int call(int type, const char *key = nullptr, const char *value = nullptr) {
    tarvi_request r = make_request(type, key, value);
    return request_for_tarvi(&r) == 0 ? r.status : -100;
}

} // namespace

TEST(LoopDevice, CommitsAndReloadsOnBlockDevices) {
    if (geteuid() != 0)
        GTEST_SKIP() << "loop devices need root; this test runs the daemon on sandbox files elsewhere";
    ScratchRoot root;
    lay_device(root, "wan.mode=dhcp\nlan.ip=192.168.1.1\n");
    LoopDevices loops;
    std::string proc = "major minor  #blocks  name\n\n";
    for (const char *label : {"FactoryConfig", "ConfigPack1", "ConfigPack2"}) {
        std::string why;
        std::string dev = loops.attach(root.at(device_partition(label)), &why);
        if (dev.empty())
            GTEST_SKIP() << "no loop device available here (" << why << ")";
        std::string link = root.at(std::string("/dev/disk/by-partlabel/") + label);
        ASSERT_EQ(0, unlink(link.c_str()));
        ASSERT_EQ(0, symlink(dev.c_str(), link.c_str()));
        proc += "   7        0        " + std::to_string(DEVICE_PARTITION_SIZE / 1024) + " " + dev.substr(5) + "\n";
    }
    root.write("/proc/partitions", proc);

    Daemon d(root.path());
    ASSERT_TRUE(d.start()) << d.stderr_text();
    EXPECT_TRUE(d.wait_stderr("Init - Found FactoryConfig size: 256K"));
    EXPECT_EQ("dhcp", get("wan.mode"));
    ASSERT_EQ(0, call(TARVI_REQUEST_TYPE_SET, "wan.mode", "static"));
    ASSERT_EQ(0, call(TARVI_REQUEST_TYPE_COMMIT));
    ASSERT_EQ(0, call(TARVI_REQUEST_TYPE_DSET, "lan.ip", "10.0.0.1"));
    d.stop();
    ASSERT_TRUE(d.start()) << d.stderr_text();
    EXPECT_TRUE(d.wait_stderr("Init - ConfigPack2 has serialNo 1"));
    EXPECT_EQ("static", get("wan.mode"));
    // The factory edit shows under the user layer's value once that is dropped.
    EXPECT_EQ("192.168.1.1", get("lan.ip"));
    ASSERT_EQ(0, call(TARVI_REQUEST_TYPE_RELOAD_DEFAULT));
    EXPECT_EQ("10.0.0.1", get("lan.ip"));
    d.stop();
    EXPECT_EQ("", d.sanitizer_report());
}
