// The flat store (hashing, shadowing, notifications, regrowth) and
// its text-file backend (default, factory and user files, flushes, backups).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "file.h"
#include "log.h"
#include "md5.h"
#include "scratch.h"
#include "store.h"

namespace {

std::vector<void *> notified;
void record_notify(void *node) { notified.push_back(node); }

class Store : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(0, config_store_init());
        TARVI_KEY_CHANGE = 0;
        ALLOW_RESUME_VALUE = 0;
        notified.clear();
        config_sc_notify_hook = record_notify;
        cont_ = container_new("system.cfg");
        list_add_tail(&cont_->next, &ContList);
    }
    void TearDown() override {
        config_sc_notify_hook = nullptr;
        free_store();
    }
    // An entry loaded the way a backend loads one: on the container's list
    // and at the head of its bucket.
    struct config *load(const char *key, const char *value) {
        struct config *c = config_new(key, value);
        c->container = cont_;
        list_add_tail(&c->sibling, &cont_->config);
        list_add(&c->next, &ConfigHashTable[hash_config(key)]);
        return c;
    }
    struct container *cont_ = nullptr;
};

} // namespace

// Keys are whole and case-sensitive, though only 31 characters are hashed;
// the newest entry of a key shadows older ones; unknown keys go to Runtime.
TEST_F(Store, KeysShadowingAndTheRuntimeContainer) {
    std::string a = std::string(31, 'x') + "tail-one", b = std::string(31, 'x') + "2";
    load(a.c_str(), "a");
    load(b.c_str(), "b");
    EXPECT_STREQ("a", config_get(a.c_str()));
    EXPECT_EQ(nullptr, config_get(std::string(31, 'x').c_str()));
    load("key", "old");
    struct config *newer = load("key", "new");
    EXPECT_EQ(newer, find_config("key"));
    EXPECT_STREQ("new", config_get("key"));
    EXPECT_EQ(nullptr, config_get("Key"));
    EXPECT_EQ(cont_, find_container("system.cfg"));
    EXPECT_EQ(nullptr, find_container("system"));

    ASSERT_EQ(0, config_set("fresh", "1"));
    EXPECT_STREQ("1", config_get("fresh"));
    EXPECT_EQ(ContRuntime, find_config("fresh")->container);
    EXPECT_EQ(&find_config("fresh")->sibling, ContRuntime->config.prev);
    EXPECT_EQ(0, TARVI_KEY_CHANGE);
}

TEST_F(Store, LongerValuesRegrowShorterOnesStayInPlace) {
    struct config *c = load("k", "abcdef");
    char *buf = c->linebuf;
    uint32_t cap = c->linebufsz;
    ASSERT_EQ(0, config_set("k", "xy"));
    EXPECT_EQ(buf, c->linebuf);
    EXPECT_EQ(cap, c->linebufsz);
    EXPECT_STREQ("xy", config_get("k"));

    ASSERT_EQ(0, config_set("k", "a much longer value"));
    EXPECT_STREQ("k", c->key);
    EXPECT_STREQ("a much longer value", config_get("k"));

    // A value taken from the entry's own buffer survives the move.
    ASSERT_EQ(0, config_set("k", c->value + 2));
    EXPECT_STREQ("much longer value", config_get("k"));
}

TEST_F(Store, NotificationsReachTheLatestRegisteredNodeFirst) {
    int n1, n2;
    load("bound", "1");
    ASSERT_EQ(0, config_notify_register("bound", &n1));
    ASSERT_EQ(0, config_notify_register("bound", &n2));
    ASSERT_EQ(0, config_set("bound", "2"));
    ASSERT_EQ(2u, notified.size());
    EXPECT_EQ(&n2, notified[0]);
    EXPECT_EQ(&n1, notified[1]);

    // No change, no notification; the tree's own write path never notifies.
    notified.clear();
    ASSERT_EQ(0, config_set("bound", "2"));
    ASSERT_EQ(0, config_sc_tarvi_set("bound", "3"));
    EXPECT_TRUE(notified.empty());

    EXPECT_EQ(0, config_notify_unregister("nokey", &n1));
    EXPECT_EQ(0, config_notify_unregister("bound", &n2));
    EXPECT_EQ(-1, config_notify_unregister("bound", &n2));
    ASSERT_EQ(0, config_set("bound", "4"));
    ASSERT_EQ(1u, notified.size());
    EXPECT_EQ(&n1, notified[0]);

    // Registering an absent key makes a placeholder that no container stores.
    ASSERT_EQ(0, config_notify_register("later", &n1));
    EXPECT_EQ(nullptr, find_config("later")->container);
    EXPECT_STREQ("", config_get("later"));
    ASSERT_EQ(0, config_set("later", "v"));
    EXPECT_STREQ("v", config_get("later"));
    EXPECT_EQ(2u, notified.size());
    EXPECT_TRUE(list_empty(&ContRuntime->config));
}

TEST_F(Store, TreeWritePathStoresWithoutFlagsOrNotifications) {
    struct config *c = load("wan", "x");
    EXPECT_EQ(-1, config_sc_tarvi_set("wan", nullptr));
    EXPECT_STREQ("x", config_get("wan"));

    ASSERT_EQ(0, config_sc_tarvi_set("wan", "yz"));
    EXPECT_STREQ("yz", config_get("wan"));
    EXPECT_EQ(0, TARVI_KEY_CHANGE);
    EXPECT_EQ(CONTAINER_CHANGED, cont_->flag & CONTAINER_CHANGED);

    ASSERT_EQ(0, config_sc_tarvi_set("tree.only", "t"));
    EXPECT_EQ(ContRuntime, find_config("tree.only")->container);

    char *copy = nullptr;
    EXPECT_EQ(0, config_sc_tarvi_get("wan", &copy));
    ASSERT_NE(nullptr, copy);
    EXPECT_STREQ("yz", copy);
    EXPECT_NE(c->value, copy);
    free(copy);
    EXPECT_EQ(0, config_sc_tarvi_get("missing", &copy));
    EXPECT_EQ(nullptr, copy);
}

namespace {

std::vector<std::string> logged;
void capture_log(int prio, const char *msg) { logged.push_back(std::to_string(prio) + " " + msg); }

class FileBackend : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(config_store_init(), 0);
        logged.clear();
        notified.clear();
        tarvi_log_set_sink(capture_log);
        config_sc_notify_hook = record_notify;
    }
    void TearDown() override {
        config_sc_notify_hook = nullptr;
        tarvi_log_set_sink(nullptr);
        free_store();
    }

    static std::string get(const char *key) {
        const char *v = config_get(key);
        return v ? v : "<none>";
    }
    // "key=value" of each key, blank-separated.
    static std::string values(std::initializer_list<const char *> keys) {
        std::string out;
        for (const char *k : keys)
            out += (out.empty() ? "" : " ") + std::string(k) + "=" + get(k);
        return out;
    }

    // Every entry sits in the bucket of its key and no key is there twice.
    static void expect_table_sound() {
        std::map<std::string, int> seen;
        for (int i = 0; i < CONFIG_HASH_SIZE; ++i) {
            list_for_each(pos, &ConfigHashTable[i]) {
                struct config *c = list_entry(pos, struct config, next);
                EXPECT_EQ(hash_config(c->key), i) << c->key;
                EXPECT_EQ(++seen[c->key], 1) << "key in the table twice: " << c->key;
            }
        }
    }

    static std::vector<std::string> lines_of(const char *container) {
        std::vector<std::string> out;
        struct container *cont = find_container(container);
        if (!cont)
            return out;
        list_for_each(pos, &cont->config) {
            struct config *c = list_entry(pos, struct config, sibling);
            out.push_back(std::string(c->key) + "=" + c->value);
        }
        return out;
    }

    // Lays the files (device path, content), then reloads with the user files.
    void reload_with(const std::vector<std::pair<std::string, std::string>> &files) {
        for (auto &[path, text] : files)
            root.write(path, text);
        ASSERT_EQ(file_reload(1), 0);
    }

    std::string provisioned(const char *rel) const {
        return std::to_string(LOG_INFO) + " " + root.at(rel) + " provisioned";
    }

    ScratchRoot root;
};

using Lines = std::vector<std::string>;

TEST_F(FileBackend, ParsesDefaultFiles) {
    reload_with({{"/usr/cfg/a.cfg", "x=1\ny=a=b\n=z\nno equal sign\n\nlast=kept"},
                 {"/usr/cfg/nul.cfg", std::string("p=1\0q=2\n", 8)},
                 {"/usr/cfg/notes.txt", "n=1\n"},
                 {"/usr/cfg/dir.cfg/inner", "d=1\n"}});

    EXPECT_EQ(lines_of("a.cfg"), (Lines{"x=1", "y=a=b", "last=kept"}));
    EXPECT_EQ(lines_of("nul.cfg"), (Lines{"p=1", "q=2"}));
    EXPECT_EQ(find_container("notes.txt"), nullptr);
    EXPECT_EQ(find_container("dir.cfg"), nullptr);
    EXPECT_EQ("y=a=b last=kept n=<none>", values({"y", "last", "n"}));
    expect_table_sound();
    EXPECT_TRUE(logged.empty());
}

TEST_F(FileBackend, LongLinesUpToTheBoundAreKept) {
    const size_t bound = 64 * 1024 - 1;
    std::string at_bound = "big=" + std::string(bound - 4, 'v');
    std::string over = "huge=" + std::string(bound - 4, 'w');
    reload_with({{"/usr/cfg/a.cfg", "k15=abcdefghijk\nk16=abcdefghijkl\n" + at_bound + "\n" + over + "\nafter=1"}});
    EXPECT_EQ(get("k15"), "abcdefghijk");
    EXPECT_EQ(get("k16"), "abcdefghijkl");
    EXPECT_EQ(get("big"), at_bound.substr(4));
    EXPECT_EQ(get("huge"), "<none>");
    EXPECT_EQ(get("after"), "1");
}

TEST_F(FileBackend, FactoryAndUserFilesOverrideDefaults) {
    root.write("/usr/cfg/a.cfg", "x=1\ny=1\nz=1\n");
    root.write("/mnt/default.cfg", "x=2\nonly=factory\n");
    root.write("/mnt/tarvi/a.cfg", "x=3\ny=3\nghost=9\nonly=user\n");

    ASSERT_EQ(file_reload(1), 0);
    EXPECT_EQ("x=3 y=3 z=1", values({"x", "y", "z"}));
    EXPECT_EQ(get("only"), "factory"); // a user file holds only keys of the default files
    EXPECT_EQ(get("ghost"), "<none>");

    ASSERT_EQ(file_reload(0), 0);
    EXPECT_EQ("x=2 y=1 only=factory", values({"x", "y", "only"}));
    ASSERT_EQ(file_reload(1), 0);
    EXPECT_EQ(get("x"), "3");
    expect_table_sound();

    // The user file is there, so nothing is pending.
    ASSERT_EQ(file_flush(0), 0);
    EXPECT_TRUE(logged.empty());

    // Restoring the defaults writes them into the user file.
    ASSERT_EQ(file_restore_default(0), 0);
    EXPECT_EQ(get("x"), "2");
    EXPECT_EQ(root.read("/mnt/tarvi/a.cfg"), "x=2\ny=1\nz=1\n");
}

TEST_F(FileBackend, FlushWritesChangedContainers) {
    reload_with({{"/usr/cfg/a.cfg", "a1=1\na2=2\n"}, {"/usr/cfg/b.cfg", "b1=x\n"}, {"/mnt/tarvi/a.cfg", "a2=two\n"}});

    // b.cfg has no user file yet, so the first commit writes it.
    ASSERT_EQ(file_flush(0), 0);
    EXPECT_EQ(logged, (Lines{provisioned("/mnt/tarvi/b.cfg")}));
    EXPECT_EQ(root.read("/mnt/tarvi/b.cfg"), "b1=x\n");
    EXPECT_EQ(root.read("/mnt/tarvi/a.cfg"), "a2=two\n");
    EXPECT_FALSE(root.exists("/mnt/tarvi/b.cfg.1"));

    logged.clear();
    ASSERT_EQ(file_flush(0), 0);
    EXPECT_TRUE(logged.empty());

    ASSERT_EQ(config_set("a1", "one"), 0);
    ASSERT_EQ(file_flush(0), 0);
    EXPECT_EQ(logged, (Lines{provisioned("/mnt/tarvi/a.cfg")}));
    EXPECT_EQ(root.read("/mnt/tarvi/a.cfg"), "a1=one\na2=two\n");

    logged.clear();
    ASSERT_EQ(file_flush(1), 0);
    EXPECT_EQ(logged, (Lines{provisioned("/mnt/tarvi/a.cfg"), provisioned("/mnt/tarvi/b.cfg")}));

    // A newline in a value cannot be stored in a line; it must not forge a
    // second key either.
    ASSERT_EQ(config_set("a1", "v\na2=forged"), 0);
    ASSERT_EQ(file_flush(0), 0);
    EXPECT_EQ(root.read("/mnt/tarvi/a.cfg"), "a1=v\na2=two\n");
}

TEST_F(FileBackend, FirstFlushCreatesTheUserFolder) {
    reload_with({{"/usr/cfg/a.cfg", "k=v\n"}});
    ASSERT_FALSE(root.exists("/mnt"));
    ASSERT_EQ(file_flush(0), 0);
    EXPECT_EQ(root.read("/mnt/tarvi/a.cfg"), "k=v\n");

    // A user "folder" that is a file makes the flush fail and keeps the flag.
    std::filesystem::remove_all(root.at("/mnt/tarvi"));
    root.write("/mnt/tarvi", "not a folder");
    ASSERT_EQ(config_set("k", "w"), 0);
    EXPECT_EQ(file_flush(0), -1);
    EXPECT_TRUE(find_container("a.cfg")->flag & CONTAINER_CHANGED);
}

TEST_F(FileBackend, FactoryEditsRewriteTheOverrideFile) {
    root.write("/usr/cfg/a.cfg", "x=1\n");
    EXPECT_EQ(file_dset("x", "5"), -1); // no overrides before the first reload
    EXPECT_EQ(file_dunset("x"), -1);

    ASSERT_EQ(file_reload(1), 0);
    ASSERT_EQ(file_dset("x", "5"), 0);
    ASSERT_EQ(file_dset("extra", "e"), 0);
    EXPECT_EQ(root.read("/mnt/default.cfg"), "x=5\nextra=e\n");
    EXPECT_FALSE(root.exists("/mnt/default.cfg.1"));
    EXPECT_EQ(get("x"), "1"); // visible from the next reload on
    EXPECT_EQ(get("extra"), "<none>");

    ASSERT_EQ(file_reload(1), 0);
    EXPECT_EQ(get("x"), "5");
    EXPECT_EQ(get("extra"), "e");

    ASSERT_EQ(file_dset("x", "a longer value than before"), 0);
    EXPECT_EQ(root.read("/mnt/default.cfg"), "x=a longer value than before\nextra=e\n");

    // Removing an override that is shown by itself takes the key away.
    ASSERT_EQ(file_dunset("extra"), 0);
    EXPECT_EQ(root.read("/mnt/default.cfg"), "x=a longer value than before\n");
    EXPECT_EQ(get("extra"), "<none>");
    expect_table_sound();
    EXPECT_EQ(file_dunset("extra"), -1);

    // Lines that would read back as something else are refused.
    EXPECT_EQ(file_dset("a=b", "1"), -1);
    EXPECT_EQ(file_dset("", "1"), -1);
    EXPECT_EQ(file_dset("k", "1\nx=evil"), -1);
    EXPECT_EQ(root.read("/mnt/default.cfg"), "x=a longer value than before\n");
}

TEST_F(FileBackend, OverridesShownByThemselvesStayOnceInTheTable) {
    root.write("/usr/cfg/a.cfg", "x=1\n");
    root.write("/mnt/default.cfg", "solo=f\nsolo=g\n");
    int node;
    ASSERT_EQ(file_reload(1), 0);
    ASSERT_EQ(config_notify_register("solo", &node), 0);
    for (int user = 1; user >= 0; --user) {
        ASSERT_EQ(file_reload(user), 0);
        EXPECT_EQ(get("solo"), "g");
        expect_table_sound();
    }

    // A new default file takes the key over from the override.
    root.write("/usr/cfg/b.cfg", "solo=fw\n");
    ASSERT_EQ(file_reload(0), 0);
    EXPECT_EQ(get("solo"), "g");
    EXPECT_EQ(find_config("solo")->container, find_container("b.cfg"));
    expect_table_sound();
    ASSERT_EQ(config_set("solo", "via b"), 0);
    EXPECT_EQ(notified, (std::vector<void *>{&node}));
    notified.clear();

    // ...and gives it back when it goes away again.
    ASSERT_EQ(unlink(root.at("/usr/cfg/b.cfg").c_str()), 0);
    ASSERT_EQ(file_reload(1), 0);
    EXPECT_EQ(get("solo"), "g");
    EXPECT_EQ(find_config("solo")->container, ContDefault);
    expect_table_sound();
    // No commit writes the override's container: a change is refused.
    EXPECT_EQ(config_set("solo", "changed"), -1);
    EXPECT_EQ(get("solo"), "g");
    EXPECT_TRUE(notified.empty());
}

TEST_F(FileBackend, ReloadKeepsOneEntryPerKey) {
    reload_with({{"/usr/cfg/a.cfg", "dup=from a\nx=1\n"}, {"/usr/cfg/b.cfg", "dup=from b\n"}});
    EXPECT_EQ(get("dup"), "from b"); // files load in name order; the later one wins
    EXPECT_EQ(lines_of("a.cfg"), (Lines{"dup=from a", "x=1"}));
    expect_table_sound();

    // Memory-only keys give way to a default file that starts defining them,
    // and change registrations follow the key.
    int node_x, node_r, node_p;
    ASSERT_EQ(config_set("r", "runtime"), 0);
    ASSERT_EQ(config_notify_register("r", &node_r), 0);
    ASSERT_EQ(config_notify_register("p", &node_p), 0); // placeholder
    ASSERT_EQ(config_notify_register("x", &node_x), 0);
    reload_with({{"/usr/cfg/c.cfg", "r=cfg\np=cfg\n"}});
    expect_table_sound();
    EXPECT_EQ(get("r"), "cfg");
    EXPECT_TRUE(list_empty(&ContRuntime->config));

    ASSERT_EQ(config_set("r", "1"), 0);
    ASSERT_EQ(config_set("p", "1"), 0);
    ASSERT_EQ(config_set("x", "2"), 0);
    EXPECT_EQ(notified, (std::vector<void *>{&node_r, &node_p, &node_x}));
    EXPECT_EQ(config_notify_unregister("x", &node_x), 0);
}

TEST_F(FileBackend, FailedReloadLeavesTheStoreAsItWas) {
    reload_with({{"/usr/cfg/a.cfg", "x=1\ny=1\n"}, {"/mnt/default.cfg", "only=f\n"}});
    ASSERT_EQ(config_set("x", "unsaved"), 0);
    ASSERT_EQ(config_set("rt", "r"), 0);
    struct container *before = find_container("a.cfg");
    struct container *defaults = ContDefault;

    auto unchanged = [&] {
        EXPECT_EQ(find_container("a.cfg"), before);
        EXPECT_EQ(ContDefault, defaults);
        EXPECT_EQ("x=unsaved rt=r only=f", values({"x", "rt", "only"}));
        EXPECT_EQ(lines_of("a.cfg"), (Lines{"x=unsaved", "y=1"}));
        EXPECT_TRUE(before->flag & CONTAINER_CHANGED);
        expect_table_sound();
    };

    root.write("/usr/cfg/b.cfg", "b=1\n");
    ASSERT_EQ(symlink("/nonexistent/target", root.at("/usr/cfg/zz.cfg").c_str()), 0);
    EXPECT_EQ(file_reload(1), -1);
    unchanged();
    EXPECT_EQ(get("b"), "<none>");

    ASSERT_EQ(rename(root.at("/usr/cfg/zz.cfg").c_str(), root.at("/usr/cfg/zz.old").c_str()), 0);
    ASSERT_EQ(rename(root.at("/usr/cfg").c_str(), root.at("/usr/cfg.away").c_str()), 0);
    EXPECT_EQ(file_reload(0), -1);
    unchanged();

    ASSERT_EQ(rename(root.at("/usr/cfg.away").c_str(), root.at("/usr/cfg").c_str()), 0);
    // The dangling link left there is no ".cfg" and does not matter.
    ASSERT_EQ(file_reload(1), 0);
    EXPECT_EQ("x=1 b=1 rt=r", values({"x", "b", "rt"}));
    expect_table_sound();
}

class FileBackup : public FileBackend {
  protected:
    void SetUp() override {
        FileBackend::SetUp();
        root.write("/usr/cfg/a.cfg", "x=1\ny=2\n");
        root.write("/usr/cfg/b.cfg", "z=3\n");
        make_dirs(root.at("/var/run"));
        ASSERT_EQ(file_reload(1), 0);
    }

    // The header as documented: ver 1, flags, "KZ", MD5 over ver, tag, the
    // 12 reserved zero bytes and the body, then the reserved bytes.
    static std::string backup_image(const std::string &body, uint8_t flags = 0) {
        std::string covered = std::string("\x01KZ", 3) + std::string(12, '\0') + body;
        md5_ctx ctx;
        uint8_t digest[16];
        md5_init(&ctx);
        md5_update(&ctx, covered.data(), static_cast<unsigned>(covered.size()));
        md5_final(digest, &ctx);
        std::string image = {'\x01', static_cast<char>(flags), 'K', 'Z'};
        image.append(reinterpret_cast<const char *>(digest), 16);
        image.append(12, '\0');
        return image + body;
    }
};

TEST_F(FileBackup, WritesHeaderAndLines) {
    ASSERT_EQ(config_set("y", "two"), 0);
    std::string path = root.at("/backup.bin");
    ASSERT_EQ(file_backup_cfgfile(path.c_str()), 0);
    EXPECT_EQ(root.read("/backup.bin"), backup_image("x=1\ny=two\nz=3\n"));

    ASSERT_EQ(file_backup_cfgfile(nullptr), 0);
    EXPECT_EQ(root.read("/var/run/tarvi.bak"), backup_image("x=1\ny=two\nz=3\n"));
    root.write("/var/run/tarvi.bak", std::string(200, 'j'));
    ASSERT_EQ(file_backup_cfgfile(""), 0);
    EXPECT_EQ(root.read("/var/run/tarvi.bak"), backup_image("x=1\ny=two\nz=3\n"));

    EXPECT_EQ(file_backup_cfgfile(root.at("/no/such/dir/file").c_str()), -1);
    ASSERT_EQ(mkfifo(root.at("/fifo").c_str(), 0600), 0);
    EXPECT_EQ(file_backup_cfgfile(root.at("/fifo").c_str()), -1); // refused, not waited on
    EXPECT_EQ(file_backup_cfgfile(root.path().c_str()), -1);
}

TEST_F(FileBackup, RestoreTakesCheckedValues) {
    std::string path = root.at("/backup.bin");
    std::string good = backup_image("x=10\nz=30\nunknown=1\n");
    root.write("/backup.bin", good);
    ASSERT_EQ(file_restore_cfgfile(path.c_str()), 0);
    EXPECT_EQ("x=10 y=2 z=30 unknown=<none>", values({"x", "y", "z", "unknown"}));
    EXPECT_EQ(root.read("/mnt/tarvi/a.cfg"), "x=10\ny=2\n");
    EXPECT_EQ(root.read("/mnt/tarvi/b.cfg"), "z=30\n");

    // A round trip through the default path.
    ASSERT_EQ(config_set("y", "20"), 0);
    ASSERT_EQ(file_backup_cfgfile(nullptr), 0);
    ASSERT_EQ(config_set("y", "other"), 0);
    ASSERT_EQ(file_restore_cfgfile(nullptr), 0);
    EXPECT_EQ(get("y"), "20");
}

TEST_F(FileBackup, RestoreRefusesDamagedFiles) {
    std::string path = root.at("/backup.bin");
    std::string good = backup_image("x=10\n");

    std::string changed_body = good;
    changed_body[FILE_BACKUP_HEADER_SIZE + 2] = '9';
    std::string wrong_version = good;
    wrong_version[0] = 2;
    std::string wrong_tag = good;
    wrong_tag[3] = 'Y';
    std::string changed_reserved = good;
    changed_reserved[25] = 1;
    for (const std::string &bad :
         {changed_body, wrong_version, wrong_tag, changed_reserved, good.substr(0, 31), std::string()}) {
        root.write("/backup.bin", bad);
        EXPECT_EQ(file_restore_cfgfile(path.c_str()), -1);
        EXPECT_EQ(get("x"), "1");
    }
    EXPECT_EQ(file_restore_cfgfile(root.at("/missing").c_str()), -1);
    EXPECT_EQ(file_restore_cfgfile(root.path().c_str()), -1);
    ASSERT_EQ(mkfifo(root.at("/fifo").c_str(), 0600), 0);
    EXPECT_EQ(file_restore_cfgfile(root.at("/fifo").c_str()), -1); // and does not wait for a writer
    EXPECT_FALSE(root.exists("/mnt/tarvi/a.cfg"));

    // With flags bit value 1 the checksum is not looked at.
    changed_body[1] = FILE_BACKUP_FLAG_NO_CKSUM;
    root.write("/backup.bin", changed_body);
    ASSERT_EQ(file_restore_cfgfile(path.c_str()), 0);
    EXPECT_EQ(get("x"), "90");

    // A header with an empty body restores nothing but still writes the files.
    root.write("/backup.bin", backup_image(""));
    ASSERT_EQ(file_restore_cfgfile(path.c_str()), 0);
    EXPECT_EQ(get("x"), "90");
}

} // namespace
