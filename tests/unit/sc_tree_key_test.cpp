// Node values bound to fields of flat keys: the binding grammar, field
// extraction and replacement, and the node-level get and set.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "sc_debug.h"
#include "sc_memiface.h"
#include "sc_tree.h"
#include "sc_tree_key.h"
#include "sc_utiliface.h"
#include "store.h"

namespace {

std::vector<std::pair<std::string, std::string>> notified;
int record_notify(SCTreeNode *node, const char *value) {
    notified.emplace_back(node->data->uri, value);
    return 0;
}

std::string ref_asked;
int fake_config_get(const char *uri, char **value) {
    ref_asked = uri;
    *value = sc_util_strdup("target-value");
    return 0;
}

class KeyBinding : public ::testing::Test {
  protected:
    void SetUp() override {
        DebugLevel = 0;
        ASSERT_EQ(0, config_store_init());
        notified.clear();
        sc_setNotify_hook = record_notify;
        sc_config_get_hook = nullptr;
        list_init(&file_.node);
        list_init(&file_.dirty);
        list_init(&file_.NotifyList);
    }
    void TearDown() override {
        for (SCTreeNode *n : nodes_)
            sc_deleteNode(n);
        sc_freeTarviKey(key_);
        sc_setNotify_hook = nullptr;
        sc_config_get_hook = nullptr;
        free_store();
    }

    // Parses `binding` into key_ (replacing any earlier one).
    void bind(const char *binding) {
        sc_freeTarviKey(key_);
        key_ = nullptr;
        ASSERT_EQ(0, sc_parseDataKey(binding, &key_)) << binding;
        ASSERT_NE(nullptr, key_);
    }
    // The field key_ selects in the flat value `flat`, or "(null)".
    std::string get(const char *flat) {
        if (flat)
            config_sc_tarvi_set(key_->key, flat);
        char *value = nullptr;
        int rc = sc_getStringFromTarviKeyForce(key_, &value);
        std::string out = value ? value : "(null)";
        SC_FREE(value);
        return rc == 0 ? out : "(fail)";
    }
    // The flat value after setting key_'s field to `value` in `flat`
    // (nullptr: the key has no value).
    std::string set(const char *flat, const char *value) {
        if (flat)
            config_sc_tarvi_set(key_->key, flat);
        if (sc_setStringToTarviKey(key_, value) != 0)
            return "(fail)";
        return flat_value();
    }
    std::string flat_value() {
        const char *v = config_get(key_->key);
        return v ? v : "(none)";
    }
    std::vector<std::pair<char, int>> stages() {
        std::vector<std::pair<char, int>> out;
        for (struct list *pos = key_->split.prev; pos != &key_->split; pos = pos->prev) {
            SplitType *s = list_entry(pos, SplitType, chain);
            out.emplace_back(s->delimiter, s->index);
        }
        return out;
    }
    SCTreeNode *node(const char *uri, u_16 dtype, const char *value = nullptr) {
        SCTreeNode *n = sc_createNode(sc_createData(uri));
        n->data->dtype = dtype;
        n->data->value = sc_util_strdup(value);
        n->dirty = &file_.dirty;
        nodes_.push_back(n);
        return n;
    }
    std::string node_get(SCTreeNode *n, int expect_rc = 0) {
        char *value = nullptr;
        EXPECT_EQ(expect_rc, sc_getStringFromNodeForce(n, &value));
        std::string out = value ? value : "(null)";
        SC_FREE(value);
        return out;
    }

    TarviKeyType *key_ = nullptr;
    FileType file_{};
    std::vector<SCTreeNode *> nodes_;
};

} // namespace

TEST_F(KeyBinding, ParsesKeysStagesAndPlaceholders) {
    bind("k(wan_cfg)split(;){2}split(,){$1}");
    EXPECT_STREQ("wan_cfg", key_->key);
    EXPECT_EQ((std::vector<std::pair<char, int>>{{';', 2}, {',', -1}}), stages());
    bind("k( lan )split( ){ #3 }split(:){20}");
    EXPECT_STREQ("lan", key_->key);
    EXPECT_EQ((std::vector<std::pair<char, int>>{{' ', -23}, {':', 20}}), stages());
    bind("k(;x)split(,){$20}split(,){#19}");
    EXPECT_STREQ("", key_->key);
    EXPECT_EQ((std::vector<std::pair<char, int>>{{',', -20}, {',', -39}}), stages());
    bind("k(whole)");
    EXPECT_TRUE(list_empty(&key_->split));

    std::string ten = "k(key)";
    for (int i = 0; i < 10; ++i)
        ten += "split(,){1}";
    bind(ten.c_str());
    EXPECT_EQ(10u, stages().size());

    TarviKeyType *untouched = reinterpret_cast<TarviKeyType *>(8);
    EXPECT_EQ(0, sc_parseDataKey("(){}", &untouched));
    EXPECT_EQ(reinterpret_cast<TarviKeyType *>(8), untouched);

    std::string eleven = ten + "split(,){1}";
    // Malformed bindings; $21 and #20 would alias other placeholders, a
    // negative number would read as one.
    for (const char *bad : {"k", "k(key)split(,){0}", "k(key)splt(,){1}", "k(key)split(,)", "k(key)split",
                            "k(key)split(,){$}", "k(key)split(,){#x}", "k(key)split(,){$21}", "k(key)split(,){#20}",
                            "k(key)split(,){-3}", "k(key)split(,){40000}", eleven.c_str()}) {
        TarviKeyType *k = nullptr;
        EXPECT_EQ(-1, sc_parseDataKey(bad, &k)) << bad;
        EXPECT_EQ(nullptr, k) << bad;
    }
}

struct FieldCase {
    const char *binding;
    const char *flat;  // nullptr: the key has no value
    const char *value; // written (for writes)
    const char *expected;
};

TEST_F(KeyBinding, ReadsFields) {
    const FieldCase cases[] = {
        // The worked examples.
        {"k(cfg)split(;){2}split(,){3}", "a,b;c,,d", nullptr, "d"},
        {"k(cfg)split(;){2}split(,){2}", "a,b;c,,d", nullptr, ""},
        {"k(cfg)split(;){3}", "a,b;c,,d", nullptr, "(null)"},
        {"k(cfg)split(;){1}split(,){1}", "a,b;c,,d", nullptr, "a"},
        // Blanks inside a field stay, including those around it.
        {"k(cfg)split(,){2}", "a b,c d", nullptr, "c d"},
        {"k(cfg)split(,){2}", "a,  c  ,e", nullptr, "  c  "},
        // Empty fields, missing fields, an empty value.
        {"k(cfg)split(,){2}", "a,,e", nullptr, ""},
        {"k(cfg)split(,){2}", "a,", nullptr, ""},
        {"k(cfg)split(,){2}", "a", nullptr, "(null)"},
        {"k(cfg)split(,){2}", "", nullptr, "(null)"},
        // A blank as delimiter.
        {"k(cfg)split( ){2}", "a b c", nullptr, "b"},
        {"k(cfg)split( ){2}", "a  c", nullptr, ""},
        // A placeholder not filled in numbers no field: it reads nothing,
        // not instance 1's field.
        {"k(cfg)split(,){$1}", "first,second", nullptr, "(null)"},
        {"k(cfg)split(,){#2}", "first,second", nullptr, "(null)"},
        // No stage: the whole value; the same delimiter twice.
        {"k(cfg)", "all of it\r\n", nullptr, "all of it"},
        {"k(cfg)split(;){2}split(;){1}", "a;b;c", nullptr, "b"},
        // The key has no value at all.
        {"k(missing)split(,){1}", nullptr, nullptr, "(fail)"},
    };
    for (const FieldCase &c : cases) {
        bind(c.binding);
        EXPECT_EQ(c.expected, get(c.flat)) << c.binding << " on " << (c.flat ? c.flat : "(none)");
    }
}

TEST_F(KeyBinding, WritesFields) {
    const FieldCase cases[] = {
        // The worked examples.
        {"k(cfg)split(,){2}", "x,y,z", "Q", "x,Q,z"},
        {"k(cfg)split(,){4}", "x,y", "Q", "x,y,,Q"},
        {"k(cfg)split(;){2}split(,){3}", "a", "Q", "a;,,Q"},
        {"k(fresh)split(,){3}", nullptr, "Q", ",,Q"},
        {"k(cfg)split(,){1}", "x,y", "Q", "Q,y"},
        // Empty fields, blanks inside fields, clearing a field.
        {"k(cfg)split(,){2}", "x,,z", "Q", "x,Q,z"},
        {"k(cfg)split(,){2}", "a b,x y,c d", "e f", "a b,e f,c d"},
        {"k(cfg)split(,){2}", "x,y,z", "", "x,,z"},
        {"k(cfg)split(,){3}", "x,y,", "Q", "x,y,Q"},
        // A blank as delimiter, also for the fields made on the way.
        {"k(cfg)split( ){2}", "a b c", "Q", "a Q c"},
        {"k(cfg)split( ){2}", "a", "Q", "a Q"},
        {"k(fresh2)split( ){3}", nullptr, "Q", "  Q"},
        {"k(cfg)split( ){3}", "", "Q", "  Q"},
        // Nested splits.
        {"k(cfg)split(;){2}split(,){2}", "a,b;c,d,e;f", "Q", "a,b;c,Q,e;f"},
        {"k(cfg)split(;){2}split(,){2}", "a;b", "Q", "a;b,Q"},
        // Blanks at a value's ends stay its own; a placeholder not filled in
        // writes nothing; no stage at all.
        {"k(cfg)split(,){2}", "x,y,z", " Q ", "x, Q ,z"},
        {"k(cfg)split(;){1}split(,){2}", "x,y", " ", "x, "},
        {"k(cfg)split(,){$1}", "first,second", "Q", "(fail)"},
        {"k(cfg)", "old value", " new whole ", " new whole "},
    };
    for (const FieldCase &c : cases) {
        bind(c.binding);
        EXPECT_EQ(c.expected, set(c.flat, c.value)) << c.binding << " on " << (c.flat ? c.flat : "(none)");
    }
}

TEST_F(KeyBinding, TheBlankMarkerByteIsNeverLostOrInvented) {
    bind("k(cfg)split(,){2}");
    EXPECT_EQ("b\xd6 c", get("\xd6"
                             "a b,b\xd6 c"));
    EXPECT_EQ("\xd6"
              "a b,Q",
              set("\xd6"
                  "a b,b\xd6 c",
                  "Q"));
    EXPECT_EQ("x,\xd6 y", set("x,z", "\xd6 y"));
    bind("k(cfg)split( ){2}");
    EXPECT_EQ("a Q c\xd6", set("a b c\xd6", "Q"));
    bind("k(cfg)split( ){3}");
    EXPECT_EQ("c\xd6", get(nullptr));
}

TEST_F(KeyBinding, ValuesBeyondTheWorkBufferAreRefusedNotCut) {
    bind("k(cfg)split(,){2}");
    std::string max = "a," + std::string(1021, 'b');
    EXPECT_EQ(std::string(1021, 'b'), get(max.c_str()));
    std::string over = max + "b";
    EXPECT_EQ("(fail)", get(over.c_str()));
    EXPECT_EQ("(fail)", set(over.c_str(), "Q"));
    EXPECT_EQ(over, flat_value());
    // A new value that would grow past the limit leaves the old one.
    EXPECT_EQ("(fail)", set(max.c_str(), (std::string(1021, 'c') + "cc").c_str()));
    EXPECT_EQ(max, flat_value());
    bind("k(big)split(,){2000}");
    EXPECT_EQ("(fail)", set(nullptr, "Q"));
    EXPECT_EQ("(none)", flat_value());
}

TEST_F(KeyBinding, NodeLiteralValues) {
    SCTreeNode *n = node("./V", SC_DTYPE_STRING | SC_DTYPE_VALUE, "old");
    n->data->Notify = static_cast<NotifyType *>(SC_ZALLOC(sizeof(NotifyType)));
    EXPECT_EQ("old", node_get(n));
    EXPECT_EQ(0, sc_setStringFromNodeForce(n, "old"));
    EXPECT_EQ(0u, file_.flag);
    EXPECT_TRUE(notified.empty());

    EXPECT_EQ(0, sc_setStringFromNodeForce(n, "new"));
    EXPECT_EQ("new", node_get(n));
    EXPECT_EQ(SC_FILE_FLAG_DIRTY, file_.flag);
    EXPECT_FALSE(list_empty(&n->dirty_chain));
    EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{{"./V", "new"}}), notified);

    std::string max(SC_NODE_VALUE_MAX_LEN, 'v');
    EXPECT_EQ(0, sc_setStringFromNodeForce(n, max.c_str()));
    EXPECT_EQ(-1, sc_setStringFromNodeForce(n, (max + "v").c_str()));
    EXPECT_EQ(max, node_get(n));

    SCTreeNode *empty = node("./E", SC_DTYPE_STRING | SC_DTYPE_VALUE);
    EXPECT_EQ("(null)", node_get(empty, -1));
    EXPECT_EQ(0, sc_setStringFromNodeForce(empty, "first"));
    EXPECT_EQ("first", node_get(empty));
    EXPECT_FALSE(list_empty(&empty->dirty_chain));
}

TEST_F(KeyBinding, NodeKeyBoundValues) {
    SCTreeNode *n = node("./K", SC_DTYPE_STRING | SC_DTYPE_KEY);
    ASSERT_EQ(0, sc_parseDataKey("k(wan)split(,){2}", &n->data->TarviKey));
    n->data->Notify = static_cast<NotifyType *>(SC_ZALLOC(sizeof(NotifyType)));
    EXPECT_EQ("(null)", node_get(n)); // no flat value yet: still 0
    config_sc_tarvi_set("wan", "a,b");
    EXPECT_EQ("b", node_get(n));

    EXPECT_EQ(0, sc_setStringFromNodeForce(n, "b"));
    EXPECT_TRUE(notified.empty());
    EXPECT_EQ(0, sc_setStringFromNodeForce(n, "c"));
    EXPECT_STREQ("a,c", config_get("wan"));
    EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{{"./K", "c"}}), notified);
    EXPECT_EQ(0u, file_.flag); // the flat store keeps it
    EXPECT_TRUE(list_empty(&n->dirty_chain));

    // A write the store refuses is reported and notifies nobody.
    config_sc_tarvi_set("wan", (std::string(1023, 'x')).c_str());
    EXPECT_EQ(-1, sc_setStringFromNodeForce(n, "d"));
    EXPECT_EQ(1u, notified.size());

    SCTreeNode *unbound = node("./U", SC_DTYPE_STRING | SC_DTYPE_KEY);
    EXPECT_EQ("(null)", node_get(unbound, -1));
    EXPECT_EQ(-1, sc_setStringFromNodeForce(unbound, "x"));
}

TEST_F(KeyBinding, NodeReferencesAndUntypedNodes) {
    SCTreeNode *r = node("./R", SC_DTYPE_STRING | SC_DTYPE_REF, "InternetGatewayDevice.Time.");
    EXPECT_EQ("(null)", node_get(r)); // nobody to ask yet: missing, not an error
    sc_config_get_hook = fake_config_get;
    EXPECT_EQ("target-value", node_get(r));
    EXPECT_EQ("InternetGatewayDevice/Time", ref_asked);
    EXPECT_STREQ("InternetGatewayDevice/Time", r->data->value);
    // A reference is written through the node it names, never here.
    EXPECT_EQ(-1, sc_setStringFromNodeForce(r, "ignored"));
    EXPECT_STREQ("InternetGatewayDevice/Time", r->data->value);
    EXPECT_EQ("(null)", node_get(node("./R2", SC_DTYPE_REF), -1));

    SCTreeNode *plain = node("./P", SC_DTYPE_NODE, "kept");
    char *untouched = reinterpret_cast<char *>(8);
    EXPECT_EQ(0, sc_getStringFromNodeForce(plain, &untouched));
    EXPECT_EQ(reinterpret_cast<char *>(8), untouched);
    EXPECT_EQ(-1, sc_setStringFromNodeForce(plain, "x"));
    EXPECT_STREQ("kept", plain->data->value);
}
