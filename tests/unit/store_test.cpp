// The flat store: hashing, shadowing, commit flags, notifications, regrowth.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

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

TEST_F(Store, ListingShowsContainersBucketsAndRuntime) {
    load("A", "1");
    ASSERT_EQ(0, config_set("B", "two"));
    int node;
    config_notify_register("C", &node);

    char *text = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&text, &len);
    config_dump_store(out);
    fclose(out);
    std::string listing(text, len);
    free(text);

    char line[160];
    snprintf(line, sizeof line,
             "system.cfg @ %p\nRuntime @ %p\nHASH[0]\nHASH[1]\n |-- A=\"1\" ---> in system.cfg @ %p\n",
             static_cast<void *>(cont_), static_cast<void *>(ContRuntime), static_cast<void *>(cont_));
    EXPECT_EQ(0u, listing.find(line)) << listing.substr(0, 300);
    snprintf(line, sizeof line, "HASH[2]\n |-- B=\"two\" ---> in Runtime @ %p\nHASH[3]\n |-- C=\"\"",
             static_cast<void *>(ContRuntime));
    EXPECT_NE(std::string::npos, listing.find(line));
    EXPECT_NE(std::string::npos, listing.find("HASH[63]\n[Runtime]\n |-- B=\"two\" ---> in Runtime @ "));
}
