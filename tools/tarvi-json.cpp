#include "tarvi-json.h"

#include <cstdio>
#include <cstring>

const json_value *json_value::member(const char *name) const {
    for (const auto &m : members)
        if (m.first == name)
            return &m.second;
    return nullptr;
}

namespace {

struct reader {
    const std::string &s;
    size_t at = 0;
    std::string error;

    bool fail(const char *what) {
        if (error.empty()) {
            size_t line = 1;
            for (size_t i = 0; i < at && i < s.size(); ++i)
                line += s[i] == '\n';
            error = "line " + std::to_string(line) + ": " + what;
        }
        return false;
    }
    void blanks() {
        while (at < s.size() && strchr(" \t\r\n", s[at]) && s[at])
            ++at;
    }
    bool eat(char c) {
        blanks();
        if (at < s.size() && s[at] == c) {
            ++at;
            return true;
        }
        return false;
    }
    bool word(const char *w) {
        size_t n = strlen(w);
        if (s.compare(at, n, w) != 0)
            return fail("unknown word");
        at += n;
        return true;
    }
    int hex4() {
        if (at + 4 > s.size())
            return -1;
        int v = 0;
        for (int i = 0; i < 4; ++i) {
            char c = s[at++];
            int d = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
            if (d < 0)
                return -1;
            v = v * 16 + d;
        }
        return v;
    }
    static void utf8(std::string *out, unsigned cp) {
        if (cp < 0x80) {
            out->push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    bool string(std::string *out) {
        if (!eat('"'))
            return fail("a string was expected");
        for (;;) {
            if (at >= s.size())
                return fail("unterminated string");
            unsigned char c = static_cast<unsigned char>(s[at++]);
            if (c == '"')
                return true;
            if (c < 0x20)
                return fail("control character in a string");
            if (c != '\\') {
                out->push_back(static_cast<char>(c));
                continue;
            }
            if (at >= s.size())
                return fail("unterminated string");
            char e = s[at++];
            const char *from = "\"\\/bfnrt", *to = "\"\\/\b\f\n\r\t";
            if (const char *p = e ? strchr(from, e) : nullptr) {
                out->push_back(to[p - from]);
                continue;
            }
            if (e != 'u')
                return fail("unknown escape");
            int cp = hex4();
            if (cp < 0)
                return fail("bad \\u escape");
            if (cp >= 0xD800 && cp < 0xDC00) {
                int lo = s.compare(at, 2, "\\u") == 0 ? (at += 2, hex4()) : -1;
                if (lo < 0xDC00 || lo > 0xDFFF)
                    return fail("lone surrogate");
                cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            } else if (cp >= 0xDC00 && cp < 0xE000) {
                return fail("lone surrogate");
            }
            utf8(out, static_cast<unsigned>(cp));
        }
    }
    bool number(std::string *out) {
        size_t start = at;
        auto digits = [&] {
            size_t d = at;
            while (at < s.size() && s[at] >= '0' && s[at] <= '9')
                ++at;
            return at > d;
        };
        if (at < s.size() && s[at] == '-')
            ++at;
        if (at < s.size() && s[at] == '0')
            ++at;
        else if (!digits())
            return fail("bad number");
        if (at < s.size() && s[at] == '.' && (++at, !digits()))
            return fail("bad number");
        if (at < s.size() && (s[at] == 'e' || s[at] == 'E')) {
            ++at;
            if (at < s.size() && (s[at] == '+' || s[at] == '-'))
                ++at;
            if (!digits())
                return fail("bad number");
        }
        out->assign(s, start, at - start);
        return true;
    }
    bool value(json_value *v, int depth) {
        if (depth > JSON_DEPTH_MAX)
            return fail("nested too deeply");
        blanks();
        if (at >= s.size())
            return fail("a value was expected");
        char c = s[at];
        if (c == '{') {
            v->kind = json_value::OBJECT;
            ++at;
            if (eat('}'))
                return true;
            do {
                std::string name;
                if (!string(&name))
                    return false;
                if (v->member(name.c_str()))
                    return fail("duplicate member name");
                if (!eat(':'))
                    return fail("':' was expected");
                v->members.emplace_back(std::move(name), json_value());
                if (!value(&v->members.back().second, depth + 1))
                    return false;
            } while (eat(','));
            return eat('}') || fail("'}' was expected");
        }
        if (c == '[') {
            v->kind = json_value::ARRAY;
            ++at;
            if (eat(']'))
                return true;
            do {
                v->items.emplace_back();
                if (!value(&v->items.back(), depth + 1))
                    return false;
            } while (eat(','));
            return eat(']') || fail("']' was expected");
        }
        if (c == '"') {
            v->kind = json_value::STRING;
            return string(&v->text);
        }
        if (c == 't' || c == 'f') {
            v->kind = json_value::BOOL;
            v->boolean = c == 't';
            return word(c == 't' ? "true" : "false");
        }
        if (c == 'n') {
            v->kind = json_value::NUL;
            return word("null");
        }
        if (c != '-' && (c < '0' || c > '9'))
            return fail("a value was expected");
        v->kind = json_value::NUMBER;
        return number(&v->text);
    }
};

} // namespace

bool json_parse(const std::string &text, json_value *out, std::string *error) {
    reader r{text, 0, std::string()};
    *out = json_value();
    bool ok = r.value(out, 0);
    r.blanks();
    if (ok && r.at != text.size())
        ok = r.fail("text after the document");
    if (!ok)
        *error = r.error;
    return ok;
}

std::string json_quote(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            if (c < 0x20) {
                char buf[8];
                snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out.push_back(static_cast<char>(c));
            }
        }
    }
    return out + "\"";
}
