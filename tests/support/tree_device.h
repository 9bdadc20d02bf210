// A sandbox device whose tree has callbacks, for tests that run them in a
// real daemon. Integration tests only: it needs TARVI_CALLBACK_FIXTURE_DIR.
#ifndef TARVI_TEST_TREE_DEVICE_H
#define TARVI_TEST_TREE_DEVICE_H

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <string>

#include "daemon.h"
#include "device.h"
#include "libtarvi.h"
#include "scratch.h"
#include "tarvi_cli.h"

// lay_device with `defaults`, then the tree declarations of the source folder
// `usr` (relative to the source tree, e.g. "tests/fixtures/callbacks/usr")
// laid over "/usr", and the callback objects of the fixtures in "/lib".
inline void lay_tree_device(const ScratchRoot &root, const std::string &defaults, const std::string &usr) {
    namespace fs = std::filesystem;
    lay_device(root, defaults);
    fs::copy(std::string(TARVI_SOURCE_DIR) + "/" + usr, root.at("/usr"),
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    fs::create_directories(root.at("/lib"));
    for (const auto &entry : fs::directory_iterator(TARVI_CALLBACK_FIXTURE_DIR))
        if (entry.path().extension() == ".so")
            fs::copy_file(entry.path(), root.at("/lib/" + entry.path().filename().string()));
    // A cross build's helper starts through the emulator, like the daemon.
    if (const char *emulator = getenv("TARVI_TEST_EMULATOR"))
        setenv("TARVI_CALLBACK_PREFIX", emulator, 1);
}

// The sample device of examples/device (its flat defaults, tree and
// callback objects) laid into `root`.
inline void lay_sample_device(const ScratchRoot &root) {
    namespace fs = std::filesystem;
    std::string defaults;
    for (const auto &entry : fs::directory_iterator(std::string(TARVI_SOURCE_DIR) + "/examples/device/usr/cfg"))
        defaults += read_file(entry.path());
    lay_tree_device(root, defaults, "examples/device/usr");
    for (const auto &entry : fs::directory_iterator(TARVI_EXAMPLE_LIB_DIR))
        fs::copy_file(entry.path(), root.at("/lib/" + entry.path().filename().string()),
                      fs::copy_options::overwrite_existing);
}

// A daemon started on `root` with its tree built; null when either failed.
inline std::unique_ptr<Daemon> start_tree_daemon(const ScratchRoot &root) {
    auto daemon = std::make_unique<Daemon>(root.path());
    if (!daemon->start() || tarvi_sc_reload() != 0)
        return nullptr;
    return daemon;
}

// Stops a daemon of start_tree_daemon, expecting that it was still running
// and that no sanitizer reported anything.
inline void stop_tree_daemon(std::unique_ptr<Daemon> &daemon) {
    if (!daemon)
        return;
    EXPECT_TRUE(daemon->running());
    daemon->stop();
    EXPECT_EQ("", daemon->sanitizer_report());
}

// A test on the sample device with its tree built, and the tool against it.
class SampleDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        lay_sample_device(root_);
        daemon_ = start_tree_daemon(root_);
        ASSERT_TRUE(daemon_);
    }
    void TearDown() override { stop_tree_daemon(daemon_); }

    tool_result tarvi(const std::string &args) { return run_tarvi(root_, args); }

    ScratchRoot root_;
    std::unique_ptr<Daemon> daemon_;
};

// The client's answer for a tree node or a flat key, "(none)" when it has
// no value; a failed call is a test failure.
inline std::string text_or_none(char *value) {
    std::string s = value ? value : "(none)";
    free(value);
    return s;
}

inline std::string tree_value(const char *uri) {
    char *value = nullptr;
    EXPECT_EQ(0, tarvi_sc_get(const_cast<char *>(uri), &value)) << uri;
    return text_or_none(value);
}

inline std::string flat_value(const char *key) {
    char *value = nullptr;
    EXPECT_EQ(0, tarvi_get(const_cast<char *>(key), &value)) << key;
    return text_or_none(value);
}

#endif
