// Configuration images and the partition backend, in-process on a sandbox
// device, and the image tool, run as a firmware build or a support engineer
// would. Images are built here byte by byte from the documented layout, so
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
#include <random>
#include <string>
#include <vector>

#include "archives.h"
#include "command.h"
#include "device.h"
#include "log_capture.h"
#include "md5.h"
#include "sc_archive.h"
#include "scratch.h"
#include "store.h"

namespace {

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
    LogCapture logs;
    std::string empty = oracle({});
    ASSERT_EQ(128u, empty.size());
    EXPECT_EQ(0, check(empty));

    std::string img = oracle({cont("a.cfg"), conf("x", "1", 16), {7, 0, "zz"}, {255, 0, ""}, conf("y", "2")});
    EXPECT_EQ(0, check(img)); // unknown entries are logged and the image stays valid
    EXPECT_TRUE(logs.has("Check - CFG Entry[2] : Type is unknown : 7 !!"));
    // Bytes beyond totalLen do not count; any byte below it (but the checksum) does.
    EXPECT_EQ(0, check(img + "junk"));
    for (size_t at : {size_t{0}, size_t{40}, size_t{130}, img.size() - 1}) {
        std::string bad = img;
        bad[at] ^= 0x10;
        EXPECT_EQ(-1, check(bad)) << at;
    }
    // The reason a sealed image is refused for, the last message logged.
    auto refusal = [&](std::string sealed) {
        set_md5(sealed);
        return check(sealed) == -1 ? logs.last() : "(accepted)";
    };
    std::string bad = img;
    bad[144] ^= 1; // entry 1's offset
    EXPECT_EQ("Check - CFG Entry[1] : Offset is incorrect : 7 =\\= 6 (0 + 6) !!", refusal(bad));
    bad = img;
    bad[128 + 4] = 1;
    EXPECT_EQ("Check - CFG Entry[0] : Offset is incorrect : 1 =\\= 0 !!", refusal(bad));

    // Counts, lengths and sizes that do not add up.
    EXPECT_EQ("Check - CFG Header : Container number is incorrect : 1 =\\= 2 !!",
              refusal(oracle({cont("a"), conf("x", "1")}, 2, 0)));
    EXPECT_EQ("Check - CFG Header : Entry length is incorrect : 24 =\\= (1 + 2) * 12 !!",
              refusal(oracle({cont("a"), conf("x", "1")}, 1, 2)));
    bad = oracle({cont("a")});
    le32(bad, 12, 3); // payloadLen 3 instead of 2, totalLen to match
    le32(bad, 4, static_cast<uint32_t>(128 + 12 + 3));
    EXPECT_EQ("Check - CFG Header : Payload length is incorrect : 2 =\\= 3 !!", refusal(bad + "x"));
    // Lengths whose 32-bit sum wraps around to totalLen.
    bad = oracle({});
    le32(bad, 8, 0xFFFFFFF4u);
    le32(bad, 12, 12);
    EXPECT_NE("(accepted)", refusal(bad));
    // A buffer shorter than the header says is refused before any checksum.
    img = oracle({cont("a"), conf("x", "1")});
    logs.clear();
    EXPECT_EQ(-1, partition_check_cfgpack_len(img.data(), img.size() - 1));
    EXPECT_EQ(1, logs.count(""));
    EXPECT_EQ(std::string::npos, logs.last().find("Checksum"));
}

TEST(CfgPack, BuilderWritesTheLayoutAndCompactsWhenNeeded) {
    LogCapture logs;
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
    EXPECT_EQ(1, logs.count("Make - Packed size"));
    free(img);
    EXPECT_EQ(-1, partition_pack_containers(&conts, nullptr, 0, static_cast<uint32_t>(compact.size() - 1), &img));
    EXPECT_EQ(nullptr, img);
    EXPECT_EQ(1, logs.count("Make - Compacked size"));

    // An archive that cannot be read still gets its announced bytes, marked dummy.
    ASSERT_EQ(0, partition_pack_containers(&conts, "/no/such/archive", 10, 1024, &img));
    std::string withDummy =
        oracle({cont("a.cfg"), conf("x", "1", 5), conf("long.key", "value", 32), {2, 3, std::string(10, '\0')}});
    EXPECT_EQ(withDummy, std::string(img, withDummy.size()));
    free(img);
    list_del(&a->next);
    container_free(a);
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

// Flash that takes every write but keeps one bit of the first page wrong.
ssize_t write_flipped(int fd, const void *buf, size_t count) {
    std::vector<char> copy(static_cast<const char *>(buf), static_cast<const char *>(buf) + count);
    if (lseek(fd, 0, SEEK_CUR) == 0)
        copy[100] ^= 1;
    return write(fd, copy.data(), count);
}
} // namespace

// ---- the backend on a sandbox device ----

class Partition : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(0, config_store_init());
        lay_device(root, DEFAULTS);
        boot();
    }
    void TearDown() override {
        partition_set_write_hook(nullptr);
        free_store();
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
    // The image bytes of a partition, up to its image's end, without the
    // checksum of the image an edit started from (zeroed, checksum renewed).
    std::string image_in(const std::string &label) {
        std::string part = root.read(device_partition(label));
        std::string img = part.substr(0, cfgpack_get32(part.data() + 4));
        std::fill(img.begin() + 36, img.begin() + 52, '\0');
        set_md5(img);
        return img;
    }

    ScratchRoot root;
    struct operator_table op = {};
    LogCapture logs;
};

TEST_F(Partition, PicksTheNewestValidUserImageAndCommitsToTheOther) {
    struct Case {
        unsigned s1, s2;
        const char *loaded;
    } cases[] = {{7, 5, "one"}, {6, 6, "two"}, {0xFFFFFFFFu, 3, "two"}, {5, 7, "two"}};
    for (const Case &c : cases) {
        lay_partition(root, "ConfigPack1", image_of(root, "system.cfg", "name=one\n"), c.s1);
        lay_partition(root, "ConfigPack2", image_of(root, "system.cfg", "name=two\n"), c.s2);
        boot();
        EXPECT_EQ(c.loaded, get("name")) << c.s1 << " " << c.s2;
    }

    // 5 and 7, as left by the last case: commits go to 1 with 8, then to 2
    // with 9.
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
    EXPECT_TRUE(logs.has("Reload - ConfigPack2 with serialNo 9 is invalid, invalidate its serialNo temporarily !!"));
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
    logs.clear();
    boot();
    // The same key twice in the firmware default: the later one wins.
    EXPECT_EQ(1, logs.count("Reload - Redefinition of config (lan.ip) at entry[4] in extra.cfg, previously "
                            "defined in system.cfg !!"));
    EXPECT_EQ("2.2.2.2", get("lan.ip"));
    // Factory defaults replace firmware values and survive in Not-Reset Default.
    EXPECT_TRUE(logs.has("Reload - Redefinition of config (wan.mode) at entry[2] in Not-Reset Default, "
                         "previously defined in system.cfg !!"));
    EXPECT_EQ("f", get("only.factory"));
    ASSERT_NE(nullptr, ContDefault);
    EXPECT_EQ(ContDefault, find_config("only.factory")->container);
    EXPECT_EQ(-1, config_set("only.factory", "x")); // no commit would write it
    EXPECT_EQ("f", get("only.factory"));
    // The user image overrides; its default run is ignored with one warning.
    EXPECT_EQ("static", get("wan.mode"));
    EXPECT_EQ(1, logs.count("Reload - Non Factory ConfigPack has Not-Reset Default Configuration"));
    // A key the firmware does not define stays unreadable but is kept.
    EXPECT_TRUE(logs.has("Reload - No definition for config entry[2] : unknown.key in system.cfg, maybe firmware "
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
    EXPECT_TRUE(logs.has("Read - ConfigPack (" + root.at("/usr/cfg/default.bin") +
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
    logs.clear();
    boot();
    EXPECT_EQ("1", get("good"));
    EXPECT_EQ("2", get("after"));
    EXPECT_EQ("<none>", get("k1"));
    EXPECT_EQ("<none>", get("orphan"));
    EXPECT_TRUE(logs.has("Reload - Config entry[2] is malformed, skip it !!"));
    EXPECT_TRUE(logs.has("Reload - Config entry[3] is malformed, skip it !!"));
    EXPECT_TRUE(logs.has("Reload - Container entry[5] is malformed, skip it and its configs !!"));
}

TEST_F(Partition, FactoryEditsKeepTheImageValid) {
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
    logs.clear();
    ASSERT_EQ(0, partition_dset("wan.mode", "wimax-long"));
    EXPECT_EQ(before, root.read(device_partition("FactoryConfig")));
    EXPECT_EQ(0, logs.count("Dset - Config"));
    // Unset every key: the run's container entry stays.
    ASSERT_EQ(0, partition_dunset("a"));
    ASSERT_EQ(0, partition_dunset("wan.mode"));
    ASSERT_EQ(0, partition_dunset("wan.mode"));
    EXPECT_EQ(oracle({defcont(), cont("system.cfg"), conf("name", "factory-name")}), image_in("FactoryConfig"));
    // The factory tail stays all 0xFF.
    std::string part = root.read(device_partition("FactoryConfig"));
    EXPECT_EQ(std::string(16, '\xff'), part.substr(part.size() - 16));

    // Partitions written before images named the image they came from: a
    // copy equal to the image still stands in for it; a different one is
    // older and is dropped, never loaded.
    const std::string now = factory_with({{"x", "now"}}), older = factory_with({{"x", "older"}});
    for (const std::string &copy : {now, older}) {
        std::string legacy = root.read(device_partition("FactoryConfig"));
        std::fill(legacy.begin(), legacy.end() - 16, '\xff');
        legacy.replace(0, now.size(), now);
        legacy.replace(DEVICE_PARTITION_SIZE / 2, copy.size(), copy);
        root.write(device_partition("FactoryConfig"), legacy);
        ASSERT_EQ(0, partition_reload(1));
        EXPECT_EQ("now", get("x"));
        legacy = root.read(device_partition("FactoryConfig"));
        legacy[64] ^= 1;
        root.write(device_partition("FactoryConfig"), legacy);
        ASSERT_EQ(0, partition_reload(1));
        EXPECT_EQ(copy == now ? "now" : "<none>", get("x"));
    }
}

TEST_F(Partition, BackupRestoreAndTheTreeArchiveRoundTrip) {
    root.write("/tmp/sc/tree0/sys", "tree line\n");
    ASSERT_EQ(0, config_set("name", "saved"));
    std::string backup = root.at("/backup.bin");
    ASSERT_EQ(0, partition_backup_cfgfile(backup.c_str()));
    std::string file = root.read("/backup.bin");
    EXPECT_EQ(file.size(), cfgpack_get32(file.data() + 4)); // the bare image
    EXPECT_EQ(0, check(file));
    // A backup that fails leaves the one before as it was, and nothing
    // beside it; one through a link writes where the link leads.
    const size_t names = static_cast<size_t>(std::distance(std::filesystem::directory_iterator(root.path()), {}));
    power_budget = 100;
    partition_set_write_hook(write_until_power_loss);
    EXPECT_EQ(-1, partition_backup_cfgfile(backup.c_str()));
    partition_set_write_hook(nullptr);
    EXPECT_TRUE(file == root.read("/backup.bin"));
    EXPECT_EQ(names, static_cast<size_t>(std::distance(std::filesystem::directory_iterator(root.path()), {})));
    std::filesystem::rename(backup, root.at("/real.bin"));
    std::filesystem::create_symlink("real.bin", backup);
    ASSERT_EQ(0, partition_backup_cfgfile(backup.c_str()));
    EXPECT_TRUE(std::filesystem::is_symlink(backup));

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
}

using PartitionProbe = Partition;
using PartitionPowerLoss = Partition;

TEST_F(PartitionProbe, TakesTheFactorySizeFromProcPartitions) {
    for (const char *label : {"FactoryConfig", "ConfigPack1", "ConfigPack2"})
        ASSERT_EQ(0, truncate(root.at(device_partition(label)).c_str(), 524288));
    // "mmcblk0p50" must not be taken for "mmcblk0p5".
    root.write("/proc/partitions", "major minor  #blocks  name\n\n 179 50 4 mmcblk0p50\n 179 5 512 mmcblk0p5\n");
    EXPECT_EQ(0, partition_init(&op));
    EXPECT_EQ(524288u, partition_size());
    // Sizes that are no whole number of pages keep the default.
    for (const char *bad : {" 179 5 20 mmcblk0p5\n", " 179 5 99999999999999 mmcblk0p5\n", " 179 5 0 mmcblk0p5\n"}) {
        root.write("/proc/partitions", bad);
        EXPECT_EQ(-1, partition_init(&op));
        EXPECT_EQ(262144u, partition_size());
    }
}

// Factory defaults as "key=<length><letter>;" in key order.
std::string render(const std::map<std::string, std::string> &kv) {
    std::string text;
    for (auto &[k, v] : kv)
        text += k + "=" + std::to_string(v.size()) + v[0] + ";";
    return text;
}

// The factory defaults the store shows.
std::string factory_state() {
    std::map<std::string, std::string> kv;
    if (ContDefault) {
        list_for_each(pos, &ContDefault->config) {
            struct config *c = list_entry(pos, struct config, sibling);
            kv[c->key] = c->value;
        }
    }
    return render(kv);
}

// Seeded random factory edits, growing the image past the room of its spare
// copy and back, each one cut by a power loss after every page it writes: the
// factory state found afterwards is the one before the edit or after it, and
// a damage of the image afterwards brings back that same state or none.
// TARVI_TEST_SEED replays a run.
TEST_F(PartitionPowerLoss, EveryFactoryEditCutAtEveryPageLeavesTheLastStateOrTheOneBefore) {
    // Partitions of eight pages: the spare copy takes images of up to three.
    constexpr uint32_t SIZE = 8 * PARTITION_PAGE_SIZE;
    for (const char *label : {"FactoryConfig", "ConfigPack1", "ConfigPack2"})
        ASSERT_EQ(0, truncate(root.at(device_partition(label)).c_str(), SIZE));
    root.write("/proc/partitions", " 179 5 64 mmcblk0p5\n");
    const char *env = getenv("TARVI_TEST_SEED");
    const unsigned seed = env ? static_cast<unsigned>(strtoul(env, nullptr, 10)) : 1u;
    std::minstd_rand rng(seed);
    const std::string label = device_partition("FactoryConfig");
    const size_t unlimited = SIZE_MAX;
    std::map<std::string, std::string> model;
    size_t bigSize = 22000;
    boot();
    ASSERT_EQ(SIZE, partition_size());
    std::string state = factory_state();
    for (int step = 0; step < 24; ++step) {
        // One big default wanders across the room of the spare copy, small
        // ones come and go.
        const unsigned pick = static_cast<unsigned>(rng() % 10);
        const bool unset = pick >= 8;
        const std::string key = pick < 5 ? "big" : "k" + std::to_string(rng() % 3);
        size_t size = 1 + rng() % 300;
        if (pick < 5) {
            long grown = static_cast<long>(bigSize) + static_cast<long>(rng() % 6000) - 2500;
            bigSize = size = static_cast<size_t>(std::clamp(grown, 1L, 36000L));
        }
        const std::string value(size, static_cast<char>('a' + step % 26));
        const std::string what = "seed " + std::to_string(seed) + ", step " + std::to_string(step) + ": " +
                                 (unset ? "unset " + key : "set " + key + " to " + std::to_string(value.size()));
        auto edit = [&] {
            partition_set_write_hook(write_until_power_loss);
            int rc = unset ? partition_dunset(key.c_str()) : partition_dset(key.c_str(), value.c_str());
            partition_set_write_hook(nullptr);
            return rc;
        };
        const std::string flash = root.read(label);
        power_budget = unlimited;
        int rc = edit();
        const size_t pages = (unlimited - power_budget) / PARTITION_PAGE_SIZE;
        const std::string after = root.read(label);
        boot();
        const std::string next = factory_state();
        if (rc == 0 && unset)
            model.erase(key);
        else if (rc == 0)
            model[key] = value;
        ASSERT_EQ(render(model), next) << what;
        for (size_t cut = 0; cut < pages; ++cut) {
            root.write(label, flash);
            boot();
            power_budget = cut * PARTITION_PAGE_SIZE;
            edit();
            boot();
            const std::string found = factory_state();
            EXPECT_TRUE(found == state || found == next) << what << ", cut after page " << cut << ": " << found;
            std::string part = root.read(label);
            part[64] ^= 1;
            root.write(label, part);
            boot();
            const std::string damaged = factory_state();
            EXPECT_TRUE(damaged == found || damaged.empty()) << what << ", cut after page " << cut << ": " << damaged;
        }
        root.write(label, after);
        state = next;
    }
}

// A commit, a commit that waits for confirmation, and its confirmation, each
// cut by a power loss after any page and inside the tail: a plain commit
// leaves the old or the new state, a waiting one always the old, and a
// confirmation the old until the one byte it changes is written, the new from
// then on.
TEST_F(PartitionPowerLoss, EveryCommitAndConfirmationCutAnywhereLeavesTheOldOrTheNewState) {
    // About 100 KB of settings: the image spans a dozen pages.
    constexpr int KEYS = 400;
    std::string defaults;
    std::vector<std::string> keys;
    for (int i = 0; i < KEYS; ++i) {
        keys.push_back("key." + std::to_string(i));
        defaults += keys.back() + "=" + std::string(200, 'd') + "\n";
    }
    lay_device(root, defaults);
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
    const size_t written = (dataPages + 1) * PARTITION_PAGE_SIZE; // data pages and the last page
    const size_t tailAt = PARTITION_PAGE_SIZE - PARTITION_TAIL_SIZE;

    // Bytes written before the power goes: two places in every page, and
    // in the last page's tail each byte of the magic's first (the only one
    // a confirmation changes) and the fields' bounds.
    auto cuts_in = [&](size_t pages) {
        std::vector<size_t> cuts;
        for (size_t page = 0; page < pages; ++page)
            for (size_t in : {size_t{0}, size_t{4096}})
                cuts.push_back(page * PARTITION_PAGE_SIZE + in);
        for (size_t in : {size_t{0}, size_t{8}, size_t{9}, size_t{12}, size_t{15}, size_t{16}})
            cuts.push_back((pages - 1) * PARTITION_PAGE_SIZE + tailAt + in);
        return cuts;
    };

    enum Kind { COMMIT, WAITING_COMMIT, CONFIRMATION };
    for (Kind kind : {COMMIT, WAITING_COMMIT, CONFIRMATION}) {
        // A confirmation writes the last page alone.
        for (size_t cut : cuts_in(kind == CONFIRMATION ? 1 : dataPages + 1)) {
            root.write(device_partition("ConfigPack1"), p1);
            root.write(device_partition("ConfigPack2"), p2);
            boot();
            ASSERT_EQ('a', state());
            set_all('b');
            if (kind == CONFIRMATION) {
                ASSERT_EQ(0, partition_flush_pending());
            }
            power_budget = cut;
            partition_set_write_hook(write_until_power_loss);
            int rc = kind == COMMIT           ? partition_flush(0)
                     : kind == WAITING_COMMIT ? partition_flush_pending()
                                              : partition_confirm();
            partition_set_write_hook(nullptr);
            const size_t whole = kind == CONFIRMATION ? PARTITION_PAGE_SIZE : written;
            EXPECT_EQ(cut >= whole ? 0 : -1, rc) << kind << " cut after " << cut;
            boot();
            char now = state(), want = 'a';
            if (kind == COMMIT && cut >= written - PARTITION_PAGE_SIZE + tailAt)
                want = now == 'b' ? 'b' : 'a';            // the tail torn: either serial number may hold
            if (kind == CONFIRMATION && cut > tailAt + 8) // the magic's first byte is the one that differs
                want = 'b';
            EXPECT_EQ(want, now) << kind << " cut after " << cut << " bytes";
            // Nothing waits after a restart: the next commit goes to the
            // partition that was cut and succeeds.
            set_all('c');
            ASSERT_EQ(0, partition_flush(0));
            boot();
            ASSERT_EQ('c', state());
        }
    }
}

// While an image waits for confirmation nothing else is committed; a roll
// back brings the last confirmed state back at once, a confirmation makes the
// waiting one the newest under its serial number.
TEST_F(Partition, AWaitingCommitIsConfirmedOrRolledBack) {
    ASSERT_EQ(0, config_set("name", "first"));
    ASSERT_EQ(0, partition_flush(0)); // ConfigPack2, serial 1
    ASSERT_EQ(-1, partition_confirm());
    ASSERT_EQ(-1, partition_rollback());
    for (const char *last : {"rolled back", "confirmed"}) {
        ASSERT_EQ(0, config_set("name", last));
        ASSERT_EQ(0, partition_flush_pending());
        EXPECT_EQ(0, partition_pending_index());
        EXPECT_EQ(-1, partition_flush(1));
        EXPECT_EQ(-1, partition_flush_pending());
        EXPECT_EQ(-1, partition_restore_default(0));
        EXPECT_EQ(last, get("name"));
        if (strcmp(last, "confirmed") == 0) {
            // The confirmation changes one byte of the partition: the magic's first.
            const std::string was = root.read(device_partition("ConfigPack1"));
            ASSERT_EQ(0, partition_confirm());
            const std::string now = root.read(device_partition("ConfigPack1"));
            ASSERT_EQ(was.size(), now.size());
            std::vector<size_t> changed;
            for (size_t i = 0; i < was.size(); ++i)
                if (was[i] != now[i])
                    changed.push_back(i);
            EXPECT_EQ(std::vector<size_t>{was.size() - 8}, changed);
            EXPECT_EQ(2u, partition_serial(0));
        } else {
            ASSERT_EQ(0, partition_rollback());
            EXPECT_EQ("first", get("name"));
            EXPECT_EQ(PARTITION_NO_SERIAL, partition_serial(0));
        }
        EXPECT_EQ(-1, partition_pending_index());
    }
    EXPECT_EQ(-1, partition_confirm());
    boot();
    EXPECT_EQ("confirmed", get("name"));
    EXPECT_EQ(0, partition_current_index());

    // A confirmation whose write fails after its one byte landed: the roll
    // back takes the mark back, so the next start loads the confirmed image.
    ASSERT_EQ(0, config_set("name", "dropped"));
    ASSERT_EQ(0, partition_flush_pending());
    power_budget = PARTITION_PAGE_SIZE - PARTITION_TAIL_SIZE + 9;
    partition_set_write_hook(write_until_power_loss);
    EXPECT_EQ(-1, partition_confirm());
    partition_set_write_hook(nullptr);
    ASSERT_EQ(0, partition_rollback());
    EXPECT_TRUE(logs.has("mark taken back"));
    boot();
    EXPECT_EQ("confirmed", get("name"));
}

TEST_F(Partition, AReadBackMismatchFailsAndTheNextCommitRetriesTheSamePartition) {
    ASSERT_EQ(0, config_set("name", "first"));
    ASSERT_EQ(0, partition_flush(0)); // ConfigPack2, serial 1
    ASSERT_EQ(0, config_set("name", "second"));
    partition_set_write_hook(write_flipped);
    EXPECT_EQ(-1, partition_flush(0));
    partition_set_write_hook(nullptr);
    EXPECT_TRUE(logs.has("Update - Can not update ConfigPack on " + root.at("/dev/disk/by-partlabel/ConfigPack1") +
                         " for ConfigPack1 with serialNo 2"));
    EXPECT_EQ(1u, partition_serial(1));
    EXPECT_EQ(PARTITION_NO_SERIAL, partition_serial(0));
    // The changed flag stays, so a plain commit retries, same partition and serial.
    ASSERT_EQ(0, partition_flush(0));
    EXPECT_EQ(2u, partition_serial_of(root, "ConfigPack1"));
    boot();
    EXPECT_EQ("second", get("name"));
}

TEST_F(Partition, ARestoreChecksTheWholeImageBeforeAnythingChanges) {
    root.write("/tmp/sc/tree0/sys", "current\n");
    ASSERT_EQ(0, config_set("name", "committed"));
    ASSERT_EQ(0, partition_flush(0));
    const std::string p1 = root.read(device_partition("ConfigPack1")), p2 = root.read(device_partition("ConfigPack2"));
    const std::string tree = folder_fingerprint(root.at("/tmp/sc"));
    const std::string outside = root.at("/outside");
    using M = ArchiveMember;
    std::string escape =
        make_archive({{M::Link, "./esc", outside}, {M::Folder, "./esc", ""}, {M::File, "./esc/x", ""}});
    std::string bomb = make_archive({{M::File, "big", std::string(SC_ARCHIVE_MAX_BYTES + 1, '\0')}});
    std::string good = make_archive({{M::File, "./tree0/sys", "restored\n"}});
    const std::vector<Ent> settings = {cont("system.cfg"), conf("name", "restored")};
    auto with = [&](std::vector<Ent> ents) {
        ents.insert(ents.begin(), settings.begin(), settings.end());
        return oracle(ents);
    };
    struct Row {
        const char *what;
        std::string image;
    } rows[] = {
        {"an archive that escapes", with({{2, 2, escape}})},
        {"an archive that expands beyond the bound", with({{2, 2, bomb}})},
        {"an archive that is no archive", with({{2, 2, "junk"}})},
        {"a good archive and a bad one", with({{2, 2, good}, {2, 2, escape}})},
        {"a config entry without its value", with({{1, 0, std::string("k\0v", 3)}})},
        {"a container without its name", oracle({{0, 0, "noname"}, conf("name", "restored")})},
    };
    for (const Row &row : rows) {
        root.write("/bad.bin", row.image);
        ASSERT_EQ(0, check(row.image)) << row.what;
        EXPECT_EQ(-1, partition_restore_cfgfile(root.at("/bad.bin").c_str())) << row.what;
        EXPECT_EQ("committed", get("name")) << row.what;
        EXPECT_EQ(p1, root.read(device_partition("ConfigPack1"))) << row.what;
        EXPECT_EQ(p2, root.read(device_partition("ConfigPack2"))) << row.what;
        EXPECT_EQ(tree, folder_fingerprint(root.at("/tmp/sc"))) << row.what;
        EXPECT_FALSE(root.exists("/outside")) << row.what;
    }
    // The same settings with a good archive are restored, tree folder and all.
    root.write("/good.bin", with({{2, 2, good}}));
    ASSERT_EQ(0, partition_restore_cfgfile(root.at("/good.bin").c_str()));
    EXPECT_EQ("restored", get("name"));
    EXPECT_EQ("restored\n", root.read("/tmp/sc/tree0/sys"));
}

// ---- the image tool ----

using PackRun = command_result;

PackRun pack(const ScratchRoot &root, const std::string &args) {
    return run_command("cd " + root.path() + " && " + target_command(TARVI_PACK_PATH) + " " + args + " 2>&1");
}

using TarviPack = Partition;

TEST_F(TarviPack, BuildsImagesAndPartitionsTheDaemonLoads) {
    root.write("/system.cfg", "name=cpe\nwan.mode=dhcp\n=skipped\nno-equal\nlast=kept");
    root.write("/network.cfg", "lan.ip=192.168.1.1\n");
    ASSERT_EQ(0, pack(root, "build -o default.bin system.cfg network.cfg").status);
    ASSERT_EQ(0, pack(root, "check default.bin").status);
    PackRun show = pack(root, "show default.bin");
    EXPECT_EQ(0, show.status);
    EXPECT_NE(std::string::npos,
              show.out.find("containers:\n  [system.cfg]\n    name=cpe\n    wan.mode=dhcp\n    last=kept\n  "
                            "[network.cfg]\n    lan.ip=192.168.1.1\n"))
        << show.out;
    EXPECT_NE(std::string::npos, show.out.find("validity: valid\n"));

    ASSERT_EQ(0, pack(root, "factory -o factory.bin --default wan.mode=lte --default new.key=a=b").status);
    ASSERT_EQ(0, pack(root, "partition --size 262144 --factory factory.bin -o factory.part").status);
    show = pack(root, "show factory.part");
    EXPECT_NE(std::string::npos, show.out.find("(262144 bytes, a partition)\ntail: no user image"));
    EXPECT_NE(std::string::npos, show.out.find("  [Not-Reset Default]\n    new.key=a=b\n    wan.mode=lte\n"));
    ASSERT_EQ(0, pack(root, "partition --size 262144 --serial 7 default.bin -o user.part").status);
    EXPECT_NE(std::string::npos, pack(root, "show user.part").out.find("tail: user image, serialNo 7\n"));

    // What the tool lays out is what the daemon reads.
    root.write("/usr/cfg/default.bin", root.read("/default.bin"));
    root.write(device_partition("FactoryConfig"), root.read("/factory.part"));
    root.write(device_partition("ConfigPack1"), root.read("/user.part"));
    boot();
    EXPECT_STREQ("a=b", config_get("new.key"));
    EXPECT_STREQ("dhcp", config_get("wan.mode")); // the user image holds the firmware value
    EXPECT_EQ(7u, partition_serial(0));

    // A damaged image: check fails quietly, show names the first failed rule.
    std::string img = root.read("/default.bin");
    img[140] ^= 1;
    root.write("/bad.bin", img);
    PackRun checked = pack(root, "check bad.bin");
    EXPECT_EQ(1, checked.status);
    EXPECT_EQ("", checked.out);
    show = pack(root, "show bad.bin");
    EXPECT_EQ(1, show.status);
    EXPECT_NE(std::string::npos, show.out.find("validity: invalid: Check - CFG Header : Checksum is incorrect  !!"));

    // Wrong use is a usage error; an image that does not fit is refused.
    EXPECT_EQ(2, pack(root, "build default.bin").status);
    EXPECT_EQ(2, pack(root, "partition --size 1000 default.bin -o x").status);
    root.write("/big.cfg", std::string(20000, 'k') + "=v\n");
    ASSERT_EQ(0, pack(root, "build -o big.bin big.cfg").status);
    EXPECT_EQ(1, pack(root, "partition --size 16384 --serial 1 big.bin -o x").status);
    EXPECT_EQ(2, pack(root, "frobnicate").status);
    // A full disk shows only when the stream is closed: one failure, no crash.
    PackRun full = pack(root, "build -o /dev/full system.cfg");
    EXPECT_EQ(1, full.status);
    EXPECT_NE(std::string::npos, full.out.find("tarvi-pack: can not write /dev/full: ")) << full.out;
}

TEST_F(TarviPack, ExtractsTheTreeArchiveSafely) {
    root.write("/tree/tree0/sys", "node\n");
    ASSERT_EQ(0, system(("cd " + root.path() + " && tar -czf good.tgz -C tree . && echo x > evil.tgz").c_str()));
    struct list none;
    list_init(&none);
    for (const char *name : {"good", "evil"}) {
        char *img = nullptr;
        std::string arch = root.at(std::string("/") + name + ".tgz");
        std::string size = root.read(std::string("/") + name + ".tgz");
        ASSERT_EQ(0, partition_pack_containers(&none, arch.c_str(), static_cast<uint32_t>(size.size()), 65536, &img));
        root.write(std::string("/") + name + ".bin", std::string(img, cfgpack_get32(img + 4)));
        free(img);
    }
    PackRun show = pack(root, "show good.bin");
    EXPECT_NE(std::string::npos, show.out.find("  ./\n  ./tree0/\n  ./tree0/sys\n")) << show.out;
    ASSERT_EQ(0, pack(root, "extract-sc good.bin out").status);
    EXPECT_EQ("node\n", root.read("/out/tree0/sys"));
    // A refused archive (here no archive at all) leaves the folder.
    EXPECT_EQ(1, pack(root, "extract-sc evil.bin out").status);
    EXPECT_EQ("node\n", root.read("/out/tree0/sys"));
    EXPECT_EQ(1, pack(root, "extract-sc default-less.bin out").status);
}
