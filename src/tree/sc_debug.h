// Diagnostics of the tree code: printed to standard output and gated by
// DebugLevel (0 silent, from 1 failures, from 3 traces, from 4 function entry
// and exit).
#ifndef TARVI_SC_DEBUG_H
#define TARVI_SC_DEBUG_H

#include "libtarvi.h"

extern u_32 DebugLevel;

// Highest level the tree code knows.
#define SC_DEBUG_LEVEL_MAX 5

#define SC_DEBUG_FAIL 1
#define SC_DEBUG_TRACE 3
#define SC_DEBUG_FUNC 4

// Sets DebugLevel to `level` when it is at most SC_DEBUG_LEVEL_MAX; larger
// values are ignored.
void changeDebugLevel(u_32 level);

// printf to standard output when DebugLevel is at least `level`.
void sc_debug_print(u_32 level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// The level is checked before the call, so that quiet tracing costs a compare.
#define SC_DEBUG_AT(level, ...) (DebugLevel >= (level) ? sc_debug_print((level), __VA_ARGS__) : void())
#define SC_FAIL(...) SC_DEBUG_AT(SC_DEBUG_FAIL, __VA_ARGS__)
#define SC_TRACE(...) SC_DEBUG_AT(SC_DEBUG_TRACE, __VA_ARGS__)
// Marks tree data that contradicts itself.
#define SC_BUG() SC_FAIL("BUG: %s:%d\n", __FILE__, __LINE__)

// Prints "--> name" now and "<-- name" when the scope ends, from level 4.
class SCFuncTrace {
  public:
    explicit SCFuncTrace(const char *func) : func_(func) { SC_DEBUG_AT(SC_DEBUG_FUNC, "--> %s\n", func_); }
    ~SCFuncTrace() { SC_DEBUG_AT(SC_DEBUG_FUNC, "<-- %s\n", func_); }
    SCFuncTrace(const SCFuncTrace &) = delete;
    SCFuncTrace &operator=(const SCFuncTrace &) = delete;

  private:
    const char *func_;
};
#define SC_FUNC_TRACE() SCFuncTrace sc_func_trace_(__func__)

#endif
