// The real daemon in a sandbox, driven over its socket.
#include <csignal>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "archives.h"
#include "command.h"
#include "daemon.h"
#include "device.h"
#include "paths.h"
#include "records.h"
#include "request.h"
#include "scratch.h"

namespace {

const char DEFAULTS[] = "S2D_ALLOW_RESUME=0\nwan.mode=dhcp\nlan.ip=192.168.1.1\n";

// A reply as the client sees it.
struct reply {
    int rc = -1;
    int status = 0;
    bool has_key = false, has_value = false;
    std::string key, value;
};

reply call(int type, const char *key = nullptr, const char *value = nullptr) {
    tarvi_request r = make_request(type, key, value);
    reply out;
    out.rc = request_for_tarvi(&r);
    if (out.rc == 0) {
        out.status = r.status;
        out.has_key = r.key != nullptr;
        out.has_value = r.value != nullptr;
        out.key = r.key ? r.key : "";
        out.value = r.value ? r.value : "";
    }
    return out;
}

// Sends raw bytes on a fresh connection and returns what comes back before
// the daemon closes it (empty: closed without a reply).
std::string raw_exchange(const std::vector<unsigned char> &bytes) {
    int fd = raw_connect();
    if (fd < 0)
        return "connect failed";
    if (!bytes.empty() && write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        close(fd);
        return "write failed";
    }
    shutdown(fd, SHUT_WR);
    std::string got;
    char buf[8192];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        got.append(buf, static_cast<size_t>(n));
    if (n < 0)
        got = "timed out";
    close(fd);
    return got;
}

std::vector<unsigned char> wire_of(int type, const char *key, const char *value) {
    return encode_request(make_request(type, key, value));
}

class DaemonTest : public ::testing::Test {
  protected:
    void SetUp() override {
        lay_device(root_, DEFAULTS);
        daemon_ = std::make_unique<Daemon>(root_.path());
        ASSERT_TRUE(daemon_->start()) << daemon_->stderr_text();
    }
    void TearDown() override {
        daemon_->stop();
        EXPECT_EQ("", daemon_->sanitizer_report());
        daemon_.reset();
    }

    ScratchRoot root_;
    std::unique_ptr<Daemon> daemon_;
};

} // namespace

TEST_F(DaemonTest, StartsInTheBackgroundAndWritesItsPid) {
    EXPECT_EQ(0, WEXITSTATUS(daemon_->launcher_status()));
    EXPECT_EQ(std::to_string(daemon_->pid()) + "\n", root_.read("/var/run/tarvid.pid"));
    EXPECT_TRUE(daemon_->wait_stderr("Creating request processing thread"));
    EXPECT_TRUE(daemon_->wait_stderr("Creating request processing cb thread"));

    // A restart over a pid file with a longer old number leaves no digits behind.
    daemon_->stop();
    root_.write("/var/run/tarvid.pid", "123456789\n");
    ASSERT_TRUE(daemon_->start());
    EXPECT_EQ(std::to_string(daemon_->pid()) + "\n", root_.read("/var/run/tarvid.pid"));
}

TEST_F(DaemonTest, CommitKeepsOrResetsTheResumeFlag) {
    // Raising it to "1" as the last change keeps "1" through the commit.
    ASSERT_EQ(0, call(TARVI_REQUEST_TYPE_SET, "S2D_ALLOW_RESUME", "1").rc);
    ASSERT_EQ(0, call(TARVI_REQUEST_TYPE_SC_COMMIT).rc);
    EXPECT_EQ("1", call(TARVI_REQUEST_TYPE_GET, "S2D_ALLOW_RESUME").value);
    EXPECT_NE(std::string::npos, stored_text(root_).find("S2D_ALLOW_RESUME=1\n"));

    // After a restart nothing has changed: a commit leaves it alone, and so
    // does setting a value to what it already is.
    daemon_->stop();
    ASSERT_TRUE(daemon_->start());
    ASSERT_EQ(0, call(TARVI_REQUEST_TYPE_COMMIT).rc);
    EXPECT_EQ("1", call(TARVI_REQUEST_TYPE_GET, "S2D_ALLOW_RESUME").value);
    ASSERT_EQ(0, call(TARVI_REQUEST_TYPE_SET, "lan.ip", "192.168.1.1").rc);
    ASSERT_EQ(0, call(TARVI_REQUEST_TYPE_COMMIT).rc);
    EXPECT_EQ("1", call(TARVI_REQUEST_TYPE_GET, "S2D_ALLOW_RESUME").value);

    // A change of any other key resets it at the next commit.
    ASSERT_EQ(0, call(TARVI_REQUEST_TYPE_SET, "lan.ip", "10.1.1.1").rc);
    EXPECT_EQ("1", call(TARVI_REQUEST_TYPE_GET, "S2D_ALLOW_RESUME").value);
    ASSERT_EQ(0, call(TARVI_REQUEST_TYPE_COMMIT).rc);
    EXPECT_EQ("0", call(TARVI_REQUEST_TYPE_GET, "S2D_ALLOW_RESUME").value);
    EXPECT_NE(std::string::npos, stored_text(root_).find("S2D_ALLOW_RESUME=0\n"));

    // The allowance lasts for one commit: the commit after it resets the
    // flag even with nothing changed in between.
    ASSERT_EQ(0, call(TARVI_REQUEST_TYPE_SET, "S2D_ALLOW_RESUME", "1").rc);
    ASSERT_EQ(0, call(TARVI_REQUEST_TYPE_COMMIT).rc);
    EXPECT_EQ("1", call(TARVI_REQUEST_TYPE_GET, "S2D_ALLOW_RESUME").value);
    ASSERT_EQ(0, call(TARVI_REQUEST_TYPE_COMMIT).rc);
    EXPECT_EQ("0", call(TARVI_REQUEST_TYPE_GET, "S2D_ALLOW_RESUME").value);
}

TEST_F(DaemonTest, BackupAndRestore) {
    std::string backup = root_.at("/backup.bin");
    ASSERT_EQ(0, call(TARVI_REQUEST_TYPE_SET, "lan.ip", "172.16.0.1").rc);
    ASSERT_EQ(0, call(TARVI_REQUEST_TYPE_BACKUP_CFGFILE, backup.c_str()).rc);
    ASSERT_EQ(0, call(TARVI_REQUEST_TYPE_SET, "lan.ip", "172.16.0.2").rc);
    root_.write("/tmp/sc/tree0/sys", "node line\n");
    root_.write("/tmp/sc/tree1/oma", "node line\n");
    ASSERT_EQ(0, call(TARVI_REQUEST_TYPE_RESTORE_CFGFILE, backup.c_str()).rc);
    EXPECT_EQ("172.16.0.1", call(TARVI_REQUEST_TYPE_GET, "lan.ip").value);
    EXPECT_NE(std::string::npos, stored_text(root_).find("lan.ip=172.16.0.1\n"));
    // The tree folders are emptied before a restore.
    EXPECT_FALSE(root_.exists("/tmp/sc/tree0/sys"));
    EXPECT_FALSE(root_.exists("/tmp/sc/tree1/oma"));
    EXPECT_TRUE(root_.exists("/tmp/sc/tree0"));

    // A restore that fails changes nothing: not the store, not the
    // partitions, not the tree folders; nor does a restore of the defaults
    // from a damaged factory image (the last row).
    root_.write("/tmp/sc/tree0/sys", "node line\n");
    std::string image = root_.read("/backup.bin"), factory = root_.read(device_partition("FactoryConfig"));
    root_.write("/short.bin", image.substr(0, image.size() - 1));
    image[200] ^= 1;
    root_.write("/flipped.bin", image);
    std::string damaged = factory;
    damaged[5] ^= 1;
    damaged[DEVICE_PARTITION_SIZE / 2 + 5] ^= 1;
    root_.write(device_partition("FactoryConfig"), damaged);
    auto state = [&] {
        std::string all = call(TARVI_REQUEST_TYPE_GET, "lan.ip").value + folder_fingerprint(root_.at("/tmp/sc"));
        for (const char *label : {"ConfigPack1", "ConfigPack2", "FactoryConfig"})
            all += root_.read(device_partition(label));
        return all;
    };
    const std::string before = state();
    for (const std::string &bad : {root_.at("/nope"), root_.at("/tmp"), std::string("/dev/zero"),
                                   root_.at("/flipped.bin"), root_.at("/short.bin"), std::string()}) {
        int type = bad.empty() ? TARVI_REQUEST_TYPE_RESTORE_DEFAULT : TARVI_REQUEST_TYPE_RESTORE_CFGFILE;
        EXPECT_EQ(-1, call(type, bad.empty() ? nullptr : bad.c_str()).rc) << bad;
        EXPECT_TRUE(before == state()) << bad;
    }
    root_.write(device_partition("FactoryConfig"), factory);

    ASSERT_EQ(0, call(TARVI_REQUEST_TYPE_RESTORE_DEFAULT).rc);
    EXPECT_EQ("192.168.1.1", call(TARVI_REQUEST_TYPE_GET, "lan.ip").value);
    // The factory image became the newest user image.
    EXPECT_EQ(std::string::npos, stored_text(root_).find("lan.ip=172.16.0.1\n"));
    EXPECT_FALSE(root_.exists("/tmp/sc/tree0/sys"));
}

TEST_F(DaemonTest, MalformedRecordsCostOnlyTheirConnection) {
    std::vector<unsigned char> good = wire_of(TARVI_REQUEST_TYPE_GET, "wan.mode", nullptr);
    auto put32 = [](std::vector<unsigned char> w, size_t at, uint32_t v) {
        memcpy(&w[at], &v, 4);
        return w;
    };
    std::vector<unsigned char> cut_short(good.begin(), good.begin() + 10);
    std::vector<unsigned char> no_nul(good.begin(), good.end() - 1);
    struct {
        std::vector<unsigned char> bytes;
        int size;
    } bad[] = {
        {cut_short, 10},
        {{}, 0},
        {put32(good, 8, 0xfffffff0u), static_cast<int>(good.size())},
        {put32(good, 8, 5000), static_cast<int>(good.size())},
        {put32(good, 12, 0xdeadbeef), static_cast<int>(good.size())},
        {no_nul, static_cast<int>(no_nul.size())},
        {put32(good, 0, 0x00581111), static_cast<int>(good.size())},
    };
    for (auto &b : bad) {
        EXPECT_EQ("", raw_exchange(b.bytes));
        EXPECT_TRUE(daemon_->wait_stderr("Can't unpack request, size = " + std::to_string(b.size) + " !!"));
    }
    // Type 58 is refused by the unpacker; 9 and 17 are unknown on the socket.
    std::vector<unsigned char> reserved = good;
    reserved[2] = TARVI_REQUEST_TYPE_RESERVED;
    EXPECT_EQ("", raw_exchange(reserved));
    for (int type : {TARVI_REQUEST_TYPE_DUMP, TARVI_REQUEST_TYPE_PROP_CTRLSTOP_SIGNAL}) {
        EXPECT_EQ("", raw_exchange(wire_of(type, "k", "v")));
        EXPECT_TRUE(daemon_->wait_stderr("Unknown request type : " + std::to_string(type) + " !!"));
    }
    // The tree worker closes the one tree type it has no answer for.
    EXPECT_EQ("", raw_exchange(wire_of(TARVI_REQUEST_TYPE_SC_GET_INSTANCE_FIELDS_BY_NUM, "k", nullptr)));
    // Both tree workers answer a name they do not know with no value.
    for (int type : {TARVI_REQUEST_TYPE_SC_GET, TARVI_REQUEST_TYPE_CB_GET}) {
        reply r = call(type, "k");
        EXPECT_EQ(0, r.rc);
        EXPECT_FALSE(r.has_value);
    }
    // The property thread answers a lookup of an unknown name with a failure.
    EXPECT_EQ(-1, call(TARVI_REQUEST_TYPE_PROP_GET, "k").rc);

    // Requests without the texts they need are answered with a failure.
    EXPECT_EQ(-1, call(TARVI_REQUEST_TYPE_GET).rc);
    EXPECT_EQ(-1, call(TARVI_REQUEST_TYPE_SET, "k").rc);
    EXPECT_EQ(-1, call(TARVI_REQUEST_TYPE_DSET, nullptr, "v").rc);
    EXPECT_EQ(-1, call(TARVI_REQUEST_TYPE_CHROOT).rc);
    // A root that cannot be entered is refused, and the daemon stays where it is.
    EXPECT_EQ(-1, call(TARVI_REQUEST_TYPE_CHROOT, "/no/such/dir").rc);
    EXPECT_TRUE(daemon_->wait_stderr("Change root directory to /no/such/dir : No such file or directory !!"));

    EXPECT_TRUE(daemon_->running());
    EXPECT_EQ("dhcp", call(TARVI_REQUEST_TYPE_GET, "wan.mode").value);
}

TEST_F(DaemonTest, ARawReplyIsTheExactPackedRecord) {
    std::vector<unsigned char> req = wire_of(TARVI_REQUEST_TYPE_GET, "lan.ip", nullptr);
    std::string got = raw_exchange(req);
    const char text[] = "lan.ip\0"
                        "192.168.1.1";
    ASSERT_EQ(20u + sizeof text, got.size());
    uint32_t status, key, value;
    memcpy(&status, got.data() + 4, 4);
    memcpy(&key, got.data() + 12, 4);
    memcpy(&value, got.data() + 16, 4);
    EXPECT_EQ(0u, status);
    EXPECT_EQ(TARVI_REQUEST_POINTER_MARKER, key);
    EXPECT_EQ(TARVI_REQUEST_POINTER_MARKER, value);
    EXPECT_EQ(0, memcmp(got.data() + 20, text, sizeof text));

    // A reply that would not fit (the client reserved room at the front)
    // goes back without its value and with a failure.
    std::string long_key(2000, 'k'), long_value(2000, 'v');
    ASSERT_EQ(0, call(TARVI_REQUEST_TYPE_SET, long_key.c_str(), long_value.c_str()).rc);
    tarvi_request r = make_request(TARVI_REQUEST_TYPE_GET, long_key.c_str(), nullptr);
    r.reservedLen = 100;
    memset(r.string, 'R', 100);
    got = raw_exchange(encode_request(r));
    ASSERT_EQ(20u + 100 + long_key.size() + 1, got.size());
    int32_t failed;
    memcpy(&failed, got.data() + 4, 4);
    memcpy(&value, got.data() + 16, 4);
    EXPECT_EQ(-1, failed);
    EXPECT_EQ(0u, value);
    EXPECT_EQ(std::string(100, 'R'), got.substr(20, 100));
}

// (That others are served meanwhile is the wedge test's, hostile_test.cpp.)
TEST_F(DaemonTest, ASilentClientIsDroppedAfterTheTimeout) {
    int silent = raw_connect();
    ASSERT_GE(silent, 0);
    // Half a record, then nothing.
    int half = raw_connect();
    ASSERT_EQ(5, write(half, "\x87\x22\0\0\0", 5));
    // The silent one is dropped with the read failure after its 8 seconds.
    EXPECT_TRUE(daemon_->wait_stderr("Can't read request on", 12000));
    EXPECT_NE(std::string::npos, daemon_->stderr_text().find(" : Resource temporarily unavailable !!"));
    char c;
    EXPECT_EQ(0, read(silent, &c, 1));
    // The half record was cut off and refused at once.
    EXPECT_TRUE(daemon_->wait_stderr("Can't unpack request, size = 5 !!"));
    close(silent);
    close(half);
}

// (Clients that go away before their reply are the wedge test's.)
TEST_F(DaemonTest, AFullDiskDoesNotStopIt) {
    // A commit onto a full partition fails, the committed image stays, the
    // daemon serves. The first commit goes to ConfigPack2, the next one to
    // ConfigPack1, which here cannot take a byte.
    ASSERT_EQ(0, call(TARVI_REQUEST_TYPE_SET, "wan.mode", "full").rc);
    ASSERT_EQ(0, call(TARVI_REQUEST_TYPE_COMMIT).rc);
    std::string before = stored_text(root_);
    std::string part1 = root_.at(device_partition("ConfigPack1"));
    std::string saved1 = root_.read(device_partition("ConfigPack1"));
    ASSERT_EQ(0, unlink(part1.c_str()));
    ASSERT_EQ(0, symlink("/dev/full", part1.c_str()));
    ASSERT_EQ(0, call(TARVI_REQUEST_TYPE_SET, "wan.mode", "fuller").rc);
    EXPECT_EQ(-1, call(TARVI_REQUEST_TYPE_COMMIT).rc);
    EXPECT_EQ(before, stored_text(root_));
    EXPECT_EQ("fuller", call(TARVI_REQUEST_TYPE_GET, "wan.mode").value);
    unlink(part1.c_str());
    root_.write(device_partition("ConfigPack1"), saved1);
    EXPECT_EQ(0, call(TARVI_REQUEST_TYPE_COMMIT).rc);
    EXPECT_EQ(2u, partition_serial_of(root_, "ConfigPack1"));
    EXPECT_NE(std::string::npos, stored_text(root_).find("wan.mode=fuller\n"));
}

TEST_F(DaemonTest, SignalsListTheStoreAndTerminate) {
    ASSERT_EQ(0, call(TARVI_REQUEST_TYPE_SET, "runtime.key", "r").rc);
    daemon_->signal(SIGUSR1);
    ASSERT_TRUE(daemon_->wait_stdout("[Runtime]\n |-- runtime.key=\"r\" ---> in Runtime @ 0x"));
    std::string out = daemon_->stdout_text();
    EXPECT_EQ(0u, out.find("system.cfg @ 0x"));
    EXPECT_NE(std::string::npos, out.find("\nRuntime @ 0x"));
    EXPECT_NE(std::string::npos, out.find("HASH[0]\n"));
    EXPECT_NE(std::string::npos, out.find(" |-- wan.mode=\"dhcp\" ---> in system.cfg @ 0x"));
    EXPECT_NE(std::string::npos, out.find("HASH[63]\n"));

    // SIGUSR2 writes the store out as text files; SIGPIPE is ignored.
    daemon_->signal(SIGUSR2);
    daemon_->signal(SIGPIPE);
    EXPECT_EQ("dhcp", call(TARVI_REQUEST_TYPE_GET, "wan.mode").value);
    // The dump runs when the main loop next looks at its signals.
    eventually([&] { return !root_.read("/mnt/tarvi/Runtime").empty(); });
    EXPECT_EQ(DEFAULTS, root_.read("/mnt/tarvi/system.cfg"));
    EXPECT_EQ("runtime.key=r\n", root_.read("/mnt/tarvi/Runtime"));

    bool reaps = daemon_->reaps();
    int status = daemon_->stop();
    EXPECT_NE(std::string::npos, daemon_->stdout_text().find("[TARVID] Received a signal 15, Terminating !!"));
    if (reaps) {
        ASSERT_TRUE(WIFEXITED(status)) << "wait status " << status;
        EXPECT_EQ(255, WEXITSTATUS(status));
    }
}

TEST(DaemonStart, RefusesToStartWithoutItsConfiguration) {
    ScratchRoot root;
    make_dirs(root.at("/var/run"));
    Daemon d(root.path());
    EXPECT_FALSE(d.start());
    EXPECT_EQ(255, WEXITSTATUS(d.launcher_status()));
    EXPECT_NE(std::string::npos, d.stderr_text().find("Configuration initialization error !!"));
}

TEST(DaemonStart, RefusesToStartWithoutItsSocket) {
    ScratchRoot root;
    lay_device(root, DEFAULTS);
    // No /var/run: the socket cannot be bound.
    std::filesystem::remove_all(root.at("/var/run"));
    Daemon d(root.path());
    EXPECT_FALSE(d.start());
    EXPECT_EQ(255, WEXITSTATUS(d.launcher_status()));
    std::string err = d.stderr_text();
    EXPECT_NE(std::string::npos, err.find("Can't bind on " + root.path() + "/var/run/tarvi.socket : "));
    EXPECT_NE(std::string::npos, err.find("Request interface initialization error !!"));
}
