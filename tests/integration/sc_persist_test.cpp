// The tree survives a commit and a power cut: values changed through the
// client (literal, key-bound, in new instances) come back after the daemon
// is killed and started again on the same partitions with an empty working
// folder, and so does a restore of the defaults.
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <string>

#include "daemon.h"
#include "device.h"
#include "libtarvi.h"
#include "scratch.h"
#include "tree_device.h"

namespace fs = std::filesystem;

namespace {

const char DEFAULTS[] = "S2D_ALLOW_RESUME=0\nWAN_MTU=1500\nHOSTS=10.0.0.1\n";

const char SYS_PROFILE[] = "sys;A:R,G:R;node;;\n"
                           "sys/name;A:RW,G:R;string;;v(box)\n"
                           "sys/mtu;A:RW,G:R;uint;;k(WAN_MTU)\n"
                           "sys/hosts;A:RWAD,G:R;node;;\n"
                           "sys/hosts/-1;A:RW,G:R;node;;\n"
                           "sys/hosts/-1/Name;A:RW,G:R;string;;v(host$1)\n"
                           "sys/hosts/-1/IP;A:RW,G:R;string;;k(HOSTS)split(;){$1}\n"
                           "sys/hosts/1;A:RW,G:R;node;;\n";

// A management view whose instances stand for "sys" instances.
const char VIEW_PROFILE[] = "view;A:R,G:R;node;;\n"
                            "view/Hosts;A:RWAD,G:R;node;;\n"
                            "view/Hosts/-1;A:RW,G:R;node;;r(./sys/hosts/-1)\n"
                            "view/Hosts/-1/HostName;A:RW,G:R;string;;r(./sys/hosts/$1/Name)\n";

char *c(const char *s) { return const_cast<char *>(s); }

u_16 instances(const char *uri) {
    u_16 n = 0;
    EXPECT_EQ(0, tarvi_sc_query_inst_number(c(uri), &n)) << uri;
    return n;
}

class TreePersistence : public ::testing::Test {
  protected:
    void SetUp() override {
        lay_device(root_, DEFAULTS);
        write_file("/usr/sc/profile0/sys.profile", SYS_PROFILE);
        write_file("/usr/sc/profile0/view.profile", VIEW_PROFILE);
        start();
    }
    void TearDown() override { stop_tree_daemon(daemon_); }

    void write_file(const std::string &path, const std::string &text) {
        fs::create_directories(fs::path(root_.at(path)).parent_path());
        std::unique_ptr<FILE, int (*)(FILE *)> f(fopen(root_.at(path).c_str(), "w"), fclose);
        ASSERT_TRUE(f);
        fputs(text.c_str(), f.get());
    }
    void start() {
        daemon_ = start_tree_daemon(root_);
        ASSERT_TRUE(daemon_);
    }
    // A power cut: the daemon dies at once and the RAM folder is gone; then
    // the device boots on the same partitions.
    void power_cycle() {
        daemon_->signal(SIGKILL);
        daemon_->stop();
        EXPECT_EQ("", daemon_->sanitizer_report());
        fs::remove_all(root_.at("/tmp/sc"));
        fs::create_directories(root_.at("/tmp/sc"));
        start();
    }

    ScratchRoot root_;
    std::unique_ptr<Daemon> daemon_;
};

TEST_F(TreePersistence, ChangesSurviveCommitAndPowerCutAndRestoreToo) {
    ASSERT_EQ(0, tarvi_sc_set(c("sys/name"), c("gateway")));
    ASSERT_EQ(0, tarvi_sc_set(c("sys/mtu"), c("1400")));
    char *fields[] = {c("Name"), c("IP"), nullptr};
    char *values[] = {c("my pc"), c("10.0.0.2"), nullptr};
    char *name = nullptr;
    ASSERT_EQ(0, tarvi_sc_add_instance_fields(c("sys/hosts"), fields, values, &name));
    ASSERT_STREQ("2", name);
    free(name);
    u_16 number = 1;
    ASSERT_EQ(0, tarvi_sc_me_add_inst(c("view/Hosts"), c("lap"), &number));
    EXPECT_EQ(3, number);
    EXPECT_EQ("host3", tree_value("view/Hosts/lap/HostName"));
    ASSERT_EQ(0, tarvi_sc_commit());

    power_cycle();
    EXPECT_EQ("gateway", tree_value("sys/name"));
    EXPECT_EQ("1400", tree_value("sys/mtu"));
    EXPECT_EQ("1400", flat_value("WAN_MTU"));
    EXPECT_EQ("my pc", tree_value("sys/hosts/2/Name"));
    EXPECT_EQ("10.0.0.2", tree_value("sys/hosts/2/IP"));
    EXPECT_EQ("10.0.0.1;10.0.0.2", flat_value("HOSTS"));
    EXPECT_EQ("host3", tree_value("view/Hosts/lap/HostName"));
    EXPECT_EQ("3", tree_value("sys/hosts@@@serial"));
    EXPECT_EQ(3, instances("sys/hosts"));
    // The next added instance continues the numbering.
    char *more[] = {c("laptop"), c("10.0.0.4"), nullptr};
    ASSERT_EQ(0, tarvi_sc_add_instance_fields(c("sys/hosts"), fields, more, &name));
    EXPECT_STREQ("4", name);
    free(name);

    // The view instance takes its "sys" instance along.
    ASSERT_EQ(0, tarvi_sc_me_del_inst(c("view/Hosts/lap")));
    EXPECT_EQ(3, instances("sys/hosts"));
    EXPECT_EQ(0, instances("view/Hosts"));

    ASSERT_EQ(0, tarvi_sc_restore_default());
    EXPECT_EQ("box", tree_value("sys/name"));
    EXPECT_EQ(1, instances("sys/hosts"));
    ASSERT_EQ(0, tarvi_sc_commit());
    power_cycle();
    EXPECT_EQ("box", tree_value("sys/name"));
    EXPECT_EQ(1, instances("sys/hosts"));
    EXPECT_EQ(0, instances("view/Hosts"));
    EXPECT_EQ("1", tree_value("sys/hosts@@@serial"));
    // Key-bound values live in the flat store, which a tree restore leaves.
    EXPECT_EQ("1400", tree_value("sys/mtu"));
}

} // namespace
