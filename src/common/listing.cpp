#include "listing.h"

#include "utility.h"

void listing_put(std::string *out, const std::vector<std::string> &fields) {
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i)
            out->push_back('\t');
        for (char c : fields[i]) {
            if (c == '\\')
                out->append("\\\\");
            else if (c == '\t')
                out->append("\\t");
            else if (c == '\n')
                out->append("\\n");
            else
                out->push_back(c);
        }
    }
    out->push_back('\n');
}

bool listing_split(const std::string &text, std::vector<std::vector<std::string>> *records) {
    records->clear();
    std::vector<std::string> fields(1);
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\') {
            if (++i == text.size())
                return false;
            char e = text[i];
            if (e != '\\' && e != 't' && e != 'n')
                return false;
            fields.back().push_back(e == 't' ? '\t' : e == 'n' ? '\n' : '\\');
        } else if (c == '\t') {
            fields.emplace_back();
        } else if (c == '\n') {
            records->push_back(std::move(fields));
            fields.assign(1, std::string());
        } else {
            fields.back().push_back(c);
        }
    }
    return fields.size() == 1 && fields[0].empty();
}

long listing_cursor_of(const char *key) {
    unsigned long v = 0;
    return util_decimal(key, 0x7fffffffUL, &v) ? static_cast<long>(v) : -1;
}
