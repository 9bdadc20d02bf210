// The text of a listing or an import: records of fields, as the daemon and
// the client library exchange them in pages. A field is escaped so that any
// text without NUL survives: backslash, tab and line feed become "\\", "\t"
// and "\n"; fields are separated by a tab, records end with a line feed.
#ifndef TARVI_LISTING_H
#define TARVI_LISTING_H

#include <cstddef>
#include <string>
#include <vector>

// Bytes of listing text one reply carries: what is left of a record's
// packing area once the reply's key (a cursor number) is packed.
#define LISTING_PAGE_SIZE 4000

// Largest listing or import text either side accepts in all: a peer that
// keeps sending pages cannot make the other side grow without end.
#define LISTING_TEXT_MAX (16u * 1024u * 1024u)

// Appends one record of `fields` to `out`.
void listing_put(std::string *out, const std::vector<std::string> &fields);

// Splits `text` into records of fields, unescaping them. False for a text
// that is not a sequence of whole records (a record without its line feed,
// a stray backslash); *records then holds what was read before.
bool listing_split(const std::string &text, std::vector<std::vector<std::string>> *records);

// The cursor number a listing reply's key carries (0: this page was the
// last), or -1 when the key is not one.
long listing_cursor_of(const char *key);

#endif
