// The service core: name rules and prefixes, triggers, rc, property and
// persistent files. Service control is tested against the daemon
// (prop_daemon_test.cpp).
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "command.h"
#include "log_capture.h"
#include "prop_core.h"
#include "prop_db.h"
#include "prop_debug.h"
#include "prop_file.h"
#include "prop_svc.h"
#include "scratch.h"
#include "tarvid_child.h"

namespace {

std::vector<pid_t> exited;
void record_exit(pid_t pid, int) {
    exited.push_back(pid);
    prop_core_notify_ctrl(pid);
}

class PropService : public ::testing::Test {
  protected:
    void SetUp() override {
        prop_debug_set(2);
        exited.clear();
        prop_core_exit_handler = record_exit;
        // Stubs first on PATH: they only record the command line they got.
        stub("service-launcher");
        stub("killall");
        std::string path = root_.at("/bin") + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
        setenv("PATH", path.c_str(), 1);
    }
    void TearDown() override {
        wait_children();
        prop_core_exit_handler = nullptr;
    }
    void stub(const std::string &name) {
        root_.write("/bin/" + name, "#!/bin/sh\necho \"" + name + " $*\" >> " + root_.at("/calls") + "\n");
        chmod(root_.at("/bin/" + name).c_str(), 0755);
    }
    // Reaps every started child, as the daemon's main loop would.
    void wait_children() {
        eventually([] {
            tarvid_child_reap();
            return tarvid_child_count() == 0;
        });
    }
    // The recorded command lines, sorted: the children run unsynchronised.
    std::string calls() {
        wait_children();
        std::string text = root_.read("/calls");
        std::vector<std::string> lines;
        for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
            lines.push_back(text.substr(at, nl + 1 - at));
        std::sort(lines.begin(), lines.end());
        std::string sorted;
        for (const auto &l : lines)
            sorted += l;
        return sorted;
    }
    std::string get(const char *name) {
        char value[PROP_VALUE_SIZE];
        return prop_core_get(name, value) == 0 ? value : "<absent>";
    }
    void init() { ASSERT_EQ(0, prop_core_init()); }

    ScratchRoot root_;
    LogCapture log_;
};

TEST_F(PropService, NameRulesRefuseEachIllegalNameWithItsOwnMessage) {
    init();
    EXPECT_EQ(0, prop_core_set(std::string(31, 'n').c_str(), "1"));
    EXPECT_EQ(-1, prop_core_set(std::string(32, 'n').c_str(), "1"));
    EXPECT_TRUE(log_.has("] namelen >= 32"));
    struct {
        const char *name, *message;
    } illegal[] = {
        {"", "namelen < 1"},
        {".a", "name shouldn't begin with ."},
        {"a.", "name shouldn't end with ."},
        {"a..b", "don't allow .. in property name"},
        {"a b", "Only allow alphanumeric, plus '.', '-', or '_'"},
        {"a/b", "Only allow alphanumeric, plus '.', '-', or '_'"},
    };
    for (const auto &c : illegal) {
        log_.clear();
        EXPECT_EQ(-1, prop_core_set(c.name, "1")) << c.name;
        EXPECT_TRUE(log_.has(std::string("PropSet Error:[") + c.name + "] " + c.message)) << log_.all();
        EXPECT_TRUE(log_.has(std::string("Error:[") + c.name + ":1] property name is illegal")) << c.name;
    }
    EXPECT_EQ(-1, prop_core_set(nullptr, "1"));
    EXPECT_EQ(0, prop_core_set("ok-name_1.x", std::string(91, 'v').c_str()));
    EXPECT_EQ(-1, prop_core_set("ok-name_1.x", std::string(92, 'v').c_str()));
    EXPECT_TRUE(log_.has("valuelen 92 >= 92"));
}

TEST_F(PropService, PrefixesReadOnceNetChangeAndPersist) {
    root_.write("/t.rc", "on property:net.change=net.change\n    setprop fired.by.netchange 1\n");
    init();
    EXPECT_EQ(0, prop_core_set("ro.a", "1"));
    EXPECT_EQ(-1, prop_core_set("ro.a", "2"));
    EXPECT_EQ("1", get("ro.a"));
    EXPECT_EQ(0, prop_core_set("ro.a", "1"));

    EXPECT_EQ(0, prop_core_set("net.wan", "up"));
    EXPECT_EQ("net.wan", get("net.change"));
    EXPECT_EQ(0, prop_core_set("net.change", "net.change"));
    EXPECT_EQ("net.change", get("net.change"));
    EXPECT_EQ("<absent>", get("fired.by.netchange"));

    EXPECT_EQ(0, prop_core_set("persist.y", "abc"));
    EXPECT_EQ("abc", root_.read("/data/property/persist.y"));
    EXPECT_EQ(0, prop_core_set("persist.empty", ""));
    EXPECT_TRUE(root_.exists("/data/property/persist.empty"));
    EXPECT_EQ("", root_.read("/data/property/persist.empty"));

    // Control names are never stored.
    EXPECT_EQ(-1, prop_core_set("ctl.pause", "x"));
    EXPECT_TRUE(log_.has("unknown control msg 'ctl.pause'"));
    EXPECT_EQ("<absent>", get("ctl.pause"));
}

TEST_F(PropService, PersistentValuesLoadAndSurviveAReload) {
    root_.write("/data/property/persist.big", std::string(200, 'b'));
    root_.write("/data/property/.temp.7", "leftover");
    root_.write("/data/property/persist.kept", "kept value");
    init();
    EXPECT_EQ(std::string(91, 'b'), get("persist.big"));
    EXPECT_EQ("kept value", get("persist.kept"));
    EXPECT_EQ("<absent>", get(".temp.7"));
    EXPECT_EQ(0, prop_core_set("persist.new", "v1"));
    init();
    EXPECT_EQ("v1", get("persist.new"));
}

TEST_F(PropService, TriggersFireOnChangeOnlyAndRunInOrder) {
    std::string log = root_.at("/order");
    root_.write("/init.foo.rc", "service foo /sbin/food\non property:sys.x=1\n    setprop sys.y 2\n    start foo\n"
                                "on property:order=go\n    echo A >> " +
                                    log +
                                    "\n    setprop order.inner 1\n"
                                    "    echo C >> " +
                                    log + "\non property:order.inner=1\n    echo B >> " + log + "\n");
    // This launcher stays as the service: its state is read from its process.
    root_.write("/bin/service-launcher",
                "#!/bin/sh\necho \"service-launcher $*\" >> " + root_.at("/calls") + "\nexec sleep 30\n");
    init();
    EXPECT_EQ(0, prop_core_set("sys.x", "0"));
    EXPECT_EQ("<absent>", get("sys.y"));
    EXPECT_EQ(0, prop_core_set("sys.x", "1"));
    EXPECT_EQ("2", get("sys.y"));
    EXPECT_EQ("running", get("init.svc.foo"));
    EXPECT_EQ(0, prop_core_set("sys.y", "3"));
    EXPECT_EQ(0, prop_core_set("sys.x", "1")); // no change: nothing runs
    EXPECT_EQ("3", get("sys.y"));
    // A service's own record is not a trigger: setting its name to the empty
    // text does not run the service's program here.
    EXPECT_EQ(0, prop_core_set("foo", ""));
    ASSERT_TRUE(eventually([&] { return root_.read("/calls") == "service-launcher init.foo.rc\n"; }));
    EXPECT_EQ(0, prop_core_set("ctl.stop", "foo"));
    EXPECT_EQ("stopped", get("init.svc.foo"));
    EXPECT_EQ("killall -9 food\nservice-launcher init.foo.rc\n", calls());

    EXPECT_EQ(0, prop_core_set("order", "go"));
    EXPECT_EQ("A\nB\nC\n", root_.read("/order"));
}

TEST_F(PropService, TriggerLoopsAreBounded) {
    root_.write("/loop.rc", "on property:loop.a=1\n"
                            "    setprop loop.a 2\n"
                            "on property:loop.a=2\n"
                            "    setprop loop.a 1\n"
                            "on property:fan=1\n"
                            "    setprop fan 2\n"
                            "    setprop fan.b 1\n"
                            "on property:fan=2\n"
                            "    setprop fan 1\n"
                            "    setprop fan.b 2\n");
    init();
    EXPECT_EQ(0, prop_core_set("loop.a", "1"));
    EXPECT_TRUE(log_.has("Trigger depth exceed MAX:8"));
    EXPECT_EQ(0, prop_core_set("fan", "1"));
    EXPECT_EQ(0, prop_core_set("after.loop", "1"));
    EXPECT_EQ("1", get("after.loop"));
}

TEST_F(PropService, RcLinesOfEveryShape) {
    prop_debug_set(4);
    root_.write("/init.foo.rc", "    start foo\n" // no section yet
                                "# on property:commented=1\n"
                                "service foo /sbin/food\n"
                                "    start after-service\n" // a service is one line
                                "service lonely\n"          // no command
                                "service " +
                                    std::string(32, 's') +
                                    " /x\n"
                                    "on property:sys.boot = 1\n"
                                    "    start foo\n"
                                    "    setprop a b c d e f g h i j k\n"   // 12 words
                                    "    setprop a b c d e f g h i j k l\n" // 13 words
                                    "    " +
                                    std::string(128, 'x') +
                                    "\n"
                                    "\n"
                                    "    start after-blank\n"
                                    "on property:tab=1\n"
                                    "\tstart tabbed\n"
                                    "    start after-tab\n"
                                    "on property:five=1\n"
                                    "     start five-blanks\n"
                                    "on property:a=\n"
                                    "on property:=1\n"
                                    "on property:noequals\n"
                                    "on property:\n"
                                    "on property:" +
                                    std::string(32, 'k') +
                                    "=1\n"
                                    "on property:" +
                                    std::string(30, 'k') + "=" + std::string(62, 'v') +
                                    "\n"
                                    "on property:dup=1\n"
                                    "on property:dup=1\n"
                                    "    start dup-second\n"
                                    "on property:" +
                                    std::string(600, 'p') + "\n");
    init();
    prop_svc_t *svc = prop_svc_find_by_name(PROP_SVC_TYPE_SERVICE, "init.foo.rc", "foo", nullptr);
    ASSERT_NE(nullptr, svc);
    EXPECT_EQ(PROP_SVC_TYPE_SERVICE, svc->svc_type);
    EXPECT_STREQ("", svc->svc_value);
    char actions[PROP_SVC_ACTIONS_SIZE];
    ASSERT_EQ(0, prop_svc_get_actions(svc, actions));
    EXPECT_STREQ("/sbin/food", actions);

    prop_svc_t *boot = prop_svc_find_by_name(PROP_SVC_TYPE_TRIGGER, "init.foo.rc", "sys.boot", "1");
    ASSERT_NE(nullptr, boot);
    EXPECT_EQ(PROP_SVC_TYPE_TRIGGER, boot->svc_type);
    ASSERT_EQ(0, prop_svc_get_actions(boot, actions));
    EXPECT_STREQ("start foo;setprop a b c d e f g h i j k", actions);
    EXPECT_TRUE(log_.has("Too many words, max:12"));
    EXPECT_TRUE(log_.has("Action length exceed MAX"));

    EXPECT_TRUE(log_.has("Wrong command, because of no prefix. Line:    start foo"));
    EXPECT_TRUE(log_.has("no prefix. Line:    start after-service"));
    EXPECT_TRUE(log_.has("no prefix. Line:    start after-blank"));
    EXPECT_TRUE(log_.has("no prefix. Line:    start after-tab"));
    EXPECT_TRUE(log_.has("Wrong line...key:lonely line:service lonely"));
    EXPECT_TRUE(log_.has("Wrong key len:32"));
    EXPECT_TRUE(log_.has("Wrong line...3...value:="));
    EXPECT_TRUE(log_.has("Wrong line...2...Line:on property:=1"));
    EXPECT_TRUE(log_.has("Wrong line without '='"));
    EXPECT_TRUE(log_.has("Wrong line len:1"));
    EXPECT_TRUE(log_.has("Wrong value or length. key_len:30 value_len:62"));
    EXPECT_TRUE(log_.has("Unable to add the onproperty"));
    EXPECT_EQ(nullptr, prop_svc_find_by_name(PROP_SVC_TYPE_TRIGGER, "init.foo.rc", "commented", "1"));
    EXPECT_EQ(nullptr, prop_svc_find_by_name(PROP_SVC_TYPE_TRIGGER, "init.foo.rc", std::string(32, 'k').c_str(), "1"));

    // Each open section lost its following commands.
    prop_svc_t *tab = prop_svc_find_by_name(PROP_SVC_TYPE_TRIGGER, "init.foo.rc", "tab", "1");
    ASSERT_NE(nullptr, tab);
    EXPECT_TRUE(list_empty(&tab->act_list));
    prop_svc_t *five = prop_svc_find_by_name(PROP_SVC_TYPE_TRIGGER, "init.foo.rc", "five", "1");
    ASSERT_NE(nullptr, five);
    EXPECT_TRUE(list_empty(&five->act_list));
    prop_svc_t *dup = prop_svc_find_by_name(PROP_SVC_TYPE_TRIGGER, "init.foo.rc", "dup", "1");
    ASSERT_NE(nullptr, dup);
    EXPECT_TRUE(list_empty(&dup->act_list));
}

TEST_F(PropService, OverlongRcLinesAreSkippedWhole) {
    // The tail of a long comment or command looks like a command; it must
    // not run. A NUL byte inside a line does not hide the line's end.
    std::string nul_line("    setprop nul.x 1\0 tail\n", 26);
    root_.write("/long.rc", "on property:go=1\n#" + std::string(253, 'c') + "    setprop leak.comment 1\n" +
                                "    setprop ok.before 1 " + std::string(250, ' ') + "x\n" + "    setprop " +
                                std::string(242, 'n') + "    setprop leak.command 1\n" + nul_line +
                                "    setprop ok.after 1\n" + "on property:" + std::string(300, 'k') + "\n" +
                                "    setprop leak.trigger 1\n");
    init();
    EXPECT_EQ(0, prop_core_set("go", "1"));
    EXPECT_EQ("<absent>", get("leak.comment"));
    EXPECT_EQ("<absent>", get("leak.command"));
    EXPECT_EQ("<absent>", get("ok.before"));
    EXPECT_EQ("1", get("nul.x"));
    EXPECT_EQ("1", get("ok.after"));
    EXPECT_TRUE(log_.has("Line longer than 254 characters skipped:     setprop ok.before"));
    EXPECT_FALSE(log_.has("skipped: #"));
    // The commands after an over-long trigger line do not join the section
    // before it.
    EXPECT_EQ(0, prop_core_set("go", "0"));
    EXPECT_EQ(0, prop_core_set("go", "1"));
    EXPECT_EQ("<absent>", get("leak.trigger"));
}

TEST_F(PropService, ProgramNamesOfServiceCommands) {
    root_.write("/init.a.rc", "service a /usr/sbin/food\n");
    root_.write("/init.b.rc", "service b /usr/sbin/food -c /etc/food.conf\n");
    root_.write("/init.c.rc", "service c food\n");
    init();
    char dst[PROP_SVC_LINE_SIZE];
    ASSERT_EQ(0, prop_svc_get_daemon(prop_svc_find_by_name(PROP_SVC_TYPE_SERVICE, "init.a.rc", "a", nullptr), dst));
    EXPECT_STREQ("food", dst);
    ASSERT_EQ(0, prop_svc_get_daemon(prop_svc_find_by_name(PROP_SVC_TYPE_SERVICE, "init.b.rc", "b", nullptr), dst));
    EXPECT_STREQ("food.conf", dst);
    ASSERT_EQ(0, prop_svc_get_daemon_ext(prop_svc_find_by_name(PROP_SVC_TYPE_SERVICE, "init.b.rc", "b", nullptr), dst));
    EXPECT_STREQ("/usr/sbin/food -c /etc/food.conf", dst);
    EXPECT_EQ(-1, prop_svc_get_daemon(prop_svc_find_by_name(PROP_SVC_TYPE_SERVICE, "init.c.rc", "c", nullptr), dst));
    EXPECT_EQ(-1, prop_core_set("ctl.stop", "c"));
}

TEST_F(PropService, PropertyFilesLoadInOrderAndKeepReadOnlyValues) {
    root_.write("/default.prop", "  ro.x = 1  \n# comment=ignored\nno equals here\nplain=first\nempty=\n"
                                 "ctl.start=foo\n");
    root_.write("/system/build.prop", "plain = second\n");
    root_.write("/data/local.prop", "ro.x=2\nlast.line=no newline");
    root_.write("/init.foo.rc", "service foo /sbin/food\non property:plain=second\n    setprop seen.second 1\n");
    init();
    EXPECT_EQ("1", get("ro.x"));
    EXPECT_EQ("second", get("plain"));
    EXPECT_EQ("1", get("seen.second")) << "triggers exist before the files load";
    EXPECT_EQ("", get("empty"));
    EXPECT_EQ("no newline", get("last.line"));
    EXPECT_EQ("<absent>", get("comment"));
    EXPECT_EQ("service-launcher init.foo.rc\n", calls()) << "a control name in a file is carried out";
}

TEST_F(PropService, OversizedAndSpecialFilesAreSkipped) {
    root_.write("/default.prop", std::string(PROP_FILE_SIZE_MAX + 1, '#'));
    make_dirs(root_.at("/dir.rc"));
    ASSERT_EQ(0, mkfifo(root_.at("/fifo.rc").c_str(), 0644));
    init();
    EXPECT_TRUE(log_.has("Unable to read file data. File:/default.prop"));
    EXPECT_EQ(0, prop_core_set("still.works", "1"));
}

} // namespace
