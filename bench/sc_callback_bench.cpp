// Tree requests through the real daemon: a write through a node whose verify
// callback answers at once (the callback reads its input and writes "OK"
// through the daemon's callback worker, the daemon reads the answer and
// stores the value), and a read of a plain node; and a flat write of a key
// whose tree node notifies actively (the daemon's main thread starts the
// notify callback and goes on at once). Two daemons side by side on the same
// device: one runs callbacks in children of its callback host ("host"), the
// other execs the callback helper for each ("helper").
// Reports the median latency of single requests and requests per second,
// and the host's resident memory with the device's objects loaded.
// Target: the verified write through the host at most 0.5 ms median.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "daemon.h"
#include "device.h"
#include "libtarvi.h"
#include "paths.h"
#include "scratch.h"

namespace {

constexpr double TARGET_MEDIAN_MS = 0.5;

double median_ms(std::vector<double> &samples) {
    if (samples.empty())
        return 0;
    std::nth_element(samples.begin(), samples.begin() + static_cast<long>(samples.size() / 2), samples.end());
    return samples[samples.size() / 2];
}

// A pause between writes in the spaced benchmark: a person saving a form,
// or an agent that reads back what it wrote, leaves the device this idle.
constexpr auto SPACING = std::chrono::milliseconds(10);

// Runs `call` once per iteration and reports its median and rate; with
// `spaced`, each call follows a pause that is not timed.
template <typename Call> void timed_loop(benchmark::State &state, Call call, bool spaced = false) {
    std::vector<double> samples;
    for (auto _ : state) {
        if (spaced) {
            state.PauseTiming();
            std::this_thread::sleep_for(SPACING);
            state.ResumeTiming();
        }
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

// One daemon of the comparison; the client is pointed at it per benchmark.
struct Side {
    const char *name = "";
    ScratchRoot box;
    std::unique_ptr<Daemon> daemon;
    double verified_median = -1;
};

void verified_sets(benchmark::State &state, Side *side, bool spaced) {
    tarvi_set_root(side->box.path().c_str());
    char uri[] = "sys/bench/mtu";
    char values[2][8] = {"1400", "1480"};
    unsigned n = 0;
    timed_loop(
        state, [&] { return tarvi_sc_set(uri, values[n++ & 1]) == 0; }, spaced);
}

// Back to back: each write is sent as soon as the last is answered.
void BM_VerifiedTreeSet(benchmark::State &state, Side *side) { verified_sets(state, side, false); }

// One at a time, the device idle in between.
void BM_VerifiedTreeSetSpaced(benchmark::State &state, Side *side) { verified_sets(state, side, true); }

void BM_PlainTreeGet(benchmark::State &state, Side *side) {
    tarvi_set_root(side->box.path().c_str());
    char uri[] = "sys/bench/plain";
    timed_loop(state, [&] {
        char *value = nullptr;
        bool ok = tarvi_sc_get(uri, &value) == 0 && value;
        free(value);
        return ok;
    });
}

void BM_NotifiedFlatSet(benchmark::State &state, Side *side) {
    tarvi_set_root(side->box.path().c_str());
    char key[] = "BENCH_WATCHED";
    char values[2][2] = {"0", "1"};
    unsigned n = 0;
    timed_loop(state, [&] { return tarvi_set(key, values[n++ & 1]) == 0; });
}

void lay_bench_device(const ScratchRoot &box) {
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
}

// The resident memory of the callback host of `daemon` (its child started
// with "--host"): VmRSS and RssAnon (what is its own, not shared with the
// files it maps), in kB; empty when it has none.
std::string host_memory(const Daemon &daemon) {
    pid_t host = daemon.usage_now().host;
    if (host <= 0)
        return "";
    std::ifstream in("/proc/" + std::to_string(host) + "/status");
    std::string out;
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, 6, "VmRSS:") == 0 || line.compare(0, 8, "RssAnon:") == 0)
            out += (out.empty() ? "" : ", ") + line.substr(0, line.find(':')) + " " +
                   std::to_string(std::atol(line.c_str() + line.find(':') + 1)) + " kB";
    return out;
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
    // A cross build's helper and host start through the emulator, like the
    // daemon.
    if (const char *emulator = getenv("TARVI_TEST_EMULATOR"))
        setenv("TARVI_CALLBACK_PREFIX", emulator, 1);
    Side sides[2];
    sides[0].name = "host";
    sides[1].name = "helper";
    for (Side &side : sides) {
        lay_bench_device(side.box);
        // The daemon reads the switch at its first callback.
        if (&side == &sides[1])
            setenv("TARVI_CALLBACK_HOST", "0", 1);
        side.daemon = std::make_unique<Daemon>(side.box.path());
        tarvi_set_root(side.box.path().c_str());
        if (!side.daemon->start() || tarvi_sc_reload() != 0) {
            fprintf(stderr, "tarvid (%s) did not come up; its standard error:\n%s\n", side.name,
                    side.daemon->stderr_text().c_str());
            return 1;
        }
        unsetenv("TARVI_CALLBACK_HOST");
        if (!refuses_bad_value()) {
            fprintf(stderr, "the verify callback (%s) accepted 99999\n", side.name);
            return 1;
        }
    }
    // The host has started once the first callback ran through it.
    bool host_seen = false;
    for (int i = 0; i < 500 && !(host_seen = sides[0].daemon->usage_now().host > 0); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!host_seen || sides[1].daemon->usage_now().host > 0) {
        fprintf(stderr, "the host daemon has no callback host, or the helper daemon has one\n");
        return 1;
    }
    const struct {
        const char *name;
        void (*run)(benchmark::State &, Side *);
        benchmark::TimeUnit unit;
    } benchmarks[] = {
        {"BM_VerifiedTreeSet", BM_VerifiedTreeSet, benchmark::kMillisecond},
        {"BM_VerifiedTreeSetSpaced", BM_VerifiedTreeSetSpaced, benchmark::kMillisecond},
        {"BM_PlainTreeGet", BM_PlainTreeGet, benchmark::kMicrosecond},
        {"BM_NotifiedFlatSet", BM_NotifiedFlatSet, benchmark::kMillisecond},
    };
    for (Side &side : sides)
        for (const auto &b : benchmarks)
            benchmark::RegisterBenchmark((std::string(b.name) + "/" + side.name).c_str(), b.run, &side)
                ->Unit(b.unit)
                ->UseRealTime();

    struct MedianReporter : benchmark::ConsoleReporter {
        Side *sides;
        explicit MedianReporter(Side *s) : sides(s) {}
        void ReportRuns(const std::vector<Run> &runs) override {
            for (const Run &run : runs)
                for (int i = 0; i < 2; ++i)
                    if (run.run_name.function_name == std::string("BM_VerifiedTreeSet/") + sides[i].name &&
                        !run.error_occurred)
                        sides[i].verified_median = run.counters.at("median_ms").value;
            ConsoleReporter::ReportRuns(runs);
        }
    } reporter(sides);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::string memory = host_memory(*sides[0].daemon);
    int status = 0;
    for (Side &side : sides) {
        bool alive = side.daemon->running();
        side.daemon->stop();
        if (!alive) {
            fprintf(stderr, "tarvid (%s) died during the run:\n%s\n", side.name, side.daemon->stderr_text().c_str());
            status = 1;
        }
    }
    double host = sides[0].verified_median, helper = sides[1].verified_median;
    if (status != 0 || host < 0 || helper < 0)
        return 1;
    printf("verified tree set: median %.3f ms through the host, %.3f ms through the helper (%.1f times faster); "
           "host %s (target %.1f ms)\n",
           host, helper, helper / host, host <= TARGET_MEDIAN_MS ? "within target" : "ABOVE TARGET", TARGET_MEDIAN_MS);
    printf("callback host with the device's objects loaded: %s\n", memory.c_str());
    return 0;
}
