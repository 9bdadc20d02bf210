// Tree requests through the real daemon: a write through a node whose verify
// callback answers at once (the daemon starts the callback helper, the
// callback reads its input and writes "OK" through the daemon's callback
// worker, the daemon reads the answer and stores the value), and a read of a
// plain node; and a flat write of a key whose tree node notifies actively
// (the daemon's main thread starts the notify callback and goes on at once).
// Reports the median latency of single requests and requests per second.
// Target: the verified write under 10 ms median.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "daemon.h"
#include "device.h"
#include "libtarvi.h"
#include "paths.h"
#include "scratch.h"

namespace {

constexpr double TARGET_MEDIAN_MS = 10.0;

double median_ms(std::vector<double> &samples) {
    if (samples.empty())
        return 0;
    std::nth_element(samples.begin(), samples.begin() + static_cast<long>(samples.size() / 2), samples.end());
    return samples[samples.size() / 2];
}

// Runs `call` once per iteration and reports its median and rate.
template <typename Call> void timed_loop(benchmark::State &state, Call call) {
    std::vector<double> samples;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        bool ok = call();
        samples.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        if (!ok) {
            state.SkipWithError("request failed");
            break;
        }
    }
    state.counters["median_ms"] = median_ms(samples);
    state.counters["req/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_VerifiedTreeSet(benchmark::State &state) {
    char uri[] = "sys/bench/mtu";
    char values[2][8] = {"1400", "1480"};
    unsigned n = 0;
    timed_loop(state, [&] { return tarvi_sc_set(uri, values[n++ & 1]) == 0; });
}

void BM_PlainTreeGet(benchmark::State &state) {
    char uri[] = "sys/bench/plain";
    timed_loop(state, [&] {
        char *value = nullptr;
        bool ok = tarvi_sc_get(uri, &value) == 0 && value;
        free(value);
        return ok;
    });
}

void BM_NotifiedFlatSet(benchmark::State &state) {
    char key[] = "BENCH_WATCHED";
    char values[2][2] = {"0", "1"};
    unsigned n = 0;
    timed_loop(state, [&] { return tarvi_set(key, values[n++ & 1]) == 0; });
}

// A verify callback must refuse a bad value, or the benchmark measures a
// write that verifies nothing.
bool refuses_bad_value() {
    char uri[] = "sys/bench/mtu", bad[] = "99999";
    return tarvi_sc_set(uri, bad) != 0;
}

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    ScratchRoot box;
    lay_device(box, "WAN_MTU=1400\nBENCH_WATCHED=0\n");
    box.write("/usr/sc/profile0/bench.profile", "sys;A:R,G:R;node;;\n"
                                                "sys/bench;A:R,G:R;node;;\n"
                                                "sys/bench/mtu;A:RW,G:R;uint;576..1500;k(WAN_MTU)\n"
                                                "sys/bench/plain;A:RW,G:R;string;;v(plain)\n"
                                                "sys/bench/watched;A:RW,G:R;boolean;;k(BENCH_WATCHED)\n");
    box.write("/usr/sc/cb0/bench.cb", "$so=libsc_sys.so\nsys/bench/mtu;;;;;;f(sys_wan_verify_mtu);;;\n");
    box.write("/usr/sc/notify0/bench.notify", "$so=libsc_notify.so\nsys/bench/watched;;active;f(wimax_restart);\n");
    make_dirs(box.at("/lib"));
    std::filesystem::copy_file(CALLBACK_OBJECT, box.at("/lib/libsc_sys.so"));
    std::filesystem::copy_file(NOTIFY_OBJECT, box.at("/lib/libsc_notify.so"));

    Daemon daemon(box.path());
    tarvi_set_root(box.path().c_str());
    if (!daemon.start() || tarvi_sc_reload() != 0) {
        fprintf(stderr, "tarvid did not come up; its standard error:\n%s\n", daemon.stderr_text().c_str());
        return 1;
    }
    if (!refuses_bad_value()) {
        fprintf(stderr, "the verify callback accepted 99999\n");
        return 1;
    }
    benchmark::RegisterBenchmark("BM_VerifiedTreeSet", BM_VerifiedTreeSet)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark("BM_PlainTreeGet", BM_PlainTreeGet)->Unit(benchmark::kMicrosecond)->UseRealTime();
    benchmark::RegisterBenchmark("BM_NotifiedFlatSet", BM_NotifiedFlatSet)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();

    struct MedianReporter : benchmark::ConsoleReporter {
        double verified_median = -1;
        void ReportRuns(const std::vector<Run> &runs) override {
            for (const Run &run : runs)
                if (run.run_name.function_name == "BM_VerifiedTreeSet" && !run.error_occurred)
                    verified_median = run.counters.at("median_ms").value;
            ConsoleReporter::ReportRuns(runs);
        }
    } reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    bool alive = daemon.running();
    daemon.stop();
    if (!alive) {
        fprintf(stderr, "tarvid died during the run:\n%s\n", daemon.stderr_text().c_str());
        return 1;
    }
    if (reporter.verified_median < 0)
        return 1;
    printf("verified tree set: median %.2f ms, %s (target %.0f ms)\n", reporter.verified_median,
           reporter.verified_median < TARGET_MEDIAN_MS ? "within target" : "ABOVE TARGET", TARGET_MEDIAN_MS);
    return 0;
}
