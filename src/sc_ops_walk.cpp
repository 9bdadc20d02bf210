#include "sc_ops_walk.h"

#include "sc_debug.h"

// Walks, restore and self-tests are not served yet: each reports that and
// fails.
namespace {

int not_served(const char *op) {
    SC_FAIL("%s: operation is not available!!\n", op);
    return -1;
}

} // namespace

int config_sc_get_tree_start(int, int, const char *, int *treeid) {
    *treeid = 0;
    return not_served("config_sc_get_tree_start");
}
int config_sc_get_tree_next(int, char **, u_16 *, u_16 *) { return not_served("config_sc_get_tree_next"); }
int config_sc_restore_default(void) { return not_served("config_sc_restore_default"); }
int config_sc_test_me(void) { return not_served("config_sc_test_me"); }
int config_sc_test_get(void) { return not_served("config_sc_test_get"); }
int config_sc_test_set(void) { return not_served("config_sc_test_set"); }
