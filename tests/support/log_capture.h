// Captures every log message of the process while alive, for tests that
// check what was reported.
#ifndef TARVI_TEST_LOG_CAPTURE_H
#define TARVI_TEST_LOG_CAPTURE_H

#include <mutex>
#include <string>
#include <vector>

#include "log.h"

class LogCapture {
  public:
    LogCapture() {
        clear();
        tarvi_log_set_sink(sink);
    }
    ~LogCapture() { tarvi_log_set_sink(nullptr); }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    // Number of messages that contain `text`.
    int count(const std::string &text) const {
        std::lock_guard<std::mutex> lock(mutex());
        int n = 0;
        for (const auto &m : lines())
            n += m.find(text) != std::string::npos;
        return n;
    }
    bool has(const std::string &text) const { return count(text) > 0; }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex());
        lines().clear();
    }
    // The last message, or "" when none came.
    std::string last() const {
        std::lock_guard<std::mutex> lock(mutex());
        return lines().empty() ? "" : lines().back();
    }
    std::string all() const {
        std::lock_guard<std::mutex> lock(mutex());
        std::string text;
        for (const auto &m : lines())
            text += m + "\n";
        return text;
    }

  private:
    static std::mutex &mutex() {
        static std::mutex m;
        return m;
    }
    static std::vector<std::string> &lines() {
        static std::vector<std::string> v;
        return v;
    }
    static void sink(int, const char *msg) {
        std::lock_guard<std::mutex> lock(mutex());
        lines().emplace_back(msg);
    }
};

#endif
