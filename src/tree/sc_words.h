// The words of the tree's files for data types and access attributes, shared
// by the file readers and writers and by the command-line tools.
#ifndef TARVI_SC_WORDS_H
#define TARVI_SC_WORDS_H

#include <cstddef>
#include <string>

#include "sc_types.h"

// Type names, bit 0 upwards.
extern const char *const SC_TYPE_NAMES[];
extern const size_t SC_TYPE_NAME_COUNT;
// Attribute letters, bit 0 upwards (admin in the low byte, guest in the high).
extern const char SC_ATTR_LETTERS[];

// The name of the highest type bit of `dtype` ("" for none), and
// "A:letters,G:letters" for `attr`.
const char *sc_dataTypeName(u_16 dtype);
std::string sc_attributeText(u_16 attr);

#endif
