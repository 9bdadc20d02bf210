// Value operations on a tree loaded the way the daemon loads it, without
// running callback programs (nodes whose write needs one are refused first).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "sc_fixture.h"
#include "sc_ops.h"
#include "sc_ops_cb.h"
#include "sc_utiliface.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::pair<std::string, std::string>> delivered;
int record_delivery(SCTreeNode *node, const char *input, char **output) {
    delivered.emplace_back(node->data->uri, input ? input : "<null>");
    *output = nullptr;
    return 0;
}

class TreeOps : public TreeDecl {
  protected:
    void SetUp() override {
        TreeDecl::SetUp();
        delivered.clear();
        fs::copy(std::string(TARVI_SOURCE_DIR) + "/tests/fixtures/callbacks/usr", root_.at("/usr"),
                 fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        ASSERT_EQ(0, config_sc_reload(0));
    }
    void TearDown() override {
        config_sc_notify_hook = nullptr;
        sc_config_get_hook = nullptr;
        TreeDecl::TearDown();
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

TEST_F(TreeOps, PassiveNotificationsWaitForTheirModule) {
    sc_op_notify_hook = record_delivery;
    EXPECT_EQ(0, config_sc_set("sys/cbt/passive", "q1"));
    EXPECT_EQ(0, config_sc_set("sys/cbt/passive", "q2"));
    EXPECT_TRUE(delivered.empty());
    EXPECT_EQ(0, config_sc_notify_passive("other"));
    EXPECT_TRUE(delivered.empty());
    EXPECT_EQ(0, config_sc_notify_passive("cbt"));
    ASSERT_EQ(1u, delivered.size());
    EXPECT_EQ("./sys/cbt/passive", delivered[0].first);
    EXPECT_EQ("q2", delivered[0].second);
}

} // namespace
