// The property service's built-in self-test.
#ifndef TARVI_PROP_TEST_H
#define TARVI_PROP_TEST_H

#include <sys/types.h>

// How the self-test reaches the service. In a client process the defaults
// are the library calls; inside the daemon the test runs on the property
// thread itself, which must not send requests to its own queue, so the
// daemon installs calls into the service core.
struct prop_test_ops {
    int (*set)(const char *key, const char *value);                      // as property_set
    int (*get)(const char *key, char *value, const char *default_value); // as property_get
    void (*dump)(void);                                                  // may be null
    int (*detach)(pid_t pid); // takes over a child not waited for; null: the test waits for it
};

// Installs `ops` (copied); null restores the library calls.
void prop_test_set_ops(const struct prop_test_ops *ops);

// Runs the test command `cmd` ("UT", "DUMP", "system_func", "exec_func",
// "svc", "NULL"; by its beginning) with `arg`. Returns 0, or -1 when the
// unit tests selected by "UT" failed, `cmd` is null, or a command could not
// be started.
int prop_test_func(char *cmd, char *arg);

#endif
