#include "sc_words.h"

const char *const SC_TYPE_NAMES[] = {"node", "int", "uint", "string", "boolean", "bin", "addr", "dateTime"};
const size_t SC_TYPE_NAME_COUNT = sizeof SC_TYPE_NAMES / sizeof SC_TYPE_NAMES[0];
const char SC_ATTR_LETTERS[] = "RWTADV";

const char *sc_dataTypeName(u_16 dtype) {
    for (size_t i = SC_TYPE_NAME_COUNT; i-- > 0;) {
        if (dtype & (1u << i))
            return SC_TYPE_NAMES[i];
    }
    return "";
}

std::string sc_attributeText(u_16 attr) {
    std::string out = "A:";
    for (int shift : {0, 8}) {
        if (shift)
            out += ",G:";
        for (size_t i = 0; SC_ATTR_LETTERS[i]; ++i) {
            if (attr & (1u << (i + static_cast<size_t>(shift))))
                out += SC_ATTR_LETTERS[i];
        }
    }
    return out;
}
