// Building a configuration tree of 100,000 nodes through URI inserts, and
// looking nodes up by URI in it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "sc_tree.h"

namespace {

constexpr size_t kNodes = 100000;

// URIs in insertion order, parents first: a few hundred interior nodes, then
// tables of up to 5,000 instances with 10 to 20 leaves each, cut at kNodes.
const std::vector<std::string> &tree_uris() {
    static std::vector<std::string> uris;
    if (!uris.empty())
        return uris;
    uris.push_back("./Device");
    char buf[SC_URI_BUF_SIZE];
    for (int g = 0; g < 20; ++g) {
        snprintf(buf, sizeof buf, "./Device/Group%d", g);
        uris.push_back(buf);
        for (int s = 0; s < 15; ++s) {
            snprintf(buf, sizeof buf, "./Device/Group%d/Service%d", g, s);
            uris.push_back(buf);
        }
    }
    struct Table {
        const char *parent;
        const char *name;
        int instances;
        int leaves;
    };
    const Table tables[] = {
        {"./Device/Group0/Service0", "HostTable", 5000, 12},
        {"./Device/Group1/Service3", "RouteTable", 2000, 15},
        {"./Device/Group2/Service7", "ProfileTable", 500, 20},
        {"./Device/Group3/Service1", "FilterTable", 500, 10},
    };
    for (const Table &t : tables) {
        std::string table = std::string(t.parent) + "/" + t.name;
        uris.push_back(table);
        for (int i = 1; i <= t.instances; ++i) {
            std::string inst = table + "/" + std::to_string(i);
            uris.push_back(inst);
            for (int l = 0; l < t.leaves; ++l) {
                snprintf(buf, sizeof buf, "%s/Parameter%02d", inst.c_str(), l);
                uris.push_back(buf);
            }
        }
    }
    if (uris.size() < kNodes) {
        fprintf(stderr, "tree shape has only %zu nodes\n", uris.size());
        abort();
    }
    uris.resize(kNodes);
    return uris;
}

void build(SCTreeType *tree) {
    if (sc_initTree(tree, sc_createData(".")) != 0)
        abort();
    for (const std::string &uri : tree_uris()) {
        SCTreeNode *node = nullptr;
        if (sc_createNodeThroughURI(tree, uri.c_str(), &node) != 0 || !node)
            abort();
    }
}

void BM_BuildTree(benchmark::State &state) {
    tree_uris();
    for (auto _ : state) {
        SCTreeType tree{};
        build(&tree);
        state.PauseTiming();
        sc_deleteSubTree(&tree.root);
        state.ResumeTiming();
    }
    state.counters["nodes_per_second"] =
        benchmark::Counter(static_cast<double>(kNodes), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_BuildTree)->Unit(benchmark::kMillisecond)->Iterations(5);

// Lookups of every node's URI in a shuffled order.
void BM_LookupNode(benchmark::State &state) {
    SCTreeType tree{};
    build(&tree);
    std::vector<const std::string *> order;
    for (const std::string &uri : tree_uris())
        order.push_back(&uri);
    std::mt19937 rng(5);
    std::shuffle(order.begin(), order.end(), rng);

    // Median of single lookups, each timed on its own (clock reads included).
    std::vector<double> ns;
    ns.reserve(order.size());
    for (const std::string *uri : order) {
        SCTreeNode *parent = nullptr, *found = nullptr;
        auto t0 = std::chrono::steady_clock::now();
        int rc = sc_searchNode(&tree, uri->c_str(), &parent, &found);
        auto t1 = std::chrono::steady_clock::now();
        if (rc != SC_DATA_FOUND)
            abort();
        ns.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count());
    }
    std::sort(ns.begin(), ns.end());

    size_t i = 0;
    for (auto _ : state) {
        SCTreeNode *parent = nullptr, *found = nullptr;
        benchmark::DoNotOptimize(sc_searchNode(&tree, order[i]->c_str(), &parent, &found));
        benchmark::DoNotOptimize(found);
        if (++i == order.size())
            i = 0;
    }
    state.counters["median_ns"] = ns[ns.size() / 2];
    state.counters["p99_ns"] = ns[ns.size() * 99 / 100];
    sc_deleteSubTree(&tree.root);
}
BENCHMARK(BM_LookupNode)->Unit(benchmark::kNanosecond);

} // namespace

BENCHMARK_MAIN();
