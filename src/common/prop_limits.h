// Sizes of property names and values, and where persistent properties live:
// shared by the property service in the daemon and the client library's
// property calls and self-test.
#ifndef TARVI_PROP_LIMITS_H
#define TARVI_PROP_LIMITS_H

#include "libtarvi.h"

// Longest name and value kept, in characters; longer texts are cut.
#define PROP_NAME_MAX PROPERTY_KEY_MAX
#define PROP_VALUE_MAX PROPERTY_VALUE_MAX
// Buffer size that holds any stored value with its NUL.
#define PROP_VALUE_SIZE (PROP_VALUE_MAX + 1)

// Where persistent properties live, one file each.
#define PROP_FILE_PERSIST_DIR "/data/property"

#endif
