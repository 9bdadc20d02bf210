// Commit and reload of a full store on the sandbox partitions, in-process.
// The store is about 200 KB: the largest normal-form image that fits a
// 256 KiB partition. A commit writes and reads back every page of the image
// (two passes by design); everything else it does should be small beside
// that. Medians over the repetitions are the figures to quote.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

#include "device.h"
#include "log.h"
#include "partition.h"
#include "scratch.h"
#include "tarvid_store.h"

namespace {

// 3300 lines of 47 characters: 48-byte line buffers, 60 bytes an entry.
constexpr int KEYS = 3300;

void quiet(int, const char *) {}

struct Device {
    ScratchRoot root;
    struct operator_table op = {};
    uint32_t imageLen = 0;
    Device() {
        tarvi_log_set_sink(quiet);
        std::string defaults;
        char line[64];
        for (int i = 0; i < KEYS; ++i) {
            snprintf(line, sizeof line, "key.%05d=%037d\n", i, i);
            defaults += line;
        }
        lay_device(root, defaults);
        config_store_init();
        partition_init(&op);
        partition_reload(1);
        partition_flush(1);
        partition_flush(1); // both user partitions hold an image
        char *img = nullptr;
        partition_make_cfgpack(&img);
        imageLen = cfgpack_get32(img + 4);
        free(img);
    }
};

Device &device() {
    static std::unique_ptr<Device> d = std::make_unique<Device>();
    return *d;
}

// Runs one storage operation per iteration: flush(1) or reload(1).
void run_op(benchmark::State &state, int (*op)(int)) {
    Device &d = device();
    for (auto _ : state) {
        if (op(1) != 0)
            state.SkipWithError("operation failed");
    }
    state.counters["image_bytes"] = d.imageLen;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * d.imageLen);
}

void BM_Commit(benchmark::State &state) { run_op(state, partition_flush); }
void BM_Reload(benchmark::State &state) { run_op(state, partition_reload); }

BENCHMARK(BM_Commit)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(BM_Reload)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(9)->ReportAggregatesOnly(true);

} // namespace

BENCHMARK_MAIN();
