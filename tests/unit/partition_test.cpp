// Configuration images and the partition backend, in-process on a sandbox
// device. Images are built here byte by byte from the documented layout, so
// the builder and the checker are measured against an independent oracle.
#include "partition.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "device.h"
#include "log.h"
#include "md5.h"
#include "scratch.h"
#include "store.h"

namespace {

std::vector<std::string> logged;
void capture_log(int, const char *msg) { logged.push_back(msg); }
bool was_logged(const std::string &text) {
    return std::any_of(logged.begin(), logged.end(), [&](const std::string &m) { return m == text; });
}
int count_logged(const std::string &prefix) {
    return static_cast<int>(
        std::count_if(logged.begin(), logged.end(), [&](const std::string &m) { return m.rfind(prefix, 0) == 0; }));
}

// ---- the oracle ----

struct Ent {
    uint8_t type, subtype;
    std::string bytes;
};
Ent cont(const std::string &name) { return {0, 0, name + std::string(1, '\0')}; }
Ent defcont() { return {0, 1, ""}; }
Ent conf(const std::string &k, const std::string &v, size_t len = 0) {
    std::string line = k + std::string(1, '\0') + v + std::string(1, '\0');
    if (len > line.size())
        line.resize(len, '\0');
    return {1, 0, line};
}

void le32(std::string &s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        s[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

void set_md5(std::string &img) {
    std::fill(img.begin() + 16, img.begin() + 32, '\0');
    md5_ctx ctx;
    uint8_t d[16];
    md5_init(&ctx);
    md5_update(&ctx, img.data(), static_cast<unsigned>(img.size()));
    md5_final(d, &ctx);
    memcpy(img.data() + 16, d, 16);
}

// An image of `ents` as the layout documents it; counts are derived unless
// given.
std::string oracle(const std::vector<Ent> &ents, int contNum = -1, int confNum = -1) {
    std::string table, payload;
    int conts = 0, confs = 0;
    for (const Ent &e : ents) {
        std::string rec(12, '\0');
        rec[0] = static_cast<char>(e.type);
        rec[1] = static_cast<char>(e.subtype);
        le32(rec, 4, static_cast<uint32_t>(payload.size()));
        le32(rec, 8, static_cast<uint32_t>(e.bytes.size()));
        table += rec;
        payload += e.bytes;
        conts += e.type == 0 || e.type == 2;
        confs += e.type == 1;
    }
    std::string img(128, '\0');
    img[0] = 2;
    img[2] = 'K';
    img[3] = 'Z';
    le32(img, 4, static_cast<uint32_t>(128 + table.size() + payload.size()));
    le32(img, 8, static_cast<uint32_t>(table.size()));
    le32(img, 12, static_cast<uint32_t>(payload.size()));
    img[32] = static_cast<char>(contNum < 0 ? conts : contNum);
    img[34] = static_cast<char>(confNum < 0 ? confs : confNum);
    img += table + payload;
    set_md5(img);
    return img;
}

int check(std::string img) { return partition_check_cfgpack_len(img.data(), img.size()); }

const char DEFAULTS[] = "wan.mode=dhcp\nlan.ip=192.168.1.1\nname=cpe\n";

std::string get(const char *key) {
    const char *v = config_get(key);
    return v ? v : "<none>";
}

} // namespace

TEST(CfgPack, CheckAcceptsTheLayoutAndNamesTheFirstBrokenRule) {
    tarvi_log_set_sink(capture_log);
    logged.clear();
    std::string empty = oracle({});
    ASSERT_EQ(128u, empty.size());
    EXPECT_EQ(0, check(empty));

    std::string img = oracle({cont("a.cfg"), conf("x", "1", 16), {7, 0, "zz"}, {255, 0, ""}, conf("y", "2")});
    EXPECT_EQ(0, check(img)); // unknown entries are logged and the image stays valid
    EXPECT_TRUE(was_logged("Check - CFG Entry[2] : Type is unknown : 7 !!"));
    // Bytes beyond totalLen do not count; any byte below it (but the checksum) does.
    EXPECT_EQ(0, check(img + "junk"));
    for (size_t at : {size_t{0}, size_t{40}, size_t{130}, img.size() - 1}) {
        std::string bad = img;
        bad[at] ^= 0x10;
        EXPECT_EQ(-1, check(bad)) << at;
    }
    std::string bad = img;
    bad[144] ^= 1; // entry 1's offset
    set_md5(bad);
    logged.clear();
    EXPECT_EQ(-1, check(bad));
    EXPECT_EQ("Check - CFG Entry[1] : Offset is incorrect : 7 =\\= 6 (0 + 6) !!", logged.back());
    bad = img;
    bad[128 + 4] = 1;
    set_md5(bad);
    EXPECT_EQ(-1, check(bad));
    EXPECT_EQ("Check - CFG Entry[0] : Offset is incorrect : 1 =\\= 0 !!", logged.back());

    // Counts, lengths and sizes that do not add up.
    EXPECT_EQ(-1, check(oracle({cont("a"), conf("x", "1")}, 2, 0)));
    EXPECT_EQ("Check - CFG Header : Container number is incorrect : 1 =\\= 2 !!", logged.back());
    EXPECT_EQ(-1, check(oracle({cont("a"), conf("x", "1")}, 1, 2)));
    EXPECT_EQ("Check - CFG Header : Entry length is incorrect : 24 =\\= (1 + 2) * 12 !!", logged.back());
    bad = oracle({cont("a")});
    le32(bad, 12, 3); // payloadLen 3 instead of 2, totalLen to match
    le32(bad, 4, static_cast<uint32_t>(128 + 12 + 3));
    bad += "x";
    set_md5(bad);
    EXPECT_EQ(-1, check(bad));
    EXPECT_EQ("Check - CFG Header : Payload length is incorrect : 2 =\\= 3 !!", logged.back());
    // Lengths whose 32-bit sum wraps around to totalLen.
    bad = oracle({});
    le32(bad, 8, 0xFFFFFFF4u);
    le32(bad, 12, 12);
    set_md5(bad);
    EXPECT_EQ(-1, check(bad));
    // A buffer shorter than the header says is refused before any checksum.
    img = oracle({cont("a"), conf("x", "1")});
    logged.clear();
    EXPECT_EQ(-1, partition_check_cfgpack_len(img.data(), img.size() - 1));
    EXPECT_EQ(1u, logged.size());
    EXPECT_EQ(std::string::npos, logged.back().find("Checksum"));
    tarvi_log_set_sink(nullptr);
}

TEST(CfgPack, BuilderWritesTheLayoutAndCompactsWhenNeeded) {
    tarvi_log_set_sink(capture_log);
    logged.clear();
    struct list conts;
    list_init(&conts);
    struct container *a = container_new("a.cfg");
    list_add_tail(&a->next, &conts);
    struct config *x = config_new("x", "1"); // line buffer of 5 bytes
    struct config *y = config_new("long.key", "v");
    ASSERT_EQ(0, config_store_value(y, "value", false));
    y->linebufsz = 32; // a roomy buffer, as a text file gives
    y->linebuf = static_cast<char *>(realloc(y->linebuf, 32));
    y->key = y->linebuf;
    y->value = y->linebuf + 9;
    for (struct config *c : {x, y}) {
        c->container = a;
        list_add_tail(&c->sibling, &a->config);
    }
    char *img = nullptr;
    ASSERT_EQ(0, partition_pack_containers(&conts, nullptr, 0, 1024, &img));
    std::string normal = oracle({cont("a.cfg"), conf("x", "1", 5), conf("long.key", "value", 32)});
    EXPECT_EQ(normal, std::string(img, normal.size()));
    free(img);

    // One byte too small: rebuilt compact, warned once.
    ASSERT_EQ(0, partition_pack_containers(&conts, nullptr, 0, static_cast<uint32_t>(normal.size() - 1), &img));
    std::string compact = oracle({cont("a.cfg"), conf("x", "1", 5), conf("long.key", "value", 16)});
    EXPECT_EQ(compact, std::string(img, compact.size()));
    EXPECT_EQ(1, count_logged("Make - Packed size"));
    free(img);
    EXPECT_EQ(-1, partition_pack_containers(&conts, nullptr, 0, static_cast<uint32_t>(compact.size() - 1), &img));
    EXPECT_EQ(nullptr, img);
    EXPECT_EQ(1, count_logged("Make - Compacked size"));

    // An archive that cannot be read still gets its announced bytes, marked dummy.
    ASSERT_EQ(0, partition_pack_containers(&conts, "/no/such/archive", 10, 1024, &img));
    std::string withDummy =
        oracle({cont("a.cfg"), conf("x", "1", 5), conf("long.key", "value", 32), {2, 3, std::string(10, '\0')}});
    EXPECT_EQ(withDummy, std::string(img, withDummy.size()));
    free(img);
    list_del(&a->next);
    container_free(a);
    tarvi_log_set_sink(nullptr);
}

// ---- the backend on a sandbox device ----

class Partition : public ::testing::Test {
  protected:
    void SetUp() override {
        logged.clear();
        tarvi_log_set_sink(capture_log);
        ASSERT_EQ(0, config_store_init());
        lay_device(root, DEFAULTS);
        boot();
    }
    void TearDown() override {
        partition_set_write_hook(nullptr);
        free_store();
        tarvi_log_set_sink(nullptr);
    }
    // A fresh daemon start on whatever the partitions hold.
    void boot(int expect = 0) {
        free_store();
        ASSERT_EQ(0, config_store_init());
        ASSERT_EQ(0, partition_init(&op));
        ASSERT_EQ(expect, partition_reload(1));
    }
    std::string factory_with(const std::vector<std::pair<std::string, std::string>> &defaults) {
        std::vector<char> img(DEVICE_PARTITION_SIZE - PARTITION_TAIL_SIZE);
        std::string empty = empty_image();
        memcpy(img.data(), empty.data(), empty.size());
        for (auto &[k, v] : defaults)
            EXPECT_EQ(0, cfgpack_set_default(img.data(), img.size(), k.c_str(), v.c_str()));
        return std::string(img.data(), cfgpack_get32(img.data() + 4));
    }
    // The image bytes of a partition, up to its image's end.
    std::string image_in(const std::string &label) {
        std::string part = root.read(device_partition(label));
        return part.substr(0, cfgpack_get32(part.data() + 4));
    }

    ScratchRoot root;
    struct operator_table op = {};
};

TEST_F(Partition, PicksTheNewestValidUserImageAndCommitsToTheOther) {
    struct Case {
        unsigned s1, s2;
        const char *loaded;
    } cases[] = {{5, 7, "two"}, {7, 5, "one"}, {6, 6, "two"}, {0xFFFFFFFFu, 3, "two"}};
    for (const Case &c : cases) {
        lay_partition(root, "ConfigPack1", image_of(root, "system.cfg", "name=one\n"), c.s1);
        lay_partition(root, "ConfigPack2", image_of(root, "system.cfg", "name=two\n"), c.s2);
        boot();
        EXPECT_EQ(c.loaded, get("name")) << c.s1 << " " << c.s2;
    }

    // 5 and 7: partition 2 loaded; commits go to 1 with 8, then to 2 with 9.
    lay_partition(root, "ConfigPack1", image_of(root, "system.cfg", "name=one\n"), 5);
    lay_partition(root, "ConfigPack2", image_of(root, "system.cfg", "name=two\n"), 7);
    boot();
    ASSERT_EQ(0, config_set("name", "three"));
    ASSERT_EQ(0, partition_flush(0));
    EXPECT_EQ(8u, partition_serial_of(root, "ConfigPack1"));
    EXPECT_EQ(0, partition_flush(0)); // nothing changed: nothing written
    EXPECT_EQ(7u, partition_serial_of(root, "ConfigPack2"));
    ASSERT_EQ(0, partition_flush(1));
    EXPECT_EQ(9u, partition_serial_of(root, "ConfigPack2"));
    boot();
    EXPECT_EQ("three", get("name"));

    // A damaged newest image: the other one is loaded, and the next commit
    // overwrites the damaged partition.
    std::string part = root.read(device_partition("ConfigPack2"));
    part[200] ^= 1;
    root.write(device_partition("ConfigPack2"), part);
    boot();
    EXPECT_TRUE(was_logged("Reload - ConfigPack2 with serialNo 9 is invalid, invalidate its serialNo temporarily !!"));
    EXPECT_EQ("three", get("name")); // serial 8 holds the same value
    EXPECT_EQ(0, partition_current_index());
    ASSERT_EQ(0, partition_flush(1));
    EXPECT_EQ(10u, partition_serial_of(root, "ConfigPack2"));
    EXPECT_EQ(8u, partition_serial_of(root, "ConfigPack1"));
}

TEST_F(Partition, LayersFirmwareFactoryAndUserImages) {
    root.write("/usr/cfg/default.bin", oracle({cont("system.cfg"), conf("wan.mode", "dhcp"), conf("lan.ip", "1.1.1.1"),
                                               cont("extra.cfg"), conf("lan.ip", "2.2.2.2")}));
    lay_partition(root, "FactoryConfig", factory_with({{"wan.mode", "lte"}, {"only.factory", "f"}}));
    lay_partition(root, "ConfigPack1",
                  oracle({cont("system.cfg"), conf("wan.mode", "static"), conf("unknown.key", "kept"), defcont(),
                          conf("lan.ip", "9.9.9.9")}),
                  4);
    logged.clear();
    boot();
    // The same key twice in the firmware default: the later one wins.
    EXPECT_EQ(1, count_logged("Reload - Redefinition of config (lan.ip) at entry[4] in extra.cfg, previously "
                              "defined in system.cfg !!"));
    EXPECT_EQ("2.2.2.2", get("lan.ip"));
    // Factory defaults replace firmware values and survive in Not-Reset Default.
    EXPECT_TRUE(was_logged("Reload - Redefinition of config (wan.mode) at entry[2] in Not-Reset Default, "
                           "previously defined in system.cfg !!"));
    EXPECT_EQ("f", get("only.factory"));
    ASSERT_NE(nullptr, ContDefault);
    EXPECT_EQ(ContDefault, find_config("only.factory")->container);
    EXPECT_EQ(-1, config_set("only.factory", "x")); // no commit would write it
    EXPECT_EQ("f", get("only.factory"));
    // The user image overrides; its default run is ignored with one warning.
    EXPECT_EQ("static", get("wan.mode"));
    EXPECT_EQ(1, count_logged("Reload - Non Factory ConfigPack has Not-Reset Default Configuration"));
    // A key the firmware does not define stays unreadable but is kept.
    EXPECT_TRUE(was_logged("Reload - No definition for config entry[2] : unknown.key in system.cfg, maybe firmware "
                           "version is changed !!"));
    EXPECT_EQ("<none>", get("unknown.key"));
    ASSERT_EQ(0, partition_flush(1));
    EXPECT_NE(std::string::npos, stored_text(root).find("unknown.key=kept\n"));
    // Also when the tree watches the key, or a client set it in memory: a
    // reload leaves the saved value to the next commit, not to them.
    int node = 0;
    ASSERT_EQ(0, config_notify_register("unknown.key", &node));
    ASSERT_EQ(0, partition_reload(1));
    ASSERT_EQ(0, config_set("unknown.key", "memory only"));
    ASSERT_EQ(0, partition_reload(1));
    ASSERT_EQ(0, partition_flush(1));
    EXPECT_NE(std::string::npos, stored_text(root).find("unknown.key=kept\n"));

    // Without the user layer the factory value shows.
    ASSERT_EQ(0, partition_reload(0));
    EXPECT_EQ("lte", get("wan.mode"));

    // A firmware default shorter than a header: the reload fails, store kept.
    root.write("/usr/cfg/default.bin", std::string(100, 'x'));
    EXPECT_EQ(-1, partition_reload(1));
    EXPECT_EQ("lte", get("wan.mode"));
    EXPECT_TRUE(was_logged("Read - ConfigPack (" + root.at("/usr/cfg/default.bin") +
                           ") : too small or too large : 100 bytes !!"));
}

TEST_F(Partition, EntriesWithoutKeyAndValueInsideTheirBytesAreSkipped) {
    std::string noValueNul = "k1" + std::string(1, '\0') + "v1"; // the value's NUL is missing
    root.write("/usr/cfg/default.bin", oracle({cont("system.cfg"),
                                               conf("good", "1"),
                                               {1, 0, "nokeynul"},
                                               {1, 0, noValueNul},
                                               conf("after", "2"),
                                               {0, 0, "noname"},
                                               conf("orphan", "3")}));
    logged.clear();
    boot();
    EXPECT_EQ("1", get("good"));
    EXPECT_EQ("2", get("after"));
    EXPECT_EQ("<none>", get("k1"));
    EXPECT_EQ("<none>", get("orphan"));
    EXPECT_TRUE(was_logged("Reload - Config entry[2] is malformed, skip it !!"));
    EXPECT_TRUE(was_logged("Reload - Config entry[3] is malformed, skip it !!"));
    EXPECT_TRUE(was_logged("Reload - Container entry[5] is malformed, skip it and its configs !!"));
}

TEST_F(Partition, FactoryEditsKeepTheImageValid) {
    std::string fw = "system.cfg";
    lay_partition(root, "FactoryConfig", oracle({cont("system.cfg"), conf("name", "factory-name")}));
    // No default run yet: two entries at the front, everything else shifted.
    ASSERT_EQ(0, partition_dset("wan.mode", "lte"));
    EXPECT_EQ(oracle({defcont(), conf("wan.mode", "lte", 14), cont("system.cfg"), conf("name", "factory-name")}),
              image_in("FactoryConfig"));
    // A new key opens the run; a longer and a shorter value move what follows.
    ASSERT_EQ(0, partition_dset("a", "1"));
    ASSERT_EQ(0, partition_dset("wan.mode", "wimax-long"));
    ASSERT_EQ(0, partition_dset("a", ""));
    EXPECT_EQ(oracle({defcont(), conf("a", "", 4), conf("wan.mode", "wimax-long", 21), cont("system.cfg"),
                      conf("name", "factory-name")}),
              image_in("FactoryConfig"));
    // The same value again: nothing written.
    std::string before = root.read(device_partition("FactoryConfig"));
    logged.clear();
    ASSERT_EQ(0, partition_dset("wan.mode", "wimax-long"));
    EXPECT_EQ(before, root.read(device_partition("FactoryConfig")));
    EXPECT_EQ(0, count_logged("Dset - Config"));
    // Unset every key: the run's container entry stays.
    ASSERT_EQ(0, partition_dunset("a"));
    ASSERT_EQ(0, partition_dunset("wan.mode"));
    ASSERT_EQ(0, partition_dunset("wan.mode"));
    EXPECT_EQ(oracle({defcont(), cont("system.cfg"), conf("name", "factory-name")}), image_in("FactoryConfig"));
    // The factory tail stays all 0xFF.
    std::string part = root.read(device_partition("FactoryConfig"));
    EXPECT_EQ(std::string(16, '\xff'), part.substr(part.size() - 16));

    // A damaged factory image is taken from its spare copy in the middle of
    // the partition; with the copy damaged too, it is replaced by one holding
    // only the new default.
    const size_t spare = DEVICE_PARTITION_SIZE / 2;
    EXPECT_EQ(image_in("FactoryConfig"), part.substr(spare, image_in("FactoryConfig").size()));
    part[150] ^= 1;
    root.write(device_partition("FactoryConfig"), part);
    ASSERT_EQ(0, partition_dset("x", "y"));
    EXPECT_EQ(oracle({defcont(), conf("x", "y", 5), cont("system.cfg"), conf("name", "factory-name")}),
              image_in("FactoryConfig"));
    part = root.read(device_partition("FactoryConfig"));
    part[150] ^= 1;
    part[spare + 150] ^= 1;
    root.write(device_partition("FactoryConfig"), part);
    ASSERT_EQ(0, partition_dset("x", "y"));
    EXPECT_EQ(oracle({defcont(), conf("x", "y", 5)}), image_in("FactoryConfig"));
    // A value that would not fit the partition is refused and nothing changes.
    before = root.read(device_partition("FactoryConfig"));
    EXPECT_EQ(-1, partition_dset("big", std::string(DEVICE_PARTITION_SIZE, 'v').c_str()));
    EXPECT_EQ(before, root.read(device_partition("FactoryConfig")));
    // Edits show at the next reload.
    EXPECT_EQ("<none>", get("x"));
    ASSERT_EQ(0, partition_reload(1));
    EXPECT_EQ("y", get("x"));
    // The next edit renews the copy; a reload that then finds the image
    // damaged writes the copy back over it.
    ASSERT_EQ(0, partition_dset("x", "z"));
    std::string good = image_in("FactoryConfig");
    part = root.read(device_partition("FactoryConfig"));
    part[150] ^= 1;
    root.write(device_partition("FactoryConfig"), part);
    ASSERT_EQ(0, partition_reload(1));
    EXPECT_EQ("z", get("x"));
    EXPECT_EQ(good, image_in("FactoryConfig"));
    EXPECT_EQ(0, partition_check_cfgpack_len(root.read(device_partition("FactoryConfig")).data(), good.size()));
}

TEST_F(Partition, BackupRestoreAndTheTreeArchiveRoundTrip) {
    root.write("/tmp/sc/tree0/sys", "tree line\n");
    ASSERT_EQ(0, config_set("name", "saved"));
    std::string backup = root.at("/backup.bin");
    ASSERT_EQ(0, partition_backup_cfgfile(backup.c_str()));
    std::string file = root.read("/backup.bin");
    EXPECT_EQ(file.size(), cfgpack_get32(file.data() + 4)); // the bare image
    EXPECT_EQ(0, check(file));

    ASSERT_EQ(0, config_set("name", "changed"));
    ASSERT_EQ(0, partition_flush(0));
    unsigned serial = partition_serial_of(root, "ConfigPack2");
    std::filesystem::remove_all(root.at("/tmp/sc"));
    ASSERT_EQ(0, partition_restore_cfgfile(backup.c_str()));
    EXPECT_EQ("saved", get("name"));
    EXPECT_EQ(serial + 1, partition_serial_of(root, "ConfigPack1"));
    EXPECT_EQ("tree line\n", root.read("/tmp/sc/tree0/sys"));

    // A restart brings the tree folder back from the newest image.
    std::filesystem::remove_all(root.at("/tmp/sc"));
    boot();
    EXPECT_EQ("saved", get("name"));
    EXPECT_EQ("tree line\n", root.read("/tmp/sc/tree0/sys"));

    // Broken backups are refused and change nothing.
    file[300] ^= 1;
    root.write("/backup.bin", file);
    EXPECT_EQ(-1, partition_restore_cfgfile(backup.c_str()));
    root.write("/backup.bin", file.substr(0, file.size() - 1));
    EXPECT_EQ(-1, partition_restore_cfgfile(backup.c_str()));
    EXPECT_EQ(serial + 1, partition_serial_of(root, "ConfigPack1"));

    // Back to the defaults: the factory image becomes the newest user image.
    ASSERT_EQ(0, partition_restore_default(0));
    EXPECT_EQ("cpe", get("name"));
    EXPECT_EQ(serial + 2, partition_serial_of(root, "ConfigPack2"));
}

TEST(PartitionProbe, TakesTheFactorySizeFromProcPartitions) {
    ScratchRoot root;
    tarvi_log_set_sink(capture_log);
    lay_device(root, DEFAULTS);
    for (const char *label : {"FactoryConfig", "ConfigPack1", "ConfigPack2"})
        ASSERT_EQ(0, truncate(root.at(device_partition(label)).c_str(), 524288));
    // "mmcblk0p50" must not be taken for "mmcblk0p5".
    root.write("/proc/partitions", "major minor  #blocks  name\n\n 179 50 4 mmcblk0p50\n 179 5 512 mmcblk0p5\n");
    struct operator_table op = {};
    EXPECT_EQ(0, partition_init(&op));
    EXPECT_EQ(524288u, partition_size());
    // Sizes that are no whole number of pages keep the default.
    for (const char *bad : {" 179 5 20 mmcblk0p5\n", " 179 5 99999999999999 mmcblk0p5\n", " 179 5 0 mmcblk0p5\n"}) {
        root.write("/proc/partitions", bad);
        EXPECT_EQ(-1, partition_init(&op));
        EXPECT_EQ(262144u, partition_size());
    }
    tarvi_log_set_sink(nullptr);
}

// ---- power loss ----

namespace {
// Bytes the partition writer may still write before the power goes.
size_t power_budget;
ssize_t write_until_power_loss(int fd, const void *buf, size_t count) {
    if (power_budget == 0) {
        errno = EIO;
        return -1;
    }
    size_t n = std::min(count, power_budget);
    ssize_t done = write(fd, buf, n);
    if (done > 0)
        power_budget -= static_cast<size_t>(done);
    return done;
}

// A fresh daemon start on whatever the partitions hold.
void power_loss_boot(struct operator_table *op) {
    free_store();
    ASSERT_EQ(0, config_store_init());
    ASSERT_EQ(0, partition_init(op));
    ASSERT_EQ(0, partition_reload(1));
}

// Flash that takes every write but keeps one bit of the first page wrong.
ssize_t write_flipped(int fd, const void *buf, size_t count) {
    std::vector<char> copy(static_cast<const char *>(buf), static_cast<const char *>(buf) + count);
    if (lseek(fd, 0, SEEK_CUR) == 0)
        copy[100] ^= 1;
    return write(fd, copy.data(), count);
}
} // namespace

TEST(PartitionPowerLoss, AFactoryEditCutAnywhereKeepsTheOldOrTheNewImage) {
    ScratchRoot root;
    tarvi_log_set_sink(capture_log);
    // Four entries of 3000 bytes: the factory image spans two pages.
    const std::string big(3000, 'f');
    const char *const keys[] = {"f.0", "f.1", "f.2", "f.3"};
    std::string defaults;
    for (const char *key : keys)
        defaults += std::string(key) + "=fw\n";
    lay_device(root, defaults);
    ASSERT_EQ(0, config_store_init());
    struct operator_table op = {};
    auto boot = [&] { power_loss_boot(&op); };
    boot();
    for (const char *key : keys)
        ASSERT_EQ(0, partition_dset(key, big.c_str()));
    const std::string factory = root.read(device_partition("FactoryConfig"));
    // The image's two pages and the last one, then the spare copy.
    for (size_t cut = 0; cut < 3 * PARTITION_PAGE_SIZE + 4 * big.size(); cut += 1500) {
        root.write(device_partition("FactoryConfig"), factory);
        boot();
        power_budget = cut;
        partition_set_write_hook(write_until_power_loss);
        partition_dset("f.0", "new");
        partition_set_write_hook(nullptr);
        boot();
        EXPECT_TRUE(get("f.0") == big || get("f.0") == "new") << "cut after " << cut << " bytes";
        for (const char *key : {"f.1", "f.2", "f.3"})
            EXPECT_EQ(big, get(key)) << key << ", cut after " << cut << " bytes";
        // The next edit starts from what was found, not from an empty image.
        ASSERT_EQ(0, partition_dset("f.1", "next"));
        boot();
        EXPECT_EQ("next", get("f.1")) << cut;
        EXPECT_EQ(big, get("f.3")) << cut;
    }
    free_store();
    tarvi_log_set_sink(nullptr);
}

TEST(PartitionPowerLoss, ACommitCutAnywhereLeavesTheOldOrTheNewState) {
    ScratchRoot root;
    tarvi_log_set_sink(capture_log);
    // About 100 KB of settings: the image spans a dozen pages.
    constexpr int KEYS = 400;
    std::string defaults;
    std::vector<std::string> keys;
    for (int i = 0; i < KEYS; ++i) {
        keys.push_back("key." + std::to_string(i));
        defaults += keys.back() + "=" + std::string(200, 'd') + "\n";
    }
    lay_device(root, defaults);
    ASSERT_EQ(0, config_store_init());
    struct operator_table op = {};
    auto boot = [&] { power_loss_boot(&op); };
    auto set_all = [&](char c) {
        for (int i = 0; i < KEYS; ++i)
            ASSERT_EQ(0, config_set(keys[i].c_str(), (std::string(1, c) + std::to_string(i)).c_str()));
    };
    // Which state the store shows: 'a', 'b', or '?' for anything else.
    auto state = [&] {
        char first = get(keys[0].c_str())[0];
        for (int i = 0; i < KEYS; ++i) {
            if (get(keys[i].c_str()) != std::string(1, first) + std::to_string(i))
                return '?';
        }
        return first;
    };
    boot();
    set_all('z');
    ASSERT_EQ(0, partition_flush(0)); // serial 1 in ConfigPack2
    set_all('a');
    ASSERT_EQ(0, partition_flush(0)); // serial 2 in ConfigPack1: the last committed state
    const std::string p1 = root.read(device_partition("ConfigPack1"));
    const std::string p2 = root.read(device_partition("ConfigPack2"));
    const size_t imageLen = cfgpack_get32(p1.data() + 4);
    const size_t dataPages = (imageLen + PARTITION_PAGE_SIZE - 1) / PARTITION_PAGE_SIZE;
    ASSERT_GE(dataPages, 10u);
    const size_t written = (dataPages + 1) * PARTITION_PAGE_SIZE; // data pages, then the last page

    std::vector<size_t> cuts;
    for (size_t page = 0; page <= dataPages; ++page) {
        for (size_t in : {size_t{0}, size_t{1}, size_t{777}, size_t{4096}, size_t{8191}})
            cuts.push_back(page * PARTITION_PAGE_SIZE + in);
    }
    for (size_t in : {size_t{8176}, size_t{8180}, size_t{8184}, size_t{8188}})
        cuts.push_back(dataPages * PARTITION_PAGE_SIZE + in); // inside the tail
    for (size_t cut : cuts) {
        root.write(device_partition("ConfigPack1"), p1);
        root.write(device_partition("ConfigPack2"), p2);
        boot();
        ASSERT_EQ('a', state());
        set_all('b');
        power_budget = cut;
        partition_set_write_hook(write_until_power_loss);
        EXPECT_EQ(-1, partition_flush(0)) << cut;
        partition_set_write_hook(nullptr);
        boot();
        char now = state();
        // Until the tail is in place the partition keeps its old serial number.
        if (cut < written - PARTITION_TAIL_SIZE)
            EXPECT_EQ('a', now) << "cut after " << cut << " bytes";
        else
            EXPECT_TRUE(now == 'a' || now == 'b') << "cut after " << cut << " bytes: " << now;
        // The next commit goes to the torn partition and succeeds.
        set_all('c');
        ASSERT_EQ(0, partition_flush(0));
        boot();
        ASSERT_EQ('c', state());
    }
    // The whole commit: the new state.
    root.write(device_partition("ConfigPack1"), p1);
    root.write(device_partition("ConfigPack2"), p2);
    boot();
    set_all('b');
    power_budget = written;
    partition_set_write_hook(write_until_power_loss);
    EXPECT_EQ(0, partition_flush(0));
    partition_set_write_hook(nullptr);
    boot();
    EXPECT_EQ('b', state());
    free_store();
    tarvi_log_set_sink(nullptr);
}

TEST_F(Partition, AReadBackMismatchFailsAndTheNextCommitRetriesTheSamePartition) {
    ASSERT_EQ(0, config_set("name", "first"));
    ASSERT_EQ(0, partition_flush(0)); // ConfigPack2, serial 1
    ASSERT_EQ(0, config_set("name", "second"));
    partition_set_write_hook(write_flipped);
    EXPECT_EQ(-1, partition_flush(0));
    partition_set_write_hook(nullptr);
    EXPECT_TRUE(was_logged("Update - Can not update ConfigPack on " + root.at("/dev/disk/by-partlabel/ConfigPack1") +
                           " for ConfigPack1 with serialNo 2"));
    EXPECT_EQ(1u, partition_serial(1));
    EXPECT_EQ(PARTITION_NO_SERIAL, partition_serial(0));
    // The changed flag stays, so a plain commit retries, same partition and serial.
    ASSERT_EQ(0, partition_flush(0));
    EXPECT_EQ(2u, partition_serial_of(root, "ConfigPack1"));
    boot();
    EXPECT_EQ("second", get("name"));
}

TEST_F(Partition, ABackupWithAHostileArchiveRestoresItsSettingsAndNothingOutside) {
    root.write("/tmp/sc/tree0/sys", "current\n");
    root.write("/w/evil", "evil\n");
    // A member "../tmp/escaped" beside a harmless one, kept as written with -P.
    ASSERT_EQ(0, system(("cd " + root.path() + "/w && touch ../tmp/escaped && " +
                         "tar -czPf ../evil.tgz ../tmp/escaped ./evil && rm ../tmp/escaped")
                            .c_str()));
    ASSERT_EQ(0, config_set("name", "from-backup"));
    std::string arch = root.read("/evil.tgz");
    char *img = nullptr;
    ASSERT_EQ(0, partition_pack_containers(&ContList, root.at("/evil.tgz").c_str(), static_cast<uint32_t>(arch.size()),
                                           65536, &img));
    root.write("/hostile.bin", std::string(img, cfgpack_get32(img + 4)));
    free(img);
    ASSERT_EQ(0, partition_reload(1));
    ASSERT_EQ("cpe", get("name"));

    logged.clear();
    ASSERT_EQ(0, partition_restore_cfgfile(root.at("/hostile.bin").c_str()));
    EXPECT_EQ("from-backup", get("name"));
    EXPECT_FALSE(root.exists("/tmp/escaped"));
    EXPECT_EQ("current\n", root.read("/tmp/sc/tree0/sys"));
    EXPECT_EQ(1, count_logged("SC2.0 - Can not unpack "));
}
