// Multi-instance tables: replace lists, copying a template subtree into a
// numbered instance, reference fix-up, and the reprocessing that completes
// restored instances after a load. Callers hold the tree's serialisation.
#ifndef TARVI_SC_TREE_INST_H
#define TARVI_SC_TREE_INST_H

#include "sc_types.h"

// Appends to `head` (ReplaceType entries, outermost level first) the texts
// that `n_uri` has where `o_uri` has "-1" ("$N" and "#N" in `o_uri` count as
// "-1" too). Stops quietly when `n_uri` is shorter. Returns 0, -1 for an
// empty instance text, SC_MALLOC_FAIL when memory is short. The caller frees
// the entries with sc_freeReplaceList.
int sc_genReplaceList(const char *o_uri, const char *n_uri, struct list *head);

// Frees every entry of a replace list and leaves it empty. Returns 0.
int sc_freeReplaceList(struct list *head);

// Walk operation for a new instance: copies template node `srcNode` (only
// when its table level equals `replace_level`) to the URI with its "-1"
// components replaced by the list entries, filling placeholders, sharing the
// template's callbacks and copying its notification. The copy joins the
// module of `parent` and is dirty. Returns 0, or -1 when nothing was copied.
int sc_addNodeFromNode(SCTreeType *tree, SCTreeNode *parent, SCTreeNode *srcNode, struct list *replace_list,
                       int replace_level);

// True when every key binding that an instance made from template root
// `tmpl` with `replace_list` copies gets a field number for each of its
// placeholders: a name that is no plain number, or a number that comes out
// as field 0, would make the instance read and write another one's field.
bool sc_instanceNumbersFields(SCTreeNode *tmpl, struct list *replace_list);

// The number of leading split stages of template binding `key` up to its
// last placeholder (0 when it has none): the part of the flat value that
// belongs to one instance.
size_t sc_placeholderStages(const TarviKeyType *key);

// Walk operation: fills the placeholders of a reference node's URI. Returns 0.
int sc_modifyRef(SCTreeNode *node, struct list *replace_list);

// After a load: completes every instance of every table from its template
// (nested tables included), links the instances to their templates and sets
// every table's "@@@serial" node to the highest instance number present (1
// for none). Returns 0.
int sc_reprocess_all_inst(SCType *sc);

// Reprocessing steps. Completes every child of the table of first-level
// template root `ori` but the template, whatever its name (`inst`, the
// sibling after the template, is where instances usually start; instances
// declared before the template count too) and sets the table's serial node.
// Returns 0, or -1 when the serial node is missing.
int sc_reprocess_inst_first_layer(SCTreeType *tree, SCTreeNode *ori, SCTreeNode *inst);
// Completes instance `newNode` from template root `old`. Returns 0 or -1.
int sc_reprocess_inst(SCTreeType *tree, SCTreeNode *old, SCTreeNode *newNode);
// Completes the instances of nested table `newUri` from template root
// `oldUri`. Returns 0, or -1 when either is missing.
int sc_reprocess_inst_uri(SCTreeType *tree, const char *oldUri, const char *newUri);
// Walk operation of reprocessing: like sc_addNodeFromNode, but a node that
// exists already (restored from a tree file) keeps its value and is only
// linked to its template.
int sc_syncNodeFromNode(SCTreeType *tree, SCTreeNode *parent, SCTreeNode *srcNode, struct list *replace_list,
                        int replace_level);
// Sets serial node `node` to the highest instance number under table `inst`
// (1 when it has none). Returns 0, or -1 when the table is missing.
int sc_reprocess_serail(SCTreeType *tree, const char *inst, SCTreeNode *node);

#endif
