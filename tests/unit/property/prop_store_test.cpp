// The property store, the debug log convention and the client-side checks.
#include <cstring>
#include <gtest/gtest.h>
#include <string>

#include "libtarvi.h"
#include "listener.h"
#include "log_capture.h"
#include "prop_api.h"
#include "prop_db.h"
#include "prop_debug.h"
#include "scratch.h"

namespace {

class PropStore : public ::testing::Test {
  protected:
    void SetUp() override {
        prop_db_init();
        prop_debug_set(2);
    }
    LogCapture log_;
};

int record_count() {
    int records = 0;
    for (auto &bucket : prop_db_hash)
        list_for_each(pos, &bucket) records++;
    return records;
}

TEST_F(PropStore, UpdatesKeepOneRecordAndLongTextsAreCutToTheirLimits) {
    ASSERT_EQ(0, prop_db_set("sys.mode", "longvalue"));
    prop_db_info_t *item = _prop_db_get("sys.mode");
    ASSERT_NE(nullptr, item);
    char *buffer = item->prop_value;

    ASSERT_EQ(0, prop_db_set("sys.mode", "short"));
    EXPECT_EQ(item, _prop_db_get("sys.mode"));
    EXPECT_EQ(buffer, item->prop_value);
    ASSERT_EQ(0, prop_db_set("sys.mode", "a much longer value than before"));
    EXPECT_EQ(item, _prop_db_get("sys.mode"));

    char value[PROP_VALUE_SIZE];
    ASSERT_EQ(0, prop_db_get("sys.mode", value));
    EXPECT_STREQ("a much longer value than before", value);
    EXPECT_EQ(1, record_count());

    // Long texts are cut to their limits.
    std::string name(40, 'n');
    ASSERT_EQ(0, prop_db_set("long.value", std::string(100, 'v').c_str()));
    char got[PROP_VALUE_SIZE];
    ASSERT_EQ(0, prop_db_get("long.value", got));
    EXPECT_EQ(std::string(91, 'v'), got);

    ASSERT_EQ(0, prop_db_set(name.c_str(), "x"));
    memset(got, '#', sizeof got);
    EXPECT_EQ(-1, prop_db_get(name.c_str(), got));
    EXPECT_EQ('#', got[0]) << "an absent name leaves the buffer alone";
    ASSERT_EQ(0, prop_db_get(std::string(31, 'n').c_str(), got));
    EXPECT_STREQ("x", got);

    // Set again, the long name updates its one record.
    ASSERT_EQ(0, prop_db_set(name.c_str(), "y"));
    ASSERT_EQ(0, prop_db_get(std::string(31, 'n').c_str(), got));
    EXPECT_STREQ("y", got);
    EXPECT_EQ(3, record_count());
}

TEST_F(PropStore, CallsBeforeInitAndBadArgumentsFail) {
    prop_db_inited = 0;
    char got[PROP_VALUE_SIZE];
    EXPECT_EQ(-1, prop_db_set("a", "b"));
    EXPECT_EQ(-1, prop_db_get("a", got));
    EXPECT_TRUE(log_.has(" Not Inited!"));
    prop_db_inited = 1;
    EXPECT_EQ(-1, prop_db_set(nullptr, "b"));
    EXPECT_EQ(-1, prop_db_set("a", nullptr));
    EXPECT_EQ(-1, prop_db_get("a", nullptr));
}

class PropClientChecks : public ::testing::Test {
  protected:
    void SetUp() override { prop_debug_set(2); }
    ScratchRoot root_;
    Listener daemon_;
    LogCapture log_;
};

TEST_F(PropClientChecks, LimitsAreRefusedWithoutContactingTheDaemon) {
    std::string name31(31, 'k'), name32(32, 'k'), value91(91, 'v'), value92(92, 'v');
    EXPECT_EQ(0, _property_check(name31.c_str(), value91.c_str()));
    EXPECT_EQ(-1, _property_check(name32.c_str(), ""));
    EXPECT_TRUE(log_.has("[PropSet] key=" + name32 + " size:32 >= max:32"));
    EXPECT_EQ(-1, _property_check(name31.c_str(), value92.c_str()));
    EXPECT_TRUE(log_.has(" size:92 >= max:92"));
    EXPECT_EQ(-1, _property_check(nullptr, ""));
    EXPECT_TRUE(log_.has("[PropSet] key==0 return directly"));

    char value[PROPERTY_VALUE_MAX + 1];
    EXPECT_EQ(-1, property_get(name32.c_str(), value, "dflt"));
    EXPECT_EQ(-1, property_get(nullptr, value, "dflt"));
    EXPECT_EQ(-1, property_get("a.b", nullptr, "dflt"));
    EXPECT_EQ(-1, property_set(name32.c_str(), "1"));
    EXPECT_EQ(-1, property_set("a.b", value92.c_str()));
    EXPECT_EQ(-1, property_debug(name32.data(), nullptr));
    EXPECT_EQ(-1, property_test(name32.data(), nullptr));
    EXPECT_FALSE(daemon_.contacted());
}

TEST_F(PropClientChecks, UnitTestCommandsRunInTheCaller) {
    // No unit test matches "none": the run begins and ends here, in this
    // process, and nothing is sent.
    EXPECT_EQ(0, property_test(const_cast<char *>("UT"), const_cast<char *>("none")));
    EXPECT_TRUE(log_.has("[TARVID-PROP][][_prop_test_ut:"));
    EXPECT_TRUE(log_.has("OK!"));
    EXPECT_FALSE(daemon_.contacted());
}

TEST(PropClient, GetFallsBackToTheDefaultWhenTheDaemonHasNoValue) {
    ScratchRoot root; // no daemon: every lookup fails
    char value[PROPERTY_VALUE_MAX + 1];
    EXPECT_EQ(4, property_get("net.mode", value, "dflt"));
    EXPECT_STREQ("dflt", value);
    EXPECT_EQ(0, property_get("net.mode", value, nullptr));
    EXPECT_STREQ("", value);
    EXPECT_EQ(91, property_get("net.mode", value, std::string(120, 'd').c_str()));
    EXPECT_EQ(std::string(91, 'd'), value);
}

} // namespace
