// Walking the tree for a management view, restoring the defaults and the
// tree self-tests. Callers hold the worker's configuration lock.
#ifndef TARVI_SC_OPS_WALK_H
#define TARVI_SC_OPS_WALK_H

#include "sc_types.h"

// Collects the nodes of view `type` (0 to 5) below URI (children only when
// nextLevel is set); *treeid: the walk's id (0 when nothing was collected).
int config_sc_get_tree_start(int type, int nextLevel, const char *URI, int *treeid);
// The next node of walk `id`: *uri (freed by the caller), *dtype, *attr.
// SC_GET_NEXT_COMPLETE after the last one.
int config_sc_get_tree_next(int id, char **uri, u_16 *dtype, u_16 *attr);
// Drops the tree's changes and rebuilds it from the profiles.
int config_sc_restore_default(void);
// Self-tests of the tree operations; results go to standard output.
int config_sc_test_me(void);
int config_sc_test_get(void);
int config_sc_test_set(void);

#endif
