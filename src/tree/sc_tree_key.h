// Node values: literal, bound to a field of a flat key, or a reference to
// another node. Callers hold the tree's serialisation (MutexConfig); every
// string handed out is allocated with mem_malloc_ex and freed by the caller.
#ifndef TARVI_SC_TREE_KEY_H
#define TARVI_SC_TREE_KEY_H

#include "sc_types.h"

// At most this many split stages per binding.
#define SC_KEY_MAX_SPLITS 10
// Flat values that field operations read or build hold at most this many
// bytes; longer ones are refused rather than cut, so that a write never
// stores a truncated value.
#define SC_KEY_VALUE_MAX_LEN 1023
// A node value set through sc_setStringFromNodeForce holds at most this many
// characters.
#define SC_NODE_VALUE_MAX_LEN 1024
// Stands for a blank inside a field while a flat value is split. When the
// value itself holds this byte another byte that it does not hold is used.
#define SC_SPACE_MARKER '\xD6'

// Parses a binding "k(key)split(C){I}..." (I is N, "$"N or "#"N). On success
// stores a new binding in *RetKey (left untouched when the text holds no
// token at all) and returns 0; -1 for a malformed binding.
int sc_parseDataKey(const char *String, TarviKeyType **RetKey);

// Reads the bound field. 0 with *value a new string, or null when the field
// does not exist or a stage has no field number (a placeholder that was not
// filled in, as in a template: it must not read another instance's field);
// -1 with *value null when the key has no value, or its value is longer than
// SC_KEY_VALUE_MAX_LEN or holds every byte the splitting could use as a
// blank marker.
int sc_getStringFromTarviKeyForce(const TarviKeyType *TarviKey, char **value);

// Replaces the bound field with `value` and writes the flat key, creating
// the empty fields before it when needed. 0, or -1 when a stage has no field
// number, the flat store fails, or the old or new flat value would exceed
// SC_KEY_VALUE_MAX_LEN (the key is left unchanged then).
int sc_setStringToTarviKey(const TarviKeyType *TarviKey, const char *value);

// Empties the field that the first `stages` stages of the binding select (the
// whole value for 0), when it exists and is not empty already. 0, or -1 when
// the write failed.
int sc_clearTarviKeyField(const TarviKeyType *TarviKey, size_t stages);

// The node's current value as a new string (or null). 0, or -1 when the node
// has no value to give (missing data, literal or reference).
int sc_getStringFromNodeForce(SCTreeNode *node, char **value);

// True when a literal value can be written to a tree file and read back
// unchanged: the reader ends a value at its first ')' and a line at its line
// feed.
bool sc_isStorableValue(const char *value);

// True for the texts that tree files and tree requests use for themselves
// ("SC_NULL", "QV_NULL", "<QV_TOKEN>", "<QV_SPACE>"): a value holding them
// would come back as another value or none.
bool sc_isReservedValue(const char *value);

// Sets the node's value: literal nodes store it and turn dirty, key-bound
// nodes write the flat key; both deliver the change notification when they
// have one and the value changed. 0, or -1 (nothing changed) for a value
// that the node could not keep: longer than SC_NODE_VALUE_MAX_LEN, reserved
// (sc_isReservedValue), a literal that a tree file cannot hold
// (sc_isStorableValue, or a line too long), a field value with a delimiter
// of its binding or a tab or line end at either end; for a reference or a
// node without a value form; or for a failed write.
int sc_setStringFromNodeForce(SCTreeNode *node, const char *value);

// Delivers the change notification of a node whose value was just set to
// `value`. Installed by the notification module; while null, nothing is
// delivered.
typedef int (*sc_set_notify_fn)(SCTreeNode *node, const char *value);
extern sc_set_notify_fn sc_setNotify_hook;

// Reads the value of the node at `uri` (a reference's target) into *value (a
// new string or null); 0 on success. Installed by the tree operations; while
// null, references read as missing.
typedef int (*sc_config_get_fn)(const char *uri, char **value);
extern sc_config_get_fn sc_config_get_hook;

#endif
