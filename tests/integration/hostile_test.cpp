// Clients that misbehave on purpose, each kind for a while, with one
// well-behaved client probing the daemon meanwhile: it must be answered all
// along. TARVI_HOSTILE_SECONDS sets how long each kind runs (bench/hostile.sh
// runs them longer and reports the probe's worst latency).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "daemon.h"
#include "device.h"
#include "libtarvi.h"
#include "paths.h"
#include "records.h"
#include "request.h"
#include "scratch.h"
#include "tree_device.h"

namespace fs = std::filesystem;

namespace {

using clock_type = std::chrono::steady_clock;

double hostile_seconds() {
    const char *env = getenv("TARVI_HOSTILE_SECONDS");
    double s = env ? atof(env) : 0;
    return s > 0 ? s : 1.5;
}

// A connection to the daemon that gives up after `timeout_ms` instead of
// waiting in a full listen backlog; -1 when it could not connect.
int raw_connect(int timeout_ms = 1000) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (socket_path_connect(fd, tarvi_path(TARVI_SOCKET_PATH).c_str()) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void send_bytes(int fd, const void *data, size_t n) {
    ssize_t ignored = send(fd, data, n, MSG_NOSIGNAL);
    (void)ignored;
}

const std::string LONG_VALUE(4000, 'L');

// The ways of misbehaving. Each is run by a few threads at once until `stop`;
// `held` keeps connections open on purpose (closed when the kind ends).
struct hostile_kind {
    const char *name;
    int threads;
    void (*run)(std::mt19937 &rng, std::deque<int> &held);
    size_t crowd = 0; // when not 0: each thread stops once it holds this many
};

// Keeps at most `keep` connections of one thread open, closing the oldest.
void hold(std::deque<int> &held, int fd, size_t keep) {
    held.push_back(fd);
    while (held.size() > keep) {
        close(held.front());
        held.pop_front();
    }
}

const hostile_kind KINDS[] = {
    {"random bytes", 2,
     [](std::mt19937 &rng, std::deque<int> &) {
         int fd = raw_connect();
         if (fd < 0)
             return;
         std::vector<unsigned char> junk(1 + rng() % 9000);
         for (auto &b : junk)
             b = static_cast<unsigned char>(rng());
         // Now and then a record header in front, so the junk is read as
         // texts and lengths rather than refused at the magic.
         if (rng() % 2 && junk.size() > 8) {
             uint16_t magic = TARVI_REQUEST_MAGIC, type = static_cast<uint16_t>(rng() % 60);
             memcpy(junk.data(), &magic, 2);
             memcpy(junk.data() + 2, &type, 2);
         }
         send_bytes(fd, junk.data(), junk.size());
         close(fd);
     }},
    {"half records", 2,
     [](std::mt19937 &rng, std::deque<int> &held) {
         int fd = raw_connect();
         if (fd < 0)
             return;
         auto wire = encode_request(make_request(TARVI_REQUEST_TYPE_SET, "HOSTILE_KEY", "half"));
         send_bytes(fd, wire.data(), 1 + rng() % (wire.size() - 1));
         hold(held, fd, 200);
     }},
    {"huge lengths", 2,
     [](std::mt19937 &rng, std::deque<int> &held) {
         int fd = raw_connect();
         if (fd < 0)
             return;
         auto wire = encode_request(make_request(TARVI_REQUEST_TYPE_GET, "HOSTILE_KEY", nullptr));
         // reservedLen far beyond the record, then more bytes than a record
         // may have.
         uint32_t huge = rng() % 2 ? 0xFFFFFFF0u : TARVI_REQUEST_STRING_SIZE + 1;
         memcpy(wire.data() + 8, &huge, 4);
         wire.resize(TARVI_REQUEST_MAX_SIZE + 4096, 'x');
         send_bytes(fd, wire.data(), wire.size());
         hold(held, fd, 50);
     }},
    {"idle connections", 4,
     [](std::mt19937 &, std::deque<int> &held) {
         int fd = raw_connect(200);
         if (fd >= 0)
             hold(held, fd, 750);
     },
     750},
    {"replies never read", 2,
     [](std::mt19937 &, std::deque<int> &held) {
         int fd = raw_connect();
         if (fd < 0)
             return;
         auto wire = encode_request(make_request(TARVI_REQUEST_TYPE_GET, "HOSTILE_LONG", nullptr));
         send_bytes(fd, wire.data(), wire.size());
         hold(held, fd, 300);
     }},
    {"crashing and hanging callbacks", 2,
     [](std::mt19937 &rng, std::deque<int> &) {
         const char *uri = rng() % 2 ? "sys/cbt/crash" : "sys/cbt/slow";
         tarvi_sc_set(const_cast<char *>(uri), const_cast<char *>("slow"));
     }},
};

long cpu_ticks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos)
        return -1;
    std::vector<std::string> fields;
    std::string field;
    for (char c : stat.substr(paren + 2)) {
        if (c == ' ') {
            fields.push_back(field);
            field.clear();
        } else {
            field += c;
        }
    }
    // utime and stime are fields 14 and 15 of the whole line.
    return fields.size() > 13 ? atol(fields[11].c_str()) + atol(fields[12].c_str()) : -1;
}

int fd_count(pid_t pid) {
    int n = 0;
    std::error_code ec;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != fs::directory_iterator(); it.increment(ec))
        ++n;
    return n;
}

class Hostile : public ::testing::Test {
  protected:
    void SetUp() override {
        lay_tree_device(root_, "S2D_ALLOW_RESUME=0\nHOSTILE_KEY=calm\n", "tests/fixtures/callbacks/usr");
        daemon_ = start_tree_daemon(root_);
        ASSERT_TRUE(daemon_);
        ASSERT_EQ(0, tarvi_set(const_cast<char *>("HOSTILE_LONG"), const_cast<char *>(LONG_VALUE.c_str())));
    }
    void TearDown() override { stop_tree_daemon(daemon_); }

    // Probes the daemon with a flat read and a tree read for `seconds`; the
    // worst latency of each in milliseconds, or -1 once one went unanswered.
    struct worst_ms {
        double flat = 0, tree = 0;
    };
    worst_ms probe(double seconds) {
        worst_ms worst;
        auto end = clock_type::now() + std::chrono::duration<double>(seconds);
        while (clock_type::now() < end && worst.flat >= 0 && worst.tree >= 0) {
            auto start = clock_type::now();
            char *value = nullptr;
            int rc = tarvi_get(const_cast<char *>("HOSTILE_KEY"), &value);
            auto mid = clock_type::now();
            worst.flat = rc == 0 && value && strcmp(value, "calm") == 0 ? std::max(worst.flat, ms(start, mid)) : -1;
            free(value);
            value = nullptr;
            rc = tarvi_sc_get(const_cast<char *>("sys/cbt/number"), &value);
            worst.tree =
                rc == 0 && value && strcmp(value, "42") == 0 ? std::max(worst.tree, ms(mid, clock_type::now())) : -1;
            free(value);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return worst;
    }
    static double ms(clock_type::time_point from, clock_type::time_point to) {
        return std::chrono::duration<double, std::milli>(to - from).count();
    }

    ScratchRoot root_;
    std::unique_ptr<Daemon> daemon_;
};

TEST_F(Hostile, WellBehavedClientIsAnsweredWhateverOthersSend) {
    // Enough descriptors here for the idle crowd; fewer for the daemon, so
    // that it runs out of them while the crowd is there.
    struct rlimit mine = {};
    getrlimit(RLIMIT_NOFILE, &mine);
    mine.rlim_cur = std::min<rlim_t>(mine.rlim_max, 8192);
    setrlimit(RLIMIT_NOFILE, &mine);
    struct rlimit theirs = {200, 200};
    ASSERT_EQ(0, prlimit(daemon_->pid(), RLIMIT_NOFILE, &theirs, nullptr));

    double seconds = hostile_seconds();
    worst_ms quiet = probe(seconds);
    ASSERT_GE(quiet.flat, 0);
    ASSERT_GE(quiet.tree, 0);
    printf("hostile: quiet: worst probe latency %.1f ms flat, %.1f ms tree\n", quiet.flat, quiet.tree);
    int fds_before = fd_count(daemon_->pid());
    long ticks_per_second = sysconf(_SC_CLK_TCK);

    for (const auto &kind : KINDS) {
        std::atomic<bool> stop{false};
        std::atomic<int> crowded{0};
        std::vector<std::thread> attackers;
        for (int t = 0; t < kind.threads; ++t)
            attackers.emplace_back([&kind, &stop, &crowded, t] {
                std::mt19937 rng(static_cast<unsigned>(t) + 1u);
                std::deque<int> held;
                bool full = false;
                while (!stop) {
                    if (!full && kind.crowd && held.size() >= kind.crowd) {
                        full = true;
                        ++crowded;
                    }
                    if (full)
                        std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    else
                        kind.run(rng, held);
                }
                for (int fd : held)
                    close(fd);
            });
        // A crowd is measured once it stands: what it costs to hold, not
        // what it costs to arrive.
        for (int i = 0; i < 500 && kind.crowd && crowded < kind.threads; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        long cpu_before = cpu_ticks(daemon_->pid());
        // Slow callbacks hold the lock that flat requests need as well; they
        // get their turn, so a flat request waits about one callback's wait
        // (1 s), never until its client gives up. Long enough to tell.
        bool slow = strcmp(kind.name, "crashing and hanging callbacks") == 0;
        double window = slow ? std::max(seconds, 6.0) : seconds;
        worst_ms worst = probe(window);
        double cpu =
            static_cast<double>(cpu_ticks(daemon_->pid()) - cpu_before) / static_cast<double>(ticks_per_second);
        stop = true;
        for (auto &th : attackers)
            th.join();
        printf("hostile: %s: worst probe latency %.1f ms flat, %.1f ms tree; daemon used %.2f s of CPU in %.1f s\n",
               kind.name, worst.flat, worst.tree, cpu, window);
        EXPECT_GE(worst.flat, 0) << kind.name << ": a well-behaved flat request went unanswered";
        EXPECT_GE(worst.tree, 0) << kind.name << ": a well-behaved tree request went unanswered";
        ASSERT_TRUE(daemon_->running()) << kind.name;
        if (slow) {
            EXPECT_LT(worst.flat, 4000) << kind.name;
        }
        // Out of descriptors is no reason to spin: a spinning loop would use
        // a whole core.
        if (kind.crowd) {
            EXPECT_LT(cpu, 0.5 * seconds) << kind.name;
        }
    }

    // The crowd is gone: no more descriptors than a quiet daemon has, once
    // the overdue connections have been dropped.
    int fds_after = fd_count(daemon_->pid());
    for (int i = 0; i < 200 && fds_after > fds_before; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        fds_after = fd_count(daemon_->pid());
    }
    EXPECT_LE(fds_after, fds_before);
    char *value = nullptr;
    EXPECT_EQ(0, tarvi_get(const_cast<char *>("HOSTILE_KEY"), &value));
    EXPECT_STREQ("calm", value);
    free(value);
}

} // namespace
