// Commit and reload of a full store on the sandbox partitions, in-process,
// and the unpacking of a large tree archive.
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
#include "sc_archive.h"
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

// The end of a commit that waits for confirmation: the confirmation (the
// waiting image read and checked, one page written and read back) or the
// roll back (a reload from the last confirmed image). The waiting commit
// itself, a commit like BM_Commit, is not timed.
void run_end(benchmark::State &state, int (*end)()) {
    device();
    for (auto _ : state) {
        state.PauseTiming();
        int waiting = partition_flush_pending();
        state.ResumeTiming();
        if (waiting != 0 || end() != 0)
            state.SkipWithError("operation failed");
    }
}

void BM_Confirm(benchmark::State &state) { run_end(state, partition_confirm); }
void BM_Rollback(benchmark::State &state) { run_end(state, partition_rollback); }

BENCHMARK(BM_Confirm)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(BM_Rollback)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(9)->ReportAggregatesOnly(true);

// Unpacking a tree archive about as large as an image can carry (40 tree
// files of some 55 KB, about 200 KB compressed): the whole archive read
// through the rules, then written into a private folder that replaces the
// working folder.
void BM_UnpackTree(benchmark::State &state) {
    Device &d = device();
    std::string src = d.root.at("/bench-tree");
    for (int f = 0; f < 40; ++f) {
        std::string text;
        char line[96];
        for (int l = 0; l < 1000; ++l) {
            snprintf(line, sizeof line, "Device/Hosts/%d/P%d;A:RW,G:RW;string;;v(value %d)\n", f, l, l);
            text += line;
        }
        d.root.write("/bench-tree/tree" + std::to_string(f % 2) + "/m" + std::to_string(f) + ".tree", text);
    }
    std::string file = d.root.at("/bench-tree.tgz");
    sc_archive_create(src.c_str(), file.c_str());
    std::string arch = d.root.read("/bench-tree.tgz");
    std::string dir = d.root.at("/tmp/sc");
    for (auto _ : state) {
        if (sc_archive_extract_mem(arch.data(), arch.size(), dir.c_str()) != 0)
            state.SkipWithError("unpacking failed");
    }
    state.counters["archive_bytes"] = static_cast<double>(arch.size());
}
BENCHMARK(BM_UnpackTree)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(9)->ReportAggregatesOnly(true);

} // namespace

BENCHMARK_MAIN();
