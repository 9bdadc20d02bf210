#include "prop_test.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/time.h>

#include "libtarvi.h"
#include "paths.h"
#include "prop_debug.h"
#include "prop_limits.h"
#include "utility.h"

namespace {

prop_test_ops test_ops = {property_set, property_get, nullptr, nullptr};

// Current time of day in microseconds, cut to 32 bits.
unsigned int now_us() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<unsigned int>(static_cast<unsigned long long>(tv.tv_sec) * 1000000ULL +
                                     static_cast<unsigned long long>(tv.tv_usec));
}

#define TEST_LOG(...) PROP_LOG(PROP_DEBUG_ALWAYS, __VA_ARGS__)
#define TEST_DETAIL(...) PROP_LOG(PROP_DEBUG_TEST, __VA_ARGS__)

// The verdict lines every unit test ends with.
bool verdict(const char *func, bool ok) {
    prop_debug_log(PROP_DEBUG_ALWAYS, func, __LINE__, ok ? "Test OK!\n" : "Test Fail!\n");
    prop_debug_log(PROP_DEBUG_ALWAYS, func, __LINE__, "End!\n\n");
    return ok;
}

std::string repeat(char c, size_t n) { return std::string(n, c); }

// Reads `key` with a default; true when the value read is `expect`.
bool reads_as(const char *key, const char *default_value, const char *expect) {
    char value[PROP_VALUE_SIZE];
    int n = test_ops.get(key, value, default_value);
    if (n < 0 || strcmp(value, expect) != 0) {
        TEST_DETAIL("get key:%s ret:%d value:%s expected:%s\n", key, n, n < 0 ? "" : value, expect);
        return false;
    }
    return true;
}

bool _prop_test_unit_set() {
    TEST_LOG("Begin!\n");
    bool ok = true;
    unsigned int stamp = now_us() % 100000;
    const size_t value_lengths[] = {34, 60, PROP_VALUE_MAX, PROP_VALUE_MAX + 1, 93};
    for (size_t klen = 26; klen <= 43; ++klen) {
        for (size_t vlen : value_lengths) {
            std::string key = "ut.set." + std::to_string(stamp) + ".";
            key += repeat('k', klen - key.size());
            std::string value = repeat('v', vlen);
            bool allowed = key.size() <= PROP_NAME_MAX && value.size() <= PROP_VALUE_MAX;
            int rc = test_ops.set(key.c_str(), value.c_str());
            if ((rc == 0) != allowed || (allowed && !reads_as(key.c_str(), "", value.c_str()))) {
                TEST_DETAIL("set key-len:%d value-len:%d ret:%d\n", static_cast<int>(key.size()),
                            static_cast<int>(value.size()), rc);
                ok = false;
            }
        }
    }
    return verdict(__func__, ok);
}

bool _prop_test_unit_get() {
    TEST_LOG("Begin!\n");
    bool ok = true;
    std::string base = "ut.get." + std::to_string(now_us()) + ".";
    std::string longest = base + repeat('g', PROP_NAME_MAX - base.size());
    char value[PROP_VALUE_SIZE];
    // An absent name reads as its default, or as the empty text.
    ok &= test_ops.get(longest.c_str(), value, "dflt") == 4 && strcmp(value, "dflt") == 0;
    ok &= test_ops.get(longest.c_str(), value, nullptr) == 0 && value[0] == '\0';
    // A default longer than a value is cut to a value's length.
    ok &= test_ops.get(longest.c_str(), value, repeat('d', 100).c_str()) == PROP_VALUE_MAX;
    // One character over the name limit is refused.
    ok &= test_ops.get((longest + "g").c_str(), value, "dflt") == -1;
    ok &= test_ops.set(longest.c_str(), "got") == 0 && reads_as(longest.c_str(), "dflt", "got");
    if (!ok)
        TEST_DETAIL("get around the limits of %s failed\n", longest.c_str());
    return verdict(__func__, ok);
}

bool _prop_test_func_performance() {
    TEST_LOG("Begin!\n");
    const int rounds = 100;
    bool ok = true;
    char value[PROP_VALUE_SIZE];
    unsigned int start = now_us();
    TEST_LOG("set start:%u\n", start);
    for (int i = 0; i < rounds; ++i)
        ok &= test_ops.set(("perf.key." + std::to_string(i % 10)).c_str(), std::to_string(i).c_str()) == 0;
    unsigned int end = now_us();
    TEST_LOG("set end:%u elapsed:%u us for %d\n", end, end - start, rounds);
    start = now_us();
    TEST_LOG("get start:%u\n", start);
    for (int i = 0; i < rounds; ++i)
        ok &= test_ops.get(("perf.key." + std::to_string(i % 10)).c_str(), value, nullptr) > 0;
    end = now_us();
    TEST_LOG("get end:%u elapsed:%u us for %d\n", end, end - start, rounds);
    return verdict(__func__, ok);
}

bool _prop_test_func_normal() {
    TEST_LOG("Begin!\n");
    bool ok = true;
    unsigned int stamp = now_us();
    for (int i = 0; i < 3; ++i) {
        std::string key = "normal.key." + std::to_string(stamp) + "." + std::to_string(i);
        std::string value = "normal.value." + std::to_string(i);
        ok &= reads_as(key.c_str(), "normal.default", "normal.default");
        ok &= test_ops.set(key.c_str(), value.c_str()) == 0 && reads_as(key.c_str(), "x", value.c_str());
    }
    return verdict(__func__, ok);
}

bool _prop_test_func_ro() {
    TEST_LOG("Begin!\n");
    std::string key = "ro.key." + std::to_string(now_us());
    bool ok = reads_as(key.c_str(), "ro.default", "ro.default");
    ok &= test_ops.set(key.c_str(), "first") == 0;
    ok &= test_ops.set(key.c_str(), "first") == 0; // the same value again is no change
    ok &= test_ops.set(key.c_str(), "second") != 0;
    ok &= reads_as(key.c_str(), "", "first");
    return verdict(__func__, ok);
}

bool _prop_test_func_persist() {
    TEST_LOG("Begin!\n");
    unsigned int stamp = now_us();
    std::string key = "persist.test." + std::to_string(stamp);
    std::string value = "persist.value." + std::to_string(stamp);
    bool ok = test_ops.set(key.c_str(), value.c_str()) == 0;
    std::string path = tarvi_path((std::string(PROP_FILE_PERSIST_DIR) + "/" + key).c_str());
    FILE *f = fopen(path.c_str(), "re");
    char line[PROP_VALUE_SIZE + 2] = "";
    int lines = 0;
    if (f) {
        while (fgets(line, sizeof line, f))
            ++lines;
        fclose(f);
    }
    if (!ok || lines != 1 || value != line) {
        TEST_DETAIL("persist file %s lines:%d content:%s expected:%s\n", path.c_str(), lines, line, value.c_str());
        ok = false;
    }
    return verdict(__func__, ok);
}

bool _prop_test_func_stress() {
    TEST_LOG("Begin!\n");
    bool ok = true;
    for (int i = 0; i < 500; ++i) {
        std::string key = "stress.test." + std::to_string(i % 16);
        std::string value = "stress.value." + std::to_string(i);
        ok &= test_ops.set(key.c_str(), value.c_str()) == 0;
    }
    ok &= reads_as("stress.test.3", "", "stress.value.499");
    return verdict(__func__, ok);
}

struct unit_test {
    const char *word;
    bool (*run)();
};
const unit_test unit_tests[] = {
    {"set", _prop_test_unit_set},       {"get", _prop_test_unit_get}, {"perform", _prop_test_func_performance},
    {"normal", _prop_test_func_normal}, {"ro", _prop_test_func_ro},   {"persist", _prop_test_func_persist},
    {"stress", _prop_test_func_stress},
};

bool starts_with(const char *text, const char *word) { return strncmp(text, word, strlen(word)) == 0; }

int _prop_test_ut(const char *arg) {
    TEST_LOG("Begin...\n");
    bool all = false;
    if (starts_with(arg, "all_trace")) {
        all = true;
        prop_debug_set(1);
    } else if (starts_with(arg, "all")) {
        all = true;
        prop_debug_set(0);
    }
    bool ok = true;
    for (const auto &t : unit_tests)
        if (all || starts_with(arg, t.word))
            ok &= t.run();
    TEST_LOG(ok ? "OK!\n" : "Fail! \n");
    TEST_LOG("End. \n\n");
    return ok ? 0 : -1;
}

// The two "mkdir -p" commands of the shell tests.
std::string mkdir_command() {
    std::string dir = tarvi_path("/usr/sc/property/test/");
    int stamp = static_cast<int>(now_us());
    return "mkdir -p " + dir + std::to_string(stamp) + ";mkdir -p " + dir + std::to_string(stamp + 1);
}

// How long the waiting shell test waits for its commands; then they are
// left to the reaper like the other test's, if there is one.
constexpr int SHELL_WAIT_MS = 1000;

int run_shell(bool wait) {
    std::string cmd = mkdir_command();
    pid_t pid;
    if (nonrt_spawn(cmd.c_str(), &pid) != 0)
        return -1;
    if (wait && nonrt_wait_for(pid, SHELL_WAIT_MS))
        return 0;
    if (test_ops.detach && test_ops.detach(pid) == 0)
        return 0;
    nonrt_wait(pid);
    return 0;
}

void null_test() {
    char value[PROP_VALUE_SIZE];
    printf("\n Test.null.key.1.   ret:%d ", test_ops.set("test.null.key.1", ""));
    printf("\n Test.null.key.2.   ret:%d ", test_ops.set("test.null.key.2", nullptr));
    int rc = test_ops.get("test.null.key.1", value, "default.1");
    printf("\n Test.null.key.1.   ret:%d value:%s!", rc, value);
    rc = test_ops.get("test.null.key.2", value, "default.2");
    printf("\n Test.null.key.2.   ret:%d value:%s!", rc, value);
    fflush(stdout);
}

} // namespace

void prop_test_set_ops(const struct prop_test_ops *ops) {
    if (ops)
        test_ops = *ops;
    else
        test_ops = {property_set, property_get, nullptr, nullptr};
}

int prop_test_func(char *cmd, char *arg) {
    if (!cmd)
        return -1;
    if (!arg)
        arg = const_cast<char *>("");
    if (starts_with(cmd, "UT"))
        return _prop_test_ut(arg);
    if (starts_with(cmd, "DUMP")) {
        if (test_ops.dump)
            test_ops.dump();
        return 0;
    }
    if (starts_with(cmd, "system_func"))
        return run_shell(true);
    if (starts_with(cmd, "exec_func"))
        return run_shell(false);
    if (starts_with(cmd, "NULL"))
        null_test();
    return 0;
}
