// Building the tree from declaration files: the full TR-098 data model as
// one profile (TARVI_BENCH_TR098 names the profile that tarvi-import made),
// and a table of 5,000 instances restored from a tree file, reprocessing
// included (the files are generated here).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "paths.h"
#include "sc_tree.h"
#include "sc_tree_file.h"
#include "tarvid_store.h"

namespace {

constexpr int kInstances = 5000;

std::string make_root(const char *name) {
    std::string root = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root + "/usr/sc/profile0");
    std::filesystem::create_directories(root + "/tmp/sc/tree0");
    return root;
}

void load(benchmark::State &state, const std::string &root, int user) {
    tarvi_set_root(root.c_str());
    size_t nodes = 0;
    for (auto _ : state) {
        if (sc_loadTree(&SC, user) != 0) {
            state.SkipWithError("load failed");
            break;
        }
        state.PauseTiming();
        nodes = 0;
        for (struct list *p = SC.FileList.next; p != &SC.FileList; p = p->next) {
            FileType *f = list_entry(p, FileType, file);
            for (struct list *n = f->node.next; n != &f->node; n = n->next)
                ++nodes;
        }
        sc_deleteSCTree(&SC);
        state.ResumeTiming();
    }
    state.counters["nodes"] = static_cast<double>(nodes);
}

void BM_LoadTr098Profile(benchmark::State &state) {
    const char *profile = getenv("TARVI_BENCH_TR098");
    if (!profile) {
        state.SkipWithError("TARVI_BENCH_TR098 not set (run bench/tree_decl.sh)");
        return;
    }
    std::string root = make_root("tarvi-bench-tr098");
    std::filesystem::copy_file(profile, root + "/usr/sc/profile0/cwmp_tr098.profile");
    load(state, root, 0);
    std::filesystem::remove_all(root);
}
BENCHMARK(BM_LoadTr098Profile)->Unit(benchmark::kMillisecond);

// A table whose template has eight fields, two of them bound to flat keys;
// the tree file holds each instance with two of its fields, so reprocessing
// adds the other six and recounts the table.
void BM_RestoreInstances(benchmark::State &state) {
    std::string root = make_root("tarvi-bench-inst");
    {
        std::ofstream p(root + "/usr/sc/profile0/lan.profile");
        p << "lan;A:R,G:R;node;;\nlan/hosts;A:RWAD,G:R;node;;\nlan/hosts/-1;A:RW,G:R;node;;\n";
        for (int f = 0; f < 6; ++f)
            p << "lan/hosts/-1/F" << f << ";A:RW,G:R;string;;v(h$1f" << f << ")\n";
        p << "lan/hosts/-1/Mac;A:RW,G:R;string;;k(HOSTS)split(;){$1}split(,){1}\n";
        p << "lan/hosts/-1/Ip;A:RW,G:R;string;;k(HOSTS)split(;){$1}split(,){2}\n";
        std::ofstream t(root + "/tmp/sc/tree0/lan.tree");
        for (int i = 1; i <= kInstances; ++i) {
            t << "lan/hosts/" << i << ";A:RW,G:R;node;;\r\n";
            t << "lan/hosts/" << i << "/F0;A:RW,G:R;string;;v(restored" << i << ")\r\n";
            t << "lan/hosts/" << i << "/Mac;A:RW,G:R;string;;k(HOSTS)split(;){" << i << "}split(,){1}\r\n";
        }
    }
    config_store_init();
    load(state, root, 1);
    std::filesystem::remove_all(root);
}
BENCHMARK(BM_RestoreInstances)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
