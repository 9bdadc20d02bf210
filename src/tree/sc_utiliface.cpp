#include "sc_utiliface.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "sc_debug.h"
#include "sc_memiface.h"
#include "sc_types.h"
#include "utility.h"

namespace {

bool is_trim_char(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Two result buffers used in turn, so that a caller can hold the previous
// result while asking for the next one.
struct StaticBuffers {
    char buf[2][SC_UTIL_STATIC_BUF_SIZE];
    int next = 0;
    // Copies `s` into the next buffer; null when it does not fit.
    char *put(const std::string &s) {
        if (s.size() >= SC_UTIL_STATIC_BUF_SIZE) {
            SC_FAIL("sc_util: result of %zu characters does not fit\n", s.size());
            return nullptr;
        }
        char *out = buf[next];
        next ^= 1;
        memcpy(out, s.c_str(), s.size() + 1);
        return out;
    }
};

StaticBuffers replace_bufs;
StaticBuffers replace_index_bufs;

// `s` with its first `orig` replaced by `repl`; false when `orig` is absent.
bool replace_first(std::string &s, const std::string &orig, const std::string &repl) {
    size_t at = s.find(orig);
    if (orig.empty() || at == std::string::npos)
        return false;
    s.replace(at, orig.size(), repl);
    return true;
}

} // namespace

char *sc_util_trim(char *s) {
    if (!s) {
        SC_BUG();
        return nullptr;
    }
    size_t len = strlen(s);
    size_t start = 0;
    while (start < len && is_trim_char(s[start]))
        ++start;
    while (len > start && is_trim_char(s[len - 1]))
        --len;
    memmove(s, s + start, len - start);
    s[len - start] = '\0';
    return s;
}

std::string sc_util_trimmed(const std::string &s) {
    size_t b = 0, e = s.size();
    while (b < e && is_trim_char(s[b]))
        ++b;
    while (e > b && is_trim_char(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

char *sc_util_replace(char *st, const char *orig, const char *repl) {
    if (!st || !orig || !repl)
        return nullptr;
    const char *at = orig[0] ? strstr(st, orig) : nullptr;
    if (!at)
        return st;
    std::string out(st, static_cast<size_t>(at - st));
    out += repl;
    out += at + strlen(orig);
    return replace_bufs.put(out);
}

char *sc_util_replace_all(const char *string, const char *substr, const char *replacement) {
    if (!string)
        return nullptr;
    if (!substr || !substr[0] || !replacement)
        return sc_util_strdup(string);
    std::string out;
    size_t sublen = strlen(substr);
    const char *p = string;
    for (const char *at; (at = strstr(p, substr)) != nullptr; p = at + sublen) {
        out.append(p, static_cast<size_t>(at - p));
        out += replacement;
    }
    out += p;
    return sc_util_strdup(out.c_str());
}

int sc_util_strtok_str(const char *string, const char *substr) {
    if (!string || !substr || !substr[0])
        return -1;
    int count = 0;
    for (const char *at = strstr(string, substr); at; at = strstr(at + 1, substr))
        ++count;
    return count;
}

char *sc_util_strncpy(char *dst, const char *src, size_t n) {
    dst[n] = '\0';
    return strncpy(dst, src, n);
}

int sc_util_strnicmp(const char *a, const char *b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        auto ca = static_cast<unsigned char>(ascii_upper(a[i]));
        auto cb = static_cast<unsigned char>(ascii_upper(b[i]));
        if (ca != cb)
            return ca < cb ? -1 : 1;
        if (ca == '\0')
            break;
    }
    return 0;
}

int sc_util_stricmp(const char *a, const char *b) { return sc_util_strnicmp(a, b, SIZE_MAX); }

int sc_util_atoi(const char *str) { return util_atoi(str); }

char *sc_util_itoa(int n, char *str) {
    snprintf(str, SC_UTIL_NUM_BUF_SIZE, "%d", n);
    return str;
}

char *sc_util_utoa(unsigned int n, char *str) {
    snprintf(str, SC_UTIL_NUM_BUF_SIZE, "%u", n);
    return str;
}

char *sc_util_previous_directory(char *str) {
    if (!str || !str[0])
        return str;
    char *slash = strrchr(str, '/');
    if (slash)
        *slash = '\0';
    else
        str[1] = '\0';
    return str;
}

char *sc_util_previous_inst(char *str) {
    if (!str || !str[0])
        return str;
    char *last = nullptr;
    for (char *at = strstr(str, "-1"); at; at = strstr(at + 1, "-1"))
        last = at;
    if (last)
        last[2] = '\0';
    else
        str[1] = '\0';
    return str;
}

char *sc_util_strdup(const char *string) {
    if (!string)
        return nullptr;
    size_t len = strlen(string) + 1;
    auto *copy = static_cast<char *>(SC_MALLOC(len));
    if (copy)
        memcpy(copy, string, len);
    return copy;
}

char *sc_util_replaceIndex(const char *st, struct list *replace_list) {
    if (!st)
        return nullptr;
    std::string out(st);
    if (replace_list) {
        int k = 1;
        // Entries are added at the front, so the outermost level is last.
        for (struct list *pos = replace_list->prev; pos != replace_list; pos = pos->prev, ++k) {
            const char *text = list_entry(pos, ReplaceType, chain)->value;
            if (!text)
                text = "";
            // Built by appending: GCC 12 warns falsely about "$" + string at -O2.
            std::string number = std::to_string(k);
            replace_first(out, std::string("$").append(number), text);
            if (out.find('#') != std::string::npos)
                replace_first(out, std::string("#").append(number),
                              std::to_string(static_cast<int64_t>(sc_util_atoi(text)) - 1));
        }
    }
    return replace_index_bufs.put(out);
}

void *sc_util_memset(void *s, int c, size_t n) { return memset(s, c, n); }
void *sc_util_memcpy(void *dst, const void *src, size_t n) { return memcpy(dst, src, n); }
void *sc_util_memmove(void *dst, const void *src, size_t n) { return memmove(dst, src, n); }
int sc_util_memcmp(const void *a, const void *b, size_t n) { return memcmp(a, b, n); }
size_t sc_util_strlen(const char *s) { return strlen(s); }
char *sc_util_strcpy(char *dst, const char *src) { return strcpy(dst, src); }
int sc_util_strcmp(const char *a, const char *b) { return strcmp(a, b); }
int sc_util_strncmp(const char *a, const char *b, size_t n) { return strncmp(a, b, n); }
char *sc_util_strcat(char *dst, const char *src) { return strcat(dst, src); }
char *sc_util_strncat(char *dst, const char *src, size_t n) { return strncat(dst, src, n); }
char *sc_util_strchr(const char *s, int c) { return const_cast<char *>(strchr(s, c)); }
char *sc_util_strrchr(const char *s, int c) { return const_cast<char *>(strrchr(s, c)); }
char *sc_util_strstr(const char *haystack, const char *needle) { return const_cast<char *>(strstr(haystack, needle)); }
int sc_util_toupper(int c) { return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c; }
int sc_util_isspace(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
int sc_util_isdigit(int c) { return c >= '0' && c <= '9'; }

char *sc_util_stristr(const char *str1, const char *str2) {
    if (!str1 || !str2 || !str1[0])
        return nullptr;
    size_t n = strlen(str2);
    for (const char *p = str1; *p; ++p) {
        if (sc_util_strnicmp(p, str2, n) == 0)
            return const_cast<char *>(p);
    }
    return n == 0 ? const_cast<char *>(str1) : nullptr;
}

int sc_util_atob(int *n, const char *str) {
    if (!n) {
        SC_FAIL("sc_util_atob: n is NULL\n");
        return -1;
    }
    if (!str) {
        SC_FAIL("sc_util_atob: str is NULL\n");
        return -2;
    }
    static const char *const truths[] = {"true", "1", "yes", "on", "positive"};
    *n = 0;
    for (const char *t : truths) {
        if (sc_util_stricmp(str, t) == 0)
            *n = 1;
    }
    return 0;
}

int sc_util_btoa(int n, char *str) {
    if (!str) {
        SC_FAIL("sc_util_btoa: str is NULL\n");
        return -1;
    }
    strcpy(str, n ? "true" : "false");
    return 0;
}

int sc_util_xatoi(const char *hex_str) {
    if (!hex_str)
        return 0;
    while (sc_util_isspace(static_cast<unsigned char>(*hex_str)))
        ++hex_str;
    uint32_t value = 0;
    for (; isxdigit(static_cast<unsigned char>(*hex_str)); ++hex_str)
        value = (value << 4) | sc_util_CharToNibble(*hex_str);
    return static_cast<int>(value);
}

char *sc_util_uitoxa(unsigned int intval, char *hex_str) {
    snprintf(hex_str, 9, "%X", intval);
    return hex_str;
}

char *sc_hex_to_ascii(u_8 hex_value, char *dest) {
    static const char digits[] = "0123456789ABCDEF";
    dest[0] = digits[hex_value >> 4];
    dest[1] = digits[hex_value & 0x0f];
    dest[2] = '\0';
    return dest + 2;
}

u_8 sc_util_CharToNibble(char c) {
    if (c >= '0' && c <= '9')
        return static_cast<u_8>(c - '0');
    if (c >= 'a' && c <= 'f')
        return static_cast<u_8>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F')
        return static_cast<u_8>(c - 'A' + 10);
    return 15;
}

int sc_util_file_exists(const char *filename) {
    if (!filename)
        return 0;
    FILE *f = fopen(filename, "r");
    if (!f)
        return 0;
    fclose(f);
    return 1;
}
