// The tree calls of the client library and the tree commands of the tarvi
// tool, against a daemon running the sample device (examples/device).
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <string>

#include "libtarvi.h"
#include "sc_types.h"
#include "tarvi_cli.h"
#include "tree_device.h"

namespace {

char *c(const char *s) { return const_cast<char *>(s); }

::testing::AssertionResult has(const std::string &text, const std::string &part) {
    if (text.find(part) != std::string::npos)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "'" << part << "' not in '" << text << "'";
}

char TABLE[] = "sys/network/v6config";

// A pointer no call may hand back: outputs preset with it must stay.
char *untouched() {
    static char mark[] = "untouched";
    return mark;
}

class SampleTree : public SampleDeviceTest {};

} // namespace

TEST_F(SampleTree, EveryReplyShapeFollowsTheResultConvention) {
    // "%d %ho"
    u_16 bits = 0x7777;
    EXPECT_EQ(0, tarvi_sc_get_dtype(c("sys/wan/mtu"), &bits));
    EXPECT_TRUE(bits & SC_DTYPE_UINT);
    bits = 0x7777;
    EXPECT_EQ(-404, tarvi_sc_get_dtype(c("sys/wan/none"), &bits));
    EXPECT_EQ(-404, tarvi_sc_get_attr(c("sys/wan/none"), &bits));
    EXPECT_EQ(0x7777, bits);
    EXPECT_EQ(0, tarvi_sc_get_attr(c("sys/wan/mtu"), &bits));
    EXPECT_EQ(SC_ATTR_ADMIN_R | SC_ATTR_ADMIN_W | SC_ATTR_GUEST_R, bits);
    // "%d %d" and "%d %u"
    int i = -7;
    unsigned u = 7;
    EXPECT_EQ(0, tarvi_sc_get_int(c("sys/wan/mtu"), &i));
    EXPECT_EQ(0, tarvi_sc_get_uint(c("sys/wan/mtu"), &u));
    EXPECT_EQ(1400, i);
    EXPECT_EQ(1400u, u);
    EXPECT_EQ(-404, tarvi_sc_get_int(c("sys/wan/none"), &i));
    EXPECT_EQ(1400, i);
    // "%d %s": a text, none, or an untouched output on failure.
    char *text = untouched();
    EXPECT_EQ(0, tarvi_sc_get_limit(c("sys/wan/mtu"), &text));
    EXPECT_EQ("576..1500", text_or_none(text));
    EXPECT_EQ(0, tarvi_sc_get_limit(c("sys/wan/dns"), &text));
    EXPECT_EQ(nullptr, text);
    EXPECT_EQ(-404, tarvi_sc_get_limit(c("sys/wan/none"), &text));
    EXPECT_EQ(nullptr, text);
    // "%d" alone, and a set's 404 sent as its status.
    EXPECT_EQ(-404, tarvi_sc_me_del_inst(c("sys/network/v6config/9")));
    EXPECT_EQ(-404, tarvi_sc_set(c("sys/wan/none"), c("1")));
    int exist = 0;
    EXPECT_EQ(0, tarvi_sc_is_exist(c("sys/wan/none"), &exist));
    EXPECT_EQ(404, exist);
    // Instance counts and names.
    u_16 n = 0;
    EXPECT_EQ(0, tarvi_sc_query_inst_number(TABLE, &n));
    EXPECT_EQ(2, n);
    EXPECT_EQ(-404, tarvi_sc_me_query_inst_number(c("sys/wan/mtu"), &n));
    EXPECT_EQ(2, n);
    char *name = untouched();
    EXPECT_EQ(0, tarvi_sc_query_inst_name(TABLE, 1, &name));
    EXPECT_EQ("2", text_or_none(name));
    EXPECT_EQ(-1, tarvi_sc_query_inst_name(TABLE, 2, &name));
    EXPECT_EQ(nullptr, name);
    EXPECT_EQ(0, tarvi_sc_query_last_name(TABLE, &name));
    EXPECT_EQ("2", text_or_none(name));
    EXPECT_EQ(0, tarvi_sc_query_last_name(c("sys/wan/none"), &name));
    EXPECT_EQ(nullptr, name);
    // The debug level comes back as the daemon echoed it.
    EXPECT_EQ(0, tarvi_sc_debug(c("3"), &text));
    EXPECT_EQ("3", text_or_none(text));

    // URIs and lists past the request buffers are refused, not cut.
    std::string long_uri = "sys/" + std::string(TARVI_SC_REQUEST_BUF_SIZE, 'a');
    EXPECT_EQ(-1, tarvi_sc_get_dtype(long_uri.data(), &bits));
    EXPECT_EQ(-1, tarvi_sc_set(long_uri.data(), c("1")));
    EXPECT_EQ(-1, tarvi_sc_query_inst_name(long_uri.data(), 0, &name));
    EXPECT_EQ(-1, tarvi_sc_debug(long_uri.data(), &text));
    EXPECT_EQ(nullptr, text);
    std::string long_field(600, 'F');
    char *fields[] = {long_field.data(), long_field.data(), nullptr};
    char *values[] = {nullptr, nullptr, nullptr};
    EXPECT_EQ(-1, tarvi_sc_get_instance_fields(TABLE, c("1"), fields, values));
    EXPECT_EQ(nullptr, values[0]);
}

TEST_F(SampleTree, AWalkHandsOutTheSubtreeOnceThenEnds) {
    int id = 0;
    ASSERT_EQ(0, tarvi_sc_get_tree_start(ME_SYS, 0, TABLE, &id));
    EXPECT_EQ(1, id);
    int nodes = 0, rc;
    char *uri = nullptr;
    u_16 dtype = 1, attr = 1;
    while ((rc = tarvi_sc_get_tree_next(id, &uri, &dtype, &attr)) == 101 || rc == 102) {
        EXPECT_EQ(0, strncmp(uri, "./sys/network/v6config", 22)) << uri;
        EXPECT_EQ(nullptr, strstr(uri, "-1")) << uri;
        ++nodes;
        free(uri);
    }
    // The table, and two instances of a node and three fields.
    EXPECT_EQ(9, nodes);
    EXPECT_EQ(100, rc);
    EXPECT_EQ("", text_or_none(uri));
    EXPECT_EQ(0, dtype);
    EXPECT_EQ(0, attr);
    EXPECT_EQ(-1, tarvi_sc_get_tree_next(64, &uri, &dtype, &attr));
    EXPECT_EQ(nullptr, uri);
    EXPECT_EQ(-1, tarvi_sc_get_tree_start(ME_SYS, 0, c("sys/none"), &id));
}

TEST_F(SampleTree, InstanceFieldsReadByNumber) {
    char f_name[] = "Name", f_type[] = "Type", f_id[] = "ID";
    char *fields[] = {f_name, f_type, nullptr};
    char v_added[] = "lab  6", v_type[] = "slaac";
    char *added[] = {v_added, v_type, nullptr};
    char *name = untouched();
    ASSERT_EQ(0, tarvi_sc_add_instance_fields(TABLE, fields, added, &name));
    EXPECT_EQ("3", text_or_none(name));

    // By number: the third instance is the new one, there is no fourth.
    char *got[] = {nullptr, nullptr, nullptr};
    EXPECT_EQ(0, tarvi_sc_get_instance_fields_by_num(TABLE, 2, fields, got, &name));
    EXPECT_EQ("3", text_or_none(name));
    EXPECT_EQ("lab  6", text_or_none(got[0]));
    EXPECT_EQ("slaac", text_or_none(got[1]));
    got[0] = got[1] = nullptr;
    EXPECT_EQ(-1, tarvi_sc_get_instance_fields_by_num(TABLE, 3, fields, got, &name));
    EXPECT_EQ(nullptr, name);
    EXPECT_EQ(nullptr, got[0]);

    // A field without value leaves the caller's entry alone.
    ASSERT_EQ(0, tarvi_sc_me_add_inst(TABLE, c("7"), nullptr));
    char *id_only[] = {f_id, nullptr};
    char *preset[] = {untouched(), nullptr};
    EXPECT_EQ(0, tarvi_sc_get_instance_fields(TABLE, c("7"), id_only, preset));
    EXPECT_EQ(untouched(), preset[0]);
}

TEST_F(SampleTree, TheInstanceFieldSelfTestPassesAndLeavesTheTable) {
    u_16 before = 0, after = 0;
    ASSERT_EQ(0, tarvi_sc_query_inst_number(TABLE, &before));
    EXPECT_EQ(0, tarvi_sc_test_me(c("inst_f")));
    ASSERT_EQ(0, tarvi_sc_query_inst_number(TABLE, &after));
    EXPECT_EQ(before, after);
    EXPECT_EQ(0, tarvi_sc_test_get());
}

TEST_F(SampleTree, TreeCommandsPrintAndExitAsTheFlatOnes) {
    EXPECT_EQ("0 uint A:RW,G:R\n|", run_text(tarvi("sc type sys/wan/mtu")));
    EXPECT_EQ("576..1500\n", tarvi("sc limit sys/wan/mtu").out);
    EXPECT_EQ(0, tarvi("sc exists sys/wan/mtu").status);

    tool_result r = tarvi("sc tree --values sys/network/v6config");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(has(r.out, "sys/network/v6config  node A:RWAD,G:R\n"
                           "  1  node A:RW,G:R\n"
                           "    ID  uint A:R,G:R = 1\n"
                           "    Name  string A:RW,G:R = lan6\n"));
    EXPECT_TRUE(has(tarvi("sc tree --view cwmp").out, "\n  DeviceInfo  node A:R,G:R\n"));

    EXPECT_EQ("0 3\n|", run_text(tarvi("sc fields add sys/network/v6config Name=lab 'Type=a b'")));
    EXPECT_EQ(0, tarvi("sc fields set sys/network/v6config 3 'Name=x  y'").status);
    EXPECT_EQ("Name=x  y\nType=a b\n", tarvi("sc fields get sys/network/v6config 3 Name Type").out);
    EXPECT_EQ("3\n", tarvi("sc count sys/network/v6config").out);
    EXPECT_EQ("1\n2\n3\n", tarvi("sc names sys/network/v6config").out);
    EXPECT_EQ("sys/network/v6config/9\n", tarvi("sc add sys/network/v6config 9").out);
    for (const char *args :
         {"sc del sys/network/v6config/9", "sc debug 2", "sc reload --stage 0", "sc reload --stage 1", "sc commit"})
        EXPECT_EQ(0, tarvi(args).status) << args;

    // Failures name the node and exit 1; usage errors exit 2.
    for (const char *args : {"sc type sys/none", "sc exists sys/none", "sc set sys/none 1", "sc tree sys/none",
                             "sc del sys/network/v6config/9", "sc count sys/none"}) {
        r = tarvi(args);
        EXPECT_EQ(1, r.status) << args;
        EXPECT_EQ("", r.out) << args;
        EXPECT_TRUE(has(r.err, "no such node")) << args;
    }
    EXPECT_EQ("1 |tarvi: sys/network/v6config/1: exists already\n", run_text(tarvi("sc add sys/network/v6config 1")));
    for (const char *args : {"sc debug 6", "sc reload --stage 2", "sc reload --default --stage 0",
                             "sc tree --view tr69", "sc fields set sys/network/v6config 1 Name", "sc fields frob"}) {
        r = tarvi(args);
        EXPECT_EQ(2, r.status) << args;
        EXPECT_TRUE(has(r.err, "usage: tarvi")) << args << ": " << r.err;
    }
    r = tarvi("sc fields --help");
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(has(r.out, "usage: tarvi sc fields SUBCOMMAND"));
}
