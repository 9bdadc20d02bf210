// A small JSON reader and writer for the tool's export and import files.
// The reader takes any file: its depth and size are bounded, and every
// error names the line. Texts are kept byte for byte: bytes of 0x80 and up
// pass through as they are, so a value that is not UTF-8 survives a round
// trip.
#ifndef TARVI_TOOL_JSON_H
#define TARVI_TOOL_JSON_H

#include <string>
#include <utility>
#include <vector>

struct json_value {
    enum kind_t { NUL, BOOL, NUMBER, STRING, ARRAY, OBJECT } kind = NUL;
    bool boolean = false;
    std::string text; // a string, or a number as written
    std::vector<json_value> items;
    std::vector<std::pair<std::string, json_value>> members; // in document order

    // The member `name` of an object, or null.
    const json_value *member(const char *name) const;
};

// Deepest nesting the reader accepts.
#define JSON_DEPTH_MAX 64

// Parses `text` as one JSON document. False with *error ("line N: ...") for
// anything else, duplicate member names included.
bool json_parse(const std::string &text, json_value *out, std::string *error);

// `s` as a JSON string literal, quotes included.
std::string json_quote(const std::string &s);

#endif
