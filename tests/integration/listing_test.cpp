// Listings of the flat store, the properties and the tree, and export and
// import, against real daemons: what a front end or support staff rely on.
#include <algorithm>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "daemon.h"
#include "device.h"
#include "libtarvi.h"
#include "listener.h"
#include "tarvi_cli.h"
#include "tree_device.h"

namespace {

using model_t = std::map<std::string, std::string>;

model_t listed(const char *prefix) {
    tarvi_config_entry *e = nullptr;
    size_t n = 0;
    EXPECT_EQ(0, tarvi_config_list(prefix, &e, &n));
    model_t m;
    for (size_t i = 0; i < n; ++i)
        m[e[i].key] = e[i].value;
    free(e);
    return m;
}

model_t with_prefix(const model_t &m, const std::string &p) {
    model_t out;
    for (const auto &[k, v] : m)
        if (k.compare(0, p.size(), p) == 0)
            out[k] = v;
    return out;
}

// One raw exchange of a listing request; its reply's cursor and page.
long raw_page(int type, const char *key, std::string *page) {
    tarvi_request r = {};
    r.magic = TARVI_REQUEST_MAGIC;
    r.type = static_cast<uint16_t>(type);
    r.key = const_cast<char *>(key);
    if (request_for_tarvi(&r) != 0)
        return -1;
    page->append(r.value ? r.value : "");
    return strtol(r.key, nullptr, 10);
}

class FlatListing : public ::testing::Test {
  protected:
    void SetUp() override {
        // Enough keys for many pages, with values of every length up to a
        // few hundred bytes.
        std::mt19937 rng(seed_);
        std::string defaults;
        for (int i = 0; i < 1500; ++i) {
            std::string key = "K" + std::to_string(rng() % 100000) + "_" + std::to_string(i);
            std::string value(rng() % 120, static_cast<char>('a' + rng() % 26));
            model_[key] = value;
            defaults += key + "=" + value + "\n";
        }
        lay_device(root_, defaults);
        ASSERT_TRUE(daemon_.start());
        // Runtime keys with what the page format escapes.
        for (const char *v : {"tab\there", "line\nbreak", "back\\slash\\t", ""}) {
            std::string key = std::string("RT_") + std::to_string(strlen(v));
            ASSERT_EQ(0, tarvi_set(key.data(), const_cast<char *>(v)));
            model_[key] = v;
        }
    }
    void TearDown() override {
        EXPECT_TRUE(daemon_.running());
        EXPECT_EQ("", daemon_.sanitizer_report());
    }
    unsigned seed_ = static_cast<unsigned>(time(nullptr));
    ScratchRoot root_;
    Daemon daemon_{root_.path()};
    model_t model_;
};

} // namespace

TEST_F(FlatListing, EveryPrefixListsExactlyItsKeysSorted) {
    // Without a prefix: every key, across many pages.
    EXPECT_EQ(model_, listed(nullptr));
    std::mt19937 rng(seed_);
    std::vector<std::string> prefixes = {"", "K", "RT_", "none", "K1_"};
    for (int i = 0; i < 20; ++i)
        prefixes.push_back(model_.begin()->first.substr(0, rng() % 6));
    for (const std::string &p : prefixes) {
        tarvi_config_entry *e = nullptr;
        size_t n = 0;
        ASSERT_EQ(0, tarvi_config_list(p.c_str(), &e, &n)) << "prefix " << p;
        model_t want = with_prefix(model_, p);
        ASSERT_EQ(want.size(), n) << "seed " << seed_ << ", prefix '" << p << "'";
        auto it = want.begin();
        for (size_t i = 0; i < n; ++i, ++it) {
            ASSERT_EQ(it->first, e[i].key) << "seed " << seed_ << ", prefix '" << p << "', entry " << i;
            ASSERT_EQ(it->second, e[i].value) << it->first;
            EXPECT_EQ(strncmp(e[i].key, "RT_", 3) == 0, e[i].runtime) << it->first;
        }
        EXPECT_EQ(n == 0, e == nullptr);
        free(e);
    }
}

TEST_F(FlatListing, PagesAreOneSnapshotAndAbandonedCursorsAreDropped) {
    std::string page;
    long cursor = raw_page(TARVI_REQUEST_TYPE_CONFIG_LIST, "K", &page);
    ASSERT_GT(cursor, 0);
    // The store changes between the pages; the listing does not.
    std::string changed = model_.begin()->first;
    ASSERT_EQ(0, tarvi_set(changed.data(), const_cast<char *>("changed")));
    ASSERT_EQ(0, tarvi_set(const_cast<char *>("K0_new"), const_cast<char *>("new")));
    while (cursor > 0) {
        std::string id = std::to_string(cursor);
        cursor = raw_page(TARVI_REQUEST_TYPE_LIST_NEXT, id.c_str(), &page);
    }
    ASSERT_EQ(0, cursor);
    std::string want;
    for (const auto &[k, v] : with_prefix(model_, "K"))
        want += k + "\t" + v + "\tsystem.cfg\t\n";
    EXPECT_EQ(want, page);
    // Listings left unread: beyond the room for them, the oldest goes, and
    // its client hears so; the others still page to their end.
    std::vector<long> cursors;
    for (int i = 0; i < 9; ++i) {
        std::string first;
        cursors.push_back(raw_page(TARVI_REQUEST_TYPE_CONFIG_LIST, nullptr, &first));
    }
    std::string rest;
    EXPECT_EQ(-1, raw_page(TARVI_REQUEST_TYPE_LIST_NEXT, std::to_string(cursors[0]).c_str(), &rest));
    EXPECT_EQ(-1, raw_page(TARVI_REQUEST_TYPE_LIST_NEXT, "12345", &rest));
    EXPECT_GT(raw_page(TARVI_REQUEST_TYPE_LIST_NEXT, std::to_string(cursors[8]).c_str(), &rest), 0);
    model_[changed] = "changed";
    model_["K0_new"] = "new";
    EXPECT_EQ(model_, listed(nullptr));
}

TEST_F(FlatListing, ChangesAreWhatACommitWouldStoreDifferently) {
    auto it = model_.begin();
    std::string a = it->first, b = (++it)->first;
    EXPECT_EQ("0 |", run_text(run_tarvi(root_, "changes")));
    ASSERT_EQ(0, tarvi_set(a.data(), const_cast<char *>("x")));
    ASSERT_EQ(0, tarvi_set(b.data(), const_cast<char *>("y")));
    // Set back to what is saved: no longer a change.
    ASSERT_EQ(0, tarvi_set(b.data(), model_[b].data()));
    EXPECT_EQ("0 " + a + "=x\n|", run_text(run_tarvi(root_, "changes")));
    EXPECT_EQ("0 system.cfg           c  " + a + "=x\n|", run_text(run_tarvi(root_, "show --long " + a)));
    ASSERT_EQ(0, tarvi_commit());
    EXPECT_EQ("0 |", run_text(run_tarvi(root_, "changes")));
    EXPECT_EQ("0 " + a + "=x\n|", run_text(run_tarvi(root_, "show " + a)));
    EXPECT_EQ("0 Runtime              r  RT_0=\n|", run_text(run_tarvi(root_, "show --long RT_0")));
}

TEST(Listing, ADaemonWithoutTheRequestIsReportedSo) {
    ScratchRoot root;
    Listener older; // reads nothing and closes, as a daemon that refuses the type
    std::thread t([&] { eventually([&] { return older.contacted(); }); });
    tarvi_config_entry *e = nullptr;
    size_t n = 0;
    EXPECT_EQ(-1, tarvi_config_list(nullptr, &e, &n));
    EXPECT_EQ(EOPNOTSUPP, errno);
    t.join();
    EXPECT_EQ(nullptr, e);
}

namespace {

class SampleExport : public SampleDeviceTest {
  protected:
    // What a user sees of the configuration: the stored settings (the
    // runtime ones include the callbacks' scratch keys) and the tree.
    static std::string state(const ScratchRoot &root) {
        std::string show = run_tarvi(root, "show --long").out, stored;
        for (size_t at = 0, end; (end = show.find('\n', at)) != std::string::npos; at = end + 1)
            if (show.compare(at + 21, 2, "r ") != 0 && show.compare(at + 21, 2, "rc") != 0)
                stored += show.substr(at, end + 1 - at);
        return stored + run_text(run_tarvi(root, "sc tree --json"));
    }
    std::string state() { return state(root_); }
};

} // namespace

TEST_F(SampleExport, PropertiesAndTreeListAsJsonAndLines) {
    ASSERT_EQ(0, property_set("test.list.b", "2"));
    ASSERT_EQ(0, property_set("test.list.a", "1 and more"));
    EXPECT_EQ("0 test.list.a=1 and more\ntest.list.b=2\n|", run_text(tarvi("prop list test.list.")));
    tool_result r = tarvi("sc tree --json sys/wan/mtu");
    EXPECT_EQ("0 [\n  {\"uri\": \"sys/wan/mtu\", \"type\": \"uint\", \"attributes\": \"A:RW,G:R\", \"limit\": "
              "\"576..1500\", \"value\": \"1400\", \"instance\": false}\n]\n|",
              run_text(r));
    // The listing holds the nodes a walk hands out, and instances are marked.
    tarvi_sc_node *nodes = nullptr;
    size_t n = 0;
    ASSERT_EQ(0, tarvi_sc_list("sys/network/v6config", &nodes, &n));
    int id = 0, walked = 0;
    ASSERT_EQ(0, tarvi_sc_get_tree_start(ME_SYS, 0, const_cast<char *>("sys/network/v6config"), &id));
    for (;;) {
        char *uri = nullptr;
        u_16 dtype, attr;
        int rc = tarvi_sc_get_tree_next(id, &uri, &dtype, &attr);
        bool found = false;
        for (size_t i = 0; i < n && rc != 100; ++i)
            found = found || (strcmp(nodes[i].uri, uri) == 0 && nodes[i].dtype == dtype && nodes[i].attr == attr);
        EXPECT_TRUE(rc == 100 || found) << uri;
        free(uri);
        if (rc != 101 && rc != 102)
            break;
        ++walked;
    }
    EXPECT_EQ(static_cast<size_t>(walked), n);
    EXPECT_EQ("./sys/network/v6config/1", std::string(nodes[1].uri));
    EXPECT_TRUE(nodes[1].instance);
    EXPECT_FALSE(nodes[0].instance);
    free(nodes);
    EXPECT_EQ(-404, tarvi_sc_list("sys/none", &nodes, &n));
    EXPECT_EQ("1 |tarvi: sys/none: no such node\n", run_text(tarvi("sc tree --json sys/none")));
}

TEST_F(SampleExport, ImportIsAllOrNothing) {
    std::string before = state();
    // A refused value in the middle: nothing of what comes before it stays.
    root_.write("/doc.json", R"({"format": "tarvi-config", "version": 1,
        "settings": {"system.cfg": {"WAN_MTU": "1300"}},
        "instances": ["sys/network/v6config/7"],
        "tree": {"sys/network/v6config/7/Name": "seven", "sys/wan/mtu": "9000", "sys/wan/dns": "9.9.9.9"}})");
    tool_result r = tarvi("import doc.json");
    EXPECT_EQ(1, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("entry 4 (sys/wan/mtu): the node's verification refused the value"))
        << r.err;
    ASSERT_EQ(before, state());
    std::string errors;
    // A value refused inside an instance the document makes is found as it
    // is written: what came before is undone. Documents that are no export,
    // or of another version, change nothing either.
    std::string long_key = R"({"format": "tarvi-config", "version": 1, "settings": {"c": {")" + std::string(5000, 'K');
    for (const std::string &doc : std::vector<std::string>{
             long_key + R"(": "1"}}})",
             std::string(R"({"format": "tarvi-config", "version": 1, "settings": {"s": {"WAN_MTU": "1300"}},
                              "instances": ["sys/services/voip/line/3"],
                              "tree": {"sys/wan/dns": "9.9.9.9", "sys/services/voip/line/3/number": "x;y"}})"),
             R"({"format": "tarvi-config", "version": 2, "tree": {"sys/wan/dns": "1.1.1.1"}})",
             R"({"format": "other", "version": 1})", R"({"format": "tarvi-config", "version": 1,)",
             R"({"format": "tarvi-config", "version": 1, "settings": {"WAN_MTU": "1300"}})",
             R"({"format": "tarvi-config", "version": 1, "settings": {"c": {"NO_SUCH_KEY": "1"}}})"}) {
        root_.write("/doc.json", doc);
        r = tarvi("import doc.json");
        EXPECT_EQ(1, r.status) << doc;
        EXPECT_NE(std::string::npos, r.err.find("nothing was changed")) << r.err;
        errors += r.err;
    }
    for (const char *why :
         {"entry 4 (sys/services/voip/line/3/number): the write was refused", "version 2 is not",
          "KKK...): key and value longer than a request carries", "not a tarvi configuration export",
          "line 1: a string was expected", "settings\": WAN_MTU is not", "(NO_SUCH_KEY): no stored setting"})
        EXPECT_NE(std::string::npos, errors.find(why)) << why << " not in " << errors;
    EXPECT_EQ(before, state());
}

TEST_F(SampleExport, ExportThenImportOnAnotherDeviceGivesTheSameConfiguration) {
    // A factory-only setting belongs to this device: it is not exported.
    ASSERT_EQ(0, tarvi("dset SERIAL_ONLY_HERE sn-1").status);
    ASSERT_EQ(0, tarvi("reload").status);
    ASSERT_EQ(0, tarvi(R"(sc fields set sys/network/v6config 2 Type=dhcpv6 'Name=lab net')").status);
    ASSERT_EQ(0, tarvi("sc fields add sys/network/v6config Name=guest Type=slaac").status);
    ASSERT_EQ(0, tarvi("sc set sys/wan/mtu 1300").status);
    ASSERT_EQ(0, tarvi("sc add WiMAX/NSP 2").status);
    ASSERT_EQ(0, tarvi("set SYS_NAME 'tab\there \"quoted\" \\\\ back'").status);
    ASSERT_EQ(0, tarvi("export " + root_.at("/export.json")).status);
    EXPECT_EQ(std::string::npos, root_.read("/export.json").find("SERIAL_ONLY_HERE"));
    EXPECT_EQ(0, tarvi("import export.json").status) << "onto the device it came from";
    std::string want = state();

    ScratchRoot other;
    lay_sample_device(other);
    auto second = start_tree_daemon(other);
    ASSERT_TRUE(second);
    tool_result r = run_tarvi(other, "import " + root_.at("/export.json"));
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(want, state(other));
    // Importing it again changes nothing; a commit keeps it.
    EXPECT_EQ(0, run_tarvi(other, "import " + root_.at("/export.json")).status);
    EXPECT_EQ(0, run_tarvi(other, "commit").status);
    EXPECT_EQ("0 |", run_text(run_tarvi(other, "changes")));
    stop_tree_daemon(second);
}
