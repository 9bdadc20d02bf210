// Writing the tree back: what the writers produce, read by the readers,
// gives the same tree; files replace the old ones whole or not at all.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>

#include "sc_fixture.h"
#include "sc_ops.h"
#include "sc_ops_cb.h"
#include "sc_ops_inst.h"
#include "sc_tree_write.h"
#include "sc_utiliface.h"
#include "tarvi-ex.h"

namespace fs = std::filesystem;

namespace {

std::string text(const char *s) { return s ? s : "<null>"; }

std::string binding(const TarviKeyType *k) {
    if (!k)
        return "";
    std::string out = "k=" + text(k->key);
    auto *head = const_cast<struct list *>(&k->split);
    for (struct list *pos = head->prev; pos != head; pos = pos->prev) {
        const SplitType *s = list_entry(pos, SplitType, chain);
        out += std::string(" ") + s->delimiter + std::to_string(s->index);
    }
    return out;
}

// Everything the files keep about every node, by URI.
std::map<std::string, std::string> snapshot() {
    std::map<std::string, std::string> out;
    list_for_each(pos, &SC.FileList) {
        FileType *f = list_entry(pos, FileType, file);
        list_for_each(n, &f->node) {
            const SCDataType *d = list_entry(n, SCTreeNode, file)->data;
            std::ostringstream s;
            s << f->FileName << " attr=" << d->attr << " dtype=" << d->dtype << " limit=" << text(d->limit)
              << " value=" << text(d->value) << " " << binding(d->TarviKey);
            if (const CBDataType *cb = d->CBData)
                s << " cb=" << text(cb->so) << "|" << text(cb->get) << "|" << text(cb->set) << "|" << text(cb->ver)
                  << "|" << text(cb->exe) << "|" << text(cb->cov) << "|" << text(cb->arg);
            if (const NotifyType *nt = d->Notify)
                s << " notify=" << text(nt->so) << "|" << int(nt->active) << "|" << text(nt->cb) << "|"
                  << text(nt->arg);
            out[d->uri] = s.str();
        }
    }
    return out;
}

class TreeWrite : public TreeDecl {
  protected:
    void SetUp() override {
        TreeDecl::SetUp();
        lay_usr("examples/device/usr");
        config_sc_cb_init();
        ASSERT_EQ(0, config_sc_reload(0));
    }
    std::string line_of(const char *uri, bool cwmp = false) {
        std::string line;
        EXPECT_EQ(0, sc_nodeLine(find(uri), cwmp, &line)) << uri;
        return line;
    }
    std::string tree_file(const char *module) { return read_file(root_.at(std::string("/tmp/sc/tree0/") + module)); }
};

TEST_F(TreeWrite, ExportedFilesReadBackToTheSameTree) {
    std::map<std::string, std::string> before = snapshot();
    ASSERT_EQ(0, sc_writeProfileToProfileFile(&SC));
    ASSERT_EQ(0, sc_writeCBToCBFile(&SC));
    ASSERT_EQ(0, sc_writeNotifyToNotifyFile(&SC));
    // The CWMP module is written dotted in all its files.
    EXPECT_NE(std::string::npos, read_file(root_.at("/tmp/sc/profile0/cwmp_igd.profile"))
                                     .find("InternetGatewayDevice.LANDevice.1.LANHostConfigManagement;"));
    EXPECT_NE(std::string::npos,
              read_file(root_.at("/tmp/sc/cb0/cwmp_igd.cb")).find("InternetGatewayDevice.DeviceInfo"));

    fs::remove_all(root_.at("/usr/sc"));
    fs::create_directories(root_.at("/usr/sc"));
    for (const char *kind : {"profile0", "cb0", "notify0"})
        fs::copy(root_.at(std::string("/tmp/sc/") + kind), root_.at(std::string("/usr/sc/") + kind));
    ASSERT_EQ(0, config_sc_reload(0));
    std::map<std::string, std::string> after = snapshot();
    for (const auto &[uri, node] : before)
        EXPECT_EQ(node, after[uri]) << uri;
    EXPECT_EQ(before.size(), after.size());
}

TEST_F(TreeWrite, NodeLinesKeepFormsBindingsAndPlaceholders) {
    EXPECT_EQ("sys/system/name;A:RW,G:R;string;1..64;k(SYS_NAME)\r\n", line_of("./sys/system/name"));
    EXPECT_EQ("sys/network/v6config/-1/Name;A:RW,G:R;string;1..16;k(IPV6_CONFIG)split(;){$1}split(,){2}\r\n",
              line_of("./sys/network/v6config/-1/Name"));
    EXPECT_EQ("sys;A:R,G:R;node;\r\n", line_of("./sys"));
    EXPECT_EQ("InternetGatewayDevice.LANDevice.1.LANHostConfigManagement.MinAddress;A:RW,G:R;string;;r(./sys/"
              "network/lan/dhcp_start)\r\n",
              line_of("./InternetGatewayDevice/LANDevice/1/LANHostConfigManagement/MinAddress", true));

    SCDataType *d = find("./sys/wimax/nsp/1/name")->data;
    d->attr = 0;
    ASSERT_EQ(0, sc_parseDataKey("k(key)split(,){2}split(;){#3}", &d->TarviKey));
    EXPECT_EQ("sys/wimax/nsp/1/name;A:,G:;string;;v(operator),k(key)split(,){2}split(;){#3}\r\n",
              line_of("./sys/wimax/nsp/1/name"));
    // A null value comes back null, not as an empty text.
    SC_FREE(d->value);
    d->value = nullptr;
    EXPECT_EQ("sys/wimax/nsp/1/name;A:,G:;string;;v(SC_NULL),k(key)split(,){2}split(;){#3}\r\n",
              line_of("./sys/wimax/nsp/1/name"));
    // A value a reader could not give back is not written at all.
    d->value = sc_util_strdup("a)b");
    std::string line;
    EXPECT_EQ(-1, sc_nodeLine(find("./sys/wimax/nsp/1/name"), false, &line));
    EXPECT_EQ("", line);
    d->value = static_cast<char *>(realloc(d->value, 2100));
    memset(d->value, 'x', 2099);
    d->value[2099] = '\0';
    EXPECT_EQ(-1, sc_nodeLine(find("./sys/wimax/nsp/1/name"), false, &line));
}

TEST_F(TreeWrite, TreeFilesKeepChangesAcrossAReloadAndReplaceWhole) {
    EXPECT_EQ(0, config_sc_flush(2));
    EXPECT_FALSE(fs::exists(root_.at("/tmp/sc/tree0/sys.tree")));
    ASSERT_EQ(0, config_sc_set("sys/wimax/nsp/1/name", "mine"));
    ASSERT_EQ(0, config_sc_set("InternetGatewayDevice.DeviceInfo.ModelName", "X-1"));
    ASSERT_NE(0, config_sc_dirty());
    ASSERT_EQ(0, config_sc_flush(0));
    // Written but not yet in flash: still dirty until a commit has packed
    // the files, so a commit whose image write failed is tried again.
    EXPECT_NE(0, config_sc_dirty());
    config_sc_packed();
    EXPECT_EQ(0, config_sc_dirty());
    EXPECT_NE(std::string::npos, tree_file("sys.tree").find("sys/wimax/nsp/1/name;A:RW,G:R;string;;v(mine)\r\n"));
    EXPECT_NE(std::string::npos, tree_file("cwmp_igd.tree").find("InternetGatewayDevice.DeviceInfo.ModelName;"));
    EXPECT_FALSE(fs::exists(root_.at("/tmp/sc/tree0/sys.tmptree")));

    // Nothing changed: the second save writes nothing.
    fs::remove(root_.at("/tmp/sc/tree0/sys.tree"));
    ASSERT_EQ(0, config_sc_flush(0));
    EXPECT_FALSE(fs::exists(root_.at("/tmp/sc/tree0/sys.tree")));
    ASSERT_EQ(0, config_sc_flush(1));
    ASSERT_EQ(0, config_sc_reload(1));
    char *v = nullptr;
    ASSERT_EQ(0, config_sc_get("InternetGatewayDevice/DeviceInfo/ModelName", &v));
    EXPECT_STREQ("X-1", v);
    SC_FREE(v);

    // A folder that cannot take the file: -1, the old file stays, no
    // temporary file is left, the module keeps its flag.
    std::string old = tree_file("sys.tree");
    ASSERT_EQ(0, config_sc_set("sys/wimax/nsp/1/name", "again"));
    if (geteuid() != 0) {
        chmod(root_.at("/tmp/sc/tree0").c_str(), 0555);
        EXPECT_EQ(-1, config_sc_flush(0));
        chmod(root_.at("/tmp/sc/tree0").c_str(), 0755);
        EXPECT_EQ(old, tree_file("sys.tree"));
        EXPECT_FALSE(fs::exists(root_.at("/tmp/sc/tree0/sys.tmptree")));
        EXPECT_NE(0, config_sc_dirty());
    }
    // A module whose file name the readers would refuse is not written; the
    // others are.
    FileType *sys = module("sys");
    char *name = sys->FileName;
    sys->FileName = sc_util_strdup(std::string(240, 'm').c_str());
    ASSERT_EQ(0, config_sc_set("InternetGatewayDevice.DeviceInfo.ModelName", "X-2"));
    EXPECT_EQ(-1, config_sc_flush(0));
    SC_FREE(sys->FileName);
    sys->FileName = name;
    EXPECT_NE(std::string::npos, tree_file("cwmp_igd.tree").find("v(X-2)"));
    // A node that cannot be written (the set refuses such values; here it
    // is put in place directly) is left out and reported; the rest of its
    // module is saved.
    ASSERT_EQ(0, config_sc_add_inst("sys/wimax/nsp", "2"));
    ASSERT_EQ(0, config_sc_set("sys/wimax/nsp/1/name", "bad"));
    SCDataType *d = find("./sys/wimax/nsp/1/name")->data;
    SC_FREE(d->value);
    d->value = sc_util_strdup("bad)value");
    ASSERT_EQ(0, config_sc_set("sys/wimax/nsp/2/nsp_id", "42"));
    EXPECT_EQ(-1, config_sc_flush(0));
    EXPECT_EQ(std::string::npos, tree_file("sys.tree").find("bad)value"));
    EXPECT_NE(std::string::npos, tree_file("sys.tree").find("v(42)"));
}

} // namespace
