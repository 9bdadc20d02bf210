// Walking the tree for a management view, restoring the defaults and the
// tree self-tests. Callers hold the worker's configuration lock.
#ifndef TARVI_SC_OPS_WALK_H
#define TARVI_SC_OPS_WALK_H

#include "sc_types.h"

// Starts a walk of view `type` (0 to 5): collects the subtree of URI (for
// ME_OMA and "./" the OMA roots, for ME_OMA/ME_CWMP and "." the TR-069 root)
// without table templates; with nextLevel 1 the entry collected last is
// left out. Entries left by an unfinished earlier walk are discarded first.
// *treeid: 1 when anything was collected, else 0. Returns 0; -1 for an
// unknown type, no tree, a URI longer than SC_URI_MAX_LEN, or a URI that
// is not found.
int config_sc_get_tree_start(int type, int nextLevel, const char *URI, int *treeid);
// The next node of walk `id`, in the reverse of the collecting order: *uri
// (a copy the caller frees, "./..."), *dtype, *attr. SC_GET_NEXT_HAS_CHILD
// or SC_GET_NEXT_NO_CHILD; SC_GET_NEXT_COMPLETE (outputs null and 0) when
// the walk is done; -1 for an id outside 0 to 63.
int config_sc_get_tree_next(int id, char **uri, u_16 *dtype, u_16 *attr);
// Visitor of the collecting traversal: puts `node` at the front of `list`
// unless it is a template member or has no data. Returns 0.
int config_sc_get_tree_start_op(SCTreeNode *node, struct list *list);
// Drops the walk entries of SC that lie in the subtree of `top`, before the
// subtree is freed, so that no walk hands out a freed node.
void config_sc_walk_forget(const SCTreeNode *top);
// Rebuilds the tree from the profiles and rewrites every tree file from it,
// so that the next commit stores the defaults. Returns 0.
int config_sc_restore_default(void);
// Self-tests of the tree operations (they change the tree and write
// profile files into the working folder); results go to standard output.
// Each returns 0.
int config_sc_test_me(void);
int config_sc_test_get(void);
int config_sc_test_set(void);

#endif
