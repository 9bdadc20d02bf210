// Types of the configuration tree: nodes and their payload, the module files
// they come from, key bindings, callback and notification records, and the
// status codes that tree operations return (clients see them negated).
// Texts are plain `char` strings (s_8 is a signed byte type, which C++ does
// not mix with character strings).
#ifndef TARVI_SC_TYPES_H
#define TARVI_SC_TYPES_H

#include "libtarvi.h"
#include "list.h"
#include "sc_status.h"

// A URI holds at most this many characters; buffers for a URI or one of its
// names are SC_URI_BUF_SIZE bytes.
#define SC_URI_MAX_LEN 255
#define SC_URI_BUF_SIZE (SC_URI_MAX_LEN + 1)
// Separators ('/' or '\\') a URI may hold.
#define SC_URI_MAX_SEPARATORS 15

// Access attribute bits (SCDataType::attr): admin in the low byte, guest in
// the high byte. The tree stores and reports them; it does not enforce them.
#define SC_ATTR_ADMIN_R 0x0001
#define SC_ATTR_ADMIN_W 0x0002
#define SC_ATTR_ADMIN_T 0x0004
#define SC_ATTR_ADMIN_A 0x0008
#define SC_ATTR_ADMIN_D 0x0010
#define SC_ATTR_ADMIN_V 0x0020
#define SC_ATTR_GUEST_R 0x0100
#define SC_ATTR_GUEST_W 0x0200
#define SC_ATTR_GUEST_T 0x0400
#define SC_ATTR_GUEST_A 0x0800
#define SC_ATTR_GUEST_D 0x1000
#define SC_ATTR_GUEST_V 0x2000

// Data type bits (SCDataType::dtype): one type bit, plus the value form and
// the table-member bit.
#define SC_DTYPE_NODE 0x0001
#define SC_DTYPE_INT 0x0002
#define SC_DTYPE_UINT 0x0004
#define SC_DTYPE_STRING 0x0008
#define SC_DTYPE_BOOLEAN 0x0010
#define SC_DTYPE_BIN 0x0020
#define SC_DTYPE_ADDR 0x0040
#define SC_DTYPE_DATETIME 0x0080
#define SC_DTYPE_VALUE 0x0100     // `value` holds the literal
#define SC_DTYPE_KEY 0x0200       // the value lives in the flat key `TarviKey`
#define SC_DTYPE_REF 0x0400       // `value` holds another node's URI
#define SC_DTYPE_TABLE_MEM 0x2000 // template node of a table, or made from one

// Bit 0 of FileType::flag: the module has unsaved changes.
#define SC_FILE_FLAG_DIRTY 0x01

#define SC_SEARCH_LIST_NUM 64

struct SCTreeNode;

// One split stage of a key binding.
struct SplitType {
    char delimiter; // field separator of this stage
    s_16 index;     // field number from 1; -1..-20 "$N", -21..-39 "#N" placeholders
    struct list chain;
};

// Binding of a node's value to a field of a flat key.
struct TarviKeyType {
    char *key;         // flat key name (may be empty)
    struct list split; // SplitType stages; added with list_add, walked through prev
};

// Callbacks of a node; each text is "f(function)" or "s(command)".
struct CBDataType {
    char *so; // shared object; may be the `name` of an SC.SOList entry (not owned then)
    char *get;
    char *set;
    char *add;
    char *del;
    char *ver;
    char *exe;
    char *cov;
    char *arg;
};

// Change notification of a node.
struct NotifyType {
    char *so; // may be the `name` of an SC.NSOList entry (not owned then)
    char *cb;
    char *arg;
    u_8 active; // 1: deliver at once; 0: queue until the module's passive delivery
};

// Payload of a node.
//
// Ownership: a node made from a table template (InstNode set) borrows its
// template's CBData record and the so/cb/arg texts of its Notify record;
// freeing such a node frees its own Notify record but none of the borrowed
// parts. Every other pointer is owned by the data.
struct SCDataType {
    char *uri;   // full URI, at most SC_URI_MAX_LEN characters
    u_16 attr;   // SC_ATTR_* bits
    u_16 dtype;  // SC_DTYPE_* bits
    char *limit; // value limit text, or null
    char *value; // literal, or referenced URI, or null
    struct TarviKeyType *TarviKey;
    struct CBDataType *CBData;
    struct NotifyType *Notify;
    struct SCTreeNode *InstNode; // parent passed when the node was made from a template
    u_8 declared;                // made by a profile, which brings it back at every load
};

struct IPCType;

// A tree node. Children keep the order of insertion.
struct SCTreeNode {
    struct SCTreeNode *parent;  // null only for the root
    struct SCTreeNode *sibling; // next child of the same parent
    struct SCTreeNode *child;   // first child
    struct list file;           // link in the owning FileType's node list
    struct list *dirty;         // the owning FileType's dirty list head, or null
    struct list dirty_chain;    // link in that dirty list; self-linked while clean
    struct list notify;         // link in the file's NotifyList while a notification is queued
    struct IPCType *ipc;        // callback exchange bound to the node, or null
    struct SCDataType *data;
};
typedef struct SCTreeNode SCTreeNodeType;

struct SCTreeType {
    struct SCTreeNode *root; // the node of URI "."
};

// One result of a tree walk.
struct SCSearchType {
    struct SCTreeNode *node;
    struct list chain;
};

// One module file (its name without the extension).
struct FileType {
    struct list node;       // nodes of the module, in file order (list_add, walked through prev)
    struct list file;       // link in SC.FileList
    struct list dirty;      // nodes whose state differs from the profile
    struct list NotifyList; // nodes with a queued passive notification
    char stage;             // stage character of the folder it was read from
    u_8 flag;               // SC_FILE_FLAG_DIRTY
    char *FileName;
};

// A running callback exchange: the key pair a callback child reads and writes.
struct IPCType {
    struct SCTreeNode *node;
    char IKey[10];
    char OKey[10];
    u_16 lock;
    struct list chain; // link in SC.IPCList
};

// A callback or notify shared object named by a "$so=" line; owns `name`.
struct SOType {
    struct list chain; // link in SC.SOList or SC.NSOList
    char *name;
    char *FileName;
};

// One entry of a replace list: the instance number of one table level.
struct ReplaceType {
    char *value;
    struct list chain;
};

// The tree and everything hanging off it; one instance, `SC`.
struct SCType {
    struct SCTreeType tree;
    struct list SearchList[SC_SEARCH_LIST_NUM];
    struct list FileList;
    struct list IPCList;
    struct list SOList;
    struct list NSOList;
    u_16 IPCindex;
};

#endif
