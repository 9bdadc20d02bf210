// The configuration lock under threads that take it in every kind and park
// in it at random (seeded; TARVI_SEED repeats a run): one holder at work at
// a time, an exclusive one never while anyone is parked, a shared one never
// while an exclusive one is parked, and every thread gets through.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tarvid_lock.h"

namespace {

TEST(ConfigLock, OneAtWorkExclusiveAloneAndEveryoneGetsThrough) {
    unsigned seed = getenv("TARVI_SEED") ? static_cast<unsigned>(atol(getenv("TARVI_SEED")))
                                         : static_cast<unsigned>(std::random_device{}());
    printf("config lock: seed %u\n", seed);
    std::atomic<int> at_work{0}, parked{0}, parked_exclusive{0}, rounds{0};
    std::mutex fault_mutex;
    std::string fault;
    auto check = [&](bool ok, const char *what) {
        std::lock_guard<std::mutex> lock(fault_mutex);
        if (!ok && fault.empty())
            fault = what;
    };
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 6; ++t)
        threads.emplace_back([&, t] {
            std::mt19937 rng(seed + t);
            for (int i = 0; i < 200; ++i) {
                auto kind = static_cast<config_lock_kind>(rng() % 4);
                bool exclusive = kind == CONFIG_LOCK_EXCLUSIVE;
                config_lock_guard lock(kind);
                check(++at_work == 1, "two holders at work");
                check(!exclusive || parked == 0, "exclusive holder at work while one is parked");
                check(kind != CONFIG_LOCK_SHARED || parked_exclusive == 0, "shared at work beside a parked exclusive");
                for (auto waits = rng() % 3; waits > 0; --waits) {
                    --at_work;
                    ++parked;
                    parked_exclusive += exclusive;
                    {
                        config_park_guard park;
                        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
                    }
                    parked_exclusive -= exclusive;
                    --parked;
                    check(++at_work == 1, "two holders at work after a park");
                }
                --at_work;
                ++rounds;
            }
        });
    for (auto &th : threads)
        th.join();
    EXPECT_EQ("", fault) << "seed " << seed;
    EXPECT_EQ(6 * 200, rounds.load());
    EXPECT_EQ(0, config_lock_parked());
}

} // namespace
