// Callback and notify files, and the delivery of change notifications.
// Callers hold the tree's serialisation. File names here are device paths
// ("/usr/sc/cb0/wan.cb"); files are opened under the device root.
#ifndef TARVI_SC_TREE_CB_H
#define TARVI_SC_TREE_CB_H

#include "sc_types.h"

#define SC_CB_FOLDER "/usr/sc/cb"
#define SC_NOTIFY_FOLDER "/usr/sc/notify"
// A device path of a callback or notify file holds at most this many
// characters.
#define SC_CB_PATH_MAX 231
// Texts of a callback or notify field are stored when shorter than this.
#define SC_CB_FIELD_LIMIT 64

// Read every "*.cb" ("*.notify") file of the stage folder in name order and
// attach what they declare to existing nodes of `sc`. Return 0, or -1 when
// the folder cannot be opened or the stage is not one character.
int sc_readCBFromCBFolder(SCType *sc, const char *stage);
int sc_readNotifyFromNotifyFolder(SCType *sc, const char *stage);

// Read one callback (notify) file given by its device path. Return 0; -1
// when the path is too long or the file cannot be opened; SC_MALLOC_FAIL when
// a "$so=" record cannot be allocated (reading stops there).
int sc_readCBFromCBFile(SCType *sc, const char *file_name);
int sc_readNotifyFromNotifyFile(SCType *sc, const char *file_name);

// Delivers the notification of a node whose value was just set to `value`:
// runs it at once when active, else queues the node (once) on its module's
// NotifyList. 0, or -1 when the node has no notification or no module.
int sc_setNotify(SCTreeNode *node, const char *value);

// The same for a node whose bound flat key changed; the value delivered is
// the node's bound field. 0 or -1.
int sc_setNotifyNode(SCTreeNode *node);

// Delivers every queued notification of module `name`, newest first, each
// with the node's value at delivery time, and empties the queue. Returns 0.
int sc_notifyPassive(SCType *sc, const char *name);

// Runs the notify function of `node` with `input` and stores in *output a
// text the caller frees with mem_free_ex (or null). Installed by the tree
// service; while null, notifications are dropped when due.
typedef int (*sc_op_notify_fn)(SCTreeNode *node, const char *input, char **output);
extern sc_op_notify_fn sc_op_notify_hook;

#endif
