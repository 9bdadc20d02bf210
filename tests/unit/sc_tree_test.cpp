// The configuration tree: URI rules, search and insert, walk orders, deletion
// and dirty marking.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sc_debug.h"
#include "sc_memiface.h"
#include "sc_tree.h"
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
    testing::internal::CaptureStdout();
    DebugLevel = 1;
    EXPECT_EQ(-1, sc_createNodeThroughURI(&tree_, "./A", &node));
    EXPECT_EQ(nullptr, node);
    EXPECT_EQ(-1, sc_createNodeThroughURI(&tree_, "./X/Y", &node));
    EXPECT_EQ(-1, sc_createNodeThroughURI(&tree_, "./A/", &node));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("This URI Exists!!"));
    EXPECT_NE(std::string::npos, out.find("No such position for URI ./X/Y to insert!!"));
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

TEST_F(Tree, LevelCountsTableTemplates) {
    EXPECT_EQ(0, sc_getLevelOfNode(add("./T")));
    EXPECT_EQ(1, sc_getLevelOfNode(add("./T/-1")));
    add("./T/-1/U");
    EXPECT_EQ(2, sc_getLevelOfNode(add("./T/-1/U/-1")));
    EXPECT_EQ(100, sc_getLevelOfNode(nullptr));
}

TEST_F(Tree, HandLinkedChildrenAreFoundInScanOrder) {
    SCTreeNode *a = add("./A");
    SCTreeNode *b1 = add("./A/B");
    add("./A/B/x");
    // A second child with the same URI, linked by hand: the first one in
    // insertion order keeps answering, and the second takes over once the
    // first is gone.
    SCTreeNode *b2 = sc_createNode(sc_createData("./A/B"));
    sc_appendChild(a, b2);
    // A child whose URI is not "<parent>/<name>" takes the names it covers
    // when it comes first: ./A/C/D matches it at "C" and then finds no "D"
    // below it, although ./A/C (inserted later) has room for one.
    SCTreeNode *odd = sc_createNode(sc_createData("./A/C/D"));
    sc_appendChild(a, odd);
    SCTreeNode *c = add("./A/C");
    EXPECT_EQ(b1, find("./A/B"));
    EXPECT_NE(nullptr, find("./A/B/x"));
    EXPECT_EQ(c, find("./A/C"));
    SCTreeNode *parent = nullptr, *found = nullptr;
    EXPECT_EQ(SC_DATA_NOT_FOUND, search("./A/C/D", &parent, &found));
    EXPECT_EQ(nullptr, parent);
    EXPECT_EQ(SC_DATA_NOT_FOUND, search("./A/D", &parent, &found));
    EXPECT_EQ(a, parent);

    sc_deleteSubTree(&b1);
    EXPECT_EQ(b2, find("./A/B"));
    EXPECT_EQ(nullptr, find("./A/B/x"));
    SCTreeNode *none = nullptr;
    sc_deleteSubTree(&none);
    sc_deleteSubTree(nullptr);
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

TEST_F(Tree, DebugLevelGatesMessages) {
    add("./A");
    changeDebugLevel(5);
    EXPECT_EQ(5u, DebugLevel);
    changeDebugLevel(6);
    EXPECT_EQ(5u, DebugLevel);
    changeDebugLevel(0);
    EXPECT_EQ(0u, DebugLevel);

    // Silent at level 0, failures from 1, traces from 3.
    testing::internal::CaptureStdout();
    SCTreeNode *n = nullptr;
    sc_createNodeThroughURI(&tree_, "./A", &n);
    changeDebugLevel(1);
    sc_createNodeThroughURI(&tree_, "./B", &n);
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    testing::internal::CaptureStdout();
    changeDebugLevel(3);
    sc_createNodeThroughURI(&tree_, "./C", &n);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("[sc_createNodeThroughURI] ./C!!"));
    EXPECT_NE(std::string::npos, out.find("Insert the URI ./C to SCTreeNode..."));
    EXPECT_EQ(std::string::npos, out.find("--> sc_searchNode"));
    testing::internal::CaptureStdout();
    changeDebugLevel(4);
    find("./C");
    EXPECT_EQ("--> sc_searchNode\n[sc_searchNode] uri=./C\n<-- sc_searchNode\n",
              testing::internal::GetCapturedStdout());
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
