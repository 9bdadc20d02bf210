// Client values that look like shell syntax, sent through every request that
// may end in a command the daemon runs: none of them may run.
#include <chrono>
#include <cstdlib>
#include <filesystem>
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
#include "tree_device.h"

namespace fs = std::filesystem;

namespace {

class ShellSyntax : public ::testing::Test {
  protected:
    void SetUp() override {
        lay_tree_device(root_, "S2D_ALLOW_RESUME=0\nSEC_KEY=k0\n", "tests/fixtures/callbacks/usr");
        // Service control through recording stubs, as on a device.
        std::string calls = root_.at("/calls");
        write_stub("service-launcher", "echo \"service-launcher $*\" >> " + calls + "\n");
        write_stub("killall", "echo \"killall $*\" >> " + calls + "\n");
        root_.write("/init.demo.rc", "service demo /usr/bin/demo-daemon\n");
        std::string path = root_.at("/bin") + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
        setenv("PATH", path.c_str(), 1);
        daemon_ = start_tree_daemon(root_);
        ASSERT_TRUE(daemon_);
    }
    void TearDown() override { stop_tree_daemon(daemon_); }
    void write_stub(const std::string &name, const std::string &body) {
        root_.write("/bin/" + name, "#!/bin/sh\n" + body);
        chmod(root_.at("/bin/" + name).c_str(), 0755);
    }
    int status_of(int type, const std::string &key, const std::string &value) {
        tarvi_request r = make_request(type, key.c_str(), value.c_str());
        return request_for_tarvi(&r) == 0 ? r.status : -100;
    }

    ScratchRoot root_;
    std::unique_ptr<Daemon> daemon_;
};

TEST_F(ShellSyntax, ClientValuesNeverRunAsCommands) {
    std::string mark = root_.at("/pwned");
    const std::string values[] = {"foo;touch " + mark, "$(touch " + mark + ")", "`touch " + mark + "`",
                                  "x' ; touch " + mark + " ; '", "x\ntouch " + mark};
    for (const auto &v : values) {
        // Flat settings, committed, and the factory defaults.
        status_of(TARVI_REQUEST_TYPE_SET, "SEC_KEY", v);
        status_of(TARVI_REQUEST_TYPE_COMMIT, "", "");
        status_of(TARVI_REQUEST_TYPE_DSET, "SEC_KEY", v);
        // Properties: plain, persistent, and service control, whose value
        // names a service.
        property_set("sec.value", v.c_str());
        property_set("persist.sec.value", v.c_str());
        property_set("ctl.start", v.c_str());
        property_set("ctl.stop", v.c_str());
        property_set("ctl.start", ("demo;touch " + mark).c_str());
        // A tree node whose set callback is a shell command, and one whose
        // verification runs in a callback child.
        tarvi_sc_set(const_cast<char *>("sys/cbt/shell"), const_cast<char *>(v.c_str()));
        tarvi_sc_set(const_cast<char *>("sys/cbt/verified"), const_cast<char *>(v.c_str()));
        // Paths: a backup, a restore and a change of root.
        std::string file = root_.at("/backup" + v);
        status_of(TARVI_REQUEST_TYPE_BACKUP_CFGFILE, file, "");
        status_of(TARVI_REQUEST_TYPE_RESTORE_CFGFILE, file, "");
        status_of(TARVI_REQUEST_TYPE_CHROOT, v, "");
    }
    // The one service that exists is started by its declared name only.
    EXPECT_EQ(0, property_set("ctl.start", "demo"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(fs::exists(mark));
    EXPECT_EQ("service-launcher init.demo.rc\n", root_.read("/calls"));
    EXPECT_TRUE(daemon_->running());
}

} // namespace

// The callback helper loads objects named by callback files, which a restored
// backup may bring: only file names in the library folder, never a path.
TEST(CallbackHelper, LoadsOnlyObjectsOfTheLibraryFolder) {
    ScratchRoot root;
    std::string daemon = TARVID_PATH;
    std::string helper = daemon.substr(0, daemon.rfind('/')) + "/tarvi-callback";
    for (const char *so : {"../tmp/sc/libevil.so", "/tmp/libevil.so", ""}) {
        command_result r = run_command(target_command(helper) + " '" + so + "' fn sys/x IPC00001 IPC00002 -1");
        EXPECT_EQ(1, r.status) << so;
        EXPECT_NE(std::string::npos, r.out.find("not a file name")) << so << ": " << r.out;
    }
}
