// The daemon's flat configuration store: key=value entries grouped in
// containers and indexed by a 64-bucket hash table. The store has no lock of
// its own: every call below must be made with MutexConfig held (or before the
// daemon's threads exist). Values returned point into the store and stay valid
// only while the lock is held and the entry is not changed.
#ifndef TARVID_STORE_H
#define TARVID_STORE_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "list.h"

// A named group of entries, allocated as one block with its name inline.
struct container {
    struct list next;   // link in ContList
    struct list config; // entries, linked through config::sibling, in load order
    uint32_t flag;      // CONTAINER_CHANGED, plus bits owned by the backend
    char *filename;     // points at `file`
    char file[];        // the name and its NUL
};

// Bit of container::flag: an entry changed since the last flush.
#define CONTAINER_CHANGED 1u

// One key=value entry. `linebuf` holds the key, its NUL, the value and its
// NUL; `key` is the buffer's start and `value` points inside it. Always use
// `value`, never compute its offset: layouts differ by who made the entry.
struct config {
    struct list next;            // link in its hash bucket
    struct list sibling;         // link in its container's entry list
    struct container *container; // owner; null for a notification placeholder
    uint32_t linebufsz;          // capacity of linebuf
    char *key;
    char *value;
    char *linebuf;      // owned by the entry
    struct list notify; // notifyElement registrations for this key
    char *saved;        // owned: the value the last commit or reload left, kept
                        // while a write made the entry differ from it; else null
};

// A tree node to be told when an entry's value changes.
struct notifyElement {
    struct list chain; // link in config::notify
    void *node;        // opaque tree node
};

#define CONFIG_HASH_SIZE 64
// Only this many leading characters of a key take part in its hash.
#define CONFIG_HASH_KEY_CHARS 31

extern struct list ConfigHashTable[CONFIG_HASH_SIZE];
extern struct list ContList;          // file-backed containers, in load order
extern struct container *ContDefault; // "Not-Reset Default" container or null; the backend's
extern struct container *ContRuntime; // in-memory keys, never stored

// Commit flags maintained by config_set: the last set changed a stored value;
// "S2D_ALLOW_RESUME" was last changed to "1".
extern int TARVI_KEY_CHANGE;
extern int ALLOW_RESUME_VALUE;

// Empties ContList and every bucket, and creates the "Runtime" container.
// Returns 0, or -1 when memory is short. Called once at start.
int config_store_init();

// Bucket index 0..63 of `key`.
int hash_config(const char *key);

// The entry for `key`, or null.
struct config *find_config(const char *key);

// The entry's value (pointing into the store), or null.
char *config_get(const char *key);

// Sets a value: updates the commit flags, notifies registered tree nodes,
// marks the container changed; unknown keys become Runtime entries.
// Returns 0, or -1 when memory is short or the key is defined only by the
// Not-Reset Default container, which no commit writes (the old value is
// kept).
int config_set(const char *key, const char *value);

// Adds a new Runtime entry for a key that is absent. Returns 0 or -1.
int config_set_runtime(const char *key, const char *value);

// Puts a freshly allocated entry into its empty state.
void init_config(struct config *pConf);

// The container on ContList named `filename`, or null.
struct container *find_container(const char *filename);

// Registers tree node `node` for changes of `key`, creating an empty
// placeholder entry (no container, never stored) when the key is absent.
// Returns 0, or -1 with nothing added.
int config_notify_register(const char *key, void *node);

// Removes the first registration of `node` for `key`. Returns 0 (also when the
// key is absent), -1 when the node is not registered there.
int config_notify_unregister(const char *key, void *node);

// The tree's write path: stores a value without comparing, flags or
// notifications. Returns 0, or -1 for a null value, a key defined only by the
// Not-Reset Default container, or when memory is short.
int config_sc_tarvi_set(const char *key, const char *value);

// The tree's read path: *value = a malloc'ed copy of the value (the caller
// frees it) or null. Always returns 0.
int config_sc_tarvi_get(const char *key, char **value);

// Hook through which the store tells the tree that a bound key changed. The
// tree installs it; while it is null nothing is called.
typedef void (*config_sc_notify_fn)(void *node);
extern config_sc_notify_fn config_sc_notify_hook;
void config_sc_notify_tarvi(void *node);

// Helpers for the backends.

// A new container named `name` (flag 0, no entries, on no list), or null.
struct container *container_new(const char *name);

// A new entry holding `key` and `value` (key at offset 0, value right after
// the key's NUL, capacity key + value + 3), not linked anywhere, or null.
struct config *config_new(const char *key, const char *value);

// Frees an entry, its line buffer and its notify registrations. The caller has
// unlinked it from every list.
void config_free(struct config *pConf);

// Unlinks every entry of `cont` from its hash bucket, frees the entries and
// then the container (which must be on no list, or unlinked by the caller).
void container_free(struct container *cont);

// Stores `value` in the entry: in place when it fits, else in the buffer
// regrown to key + value + 3 bytes (value right after the key's NUL). The
// buffer is regrown when its capacity is below that size or, with
// `grow_when_equal`, not above it. Returns 0, or -1 (memory short) with the
// entry unchanged.
int config_store_value(struct config *pConf, const char *value, bool grow_when_equal);

// Writes the store listing (containers, buckets, Not-Reset Default, Runtime)
// to `out`.
void config_dump_store(FILE *out);

// Settles the commit flags before a commit stores the store: a stored value
// changed since "S2D_ALLOW_RESUME" was last set to "1" sets it to "0".
// Called with the lock held, right before the backend's flush.
void config_commit_prepare();

// Forgets what every entry was before its writes: called once a commit has
// stored the store, or a reload has replaced it, so that no entry counts as
// changed.
void config_store_committed();

// The listing text (listing.h) of every entry whose key begins with
// `prefix`, sorted by key: one record of key, value, container name ("" for
// a notification placeholder) and marks ("r" when no commit stores it, "c"
// when it differs from what the last commit or reload left).
std::string config_list_text(const char *prefix);

#endif
