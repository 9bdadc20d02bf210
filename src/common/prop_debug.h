// The property service's debug log: one level for the whole service and the
// "[TARVID-PROP][label][function:line:]--- " prefix on every message.
#ifndef TARVI_PROP_DEBUG_H
#define TARVI_PROP_DEBUG_H

#include <atomic>

// Message levels. A message of level L is written when prop_debug_level >= L;
// level 0 (empty label) is always written.
enum {
    PROP_DEBUG_ALWAYS = 0,
    PROP_DEBUG_TEST = 1,
    PROP_DEBUG_FAIL = 2,
    PROP_DEBUG_WARN = 3,
    PROP_DEBUG_TRACE = 4,
    PROP_DEBUG_INFO = 5,
    PROP_DEBUG_LOUD = 6,
};
#define PROP_DEBUG_MAX 6

// Current level, 0 to 6 (2 at start). Atomic: the property thread changes it
// while the main thread reads it for its one property message.
extern std::atomic<unsigned int> prop_debug_level;
// Label of each level, indexed by level.
extern const char *const prop_debug_name[PROP_DEBUG_MAX + 1];

// Sets the level when it is at most 6; larger values are ignored. Returns 0.
int prop_debug_set(unsigned int level);
// The current level.
int prop_debug_get();

// Writes "[TARVID-PROP][label][func:line:]--- " + the message with syslog at
// LOG_DEBUG (through tarvid_log and its test seam) when the level allows.
void prop_debug_log(unsigned int level, const char *func, int line, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

// A message of `level` from the calling function.
#define PROP_LOG(level, ...) prop_debug_log((level), __func__, __LINE__, __VA_ARGS__)
// A message of `level` under an explicit operation label.
#define PROP_LOG_AS(level, label, ...) prop_debug_log((level), (label), __LINE__, __VA_ARGS__)

#endif
