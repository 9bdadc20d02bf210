// The daemon killed with SIGKILL at random moments while a second thread
// commits or restores backups, then started again
// on the same partitions: what it finds is the last acknowledged state or a
// later attempt, never an older one and never a mixture. TARVI_CRASH_ROUNDS
// sets the number of kills per case (a few by default, for ctest).
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <thread>

#include "daemon.h"
#include "device.h"
#include "libtarvi.h"
#include "records.h"
#include "scratch.h"

namespace {

const char *const KEYS[] = {"CR_A", "CR_B", "CR_C", "CR_D"};

int crash_rounds() {
    const char *env = getenv("TARVI_CRASH_ROUNDS");
    int n = env ? atoi(env) : 0;
    return n > 0 ? n : 6;
}

// A request whose reply says it was done; false when the daemon is gone or
// refused it.
bool done(int type, const char *key, const char *value) {
    tarvi_request reply;
    return exchange_counted(make_request(type, key, value), &reply) >= 0 && reply.status == 0;
}

std::string flat(const char *key) {
    tarvi_request reply;
    if (exchange_counted(make_request(TARVI_REQUEST_TYPE_GET, key, nullptr), &reply) < 0 || !reply.value)
        return "(none)";
    return reply.value;
}

// Every key of KEYS set to "<prefix><n>", then the step's own request.
bool set_all(const std::string &value) {
    for (const char *key : KEYS)
        if (!done(TARVI_REQUEST_TYPE_SET, key, value.c_str()))
            return false;
    return true;
}

// The one value all KEYS hold in the daemon, or "mixed: ..." when they differ.
std::string flat_state() {
    std::string first = flat(KEYS[0]), all;
    bool same = true;
    for (const char *key : KEYS) {
        std::string v = flat(key);
        same = same && v == first;
        all += std::string(key) + "=" + v + " ";
    }
    return same ? first : "mixed: " + all;
}

class CrashRestart : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string defaults = "S2D_ALLOW_RESUME=0\n";
        for (const char *key : KEYS)
            defaults += std::string(key) + "=v0\n";
        lay_device(root_, defaults);
    }

    // Rounds of: start the daemon, check what it found, let `step(n)` run
    // for n = 1, 2, ... in a second thread, kill the daemon after a random
    // delay. `found(acked, attempted)` checks the state after a restart
    // (empty text when it is right) and says which of the two it was. One
    // last restart checks the last kill.
    void kill_rounds(const char *what, const std::function<bool(long)> &step,
                     const std::function<std::string(long acked, long attempted, bool *later)> &found) {
        std::atomic<long> attempted{0}, acked{0};
        std::mt19937 rng(12345);
        int kills = 0, as_acked = 0, as_later = 0;
        int rounds = crash_rounds();
        for (int round = 0; round <= rounds; ++round) {
            Daemon daemon(root_.path());
            ASSERT_TRUE(daemon.start()) << what << ", restart " << round << ": " << daemon.stderr_text();
            bool later = false;
            std::string wrong = found(acked, attempted, &later);
            ASSERT_EQ("", wrong) << what << ", restart " << round << " (acked " << acked << ", attempted " << attempted
                                 << ")";
            (later ? as_later : as_acked)++;
            // What was found is what the next restart must not fall behind.
            if (later)
                acked = attempted.load();
            if (round == rounds) {
                daemon.stop();
                break;
            }
            std::thread worker([&] {
                for (long n = attempted + 1;; ++n) {
                    attempted = n;
                    if (!step(n))
                        return;
                    acked = n;
                }
            });
            // Most kills land inside a step's flash write, some between.
            std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 150));
            daemon.signal(SIGKILL);
            ++kills;
            worker.join();
            daemon.stop();
        }
        printf("crash-restart: %s: %d kills, %d restarts; found the acknowledged state %d times, a later attempt %d "
               "times; %ld steps acknowledged\n",
               what, kills, rounds + 1, as_acked, as_later, acked.load());
    }

    ScratchRoot root_;
};

// The number n in "<prefix><n>", or -1.
long number_in(const std::string &value, char prefix) {
    if (value.size() < 2 || value[0] != prefix)
        return -1;
    char *end = nullptr;
    long n = strtol(value.c_str() + 1, &end, 10);
    return *end ? -1 : n;
}

// Empty when `n` lies between the acknowledged and the attempted step.
std::string in_range(const std::string &state, long n, long acked, long attempted, bool *later) {
    *later = n > acked;
    if (n < acked || n > attempted)
        return "found \"" + state + "\"";
    return "";
}

TEST_F(CrashRestart, KillDuringSetAndCommit) {
    kill_rounds(
        "set and commit",
        [](long n) { return set_all("v" + std::to_string(n)) && done(TARVI_REQUEST_TYPE_COMMIT, nullptr, nullptr); },
        [](long acked, long attempted, bool *later) {
            std::string state = flat_state();
            return in_range(state, number_in(state, 'v'), acked, attempted, later);
        });
}

TEST_F(CrashRestart, KillDuringRestoreFromBackup) {
    // Two backups that differ in every key.
    std::string files[2] = {root_.path() + "/backup-a.bin", root_.path() + "/backup-b.bin"};
    {
        Daemon daemon(root_.path());
        ASSERT_TRUE(daemon.start());
        for (int i = 0; i < 2; ++i) {
            ASSERT_TRUE(set_all(i == 0 ? "a1" : "b2"));
            ASSERT_TRUE(done(TARVI_REQUEST_TYPE_BACKUP_CFGFILE, files[i].c_str(), nullptr));
        }
        ASSERT_TRUE(set_all("v0"));
        ASSERT_TRUE(done(TARVI_REQUEST_TYPE_COMMIT, nullptr, nullptr));
    }
    // Step n restores backup a for odd n, b for even n.
    auto expected = [](long n) { return n == 0 ? std::string("v0") : n % 2 ? "a1" : "b2"; };
    kill_rounds(
        "restore from backup",
        [&files](long n) { return done(TARVI_REQUEST_TYPE_RESTORE_CFGFILE, files[n % 2 ? 0 : 1].c_str(), nullptr); },
        [&expected](long acked, long attempted, bool *later) {
            std::string state = flat_state();
            *later = state != expected(acked);
            if (state == expected(acked) || state == expected(attempted))
                return std::string();
            return "found \"" + state + "\"";
        });
}

} // namespace
