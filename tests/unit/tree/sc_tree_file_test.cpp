// Declaration files: profile and tree files (each kind of line, the folder
// scan, input that must cost only itself), callback and notify files, and
// how changes are delivered or queued.
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

#include "sc_fixture.h"

namespace {

class ProfileFiles : public TreeDecl {
  protected:
    void profile(const std::string &name, const std::string &text, const char *stage = "0") {
        root_.write(std::string(SC_PROFILE_FOLDER) + stage + "/" + name, text);
    }
    void tree(const std::string &name, const std::string &text, const char *stage = "0") {
        root_.write(std::string(SC_TREE_FOLDER) + stage + "/" + name, text);
    }
    int read_profiles(const char *stage = "0") { return sc_readProfileFromProfileFolder(&SC, stage); }
    int read_trees(const char *stage = "0") { return sc_readTreeFromTreeFolder(&SC, stage); }
};

} // namespace

TEST_F(ProfileFiles, ProfileLinesMakeNodes) {
    profile("dev.profile", "# the device\r\n"
                           "\r\n"
                           "Dev;A:R,G:R;node;;\r\n"
                           "Dev/X;A:RW,G:R;string;;v(abc)\r\n"
                           "Dev/Null;A:RW,G:R;string;;\r\n"
                           "Dev/Empty;A:RW,G:R;string;;v()\r\n"
                           "  Dev/Pad ; A:RWTADV , G:V ;\tINT ; 0..9 ; v( 5 ) \r\n"
                           "Dev/Text;A:RW,G:R;Text;;v(1)\r\n"
                           "Dev/Ref;A:R,G:R;string;;r(./Dev/X)\r\n"
                           "Dev/Key;A:RW,G:R;string;;k(wan)split(;){2}split(,){$1}\r\n"
                           "Dev/Both;A:RW,G:R;string;;v(1),k(key)split(;){2}\r\n"
                           "Dev/Semi;A:RW,G:R;string;;v(a;b; c)\r\n"
                           "Dev/Sn;A:RW,G:R;string;;v(SC_NULL)\r\n"
                           "Dev/T;A:R,G:R;node;;\r\n"
                           "Dev/T/-1;A:R,G:R;node;;\r\n"
                           "Dev/T/-1/Name;A:RW,G:R;string;;v(host$1)\r\n");
    ASSERT_EQ(0, read_profiles());

    SCTreeNode *x = find("./Dev/X");
    ASSERT_NE(nullptr, x);
    EXPECT_EQ("abc", std::string(x->data->value));
    EXPECT_EQ(SC_ATTR_ADMIN_R | SC_ATTR_ADMIN_W | SC_ATTR_GUEST_R, x->data->attr);
    EXPECT_EQ(0x0108, x->data->dtype);
    EXPECT_EQ(nullptr, x->data->limit);
    EXPECT_FALSE(is_dirty("./Dev/X")) << "profile nodes start clean";
    ASSERT_NE(nullptr, module("dev"));
    EXPECT_EQ('0', module("dev")->stage);
    EXPECT_EQ(&module("dev")->dirty, x->dirty);

    EXPECT_EQ(nullptr, find("./Dev/Null")->data->value);
    EXPECT_EQ(SC_DTYPE_STRING, find("./Dev/Null")->data->dtype);
    EXPECT_EQ("", value("./Dev/Empty"));
    SCTreeNode *pad = find("./Dev/Pad");
    ASSERT_NE(nullptr, pad);
    EXPECT_EQ(0x203f, pad->data->attr);
    EXPECT_EQ(SC_DTYPE_INT | SC_DTYPE_VALUE, pad->data->dtype);
    EXPECT_EQ("0..9", std::string(pad->data->limit));
    EXPECT_EQ(" 5 ", std::string(pad->data->value)) << "the text inside the parentheses is kept as written";
    EXPECT_EQ(SC_DTYPE_VALUE, find("./Dev/Text")->data->dtype) << "unknown type: 0 plus the form bit";
    EXPECT_EQ(SC_DTYPE_STRING | SC_DTYPE_REF, find("./Dev/Ref")->data->dtype);
    EXPECT_EQ("./Dev/X", std::string(find("./Dev/Ref")->data->value));

    SCTreeNode *key = find("./Dev/Key");
    ASSERT_NE(nullptr, key);
    EXPECT_EQ(SC_DTYPE_STRING | SC_DTYPE_KEY, key->data->dtype);
    EXPECT_EQ(nullptr, key->data->value);
    ASSERT_NE(nullptr, key->data->TarviKey); // the binding grammar has tests of its own
    EXPECT_EQ("wan", std::string(key->data->TarviKey->key));

    SCTreeNode *both = find("./Dev/Both");
    EXPECT_EQ(SC_DTYPE_STRING | SC_DTYPE_VALUE, both->data->dtype);
    EXPECT_EQ("1", std::string(both->data->value));
    ASSERT_NE(nullptr, both->data->TarviKey);
    EXPECT_EQ(';', list_entry(both->data->TarviKey->split.prev, SplitType, chain)->delimiter);

    EXPECT_EQ("a;b; c", value("./Dev/Semi")) << "a ';' inside a value is not padded";
    EXPECT_EQ(nullptr, find("./Dev/Sn")->data->value);

    SCTreeNode *serial = find("./Dev/T@@@serial");
    ASSERT_NE(nullptr, serial) << "a table template brings its serial node";
    EXPECT_EQ(0x0103, serial->data->attr);
    EXPECT_EQ(0x0102, serial->data->dtype);
    EXPECT_TRUE(is_dirty("./Dev/T@@@serial"));
    EXPECT_EQ(SC_DTYPE_TABLE_MEM | SC_DTYPE_STRING | SC_DTYPE_VALUE, find("./Dev/T/-1/Name")->data->dtype);
}

TEST_F(ProfileFiles, MalformedProfileLinesAreSkippedWithTheirMessage) {
    profile("dev.profile", "Dev;A:R,G:R;node;;\n"
                           "Dev/NoGuest;A:RW;string;;v(1)\n"
                           "Dev/BadLetter;A:RWX,G:R;string;;v(1)\n"
                           "Dev/TooMany;A:RRRRRRR,G:W;string;;v(1)\n"
                           "Dev/NoType;A:R,G:R\n"
                           "Dev/NoLimit;A:R,G:R;string\n"
                           "Dev/BadForm;A:R,G:R;string;;x(1)\n"
                           "Dev/BadKey;A:R,G:R;string;;v(1),k(key)split(,){0}\n"
                           "Dev/VLimit;A:R,G:R;string;v1;v(1)\n"
                           "Dev/X;A:R,G:R;string;;v(first)\n"
                           "Dev/X;A:R,G:R;string;;v(second)\n"
                           "Dev/Missing/Child;A:R,G:R;string;;v(1)\n"
                           "Dev/;A:R,G:R;string;;v(1)\n"
                           "Dev/After;A:R,G:R;string;;v(ok)\n");
    std::string out = messages([&] { EXPECT_EQ(0, read_profiles()); });

    EXPECT_EQ(nullptr, find("./Dev/NoGuest"));
    EXPECT_EQ(SC_ATTR_GUEST_R, find("./Dev/BadLetter")->data->attr) << "the bad part adds no bits";
    EXPECT_EQ(SC_ATTR_GUEST_W, find("./Dev/TooMany")->data->attr);
    EXPECT_EQ(nullptr, find("./Dev/NoType"));
    ASSERT_NE(nullptr, find("./Dev/NoLimit"));
    EXPECT_NE(std::string::npos, out.find("[DataLimit] no data limit field"));
    EXPECT_EQ(nullptr, find("./Dev/BadForm"));
    EXPECT_EQ(nullptr, find("./Dev/BadKey")) << "a malformed binding fails the line";
    ASSERT_NE(nullptr, find("./Dev/VLimit"));
    EXPECT_EQ("v1", std::string(find("./Dev/VLimit")->data->limit));
    EXPECT_NE(std::string::npos, out.find("[DataLimit] uri=./Dev/VLimit datalimit is start with v/r/k"));
    EXPECT_EQ("first", value("./Dev/X"));
    EXPECT_NE(std::string::npos, out.find("This URI Exists!!"));
    EXPECT_EQ(nullptr, find("./Dev/Missing/Child"));
    EXPECT_NE(std::string::npos, out.find("No such position for URI ./Dev/Missing/Child to insert!!"));
    EXPECT_NE(std::string::npos, out.find("check valid uri fail!"));
    EXPECT_EQ("ok", value("./Dev/After")) << "reading goes on after every bad line";
}

TEST_F(ProfileFiles, TreeFileLinesUpdateOrCreateDirtyNodes) {
    profile("dev.profile", "Dev;A:R,G:R;node;;\n"
                           "Dev/Same;A:RW,G:R;string;;v(a)\n"
                           "Dev/Other;A:RW,G:R;string;;v(a)\n"
                           "Dev/Gone;A:RW,G:R;string;;v(a)\n"
                           "Dev/Lim;A:RW,G:R;string;1..2;v(a)\n"
                           "Dev/Key;A:RW,G:R;string;;v(a),k(lan)split(,){2}\n");
    ASSERT_EQ(0, read_profiles());
    tree("dev.tree", "Dev/Same;A:RW,G:R;string;;v(a)\r\n"
                     "Dev/Other;A:R,G:;int;;v(b)\r\n"
                     "Dev/Gone;A:RW,G:R;string;;v(SC_NULL)\r\n"
                     "Dev/Lim;A:RW,G:R;string;3..4;v(a)\r\n"
                     "Dev/Key;A:RW,G:R;string;;v(a),k(other)split(;){3}\r\n"
                     "Dev/New;A:RW,G:R;uint;;v(7)\r\n"
                     "Dev/New/Deeper;A:RW,G:R;uint;;v(8)\r\n"
                     "Nowhere/Child;A:RW,G:R;uint;;v(9)\r\n"
                     "Dev/Bad;A:RW;uint;;v(9)\r\n");
    std::string out = messages([&] { EXPECT_EQ(0, read_trees()); });

    EXPECT_FALSE(is_dirty("./Dev/Same")) << "the same value changes nothing";
    EXPECT_EQ("b", value("./Dev/Other"));
    EXPECT_TRUE(is_dirty("./Dev/Other"));
    EXPECT_EQ(SC_ATTR_ADMIN_R | SC_ATTR_ADMIN_W | SC_ATTR_GUEST_R, find("./Dev/Other")->data->attr)
        << "attributes and type of a tree line are not applied";
    EXPECT_EQ(SC_DTYPE_STRING | SC_DTYPE_VALUE, find("./Dev/Other")->data->dtype);
    EXPECT_EQ(nullptr, find("./Dev/Gone")->data->value);
    EXPECT_FALSE(is_dirty("./Dev/Gone")) << "SC_NULL clears without marking";
    EXPECT_EQ("3..4", std::string(find("./Dev/Lim")->data->limit));
    EXPECT_TRUE(is_dirty("./Dev/Lim"));
    EXPECT_EQ("lan", std::string(find("./Dev/Key")->data->TarviKey->key)) << "the profile's binding stays";

    SCTreeNode *created = find("./Dev/New");
    ASSERT_NE(nullptr, created);
    EXPECT_EQ(&module("dev")->dirty, created->dirty) << "a new node joins its parent's module";
    EXPECT_TRUE(is_dirty("./Dev/New"));
    EXPECT_EQ(SC_DTYPE_UINT | SC_DTYPE_VALUE, created->data->dtype);
    EXPECT_EQ("8", value("./Dev/New/Deeper"));
    EXPECT_TRUE(module("dev")->flag & SC_FILE_FLAG_DIRTY);
    EXPECT_EQ(nullptr, find("./Nowhere/Child"));
    EXPECT_NE(std::string::npos, out.find("sc_searchNode SC_ERROR"));
    EXPECT_EQ(nullptr, find("./Dev/Bad"));
}

TEST_F(ProfileFiles, FolderScan) {
    // Files are read in name order, so a child module may follow its parent.
    profile("b_child.profile", "Top/Kid;A:R,G:R;string;;v(k)\n");
    profile("a_parent.profile", "Top;A:R,G:R;node;;\n");
    profile("notes.txt", "Top/Txt;A:R,G:R;string;;v(t)\n");
    profile(".hidden.profile", "Top/Hidden;A:R,G:R;string;;v(h)\n");
    profile("c.profile.bak", "Top/Bak;A:R,G:R;string;;v(b)\n");
    profile(std::string(240, 'n') + ".profile", "Top/Long;A:R,G:R;string;;v(l)\n");
    profile("s1.profile", "Top/Stage1;A:R,G:R;string;;v(1)\n", "1");
    std::filesystem::create_symlink("nowhere", root_.at("/usr/sc/profile0/b_gone.profile"));
    std::string out = messages([&] { EXPECT_EQ(0, read_profiles()); });
    EXPECT_EQ("k", value("./Top/Kid"));
    EXPECT_EQ(&module("b_child")->dirty, find("./Top/Kid")->dirty);
    EXPECT_EQ(nullptr, find("./Top/Txt"));
    EXPECT_EQ(nullptr, find("./Top/Hidden"));
    EXPECT_EQ("b", value("./Top/Bak")) << "a name that contains .profile is a profile";
    EXPECT_NE(nullptr, module("c"));
    EXPECT_EQ(nullptr, find("./Top/Long"));
    EXPECT_NE(std::string::npos, out.find("Read File Fopen Fail /usr/sc/profile0/b_gone.profile"));

    ASSERT_EQ(0, read_profiles("1"));
    EXPECT_EQ('1', module("s1")->stage);
    EXPECT_EQ(-1, read_profiles("2")) << "missing folder";
    EXPECT_EQ(-1, read_profiles("01")) << "a stage is one character";
    EXPECT_EQ(-1, read_trees("0"));
}

TEST_F(ProfileFiles, BadInputCostsOnlyItself) {
    std::string garbage("Top/G\0\x01\xff;A:R", 11);
    profile("top.profile", "Top;A:R,G:R;node;;\n"
                           "Top/Long;A:R,G:R;string;;v(" +
                               std::string(2100, 'x') +
                               ")\n"
                               "Top/Fits;A:R,G:R;string;;v(" +
                               std::string(2000, 'y') + ")\n" + garbage +
                               "\n"
                               "\x80\x81\x82;;;;;\n"
                               "Top/" +
                               std::string(260, 'u') +
                               ";A:R,G:R;string;;v(1)\n"
                               "Top/After;A:R,G:R;string;;v(ok)");
    std::string out = messages([&] { EXPECT_EQ(0, read_profiles()); });
    EXPECT_EQ(nullptr, find("./Top/Long")) << "an overlong line is skipped whole";
    EXPECT_NE(std::string::npos, out.find("line longer than 2047 characters skipped"));
    EXPECT_EQ(std::string(2000, 'y'), value("./Top/Fits"));
    EXPECT_EQ(nullptr, find("./Top/G"));
    EXPECT_EQ("ok", value("./Top/After")) << "a last line without its end counts";
}

namespace {

class CallbackFiles : public TreeDecl {
  protected:
    void SetUp() override {
        TreeDecl::SetUp();
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
