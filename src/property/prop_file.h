// Files of the property service: rc files (services and triggers), property
// files (name=value lines) and persistent properties (one file each). All
// paths are under the device root.
#ifndef TARVI_PROP_FILE_H
#define TARVI_PROP_FILE_H

#include "prop_limits.h"

// Classes of an rc line.
typedef enum {
    svc_cmd_type_command = 1,    // four blanks, then a command of the open trigger
    svc_cmd_type_service = 2,    // "service NAME COMMAND"
    svc_cmd_type_onproperty = 3, // "on property:NAME=VALUE"
    svc_cmd_type_others = 4,     // anything else; closes the open trigger
} prop_file_svc_cmd_t;

// The largest property file read.
#define PROP_FILE_SIZE_MAX (1024 * 1024)

// Registers the services and triggers of every "*.rc*" file in the root.
void prop_file_load_svc(void);

// Receives each property the loaders read: the service core's set, with every
// rule of the prefixes (the files module only reads, it does not judge).
typedef int (*prop_file_set_fn)(const char *name, const char *value);

// Hands the properties of the five property files, in order, then the
// persistent ones, to `set`.
void prop_file_load_props(prop_file_set_fn set);

// Stores `value` as the persistent property `name` (through a temporary file
// and a rename, so a reader or a power cut sees the old or the new value).
// While prop_file_load_props runs, nothing is written: the values it sets
// come from the files. Returns 0, or -1 when it could not be written (the
// old file is kept).
int prop_file_write_persistent(const char *name, const char *value);

// The class of one rc line.
prop_file_svc_cmd_t _prop_file_parse_svc_type(const char *line);

// The whole file at `path` (a device path, under the root) with a newline and
// a NUL appended, malloc'ed (the caller frees it); its length without the NUL
// in *size. Null when it cannot be read or is larger than PROP_FILE_SIZE_MAX.
char *_prop_file_read_file(const char *path, unsigned int *size);

// Hands every name=value line of the property file at `path` to `set`.
void _prop_file_load_props_file(const char *path, prop_file_set_fn set);

#endif
