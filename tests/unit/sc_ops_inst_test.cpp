// Instance operations and walks on a tree loaded the way the daemon loads it.
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
#include "sc_utiliface.h"

namespace fs = std::filesystem;

namespace {

// A "sys" table, a view whose instances stand for "sys" instances, a view
// table that is no reference, and a nested table.
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

const char VIEW_PROFILE[] = "view;A:R,G:R;node;;\n"
                            "view/L;A:RWAD,G:R;node;;\n"
                            "view/L/-1;A:RW,G:R;node;;r(./sys/T/-1)\n"
                            "view/L/-1/Name;A:RW,G:R;string;;r(./sys/T/$1/name)\n"
                            "view/P;A:RWAD,G:R;node;;\n"
                            "view/P/-1;A:RW,G:R;node;;\n"
                            "view/P/-1/x;A:RW,G:R;string;;v(x$1)\n"
                            "view/loose;A:RW,G:R;string;;r(./sys/plain)\n";

class TreeInst : public TreeDecl {
  protected:
    void SetUp() override {
        TreeDecl::SetUp();
        write("/usr/sc/profile0/sys.profile", SYS_PROFILE);
        write("/usr/sc/profile0/view.profile", VIEW_PROFILE);
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
    std::string get(const char *uri) {
        char *v = nullptr;
        int rc = config_sc_get(uri, &v);
        std::string out = rc != 0 ? "<rc " + std::to_string(rc) + ">" : v ? v : "<none>";
        SC_FREE(v);
        return out;
    }
    int count(const char *uri) {
        u_16 n = 0xffff;
        int rc = config_sc_query_inst_number(uri, &n);
        return rc == 0 ? n : -rc;
    }
    std::string fields_of(const char *uri, const char *fields) {
        char *v = nullptr;
        int rc = config_sc_get_instance_fields(uri, fields, &v);
        std::string out = rc != 0 ? "<rc " + std::to_string(rc) + ">" : v;
        SC_FREE(v);
        return out;
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

TEST_F(TreeInst, NumberingNamingAndAddingPlainInstances) {
    EXPECT_EQ(4, count("sys/T"));
    char *name = nullptr;
    EXPECT_EQ(0, config_sc_query_inst_name("sys/T", 2, &name));
    EXPECT_STREQ("40", name);
    SC_FREE(name);
    EXPECT_EQ(0, config_sc_query_inst_name("sys/T", 4, &name));
    EXPECT_EQ(nullptr, name);
    EXPECT_EQ(0, config_sc_query_last_name("sys/T", &name));
    EXPECT_STREQ("3abc", name);
    SC_FREE(name);
    EXPECT_EQ(0, count("view/P"));
    EXPECT_EQ(-SC_DATA_NOT_FOUND, count("sys/none"));

    EXPECT_EQ(0, config_sc_add_inst("view/P", "7"));
    EXPECT_EQ("x7", get("view/P/7/x"));
    EXPECT_TRUE(is_dirty("./view/P/7/x"));
    EXPECT_EQ(-1, config_sc_add_inst("./view/P", "8"));
    EXPECT_EQ(-1, config_sc_add_inst(".view.P", "8"));
    for (const char *bad : {"", "a b", "a/b", "-1x", "a.b"})
        EXPECT_EQ(-1, config_sc_add_inst("view/P", bad)) << bad;
    EXPECT_EQ(SC_DATA_NOT_FOUND, config_sc_add_inst("sys/plain", "1"));
    // A name that would make the copies' URIs too long makes nothing.
    EXPECT_EQ(-1, config_sc_add_inst("view/P", std::string(250, 'n').c_str()));
    EXPECT_EQ(1, count("view/P"));

    // Nested: the template of a table inside an instance is found through
    // the instance's template.
    EXPECT_EQ(0, config_sc_add_inst("sys/N/1/U", "4"));
    EXPECT_EQ("1.4", get("sys/N/1/U/4/leaf"));
}

TEST_F(TreeInst, ViewInstancesBringTheirSysInstanceAndTakeItAlong) {
    u_16 number = 1;
    // Slots 1 and 2 are taken; 40 lies outside the slots and "3abc" is not 3.
    ASSERT_EQ(0, config_sc_me_add_inst("view/L", "a", &number));
    EXPECT_EQ(3, number);
    EXPECT_EQ("line3", get("sys/T/3/name"));
    EXPECT_STREQ("./sys/T/3/name", find("./view/L/a/Name")->data->value);
    EXPECT_EQ("line3", get("view/L/a/Name"));
    EXPECT_EQ(0, config_sc_set("view/L/a/Name", "renamed"));
    EXPECT_EQ("renamed", get("sys/T/3/name"));
    EXPECT_EQ(SC_DATA_NOT_FOUND, config_sc_me_add_inst("view/L", "a", &number));
    EXPECT_EQ(5, count("sys/T"));
    number = 0;
    ASSERT_EQ(0, config_sc_me_add_inst("view/L", "b", &number));
    EXPECT_EQ(0, number);
    // A view without references adds the view instance only.
    number = 9;
    ASSERT_EQ(0, config_sc_me_add_inst("view/P", "q", &number));
    EXPECT_EQ(9, number);
    EXPECT_EQ("xq", get("view/P/q/x"));

    ASSERT_EQ(0, config_sc_del_Inst("view/L/a"));
    EXPECT_EQ(nullptr, find("./sys/T/3"));
    EXPECT_EQ(1, count("view/L"));
    EXPECT_EQ(5, count("sys/T"));
    EXPECT_EQ(SC_DATA_NOT_FOUND, config_sc_del_Inst("view/L/a"));
    // A reference to a node that is no instance leaves that node alone;
    // templates and the tree's frame are not deleted.
    EXPECT_EQ(0, config_sc_del_Inst("view/loose"));
    EXPECT_EQ("p", get("sys/plain"));
    EXPECT_EQ(-1, config_sc_del_Inst("sys/T/-1"));
    EXPECT_EQ(-1, config_sc_del_Inst("sys"));
    EXPECT_TRUE(list_entry(find("./sys/T")->dirty, FileType, dirty)->flag & SC_FILE_FLAG_DIRTY);
}

TEST_F(TreeInst, FieldListsRoundTripWithBlanksNullsAndBounds) {
    EXPECT_EQ("line1<QV_TOKEN>5060<QV_TOKEN>QV_NULL",
              fields_of("sys/T/1", "name<QV_TOKEN>port<QV_TOKEN>note<QV_TOKEN>"));
    EXPECT_EQ("", fields_of("sys/T/1", "name"));
    EXPECT_EQ("<rc 404>", fields_of("sys/T/1", "name<QV_TOKEN>none<QV_TOKEN>"));
    EXPECT_EQ("<rc -1>", fields_of("sys/T/1", "name<QV_TOKEN><QV_TOKEN>"));
    EXPECT_EQ("<rc -1>", fields_of("sys/T/1", "na me<QV_TOKEN>"));

    EXPECT_EQ(0, config_sc_set_instance_fields("sys/T/1", "name<QV_TOKEN>port<QV_TOKEN>",
                                               "my<QV_SPACE>line<QV_TOKEN>6000<QV_TOKEN>"));
    EXPECT_EQ("my line<QV_TOKEN>6000", fields_of("sys/T/1", "name<QV_TOKEN>port<QV_TOKEN>"));
    char *flat = nullptr;
    ASSERT_EQ(0, config_sc_tarvi_get("PORTS", &flat));
    EXPECT_STREQ("6000,5061", flat);
    free(flat);
    // A short value list writes nothing.
    EXPECT_EQ(-1, config_sc_set_instance_fields("sys/T/1", "name<QV_TOKEN>port<QV_TOKEN>", "only"));
    EXPECT_EQ("my line", get("sys/T/1/name"));
    EXPECT_EQ(SC_DATA_NOT_FOUND, config_sc_set_instance_fields("sys/T/1", "nope<QV_TOKEN>", "v"));

    // A result longer than its buffer is refused, never cut.
    EXPECT_EQ(0, config_sc_set_instance_fields("sys/T/1", "name<QV_TOKEN>", std::string(1020, 'b').c_str()));
    EXPECT_EQ("<rc -1>", fields_of("sys/T/1", "name<QV_TOKEN>port<QV_TOKEN>"));

    char *name = nullptr;
    ASSERT_EQ(0, config_sc_add_instance_fields("sys/T", "name<QV_TOKEN>", "added", &name));
    // The serial was 40 (highest number after the load).
    EXPECT_STREQ("41", name);
    SC_FREE(name);
    EXPECT_EQ("41", get("sys/T@@@serial"));
    EXPECT_EQ("added", get("sys/T/41/name"));
    // Serial nodes missing, empty or not a number.
    EXPECT_EQ(SC_DATA_NOT_FOUND, config_sc_add_instance_fields("sys/plain", "a<QV_TOKEN>", "b", &name));
    SC_FREE(find("./sys/T@@@serial")->data->value);
    find("./sys/T@@@serial")->data->value = nullptr;
    EXPECT_EQ(-1, config_sc_add_instance_fields("sys/T", "name<QV_TOKEN>", "x", &name));
    find("./sys/T@@@serial")->data->value = sc_util_strdup("99999999999");
    EXPECT_EQ(-1, config_sc_add_instance_fields("sys/T", "name<QV_TOKEN>", "x", &name));
    EXPECT_EQ(nullptr, name);
}

TEST_F(TreeInst, WalksHandOutTheirSubtreeOnceInReverseWithoutTemplates) {
    // Numbered instances declared without their fields are completed on load.
    std::vector<std::string> want = {
        "./sys/T/3abc:102",   "./sys/T/40/note:102", "./sys/T/40/port:102", "./sys/T/40/name:102", "./sys/T/40:101",
        "./sys/T/2/note:102", "./sys/T/2/port:102",  "./sys/T/2/name:102",  "./sys/T/2:101",       "./sys/T/1/note:102",
        "./sys/T/1/port:102", "./sys/T/1/name:102",  "./sys/T/1:101",       "./sys/T:101"};
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
    ASSERT_EQ(0, config_sc_get_tree_start(ME_SYS, 0, "sys/T", &id));
    ASSERT_EQ(0, config_sc_del_Inst("sys/T/2"));
    std::vector<std::string> rest;
    for (int rc; (rc = config_sc_get_tree_next(1, &u, &dtype, &attr)) != SC_GET_NEXT_COMPLETE;) {
        rest.push_back(u);
        SC_FREE(u);
    }
    EXPECT_EQ(10u, rest.size());
    ASSERT_EQ(0, config_sc_get_tree_start(ME_SYS, 0, "sys/T", &id));
    ASSERT_EQ(0, config_sc_reload(0));
    EXPECT_EQ(SC_GET_NEXT_COMPLETE, config_sc_get_tree_next(1, &u, &dtype, &attr));
}

} // namespace
