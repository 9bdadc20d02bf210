// The daemon on real block devices: loop devices over the sandbox partition
// files, found by label as on a device.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "command.h"
#include "daemon.h"
#include "device.h"
#include "records.h"
#include "request.h"
#include "scratch.h"

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
