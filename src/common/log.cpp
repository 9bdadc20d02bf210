#include "log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <unistd.h>

namespace {
std::atomic<tarvi_log_sink> log_sink{nullptr};

// Longest message text kept; longer ones are cut (syslog would cut them too).
constexpr size_t LOG_LINE_MAX = 1024;
} // namespace

void tarvi_log_set_sink(tarvi_log_sink sink) { log_sink.store(sink); }

void tarvid_log(int prio, const char *fmt, ...) {
    char line[LOG_LINE_MAX];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (tarvi_log_sink sink = log_sink.load()) {
        sink(prio, line);
        return;
    }
    syslog(prio, "%s", line);
}

void libtarvi_log(const char *eol, const char *fmt, ...) {
    char text[LOG_LINE_MAX];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    char line[LOG_LINE_MAX + 32];
    snprintf(line, sizeof line, "[LIBTARVI][%d] %s", static_cast<int>(getpid()), text);
    if (tarvi_log_sink sink = log_sink.load()) {
        sink(LOG_WARNING, line);
        return;
    }
    fprintf(stderr, "%s%s", line, eol);
    syslog(LOG_WARNING, "%s", line);
}
