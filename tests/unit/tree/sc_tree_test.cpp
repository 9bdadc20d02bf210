// The configuration tree: URI rules, search and insert, walk orders, deletion
// and dirty marking; and node values bound to fields of flat keys: the binding
// grammar, field extraction and replacement, and the node-level get and set.
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
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

class Tree : public ::testing::Test {
  protected:
    void SetUp() override {
        DebugLevel = 0;
        sc_initSCType(&SC);
        ASSERT_EQ(0, sc_initTree(&tree_, sc_createData(".")));
    }
    void TearDown() override {
        DebugLevel = 0;
        sc_deleteSubTree(&tree_.root);
    }
    SCTreeNode *add(const char *uri) {
        SCTreeNode *node = nullptr;
        EXPECT_EQ(0, sc_createNodeThroughURI(&tree_, uri, &node)) << uri;
        EXPECT_NE(nullptr, node) << uri;
        return node;
    }
    int search(const char *uri, SCTreeNode **parent, SCTreeNode **found) {
        return sc_searchNode(&tree_, uri, parent, found);
    }
    SCTreeNode *find(const char *uri) {
        SCTreeNode *parent = nullptr, *found = nullptr;
        return search(uri, &parent, &found) == SC_DATA_FOUND ? found : nullptr;
    }
    // A module file registered in SC.
    FileType &module() {
        list_init(&file_.node);
        list_init(&file_.dirty);
        list_init(&file_.NotifyList);
        list_add(&file_.file, &SC.FileList);
        return file_;
    }
    SCTreeType tree_{};
    FileType file_{};
};

std::vector<std::string> visited;
int record(SCTreeNode *node) {
    visited.push_back(node->data->uri);
    return 0;
}
int record_post(SCTreeNode *node, void *) { return record(node); }
int stop_at_second(SCTreeNode *node, void *count) {
    visited.push_back(node->data->uri);
    return ++*static_cast<int *>(count) == 2 ? 7 : 0;
}

std::string with_separators(int n) {
    std::string uri = ".";
    for (int i = 0; i < n; ++i)
        uri += "/a";
    return uri;
}

} // namespace

TEST_F(Tree, UriSyntax) {
    for (const char *uri : {".", "./A/B", "./A//B"}) // empty components are not this check's business
        EXPECT_EQ(0, sc_checkValidUri(uri)) << uri;
    for (const char *uri : {"./", "./A/", "./A\\", "/A", "\\A", "", static_cast<const char *>(nullptr)})
        EXPECT_EQ(SC_CMD_FAILED, sc_checkValidUri(uri)) << (uri ? uri : "(null)");
    EXPECT_EQ(0, sc_checkValidUri(with_separators(15).c_str()));
    EXPECT_EQ(SC_CMD_FAILED, sc_checkValidUri(with_separators(16).c_str()));
    std::string mixed = with_separators(14) + "\\b";
    EXPECT_EQ(0, sc_checkValidUri(mixed.c_str()));
    EXPECT_EQ(SC_CMD_FAILED, sc_checkValidUri((mixed + "\\c").c_str()));

    std::string max = "./" + std::string(253, 'x');
    ASSERT_EQ(255u, max.size());
    EXPECT_EQ(0, sc_checkValidUri(max.c_str()));
    EXPECT_EQ(SC_URI_TOO_LONG, sc_checkValidUri((max + "y").c_str()));

    SCDataType *data = sc_createData(max.c_str());
    ASSERT_NE(nullptr, data);
    EXPECT_STREQ(max.c_str(), data->uri);
    sc_freeData(data);
    EXPECT_EQ(nullptr, sc_createData((max + "y").c_str()));
    EXPECT_EQ(nullptr, sc_createData(""));
    EXPECT_EQ(nullptr, sc_createData(nullptr));
}

TEST_F(Tree, NextNameSkipsTheRootDotAndOneSeparator) {
    char name[SC_URI_BUF_SIZE];
    int err = -1;
    const char *rest = sc_getNextNodeName("./A/BC", name, &err);
    EXPECT_EQ(0, err);
    EXPECT_STREQ("A", name);
    EXPECT_STREQ("/BC", rest);
    rest = sc_getNextNodeName(rest, name, &err);
    EXPECT_STREQ("BC", name);
    EXPECT_STREQ("", rest);

    EXPECT_STREQ("", sc_getNextNodeName(".", name, &err));
    EXPECT_STREQ(".", name);
    EXPECT_EQ(nullptr, sc_getNextNodeName("./", name, &err));
    EXPECT_EQ(SC_CMD_FAILED, err);
    EXPECT_EQ(nullptr, sc_getNextNodeName(nullptr, name, &err));
    EXPECT_EQ(SC_CMD_FAILED, err);
    // A name that does not fit the buffer is refused, not copied.
    std::string longname = "/" + std::string(300, 'n');
    EXPECT_EQ(nullptr, sc_getNextNodeName(longname.c_str(), name, &err));
    EXPECT_EQ(SC_URI_TOO_LONG, err);
}

TEST_F(Tree, SearchMatchesWholeNamesAndReportsInsertableParents) {
    SCTreeNode *a = add("./A");
    SCTreeNode *bc = add("./A/BC");
    SCTreeNode *parent = nullptr, *found = nullptr;

    EXPECT_EQ(SC_DATA_FOUND, search(".", &parent, &found));
    EXPECT_EQ(tree_.root, found);
    EXPECT_EQ(SC_CMD_FAILED, search("./", &parent, &found));
    EXPECT_EQ(SC_CMD_FAILED, search("", &parent, &found));
    EXPECT_EQ(SC_CMD_FAILED, search("//A", &parent, &found)); // names nothing, finds nothing
    EXPECT_EQ(SC_CMD_FAILED, sc_searchNode(nullptr, "./A", &parent, &found));

    EXPECT_EQ(SC_DATA_FOUND, search("./A/BC", &parent, &found));
    EXPECT_EQ(bc, found);
    EXPECT_EQ(a, parent);

    // ./A/BC is no match for ./A/B: the prefix must end at '/' or the end.
    EXPECT_EQ(SC_DATA_NOT_FOUND, search("./A/B", &parent, &found));
    EXPECT_EQ(nullptr, found);
    EXPECT_EQ(a, parent);

    // Two levels missing: nowhere to insert.
    EXPECT_EQ(SC_DATA_NOT_FOUND, search("./A/B/C", &parent, &found));
    EXPECT_EQ(nullptr, parent);
    SCTreeNode *b = add("./A/B");
    EXPECT_EQ(SC_DATA_NOT_FOUND, search("./A/B/C", &parent, &found));
    EXPECT_EQ(b, parent);

    // Not below the root's "./" at all.
    EXPECT_EQ(SC_DATA_NOT_FOUND, search("A/B", &parent, &found));
    EXPECT_EQ(nullptr, parent);
    std::string too_long = "./A/" + std::string(300, 'x');
    EXPECT_EQ(SC_URI_TOO_LONG, search(too_long.c_str(), &parent, &found));
    EXPECT_EQ(nullptr, parent);
}

TEST_F(Tree, InsertRefusesExistingAndOrphanUris) {
    add("./A");
    SCTreeNode *node = reinterpret_cast<SCTreeNode *>(1);
    EXPECT_EQ(-1, sc_createNodeThroughURI(&tree_, "./A", &node));
    EXPECT_EQ(nullptr, node);
    EXPECT_EQ(-1, sc_createNodeThroughURI(&tree_, "./X/Y", &node));
    EXPECT_EQ(-1, sc_createNodeThroughURI(&tree_, "./A/", &node));
    // Nothing was linked by the failures.
    EXPECT_EQ(nullptr, find("./A")->child);
    EXPECT_EQ(nullptr, find("./A")->sibling);
}

TEST_F(Tree, ChildrenKeepInsertionOrderInEveryWalk) {
    add("./A");
    add("./A/Y");
    add("./A/X");
    add("./A/Y/1");
    add("./B");
    add("./A/Z");

    visited.clear();
    sc_preTraverseTree(tree_.root, record);
    EXPECT_EQ((std::vector<std::string>{".", "./A", "./A/Y", "./A/Y/1", "./A/X", "./A/Z", "./B"}), visited);

    // A walk stays inside the start node's subtree.
    visited.clear();
    sc_preTraverseTree(find("./A/Y"), record);
    EXPECT_EQ((std::vector<std::string>{"./A/Y", "./A/Y/1"}), visited);

    visited.clear();
    sc_postTraverseTree(tree_.root, record_post, nullptr);
    EXPECT_EQ((std::vector<std::string>{"./A/Y/1", "./A/Y", "./A/X", "./A/Z", "./A", "./B"}), visited);

    visited.clear();
    sc_postTraverseTree(find("./B"), record_post, nullptr);
    EXPECT_TRUE(visited.empty());

    // A non-zero result ends the post-order walk and is handed back.
    int count = 0;
    visited.clear();
    EXPECT_EQ(7, sc_postTraverseTree(tree_.root, stop_at_second, &count));
    EXPECT_EQ((std::vector<std::string>{"./A/Y/1", "./A/Y"}), visited);
}

TEST_F(Tree, DeletionFreesSharedRecordsOnceAndDropsRegistrations) {
    ASSERT_EQ(0, config_store_init());
    SOType so{};
    so.name = sc_util_strdup("libshared.so");
    list_add(&so.chain, &SC.SOList);
    SOType nso{};
    nso.name = sc_util_strdup("libnotify.so");
    list_add(&nso.chain, &SC.NSOList);

    add("./T");
    SCTreeNode *tmpl = add("./T/-1");
    auto *cb = static_cast<CBDataType *>(SC_ZALLOC(sizeof(CBDataType)));
    cb->so = so.name; // shared with the SOType
    cb->get = sc_util_strdup("f(get)");
    cb->arg = sc_util_strdup("arg");
    tmpl->data->CBData = cb;
    auto *nt = static_cast<NotifyType *>(SC_ZALLOC(sizeof(NotifyType)));
    nt->so = nso.name;
    nt->cb = sc_util_strdup("f(on)");
    tmpl->data->Notify = nt;

    // Two instances made from the template borrow its records.
    for (const char *uri : {"./T/1", "./T/2"}) {
        SCTreeNode *inst = add(uri);
        inst->data->InstNode = find("./T");
        inst->data->CBData = cb;
        auto *copy = static_cast<NotifyType *>(SC_ZALLOC(sizeof(NotifyType)));
        *copy = *nt;
        inst->data->Notify = copy;
        auto *key = static_cast<TarviKeyType *>(SC_ZALLOC(sizeof(TarviKeyType)));
        list_init(&key->split);
        key->key = sc_util_strdup(uri[4] == '1' ? "k1" : "k2");
        inst->data->TarviKey = key;
        ASSERT_EQ(0, config_notify_register(key->key, inst));
    }
    struct config *k1 = find_config("k1");
    ASSERT_NE(nullptr, k1);
    SCTreeNode *one = find("./T/1");
    sc_deleteSubTree(&one);
    EXPECT_TRUE(list_empty(&k1->notify));
    EXPECT_FALSE(list_empty(&find_config("k2")->notify));

    // Deleting the whole table (template first in post-order) frees the
    // template's records once; ASan reports any double free or leak.
    SCTreeNode *table = find("./T");
    sc_deleteSubTree(&table);
    EXPECT_TRUE(list_empty(&find_config("k2")->notify));
    SC_FREE(so.name);
    SC_FREE(nso.name);
    free_store();
}

TEST_F(Tree, DeletedNodesLeaveTheirModuleLists) {
    FileType &file = module();
    SCTreeNode *a = add("./A");
    list_add(&a->file, &file.node);
    a->dirty = &file.dirty;
    list_add(&a->notify, &file.NotifyList);
    EXPECT_EQ(0, sc_setNodeDirty(a));
    IPCType ipc{};
    ipc.node = a;
    a->ipc = &ipc;
    sc_deleteSubTree(&a);
    EXPECT_EQ(nullptr, ipc.node); // a running exchange must not reach the freed node
    EXPECT_TRUE(list_empty(&file.node));
    EXPECT_TRUE(list_empty(&file.dirty));
    EXPECT_TRUE(list_empty(&file.NotifyList));
    SCTreeNode *none = nullptr;
    sc_deleteSubTree(&none);
    sc_deleteSubTree(nullptr);
}

TEST_F(Tree, DirtyMarkingSetsTheModuleFlagAndQueuesOnce) {
    FileType &file = module();
    SCTreeNode *a = add("./A");
    SCTreeNode *b = add("./B");
    a->dirty = b->dirty = &file.dirty;

    EXPECT_EQ(0, sc_IsDirty(&SC));
    EXPECT_EQ(0, sc_setNodeDirty(a));
    EXPECT_EQ(0, sc_setNodeDirty(a));
    EXPECT_EQ(0, sc_setNodeDirty(b));
    EXPECT_EQ(1, sc_IsDirty(&SC));
    int count = 0;
    list_for_each(pos, &file.dirty)++ count;
    EXPECT_EQ(2, count);
    // A save clears the flag only; the nodes stay listed.
    file.flag = 0;
    EXPECT_EQ(0, sc_IsDirty(&SC));
    EXPECT_EQ(0, sc_setNodeDirty(a));
    EXPECT_EQ(1, sc_IsDirty(&SC));
    count = 0;
    list_for_each(pos, &file.dirty)++ count;
    EXPECT_EQ(2, count);

    SCTreeNode *orphan = add("./C");
    EXPECT_EQ(-1, sc_setNodeDirty(orphan));
    list_del_init(&a->dirty_chain);
    list_del_init(&b->dirty_chain);
}

TEST(CwmpNotation, DotsBecomeSlashesUpToTheFirstField) {
    char line[] = "InternetGatewayDevice.Time.NTPServer1;A:RW,G:R;string;;v(a.b)";
    EXPECT_STREQ("InternetGatewayDevice/Time/NTPServer1;A:RW,G:R;string;;v(a.b)", sc_transCWMPtoSYS(line));
    char ref[] = "InternetGatewayDevice.Time.";
    EXPECT_STREQ("InternetGatewayDevice/Time", sc_transCWMPtoSYS(ref));
    char comment[] = "#a.b";
    EXPECT_STREQ("#a.b", sc_transCWMPtoSYS(comment));
    char sys[] = "./A/B";
    EXPECT_STREQ("./A/B", sc_transCWMPtoSYS(sys));
    std::string huge = "x" + std::string(400, '.');
    std::vector<char> buf(huge.begin(), huge.end());
    buf.push_back('\0');
    sc_transCWMPtoSYS(buf.data()); // stops at the bound, no overrun
    EXPECT_EQ(400u + 1, strlen(buf.data()));
}

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
        // Blanks inside fields, clearing a field.
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
