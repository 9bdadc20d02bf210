// The property store: short name=value texts in 32 hash buckets. It has no
// lock of its own: only the property thread (and the service core it drives)
// uses it.
#ifndef TARVI_PROP_DB_H
#define TARVI_PROP_DB_H

#include <string>

#include "libtarvi.h"
#include "list.h"
#include "prop_limits.h"

#define PROP_DB_BUCKETS 32

// One property; owns its two texts.
struct prop_db_info_t {
    struct list sibling; // link in its bucket
    char *prop_key;      // at most 31 characters
    char *prop_value;    // at most 91 characters
    int flags;           // 0; not used by the store
};

extern struct list prop_db_hash[PROP_DB_BUCKETS];
extern int prop_db_inited;

// Empties the store (freeing the records of an earlier load) and marks it
// initialised.
void prop_db_init();

// Sets `in_key` to `in_value`, both cut to their limits. Returns 0, or -1
// before prop_db_init, for a null argument or when memory is short (the old
// value is then kept).
int prop_db_set(const char *in_key, const char *in_value);

// Copies the value of `in_key` (at most 91 characters and a NUL) into `value`,
// which holds PROP_VALUE_SIZE bytes. Returns 0, or -1 when absent, before
// prop_db_init or for a null argument; `value` is untouched then.
int prop_db_get(const char *in_key, char *value);

// The record named exactly `in_key`, or null. Points into the store.
struct prop_db_info_t *_prop_db_get(const char *in_key);

// Adds a record for `in_key` at the head of its bucket. Returns 0 or -1.
int _prop_db_add(const char *in_key, const char *in_value);

// The listing text (listing.h) of every property whose name begins with
// `prefix` (null: all), sorted by name: one record of name and value each.
std::string prop_db_list_text(const char *prefix);

// Writes every property to the log.
void prop_db_dump();

#endif
