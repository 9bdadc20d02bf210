// Saving and reloading a tree of about 20,000 nodes with 2,000 changed
// values, in-process on sandbox partitions: the flush that writes the
// changed modules' tree files, the commit that flushes, archives the working
// folder and writes the image, and a full reload of the tree from profiles
// and tree files. Medians over the repetitions are the figures to quote.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "device.h"
#include "log.h"
#include "partition.h"
#include "sc_ops.h"
#include "sc_ops_cb.h"
#include "scratch.h"
#include "tarvi-ex.h"
#include "tarvid_store.h"

namespace {

constexpr int INSTANCES = 1000;
constexpr int LEAVES = 19; // 1000 instances of 20 nodes, plus the frame
constexpr int CHANGED_PER_INSTANCE = 2;

void quiet(int, const char *) {}

struct Device {
    ScratchRoot root;
    struct operator_table op = {};
    int round = 0;
    Device() {
        tarvi_log_set_sink(quiet);
        lay_device(root, "S2D_ALLOW_RESUME=0\n");
        std::string profile = "Device;A:R,G:R;node;;\nDevice/Hosts;A:RWAD,G:R;node;;\n"
                              "Device/Hosts/-1;A:RW,G:R;node;;\n";
        char line[128];
        for (int l = 0; l < LEAVES; ++l) {
            snprintf(line, sizeof line, "Device/Hosts/-1/P%02d;A:RW,G:R;string;;v(default)\n", l);
            profile += line;
        }
        for (int i = 1; i <= INSTANCES; ++i) {
            snprintf(line, sizeof line, "Device/Hosts/%d;A:RW,G:R;node;;\n", i);
            profile += line;
            for (int l = 0; l < LEAVES; ++l) {
                snprintf(line, sizeof line, "Device/Hosts/%d/P%02d;A:RW,G:R;string;;v(value %d.%d)\n", i, l, i, l);
                profile += line;
            }
        }
        std::filesystem::create_directories(root.at("/usr/sc/profile0"));
        std::ofstream(root.at("/usr/sc/profile0/bench.profile")) << profile;
        config_store_init();
        partition_init(&op);
        partition_reload(1);
        config_sc_cb_init();
        config_sc_reload(1);
        change();
        partition_flush(0);
    }
    // Gives the 2,000 changed nodes new values.
    void change() {
        ++round;
        char uri[64], value[32];
        snprintf(value, sizeof value, "changed %d", round);
        for (int i = 1; i <= INSTANCES; ++i) {
            for (int l = 0; l < CHANGED_PER_INSTANCE; ++l) {
                snprintf(uri, sizeof uri, "Device/Hosts/%d/P%02d", i, l);
                config_sc_set(uri, value);
            }
        }
    }
};

Device &device() {
    static std::unique_ptr<Device> d = std::make_unique<Device>();
    return *d;
}

// Runs `op` once per iteration after the values were changed anew.
template <typename Op> void changed_then(benchmark::State &state, Op op) {
    Device &d = device();
    for (auto _ : state) {
        state.PauseTiming();
        d.change();
        state.ResumeTiming();
        if (op() != 0)
            state.SkipWithError("operation failed");
    }
}

void BM_Flush(benchmark::State &state) {
    changed_then(state, [] { return config_sc_flush(0); });
}
void BM_Commit(benchmark::State &state) {
    changed_then(state, [] { return partition_flush(0); });
}
void BM_Reload(benchmark::State &state) {
    device();
    for (auto _ : state) {
        if (config_sc_reload(1) != 0)
            state.SkipWithError("operation failed");
    }
}

BENCHMARK(BM_Flush)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(BM_Commit)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(BM_Reload)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(9)->ReportAggregatesOnly(true);

} // namespace

BENCHMARK_MAIN();
