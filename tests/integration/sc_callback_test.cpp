// Tree requests against the real daemon, with callback objects built from
// tests/fixtures/callbacks installed in the sandbox's lib/.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "command.h"
#include "daemon.h"
#include "device.h"
#include "libtarvi.h"
#include "records.h"
#include "sc_ops_cb.h"
#include "scratch.h"
#include "tarvid.h"
#include "tree_device.h"

namespace fs = std::filesystem;

namespace {

const char DEFAULTS[] = "S2D_ALLOW_RESUME=0\nCBT_CONV=stored\nCBT_WATCHED=w0\nCBT_NC=n0\nCBT_NOTIFIED=n0\n";

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

int tree_set(const char *uri, const char *value) {
    return tarvi_sc_set(const_cast<char *>(uri), const_cast<char *>(value));
}

// The flat value of `key` once it equals `want`, or its last value after 4 s
// (callbacks that outlive their wait may still be writing).
std::string flat_value_when(const char *key, const std::string &want) {
    std::string got;
    eventually([&] { return (got = flat_value(key)) == want; }, 4000);
    return got;
}

// The reply value of a raw request, "(no reply)" when the exchange failed.
std::string raw_reply(int type, const char *key) {
    tarvi_request r = make_request(type, key, nullptr);
    if (request_for_tarvi(&r) != 0)
        return "(no reply)";
    return r.value ? r.value : "(none)";
}

class TreeCallbacks : public ::testing::Test {
  protected:
    void SetUp() override {
        lay_tree_device(root_, DEFAULTS, "tests/fixtures/callbacks/usr");
        daemon_ = start_tree_daemon(root_);
        ASSERT_TRUE(daemon_);
    }
    void TearDown() override { stop_tree_daemon(daemon_); }

    ScratchRoot root_;
    std::unique_ptr<Daemon> daemon_;
};

TEST_F(TreeCallbacks, VerifyDecidesEveryWriteAndKeyPairsAreReused) {
    EXPECT_EQ(0, tree_set("sys/cbt/verified", "good"));
    EXPECT_EQ("good", tree_value("sys/cbt/verified"));
    // The first pair of a tree: input key 0, output key 1.
    EXPECT_EQ("IPC00000 IPC00001", flat_value("CBT_VER_KEYS"));

    EXPECT_EQ(-1, tree_set("sys/cbt/verified", "bad value")); // answered "FAIL"
    EXPECT_EQ(-1, tree_set("sys/cbt/verified", "lower"));     // answered "ok"
    EXPECT_EQ("good", tree_value("sys/cbt/verified"));
    EXPECT_EQ("IPC00000 IPC00001", flat_value("CBT_VER_KEYS")); // the node keeps its pair

    // A missing node is no write.
    EXPECT_EQ(-404, tree_set("sys/cbt/missing", "x"));

    // A verification without an object to run accepts nothing.
    EXPECT_EQ(-1, tree_set("sys/cbt/noso", "x"));
    EXPECT_EQ("kept", tree_value("sys/cbt/noso"));

    // A function the node's object lacks comes from the common object; its
    // answer only has to begin with "OK".
    EXPECT_EQ(0, tree_set("sys/cbt/fallback", "from fallback"));
    EXPECT_EQ("from fallback", tree_value("sys/cbt/fallback"));
}

TEST_F(TreeCallbacks, ConvertGetExecuteAndReferences) {
    // Lower case into the flat key, upper case back to the client.
    EXPECT_EQ(0, tree_set("sys/cbt/converted", "MiXeD"));
    EXPECT_EQ("mixed", flat_value("CBT_CONV"));
    EXPECT_EQ("MIXED", tree_value("sys/cbt/converted"));

    // The get callback runs for its side effect, with the value read.
    EXPECT_EQ("w0", tree_value("sys/cbt/watched"));
    EXPECT_EQ("w0", flat_value("CBT_GET_SEEN"));

    char *out = nullptr;
    EXPECT_EQ(0, tarvi_sc_exe(const_cast<char *>("sys/cbt/action"), &out));
    EXPECT_EQ("ran sys/cbt/action", text_or_none(out));
    EXPECT_EQ(-1, tarvi_sc_exe(const_cast<char *>("sys/cbt/verified"), &out));
    EXPECT_EQ(-404, tarvi_sc_exe(const_cast<char *>("sys/cbt/missing"), &out));
    EXPECT_EQ(nullptr, out);

    // "NC" is no output: the write keeps its value, the read has none.
    EXPECT_EQ(0, tree_set("sys/cbt/nc", "abc"));
    EXPECT_EQ("abc", flat_value("CBT_NC"));
    EXPECT_EQ("(none)", tree_value("sys/cbt/nc"));

    // A shell set callback runs before the write is answered.
    EXPECT_EQ(0, tree_set("sys/cbt/shell", "x"));
    EXPECT_TRUE(root_.exists("/tmp/cbt_shell"));

    EXPECT_EQ(0, tree_set("sys/cbt/ref", "through"));
    EXPECT_EQ("through", tree_value("sys/cbt/target"));
    EXPECT_EQ("through", tree_value("sys/cbt/ref"));
    // Two references naming each other end, they do not take the daemon
    // down; a write that reaches no value is refused.
    EXPECT_EQ("(none)", tree_value("sys/cbt/loop1"));
    EXPECT_EQ(-1, tree_set("sys/cbt/loop1", "round"));
}

TEST_F(TreeCallbacks, TypedReadsRowsAndLongUris) {
    int n = 0;
    unsigned u = 0;
    u_16 dtype = 0;
    EXPECT_EQ(0, tarvi_sc_get_int(const_cast<char *>("sys/cbt/number"), &n));
    EXPECT_EQ(42, n);
    EXPECT_EQ(0, tarvi_sc_get_uint(const_cast<char *>("sys/cbt/number"), &u));
    EXPECT_EQ(42u, u);
    EXPECT_EQ(0, tarvi_sc_get_dtype(const_cast<char *>("sys/cbt/number"), &dtype));
    EXPECT_EQ(0x0102, dtype); // int, literal: sent in octal as "402"
    EXPECT_EQ("0 402", raw_reply(TARVI_REQUEST_TYPE_SC_GET_DTYPE, "sys/cbt/number"));
    int exist = 0;
    EXPECT_EQ(0, tarvi_sc_is_exist(const_cast<char *>("sys/cbt/number"), &exist));
    EXPECT_EQ(200, exist);
    EXPECT_EQ(0, tarvi_sc_is_exist(const_cast<char *>("sys/cbt/none"), &exist));
    EXPECT_EQ(404, exist);

    // Longer than a URI may be: refused, never cut to another node's name.
    std::string long_uri = "sys/cbt/number" + std::string(300, 'x');
    EXPECT_EQ(-414, tarvi_sc_get_int(long_uri.data(), &n));
    EXPECT_EQ(0, tarvi_sc_is_exist(long_uri.data(), &exist));
    EXPECT_EQ(414, exist);
    std::string huge_uri(600, 'a');
    EXPECT_EQ(-1, tarvi_sc_get_int(huge_uri.data(), &n));

    // Rows of operations that answer a failure keep their reply shapes.
    EXPECT_EQ("-1 0", raw_reply(TARVI_REQUEST_TYPE_SC_GET_TREE_START, "9 0 sys"));
    EXPECT_EQ("100 0 0", raw_reply(TARVI_REQUEST_TYPE_SC_GET_TREE_NEXT, "1"));
    EXPECT_EQ("404<QV_TOKEN>", raw_reply(TARVI_REQUEST_TYPE_SC_GET_INSTANCE_FIELDS, "sys/cbt ID<QV_TOKEN>"));
    u_16 number = 3;
    EXPECT_EQ(-404, tarvi_sc_cb_me_add_inst(const_cast<char *>("sys/cbt"), const_cast<char *>("sys"), &number));
    EXPECT_EQ(-404, tarvi_sc_cb_me_del_inst(const_cast<char *>("sys/cbt/1")));
    // Type 54 is closed without a reply.
    EXPECT_EQ("(no reply)", raw_reply(TARVI_REQUEST_TYPE_SC_GET_INSTANCE_FIELDS_BY_NUM, "sys/cbt"));
    tarvi_request reload = make_request(TARVI_REQUEST_TYPE_SC_RELOAD, "x", "y");
    ASSERT_EQ(0, request_for_tarvi(&reload));
    EXPECT_EQ(nullptr, reload.key);
    EXPECT_EQ(nullptr, reload.value);
}

// The callback worker serves a callback's requests while the request worker
// waits inside a write: it must not free the node that write holds.
TEST_F(TreeCallbacks, ACallbackCannotDeleteTheInstanceAWaitingWriteHolds) {
    u_16 n = 0;
    ASSERT_EQ(0, tarvi_sc_me_add_inst(const_cast<char *>("sys/cbt/rows"), const_cast<char *>("2"), &n));
    EXPECT_EQ(0, tree_set("sys/cbt/rows/2/guarded", "x"));
    EXPECT_EQ("-1", flat_value("CBT_DROP"));
    EXPECT_EQ("x", tree_value("sys/cbt/rows/2/guarded"));
    EXPECT_EQ(0, tarvi_sc_me_del_inst(const_cast<char *>("sys/cbt/rows/2")));
    EXPECT_EQ(-404, tarvi_sc_me_del_inst(const_cast<char *>("sys/cbt/rows/2")));
}

TEST_F(TreeCallbacks, NotificationsActiveAtOncePassiveQueued) {
    tarvi_request debug = make_request(TARVI_REQUEST_TYPE_SC_DEBUG, "1", nullptr);
    ASSERT_EQ(0, request_for_tarvi(&debug));
    EXPECT_EQ(0, tree_set("sys/cbt/notified", "n1"));
    EXPECT_EQ("[n1]", flat_value_when("CBT_NOTIFY_LOG", "[n1]"));
    // A flat write of the bound key reaches the node's notification too,
    // started and not waited for.
    EXPECT_EQ(0, tarvi_set(const_cast<char *>("CBT_NOTIFIED"), const_cast<char *>("n2")));
    EXPECT_EQ("[n1][n2]", flat_value_when("CBT_NOTIFY_LOG", "[n1][n2]"));
    EXPECT_EQ(0, tree_set("sys/cbt/passive", "q1"));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ("[n1][n2]", flat_value("CBT_NOTIFY_LOG"));
}

// A verification that answers after its wait: the write is refused, the
// child is killed before its late answer, and its key pair is handed out
// again once it has ended.
TEST_F(TreeCallbacks, SlowVerificationTimesOutAndItsChildIsKilled) {
    auto start = clock_type::now();
    EXPECT_EQ(-1, tree_set("sys/cbt/slow", "slow"));
    EXPECT_GT(seconds_since(start), 0.9) << "not the whole wait";
    EXPECT_EQ("s0", tree_value("sys/cbt/slow"));
    EXPECT_TRUE(eventually([&] { return daemon_->usage_now().children == 0; }));
    EXPECT_EQ("NC", flat_value("IPC00001")) << "the late answer came";
    EXPECT_NE(std::string::npos, daemon_->stderr_text().find("outlived its time, killed"));

    // Its pair is free again: another node adopts it.
    EXPECT_EQ(0, tree_set("sys/cbt/verified", "v1"));
    EXPECT_EQ("IPC00000 IPC00001", flat_value("CBT_VER_KEYS"));
    EXPECT_EQ(-1, tree_set("sys/cbt/slow", "silent"));
    EXPECT_EQ(0, tree_set("sys/cbt/slow", "quick"));
    EXPECT_EQ("quick", tree_value("sys/cbt/slow"));
}

TEST_F(TreeCallbacks, MisbehavingCallbacksCostOnlyTheirOwnResult) {
    tarvi_request debug = make_request(TARVI_REQUEST_TYPE_SC_DEBUG, "1", nullptr);
    ASSERT_EQ(0, request_for_tarvi(&debug));
    EXPECT_EQ(-1, tree_set("sys/cbt/crash", "x"));
    EXPECT_EQ(-1, tree_set("sys/cbt/garbage", "x"));
    EXPECT_EQ("g0", tree_value("sys/cbt/garbage"));
    // Writing its own node again from inside its verification finds the
    // node's pair in use: the inner write is refused, the outer one passes.
    EXPECT_EQ(0, tree_set("sys/cbt/reenter", "outer"));
    EXPECT_EQ("-1", flat_value("CBT_REENTER"));
    EXPECT_EQ("outer", tree_value("sys/cbt/reenter"));
    EXPECT_TRUE(daemon_->wait_stdout("node sys/cbt/reenter IPC is used by others !!"));
    EXPECT_EQ(0, tree_set("sys/cbt/verified", "still served"));
    EXPECT_EQ("still served", tree_value("sys/cbt/verified"));
}

// Writes of one node from several clients at once: each waits for the
// node's key pair while another write's verification runs, and passes its
// own.
TEST_F(TreeCallbacks, ConcurrentWritesOfOneNodeEachPassTheirVerification) {
    std::atomic<int> refused{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < TARVID_TREE_WORKERS; ++t)
        writers.emplace_back([t, &refused] {
            for (int i = 0; i < 5; ++i)
                refused +=
                    tree_set("sys/cbt/verified", ("w" + std::to_string(t) + "-" + std::to_string(i)).c_str()) != 0;
        });
    for (auto &w : writers)
        w.join();
    EXPECT_EQ(0, refused.load());
    EXPECT_EQ('w', tree_value("sys/cbt/verified")[0]);
}

TEST_F(TreeCallbacks, CallbackWorkerServesWhileRequestWorkerWaits) {
    // The verification reads another node (types 46 and 48) while the
    // request worker is parked waiting for it.
    EXPECT_EQ(0, tree_set("sys/cbt/peek", "x"));
    EXPECT_EQ("0:42,0:42", flat_value("CBT_PEEK"));
}

} // namespace
