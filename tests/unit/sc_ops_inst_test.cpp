// Walks on a tree loaded the way the daemon loads it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sc_fixture.h"
#include "sc_ops.h"
#include "sc_ops_cb.h"
#include "sc_ops_inst.h"
#include "sc_ops_walk.h"

namespace fs = std::filesystem;

namespace {

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
        write("/usr/sc/profile0/sys.profile", SYS_PROFILE);
        fs::create_directories(root_.at("/usr/sc/profile1"));
        config_sc_cb_init();
        ASSERT_EQ(0, config_sc_tarvi_set("PORTS", "5060,5061"));
        ASSERT_EQ(0, config_sc_reload(0));
    }
    void TearDown() override {
        config_sc_notify_hook = nullptr;
        sc_config_get_hook = nullptr;
        TreeDecl::TearDown();
    }
    void write(const std::string &path, const std::string &text) {
        fs::create_directories(fs::path(root_.at(path)).parent_path());
        std::ofstream(root_.at(path)) << text;
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
    std::vector<std::string> want = {"./sys/T/3abc/note:102",
                                     "./sys/T/3abc/port:102",
                                     "./sys/T/3abc/name:102",
                                     "./sys/T/3abc:101",
                                     "./sys/T/40/note:102",
                                     "./sys/T/40/port:102",
                                     "./sys/T/40/name:102",
                                     "./sys/T/40:101",
                                     "./sys/T/2/note:102",
                                     "./sys/T/2/port:102",
                                     "./sys/T/2/name:102",
                                     "./sys/T/2:101",
                                     "./sys/T/1/note:102",
                                     "./sys/T/1/port:102",
                                     "./sys/T/1/name:102",
                                     "./sys/T/1:101",
                                     "./sys/T:101"};
    EXPECT_EQ(want, walk(ME_SYS, 0, "sys/T"));
    want.erase(want.begin());
    EXPECT_EQ(want, walk(ME_SYS, 1, "sys.T"));
    // A second start discards what the first left.
    int id = 0;
    ASSERT_EQ(0, config_sc_get_tree_start(ME_SYS, 0, "sys/N", &id));
    EXPECT_EQ(std::vector<std::string>({"./sys/plain:102"}), walk(ME_WEB, 0, "./sys/plain"));

    EXPECT_EQ(-1, config_sc_get_tree_start(7, 0, "sys", &id));
    EXPECT_EQ(0, id);
    EXPECT_EQ(-1, config_sc_get_tree_start(ME_SYS, 0, "sys/none", &id));
    EXPECT_EQ(0, config_sc_get_tree_start(ME_OMA, 0, "./", &id));
    EXPECT_EQ(0, id);
    char *u = nullptr;
    u_16 dtype = 1, attr = 1;
    EXPECT_EQ(SC_GET_NEXT_COMPLETE, config_sc_get_tree_next(1, &u, &dtype, &attr));
    EXPECT_EQ(nullptr, u);
    EXPECT_EQ(0, dtype + attr);
    EXPECT_EQ(-1, config_sc_get_tree_next(64, &u, &dtype, &attr));
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
