// Client calls that run without a daemon: keys answered locally, refusals that
// send nothing, system information from crafted files, the command runner.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <signal.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utmp.h>

#include "command.h"
#include "libtarvi_private.h"
#include "listener.h"
#include "request.h"
#include "scratch.h"

namespace {

// Lays a stand-in for the memory device whose version word is `word`.
void lay_chip(const ScratchRoot &root, uint32_t word) {
    make_dirs(root.at("/dev"));
    int fd = open(root.at("/dev/mem").c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(4, pwrite(fd, &word, 4, 0x80070004));
    close(fd);
}

std::string got(const char *key, int (*call)(char *, char **) = tarvi_get) {
    char *value = nullptr;
    std::string k = key;
    EXPECT_EQ(0, call(k.data(), &value)) << key;
    std::string text = value ? value : "(null)";
    free(value);
    return text;
}

std::string special_keys() {
    return got("AHBCLK") + " " + got("soc_id") + " " + got("musbhdrc_rev") + " " + got("pcm_ver", tarvi_nonblock_get);
}

// A login record of process `pid` on interface `line`, `age` seconds old.
struct utmp login_record(pid_t pid, const char *line, const char *user, const char *host, time_t age) {
    struct utmp u;
    memset(&u, 0, sizeof u);
    u.ut_type = USER_PROCESS;
    u.ut_pid = pid;
    strncpy(u.ut_line, line, sizeof u.ut_line);
    strncpy(u.ut_user, user, sizeof u.ut_user);
    strncpy(u.ut_host, host, sizeof u.ut_host);
    u.ut_tv.tv_sec = static_cast<int32_t>(time(nullptr) - age);
    return u;
}

// A shell that stays alive with `arg` among its arguments, as a VPN daemon
// carries the module that records its logins.
pid_t start_session_process(const char *arg) {
    pid_t pid = fork();
    if (pid == 0) {
        // A group of its own, so that the sleep under it goes too, and no hold
        // on the test's output.
        setpgid(0, 0);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execl("/bin/sh", "sh", "-c", "sleep 30; :", arg, static_cast<char *>(nullptr));
        _exit(127);
    }
    // Until the exec is done the child still shows our own command line.
    std::string path = "/proc/" + std::to_string(pid) + "/cmdline";
    EXPECT_TRUE(eventually([&] {
        std::ifstream in(path, std::ios::binary);
        std::string args((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return args.find(arg) != std::string::npos;
    }));
    return pid;
}

// Rewrites the file at `path` in place (an open reader sees the change) while
// a measurement waits.
std::thread rewrite_soon(const std::string &path, std::string text) {
    return std::thread([path, text] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        int fd = open(path.c_str(), O_WRONLY);
        EXPECT_EQ(static_cast<ssize_t>(text.size()), pwrite(fd, text.data(), text.size(), 0));
        close(fd);
    });
}

} // namespace

TEST(LibtarviLocal, SpecialKeysFollowTheChipWithoutAskingTheDaemon) {
    ScratchRoot root;
    Listener daemon;
    // No memory device at all reads as chip 0.
    EXPECT_EQ("50000000 TWX-A100 0 0", special_keys());
    lay_chip(root, chip_version_word(1) | 0xf000); // the metal-fix bits do not count
    EXPECT_EQ("50000000 TWX-A100 1 1", special_keys());
    lay_chip(root, chip_version_word(2));
    EXPECT_EQ("61666666 TWX-B200 2 6", special_keys());
    lay_chip(root, chip_version_word(5));
    EXPECT_EQ("61666666 TWX-C300 3 6", special_keys());
    lay_chip(root, 0xdeadbeef);
    EXPECT_EQ(3, chipinfo());
    EXPECT_EQ("61666666 TWX-B200 3 6", special_keys());
    // Only the row's name is compared.
    EXPECT_EQ("TWX-B200", got("soc_id.extra"));
    // A stand-in too short to hold the version word is an unknown chip, not a
    // crash.
    root.write("/dev/mem", "short");
    EXPECT_EQ(3, chipinfo());
    EXPECT_FALSE(daemon.contacted());
}

TEST(LibtarviLocal, BadArgumentsFailWithoutSendingAnything) {
    ScratchRoot root;
    Listener daemon;
    char *value = reinterpret_cast<char *>(1);
    char key[] = "wan.mode";
    EXPECT_EQ(-1, tarvi_get(nullptr, &value));
    EXPECT_EQ(nullptr, value);
    EXPECT_EQ(-1, tarvi_get(key, nullptr));
    std::string huge(TARVI_REQUEST_STRING_SIZE, 'k');
    value = reinterpret_cast<char *>(1);
    EXPECT_EQ(-1, tarvi_get(huge.data(), &value));
    EXPECT_EQ(nullptr, value);
    EXPECT_EQ(-1, tarvi_set(key, huge.data()));
    EXPECT_EQ(-1, tarvi_dset(huge.data(), key));
    EXPECT_EQ(-1, tarvi_check_username(nullptr));
    EXPECT_EQ(-1, tarvi_update_username(nullptr, key));
    EXPECT_EQ(TARVI_PASSWD_NO_ACCOUNT, tarvi_check_passwd(nullptr, key, 0));
    EXPECT_EQ(TARVI_PASSWD_NULL, tarvi_check_passwd(key, nullptr, 0));
    EXPECT_EQ(-1, tarvi_update_password(key, nullptr, key));
    EXPECT_EQ(-1, tarvi_update_password2(key, key, nullptr));
    EXPECT_EQ(-1, tarvi_get_uptime(nullptr, nullptr, nullptr));
    EXPECT_EQ(-1, tarvi_get_sys_time(nullptr));
    EXPECT_EQ(-1, tarvi_get_sys_name(nullptr));
    tarvi_get_vpn_server_connection(nullptr, 0);
    tarvi_get_vpn_client_connection(nullptr, nullptr, nullptr, nullptr);
    EXPECT_FALSE(daemon.contacted());
}

TEST(LibtarviLocal, NoDaemonMeansMinusOneAndANullValue) {
    ScratchRoot root;
    libtarvi_rw_block = 0;
    char key[] = "wan.mode";
    char *value = reinterpret_cast<char *>(1);
    EXPECT_EQ(-1, tarvi_get(key, &value));
    EXPECT_EQ(nullptr, value);
    EXPECT_EQ(-1, tarvi_set(key, key));
    EXPECT_EQ(-1, tarvi_commit());
    EXPECT_EQ(-1, tarvi_check_username(key));
    // Keys that ask the daemon fall back to their defaults.
    EXPECT_EQ("3226", got("slic_type"));
    EXPECT_EQ("2", got("voip_ch_num"));
    char name[TARVI_SYS_NAME_SIZE];
    EXPECT_EQ(0, tarvi_get_sys_name(name));
    EXPECT_STREQ("WiMAX CPE Configuration Manager", name);
    char list[TARVI_VPN_LIST_SIZE] = "untouched";
    char number[] = "VPNC_NUM", status[] = "VPNC_STATUS";
    tarvi_get_vpn_client_connection(list, nullptr, number, status);
    EXPECT_STREQ("untouched", list);
    libtarvi_rw_block = 1;
}

TEST(LibtarviLocal, ProcessorLoadFromStatCounters) {
    ScratchRoot root;
    EXPECT_EQ(-1, tarvi_get_cpu_usage());
    root.write("/proc/stat", "intr 1 2 3\n");
    EXPECT_EQ(-1, tarvi_get_cpu_usage());
    // Counters that did not move: nothing was measured as busy.
    root.write("/proc/stat", "cpu  100 0 50 1000 0 0\ncpu0 1 2 3 4\n");
    EXPECT_EQ(0, tarvi_get_cpu_usage());

    // The counters move while the call waits: 30 busy and 70 idle ticks.
    std::thread ticker = rewrite_soon(root.at("/proc/stat"), "cpu  120 5 55 1070 0 0\ncpu0 1 2 3 4\n");
    EXPECT_EQ(30, tarvi_get_cpu_usage());
    ticker.join();
    // Counters that go backwards cannot be measured.
    std::thread rewinder = rewrite_soon(root.at("/proc/stat"), "cpu  100 0 50 1000 0 0\ncpu0 1 2 3 4\n");
    EXPECT_EQ(-1, tarvi_get_cpu_usage());
    rewinder.join();
}

TEST(LibtarviLocal, MemoryLoadFromMeminfo) {
    ScratchRoot root;
    EXPECT_EQ(-1, tarvi_get_mem_usage());
    root.write("/proc/meminfo", "MemTotal: 1000 kB\nMemFree: 500 kB\nBuffers: 100 kB\nCached: 1 kB\n");
    EXPECT_EQ(40, tarvi_get_mem_usage());
    // Newer kernels add MemAvailable between them.
    root.write("/proc/meminfo", "MemTotal: 1000 kB\nMemFree: 250 kB\nMemAvailable: 900 kB\nBuffers: 0 kB\n");
    EXPECT_EQ(75, tarvi_get_mem_usage());
    root.write("/proc/meminfo", "MemTotal: 0 kB\nMemFree: 0 kB\nBuffers: 0 kB\n");
    EXPECT_EQ(-1, tarvi_get_mem_usage());
    root.write("/proc/meminfo", "MemFree: 500 kB\nMemTotal: 1000 kB\nBuffers: 100 kB\n");
    EXPECT_EQ(-1, tarvi_get_mem_usage());
    root.write("/proc/meminfo", "MemTotal: 1000 kB\nMemFree: 900 kB\nBuffers: 200 kB\n");
    EXPECT_EQ(-1, tarvi_get_mem_usage());
    // Large machines do not overflow the arithmetic.
    root.write("/proc/meminfo", "MemTotal: 4294967296 kB\nMemFree: 1073741824 kB\nBuffers: 0 kB\n");
    EXPECT_EQ(75, tarvi_get_mem_usage());
}

TEST(LibtarviLocal, VpnServerSessionsFromLoginRecords) {
    ScratchRoot root;
    char list[TARVI_VPN_LIST_SIZE];
    strcpy(list, "stale");
    tarvi_get_vpn_server_connection(list, 0);
    EXPECT_STREQ("", list);

    const char *pptp = "/usr/lib/pptpd/pptpd-logwtmp.so";
    pid_t live = start_session_process(pptp);
    pid_t gone = fork();
    if (gone == 0)
        _exit(0);
    waitpid(gone, nullptr, 0);
    std::string records;
    auto add = [&](const struct utmp &u) { records.append(reinterpret_cast<const char *>(&u), sizeof u); };
    add(login_record(live, "lo", "alice", "10.0.0.9", 100));
    add(login_record(gone, "lo", "ghost", "10.0.0.8", 10));      // process ended
    add(login_record(0, "lo", "group", "10.0.0.7", 10));         // no process of its own
    add(login_record(live, "nosuchif0", "bob", "10.0.0.6", 10)); // no such interface
    add(login_record(getpid(), "lo", "carol", "10.0.0.5", 10));  // not a VPN process
    records.append("torn record");
    root.write("/var/log/wtmp", records);

    tarvi_get_vpn_server_connection(list, 0);
    std::string text = list;
    std::string head = std::to_string(live) + ",alice,10.0.0.9,127.0.0.1,";
    EXPECT_EQ(0u, text.find(head)) << text;
    EXPECT_EQ(1, std::count(text.begin(), text.end(), ';')) << text;
    long elapsed = strtol(text.substr(text.rfind(',') + 1).c_str(), nullptr, 10);
    EXPECT_TRUE(elapsed >= 100 && elapsed < 160) << text;
    // The L2TP list looks for another module.
    tarvi_get_vpn_server_connection(list, 1);
    EXPECT_STREQ("", list);

    // Many sessions: the list stops before the entry that would not fit.
    records.clear();
    for (int i = 0; i < 100; i++)
        add(login_record(live, "lo", "a-rather-long-user-name", "a-rather-long-host-name.example.org", 5));
    root.write("/var/log/wtmp", records);
    memset(list, 'x', sizeof list);
    tarvi_get_vpn_server_connection(list, 0);
    text = list;
    EXPECT_LE(text.size(), 2047u);
    EXPECT_GT(text.size(), 1800u);
    EXPECT_EQ(';', text.back());

    kill(-live, SIGKILL);
    waitpid(live, nullptr, 0);
}

TEST(LibtarviLocal, CommandsRunOneAtATimeAcrossProcesses) {
    ScratchRoot root;
    std::string lock = root.at("/lock"), log = root.at("/log");
    std::string cmd = "if [ -e " + lock + " ]; then echo overlap >> " + log + "; fi; touch " + lock +
                      "; sleep 0.3; rm -f " + lock + "; echo done >> " + log;
    pid_t children[3];
    for (pid_t &child : children) {
        child = fork();
        if (child == 0)
            _exit(tarvi_system(cmd.c_str()) == 0 ? 0 : 1);
    }
    for (pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ("done\ndone\ndone\n", root.read("/log"));
}

// The decoders of the tree calls' replies, on records shaped as an exchange
// leaves them.
TEST(LibtarviLocal, TreeRepliesDecodeResultAndOutputs) {
    // Filled in place: key and value point into the record itself.
    tarvi_request r;
    auto reply = [&r](const char *value) {
        memset(&r, 0, sizeof r);
        r.key = r.string;
        strcpy(r.string, "./sys/wan/mtu");
        if (value) {
            r.value = r.string + 32;
            strcpy(r.value, value);
        }
    };
    reply("0 1400");
    int i = -7;
    unsigned int u = 7;
    u_16 h = 7;
    char *text = nullptr;
    EXPECT_EQ(0, sc_reply_int(&r, &i));
    EXPECT_EQ(0, sc_reply_uint(&r, &u));
    EXPECT_EQ(0, sc_reply_text(&r, &text));
    EXPECT_EQ(1400, i);
    EXPECT_EQ(1400u, u);
    EXPECT_STREQ("1400", text);
    free(text);
    reply("0 0644");
    EXPECT_EQ(0, sc_reply_u16(&r, &h));
    EXPECT_EQ(0644, h);

    // A failure code comes back negated, and no output is touched; a reply
    // without a number or without a value is a failure.
    for (const char *failing : {"404 9", "-1 9", "abc", "", static_cast<const char *>(nullptr)}) {
        reply(failing);
        i = -7;
        text = nullptr;
        int rc = sc_reply_int(&r, &i);
        EXPECT_EQ(failing && failing[0] == '4' ? -404 : -1, rc) << (failing ? failing : "(null)");
        EXPECT_EQ(rc, sc_reply_text(&r, &text));
        EXPECT_EQ(-7, i);
        EXPECT_EQ(nullptr, text);
    }
    // Success without an output leaves the output alone, and no text.
    reply("0");
    EXPECT_EQ(0, sc_reply_int(&r, &i));
    EXPECT_EQ(0, sc_reply_text(&r, &text));
    EXPECT_EQ(-7, i);
    EXPECT_EQ(nullptr, text);
}
