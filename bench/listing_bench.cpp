// The whole configuration through the tool, against a real daemon: `tarvi
// show` of 5,000 flat settings and `tarvi export` of a tree the size of a
// full standard data model (the TR-098 model converted by tarvi-import,
// named by TARVI_BENCH_TR098, plus a table of 1,000 instances of 8 fields).
// While the tool pages, another client reads a setting again and again: the
// longest of those reads is reported as get_max_ms.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "command.h"
#include "daemon.h"
#include "device.h"
#include "libtarvi.h"
#include "scratch.h"

namespace {

constexpr int kKeys = 5000, kInstances = 1000;
const ScratchRoot *box;

// Runs `tarvi ARGS` for each iteration while a second client keeps reading.
void run_tool(benchmark::State &state, const std::string &args) {
    std::string cmd = "TARVI_ROOT=" + box->path() + " " + TARVI_CLI_PATH + " " + args + " >/dev/null";
    std::atomic<bool> stop{false};
    std::atomic<long long> worst_us{0};
    std::thread reader([&] {
        while (!stop) {
            auto t0 = std::chrono::steady_clock::now();
            char *value = nullptr;
            tarvi_get(const_cast<char *>("K00001"), &value);
            free(value);
            long long us =
                std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count();
            if (us > worst_us)
                worst_us = us;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    for (auto _ : state)
        if (run_command(cmd).status != 0)
            state.SkipWithError(("tarvi " + args + " failed").c_str());
    stop = true;
    reader.join();
    state.counters["get_max_ms"] = static_cast<double>(worst_us) / 1000.0;
}

void BM_ToolShow(benchmark::State &state) {
    run_tool(state, "show");
    state.counters["keys"] = kKeys;
}
BENCHMARK(BM_ToolShow)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ToolExport(benchmark::State &state) {
    tarvi_sc_node *nodes = nullptr;
    size_t n = 0;
    tarvi_sc_list(nullptr, &nodes, &n);
    free(nodes);
    run_tool(state, "export " + box->at("/export.json"));
    state.counters["nodes"] = static_cast<double>(n);
}
BENCHMARK(BM_ToolExport)->Unit(benchmark::kMillisecond)->UseRealTime();

// The library call alone, without starting the tool.
void BM_ConfigList(benchmark::State &state) {
    for (auto _ : state) {
        tarvi_config_entry *e = nullptr;
        size_t n = 0;
        if (tarvi_config_list(nullptr, &e, &n) != 0)
            state.SkipWithError("tarvi_config_list failed");
        free(e);
    }
}
BENCHMARK(BM_ConfigList)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    ScratchRoot root;
    box = &root;
    std::string defaults;
    for (int i = 0; i < kKeys; ++i) {
        char key[16];
        snprintf(key, sizeof key, "K%05d", i);
        defaults += std::string(key) + "=value of setting " + key + "\n";
    }
    lay_device(root, defaults);
    std::filesystem::create_directories(root.at("/usr/sc/profile0"));
    if (const char *tr098 = getenv("TARVI_BENCH_TR098"))
        std::filesystem::copy_file(tr098, root.at("/usr/sc/profile0/cwmp_tr098.profile"));
    else
        fprintf(stderr, "TARVI_BENCH_TR098 not set (run bench/listing.sh): the tree has the table only\n");
    {
        std::ofstream p(root.at("/usr/sc/profile0/lan.profile"));
        p << "lan;A:R,G:R;node;;\nlan/hosts;A:RWAD,G:R;node;;\nlan/hosts/-1;A:RW,G:R;node;;\n";
        for (int f = 0; f < 8; ++f)
            p << "lan/hosts/-1/F" << f << ";A:RW,G:R;string;;v(field" << f << ")\n";
        for (int i = 1; i <= kInstances; ++i)
            p << "lan/hosts/" << i << ";A:RW,G:R;node;;\n";
    }
    Daemon daemon(root.path());
    if (!daemon.start() || tarvi_sc_reload() != 0) {
        fprintf(stderr, "the daemon did not start\n");
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    daemon.stop();
    return 0;
}
