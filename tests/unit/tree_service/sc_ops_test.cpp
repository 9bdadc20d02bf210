// Value operations and walks on a tree loaded the way the daemon loads it,
// without running callback programs (nodes whose write needs one are refused
// first).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "sc_fixture.h"
#include "sc_ops.h"
#include "sc_ops_cb.h"
#include "sc_ops_inst.h"
#include "sc_ops_walk.h"

namespace fs = std::filesystem;

namespace {

class TreeOps : public TreeDecl {
  protected:
    void SetUp() override {
        TreeDecl::SetUp();
        lay_usr("tests/fixtures/callbacks/usr");
        ASSERT_EQ(0, config_sc_reload(0));
    }
    std::string get(const char *uri) {
        char *v = nullptr;
        EXPECT_EQ(0, config_sc_get(uri, &v)) << uri;
        std::string out = v ? v : "<none>";
        SC_FREE(v);
        return out;
    }
};

TEST_F(TreeOps, MsetRollsBackOnARefusedItemAndRefusesLongLists) {
    sc_req_t refused[] = {{const_cast<char *>("sys/cbt/target"), const_cast<char *>("new")},
                          {const_cast<char *>("sys/cbt/noso"), const_cast<char *>("x")}};
    EXPECT_EQ(-1, config_sc_mset(refused, 2));
    EXPECT_EQ("t0", get("sys/cbt/target"));
    EXPECT_EQ("kept", get("sys/cbt/noso"));

    // A missing node is no refusal: nothing is rolled back.
    sc_req_t missing[] = {{const_cast<char *>("sys/cbt/target"), const_cast<char *>("a")},
                          {const_cast<char *>("sys/cbt/none"), const_cast<char *>("b")}};
    EXPECT_EQ(SC_DATA_NOT_FOUND, config_sc_mset(missing, 2));
    EXPECT_EQ("a", get("sys/cbt/target"));

    std::vector<sc_req_t> many(SC_MSET_MAX + 1, {const_cast<char *>("sys/cbt/target"), const_cast<char *>("z")});
    EXPECT_EQ(-1, config_sc_mset(many.data(), static_cast<u_16>(many.size())));
    EXPECT_EQ("a", get("sys/cbt/target"));

    sc_req_t read[] = {{const_cast<char *>("sys/cbt/number"), nullptr}, {const_cast<char *>("sys/cbt/x"), nullptr}};
    EXPECT_EQ(0, config_sc_mget(read, 2));
    EXPECT_STREQ("42", read[0].value);
    EXPECT_EQ(nullptr, read[1].value);
    SC_FREE(read[0].value);
}

TEST_F(TreeOps, TypedValuesUrisAndStagedLoads) {
    EXPECT_EQ(0, config_sc_set_int("sys/cbt/number", -5));
    s_32 i = 0;
    u_32 u = 7;
    EXPECT_EQ(0, config_sc_get_int("sys/cbt/number", &i));
    EXPECT_EQ(-5, i);
    EXPECT_EQ(-1, config_sc_get_uint("sys/cbt/number", &u));
    EXPECT_EQ(-1, config_sc_set_boolean("sys/cbt/number", 2));
    EXPECT_EQ(0, config_sc_set_boolean("sys/cbt/number", 0));
    int b = 1;
    EXPECT_EQ(0, config_sc_get_boolean("sys/cbt/number", &b));
    EXPECT_EQ(0, b);
    EXPECT_EQ(0, config_sc_set_uint("sys/cbt/number", 4000000000u));
    EXPECT_EQ("4000000000", get("sys/cbt/number"));

    // Stored URIs begin with "./": the longest a client can name is 253
    // characters.
    std::string longest = "sys/" + std::string(SC_URI_MAX_LEN - 6, 'n');
    std::string beyond = longest + "nnn";
    s_32 exist = 0;
    config_sc_is_exist(longest.c_str(), &exist);
    EXPECT_EQ(SC_DATA_NOT_FOUND, exist);
    config_sc_is_exist(beyond.c_str(), &exist);
    EXPECT_EQ(SC_URI_TOO_LONG, exist);
    EXPECT_EQ(SC_URI_TOO_LONG, config_sc_set(beyond.c_str(), "v"));
    char *limit = nullptr;
    EXPECT_EQ(SC_DATA_NOT_FOUND, config_sc_get_limit("sys/cbt/none", &limit));

    // A later stage needs a tree to add to; stage "0" starts one.
    sc_deleteSCTree(&SC);
    EXPECT_EQ(-1, config_sc_stage_reload(0, "1"));
    EXPECT_EQ(0, config_sc_stage_reload(0, "0"));
    EXPECT_EQ("42", get("sys/cbt/number"));
    EXPECT_EQ(0, config_sc_stage_reload(0, "1"));
}

// A table whose instances the profile declares, and a nested table.
const char SYS_PROFILE[] = "sys;A:R,G:R;node;;\n"
                           "sys/T;A:RWAD,G:R;node;;\n"
                           "sys/T/-1;A:RW,G:R;node;;\n"
                           "sys/T/-1/name;A:RW,G:R;string;;v(line$1)\n"
                           "sys/T/-1/port;A:RW,G:R;uint;;k(PORTS)split(,){$1}\n"
                           "sys/T/-1/note;A:RW,G:R;string;;\n"
                           "sys/T/1;A:RW,G:R;node;;\n"
                           "sys/T/2;A:RW,G:R;node;;\n"
                           "sys/T/40;A:RW,G:R;node;;\n"
                           "sys/T/3abc;A:RW,G:R;node;;\n"
                           "sys/N;A:RWAD,G:R;node;;\n"
                           "sys/N/-1;A:RW,G:R;node;;\n"
                           "sys/N/-1/U;A:RW,G:R;node;;\n"
                           "sys/N/-1/U/-1;A:RW,G:R;node;;\n"
                           "sys/N/-1/U/-1/leaf;A:RW,G:R;string;;v($1.$2)\n"
                           "sys/N/1;A:RW,G:R;node;;\n"
                           "sys/plain;A:RW,G:R;string;;v(p)\n";

class TreeInst : public TreeDecl {
  protected:
    void SetUp() override {
        TreeDecl::SetUp();
        root_.write("/usr/sc/profile0/sys.profile", SYS_PROFILE);
        fs::create_directories(root_.at("/usr/sc/profile1"));
        config_sc_cb_init();
        ASSERT_EQ(0, config_sc_tarvi_set("PORTS", "5060,5061"));
        ASSERT_EQ(0, config_sc_reload(0));
    }
    // The walk of `uri` in view `type`, one "uri:result" per entry.
    std::vector<std::string> walk(int type, int next_level, const char *uri) {
        std::vector<std::string> out;
        int id = -5;
        EXPECT_EQ(0, config_sc_get_tree_start(type, next_level, uri, &id));
        for (int rc; id == 1;) {
            char *u = nullptr;
            u_16 dtype = 0, attr = 0;
            rc = config_sc_get_tree_next(id, &u, &dtype, &attr);
            if (rc == SC_GET_NEXT_COMPLETE)
                break;
            out.push_back(std::string(u) + ":" + std::to_string(rc));
            SC_FREE(u);
        }
        return out;
    }
};

TEST_F(TreeInst, WalksHandOutTheirSubtreeOnceInReverseWithoutTemplates) {
    // Instances declared without their fields are completed on load,
    // whatever their names.
    std::vector<std::string> want;
    for (std::string inst : {"3abc", "40", "2", "1"}) {
        for (const char *field : {"/note", "/port", "/name"})
            want.push_back("./sys/T/" + inst + field + ":102");
        want.push_back("./sys/T/" + inst + ":101");
    }
    want.push_back("./sys/T:101");
    EXPECT_EQ(want, walk(ME_SYS, 0, "sys/T"));
    want.erase(want.begin());
    EXPECT_EQ(want, walk(ME_SYS, 1, "sys.T"));
    // A second start discards what the first left.
    int id = 0;
    ASSERT_EQ(0, config_sc_get_tree_start(ME_SYS, 0, "sys/N", &id));
    EXPECT_EQ(std::vector<std::string>({"./sys/plain:102"}), walk(ME_WEB, 0, "./sys/plain"));

    EXPECT_EQ(-1, config_sc_get_tree_start(7, 0, "sys", &id));
    EXPECT_EQ(0, id);
    char *u = nullptr;
    u_16 dtype = 1, attr = 1;
    EXPECT_EQ(-1, config_sc_get_tree_next(-1, &u, &dtype, &attr));

    // Deleting an instance takes its entries out of a walk in progress, and
    // a reload takes the whole walk with the tree.
    ASSERT_EQ(0, config_sc_add_inst("sys/T", "7"));
    ASSERT_EQ(0, config_sc_get_tree_start(ME_SYS, 0, "sys/T", &id));
    ASSERT_EQ(0, config_sc_del_Inst("sys/T/7"));
    std::vector<std::string> rest;
    for (int rc; (rc = config_sc_get_tree_next(1, &u, &dtype, &attr)) != SC_GET_NEXT_COMPLETE;) {
        rest.push_back(u);
        SC_FREE(u);
    }
    EXPECT_EQ(17u, rest.size()); // the table and four instances of four entries
    ASSERT_EQ(0, config_sc_get_tree_start(ME_SYS, 0, "sys/T", &id));
    ASSERT_EQ(0, config_sc_reload(0));
    EXPECT_EQ(SC_GET_NEXT_COMPLETE, config_sc_get_tree_next(1, &u, &dtype, &attr));
}

} // namespace
