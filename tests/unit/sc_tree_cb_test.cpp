// Callback and notify files, and how changes are delivered or queued.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "sc_fixture.h"
#include "sc_utiliface.h"

namespace {

std::vector<std::pair<std::string, std::string>> delivered;
int record_delivery(SCTreeNode *node, const char *input, char **output) {
    delivered.emplace_back(node->data->uri, input ? input : "<null>");
    *output = sc_util_strdup("done"); // the caller frees it
    return 0;
}

class CallbackFiles : public TreeDecl {
  protected:
    void SetUp() override {
        TreeDecl::SetUp();
        delivered.clear();
        sc_op_notify_hook = record_delivery;
        root_.write("/usr/sc/profile0/wan.profile", "WAN;A:R,G:R;node;;\n"
                                                    "WAN/IP;A:RW,G:R;string;;v(10.0.0.1)\n"
                                                    "WAN/Mask;A:RW,G:R;string;;v(255.0.0.0)\n"
                                                    "WAN/Mtu;A:RW,G:R;uint;;k(wan_cfg)split(,){2}\n"
                                                    "WAN/Dns;A:RW,G:R;string;;v(),k(wan_dns)\n");
        ASSERT_EQ(0, sc_readProfileFromProfileFolder(&SC, "0"));
    }
    void cb(const std::string &text) { root_.write("/usr/sc/cb0/wan.cb", text); }
    void notify(const std::string &text) { root_.write("/usr/sc/notify0/wan.notify", text); }
    CBDataType *cb_of(const char *uri) { return find(uri)->data->CBData; }
    NotifyType *notify_of(const char *uri) { return find(uri)->data->Notify; }
    static std::string text(const char *s) { return s ? s : "<unset>"; }
};

} // namespace

TEST_F(CallbackFiles, CallbackLines) {
    std::string f63(63, 'g'), f64(64, 'h');
    cb("# callbacks of the WAN side\n"
       "$so=\n"
       "WAN/Mask;libmask.so;f(getMask);;;;;;;\n"
       "$so=libwan.so\n"
       "WAN/IP;;f(getIp);f(setIp);;;;;;\n"
       "WAN/IP;;;f(setIp2);;;f(verIp);;;arg1\n"
       "WAN.Mtu;;" +
       f63 + ";" + f64 +
       "\n"
       "WAN/Dns;;f(getDns)\n"
       "WAN/Nothing;;f(x);;;;;;;\n"
       ";;f(x)\n");
    std::string out = messages([&] { EXPECT_EQ(0, sc_readCBFromCBFolder(&SC, "0")); });

    CBDataType *ip = cb_of("./WAN/IP");
    ASSERT_NE(nullptr, ip);
    EXPECT_EQ("libwan.so", text(ip->so));
    EXPECT_EQ("f(getIp)", text(ip->get)) << "a later line keeps what it leaves empty";
    EXPECT_EQ("f(setIp2)", text(ip->set)) << "and overrides what it sets";
    EXPECT_EQ("f(verIp)", text(ip->ver));
    EXPECT_EQ("arg1", text(ip->arg));
    EXPECT_EQ("<unset>", text(ip->add));
    EXPECT_EQ("<unset>", text(ip->exe));
    ASSERT_FALSE(list_empty(&SC.SOList));
    SOType *so = list_entry(SC.SOList.next, SOType, chain);
    EXPECT_EQ(so->name, ip->so) << "the default object's text is shared";
    EXPECT_EQ("wan", text(so->FileName));

    EXPECT_EQ("libmask.so", text(cb_of("./WAN/Mask")->so)) << "\"$so=\" without a name is ignored";
    CBDataType *mtu = cb_of("./WAN/Mtu");
    ASSERT_NE(nullptr, mtu) << "dotted URIs are converted";
    EXPECT_EQ(f63, text(mtu->get));
    EXPECT_EQ("<unset>", text(mtu->set)) << "64 characters are too many";
    EXPECT_NE(std::string::npos, out.find("[SET] Extract nothing, strlen= 64!!"));
    EXPECT_EQ("f(getDns)", text(cb_of("./WAN/Dns")->get));
    EXPECT_NE(std::string::npos, out.find("[ARG]Input line format is invalid"));
    EXPECT_NE(std::string::npos, out.find("[sc_processLineFromCBFile] No such URI WAN/Nothing Exist!!"));
    EXPECT_NE(std::string::npos, out.find("[URI]Input line format is invalid"));
    EXPECT_EQ(-1, sc_readCBFromCBFile(&SC, ("/usr/sc/cb0/" + std::string(230, 'x') + ".cb").c_str()));
    EXPECT_EQ(-1, sc_readCBFromCBFile(&SC, "/usr/sc/cb0/missing.cb"));
    EXPECT_EQ(-1, sc_readNotifyFromNotifyFolder(&SC, "0"));
}

TEST_F(CallbackFiles, NotifyLinesAndDelivery) {
    notify("$so=libnote.so\n"
           "WAN/IP;;passive;f(onIp);\n"
           "WAN/Mask;other.so;active;f(onMask);x\n"
           "WAN/Mtu;;active;f(onMtu);\n"
           "WAN/Dns;;Active;f(onDns);\n");
    ASSERT_EQ(0, sc_readNotifyFromNotifyFolder(&SC, "0"));
    NotifyType *ip = notify_of("./WAN/IP");
    ASSERT_NE(nullptr, ip);
    EXPECT_EQ("libnote.so", text(ip->so));
    EXPECT_EQ("f(onIp)", text(ip->cb));
    EXPECT_EQ(0, ip->active);
    EXPECT_EQ(1, notify_of("./WAN/Mask")->active);
    EXPECT_EQ("other.so", text(notify_of("./WAN/Mask")->so));
    EXPECT_EQ(0, notify_of("./WAN/Dns")->active) << "only \"active\" is active";

    // Active: delivered at once with the new value.
    ASSERT_EQ(0, sc_setStringFromNodeForce(find("./WAN/Mask"), "255.255.0.0"));
    ASSERT_EQ(1u, delivered.size());
    EXPECT_EQ("255.255.0.0", delivered[0].second);

    // Passive: queued once, delivered with the value current at delivery.
    delivered.clear();
    ASSERT_EQ(0, sc_setStringFromNodeForce(find("./WAN/IP"), "10.0.0.2"));
    ASSERT_EQ(0, sc_setStringFromNodeForce(find("./WAN/IP"), "10.0.0.3"));
    EXPECT_TRUE(delivered.empty());
    EXPECT_EQ(0, sc_notifyPassive(&SC, "other"));
    EXPECT_TRUE(delivered.empty());
    EXPECT_EQ(0, sc_notifyPassive(&SC, "wan"));
    ASSERT_EQ(1u, delivered.size());
    EXPECT_EQ(std::make_pair(std::string("./WAN/IP"), std::string("10.0.0.3")), delivered[0]);
    EXPECT_TRUE(list_empty(&module("wan")->NotifyList));
    ASSERT_EQ(0, sc_setStringFromNodeForce(find("./WAN/IP"), "10.0.0.4"));
    EXPECT_FALSE(list_empty(&module("wan")->NotifyList)) << "queued again after a delivery";

    // Key-bound nodes are registered with the flat store; a change of the
    // flat value delivers the bound field.
    delivered.clear();
    struct config *entry = find_config("wan_cfg");
    ASSERT_NE(nullptr, entry);
    EXPECT_FALSE(list_empty(&entry->notify));
    ASSERT_EQ(0, config_sc_tarvi_set("wan_cfg", "eth0,1500"));
    EXPECT_EQ(0, sc_setNotifyNode(find("./WAN/Mtu")));
    ASSERT_EQ(1u, delivered.size());
    EXPECT_EQ("1500", delivered[0].second);
    EXPECT_NE(nullptr, find_config("wan_dns")) << "a value node with a binding is registered too";
    EXPECT_EQ(-1, sc_setNotify(find("./WAN"), "x")) << "no notification";
}
