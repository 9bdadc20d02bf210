// The configuration tree: creating and finding nodes by URI, deleting
// subtrees, walking, dirty marking. The tree has no lock of its own; every
// call is made under the configuration lock (MutexConfig, tarvid_lock.h).
#ifndef TARVI_SC_TREE_H
#define TARVI_SC_TREE_H

#include <vector>

#include "sc_types.h"

// The daemon's tree. Its lists are empty and its root null at start.
extern SCType SC;

// Makes every list of `sc` empty, its root null and IPCindex 0. Does not free
// anything that was on them.
void sc_initSCType(SCType *sc);

// A new zeroed data record owning a copy of `uri`; null when `uri` is null,
// empty, longer than SC_URI_MAX_LEN characters, or memory is short.
SCDataType *sc_createData(const char *uri);

// A new zeroed node with its links self-linked and `data` attached (the node
// owns it from then on); null when memory is short.
SCTreeNode *sc_createNode(SCDataType *data);

// Makes a root node for `root` (the data of URI ".") and stores it in
// tree->root. Returns 0, or SC_MALLOC_FAIL (the data is not taken then).
int sc_initTree(SCTreeType *tree, SCDataType *root);

// Copies the next name of `uri` (a leading '.' and then a leading '/' are
// skipped; "." alone is the root's name) into `nextNodeName`, which holds
// SC_URI_BUF_SIZE bytes, and returns the position after it. On error
// *errorCode is SC_CMD_FAILED (null argument, nothing after '/') or
// SC_URI_TOO_LONG (a name that does not fit) and the result is null.
const char *sc_getNextNodeName(const char *uri, char *nextNodeName, int *errorCode);

// Finds the node of `uri`. SC_DATA_FOUND with *foundNode set; or
// SC_DATA_NOT_FOUND, with *parent set only when `uri` lies exactly one level
// below an existing node (then it can be inserted); or SC_CMD_FAILED /
// SC_URI_TOO_LONG for a bad tree or URI. Results are those of scanning each
// node's children in insertion order for the first whose URI is a prefix of
// `uri` followed by '/' or the end.
int sc_searchNode(SCTreeType *tree, const char *uri, SCTreeNode **parent, SCTreeNode **foundNode);

// Inserts a node for `URI` as the last child of its existing parent and
// stores it in *node. Returns 0, or -1 (with *node null) when the URI exists,
// has no parent, is malformed, or memory is short.
int sc_createNodeThroughURI(SCTreeType *tree, const char *URI, SCTreeNode **node);

// Links `node` as the last child of `parent`. sc_createNodeThroughURI does
// this; other code that links nodes by hand must use it so searches see them.
void sc_appendChild(SCTreeNode *parent, SCTreeNode *node);

// 0 for a well-formed URI; SC_URI_TOO_LONG beyond SC_URI_MAX_LEN characters;
// SC_CMD_FAILED for null or empty, a leading or trailing separator ('/' or
// '\\'), or more than SC_URI_MAX_SEPARATORS separators.
int sc_checkValidUri(const char *uri);

// Number of "-1" components in the node's URI (its table nesting depth), or
// 100 when the node or its data is missing.
int sc_getLevelOfNode(const SCTreeNode *node);

// Frees one node and its data: unlinks it from its file, dirty and notify
// lists, drops its flat-key notification and search index entry. Does not
// touch the parent, sibling or child links.
void sc_deleteNode(SCTreeNode *node);

// Frees *startNodePtr and all its descendants, unlinks it from its parent and
// sets *startNodePtr to null. Nothing for a null pointer or node.
void sc_deleteSubTree(SCTreeNode **startNodePtr);

// Walk operations. Pre-order walks visit the start node and then its
// descendants in sibling order, never the start node's siblings; an operation
// may add nodes elsewhere but must not free the node it is given.
typedef int (*SCNodeOperation)(SCTreeNode *node);
typedef int (*SCListOperation)(SCTreeNode *node, struct list *head);
typedef int (*SCAddInstOperation)(SCTreeType *tree, SCTreeNode *parent, SCTreeNode *node, struct list *replace_list,
                                  int replace_level);
typedef int (*SCPostOperation)(SCTreeNode *node, void *data);

// Each returns 0.
int sc_preTraverseTree(SCTreeNode *startNode, SCNodeOperation operation);
int sc_preTraverseSearchTree(struct list *search, SCTreeNode *startNode, SCListOperation operation);
int sc_preTraverseTreeModifyRef(struct list *replace_head, SCTreeNode *startNode, SCListOperation operation);
// replace_level is the number of entries of replace_list, counted once.
int sc_preTraverseTreeAddInst(SCTreeType *tree, SCTreeNode *parent, struct list *replace_list, SCTreeNode *startNode,
                              SCAddInstOperation operation);

// Calls `visit` for `top` and every node below it, in no set order, with a
// stack of its own rather than recursion (an archive may bring a deep tree).
// `visit` must not add or delete nodes; returning false ends the walk, which
// then returns false.
template <typename Visit> bool sc_eachNode(SCTreeNode *top, Visit visit) {
    std::vector<SCTreeNode *> stack{top};
    while (!stack.empty()) {
        SCTreeNode *n = stack.back();
        stack.pop_back();
        for (SCTreeNode *c = n->child; c; c = c->sibling)
            stack.push_back(c);
        if (!visit(n))
            return false;
    }
    return true;
}

// Visits every descendant of `startNode` after its children (not startNode
// itself); the operation may free the node it is given. Returns the first
// non-zero result of `operation`, which ends the walk, or 0.
int sc_postTraverseTree(SCTreeNode *startNode, SCPostOperation operation, void *data);

// Marks the node changed: sets its module's flag and puts it on the module's
// dirty list (once). Returns 0, or -1 when the node belongs to no module.
int sc_setNodeDirty(SCTreeNode *node);

// 1 when any module of `sc` has unsaved changes, else 0.
int sc_IsDirty(const SCType *sc);

// 0 when the data's URI equals `name`, 1 when not, SC_CMD_FAILED for null.
int sc_compareName(const SCDataType *data, const char *name);

// Copies the data's URI into `uriBuf` (SC_URI_BUF_SIZE bytes): 0, or
// SC_CMD_FAILED for null.
int sc_getUriOfData(const SCDataType *data, char *uriBuf);

// Frees a data record and what it owns (see SCDataType for borrowed parts).
void sc_freeData(SCDataType *data);

// Frees a key binding: its name, its stages and the record.
void sc_freeTarviKey(TarviKeyType *key);

// Free a callback record and its texts, and a notification record with its
// texts when `texts` is set; texts named by "$so=" records stay.
void sc_freeCBData(CBDataType *cb);
void sc_freeNotify(NotifyType *nt, bool texts);

// Frees every walk entry of `sc` and leaves its walk lists empty.
void sc_freeSearchList(SCType *sc);

// Frees everything `sc` holds (walk entries, nodes, module records, callback exchanges,
// "$so=" records) and leaves it empty, with a null root.
void sc_deleteSCTree(SCType *sc);

// Debug dumps to standard output.
void sc_printNode(const SCTreeNode *node);
void sc_printTree(SCTreeNode *startNode);

// Converts a line in dotted notation to slash notation in place: from the
// second character up to the first ';' (or the end) every '.' becomes '/',
// and a trailing '/' there ends the line. Lines beginning with '#' are left
// alone; conversion stops, reported, after SC_URI_BUF_SIZE characters without
// ';'. Returns `line`.
char *sc_transCWMPtoSYS(char *line);

// Finds the node of a client URI for operation `op` (named in messages).
// SC_DATA_FOUND with *node set; SC_DATA_NOT_FOUND; SC_URI_TOO_LONG; -1 for a
// null URI or another search failure.
int config_sc_search(const char *op, const char *URI, SCTreeNode **node);

#endif
