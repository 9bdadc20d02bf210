#include "sc_tree_key.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sc_debug.h"
#include "sc_memiface.h"
#include "sc_tree.h"
#include "sc_tree_write.h"
#include "sc_utiliface.h"
#include "tarvid_store.h"

sc_set_notify_fn sc_setNotify_hook = nullptr;
sc_config_get_fn sc_config_get_hook = nullptr;

namespace {

const char *node_uri(const SCTreeNode *node) { return node->data->uri ? node->data->uri : "(null)"; }

// Stages in the order written: list_add puts each new stage at the front.
std::vector<const SplitType *> stages_of(const TarviKeyType *key) {
    std::vector<const SplitType *> out;
    auto *head = const_cast<struct list *>(&key->split);
    for (struct list *pos = head->prev; pos != head; pos = pos->prev)
        out.push_back(list_entry(pos, SplitType, chain));
    return out;
}

// A flat value prepared for splitting: every real blank is a marker byte, and
// every delimiter of every stage carries one padding space on each side, so
// that each field, even an empty one, is at least one character long.
struct Padded {
    std::string text;
    char marker = SC_SPACE_MARKER;

    char delim(const SplitType *s) const { return s->delimiter == ' ' ? marker : s->delimiter; }
};

// Picks a marker byte that occurs neither in the flat value, nor in the text
// to insert, nor among the delimiters, and is no blank: the customary byte
// when possible. False when every byte is taken.
bool choose_marker(Padded &p, const std::string &flat, const char *insert, const std::vector<const SplitType *> &st) {
    bool used[256] = {};
    for (char c : flat)
        used[static_cast<unsigned char>(c)] = true;
    for (const char *q = insert; q && *q; ++q)
        used[static_cast<unsigned char>(*q)] = true;
    for (const SplitType *s : st)
        used[static_cast<unsigned char>(s->delimiter)] = true;
    for (char c : {' ', '\t', '\r', '\n', '\0'})
        used[static_cast<unsigned char>(c)] = true;
    if (!used[static_cast<unsigned char>(SC_SPACE_MARKER)]) {
        p.marker = SC_SPACE_MARKER;
        return true;
    }
    for (int c = 0xff; c > 0; --c) {
        if (!used[c]) {
            p.marker = static_cast<char>(c);
            return true;
        }
    }
    return false;
}

bool pad(Padded &p, const std::string &flat, const char *insert, const std::vector<const SplitType *> &st,
         const char *key) {
    if (flat.size() > SC_KEY_VALUE_MAX_LEN) {
        SC_FAIL("value of key %s is too long (%zu bytes)\n", key, flat.size());
        return false;
    }
    if (!choose_marker(p, flat, insert, st)) {
        SC_FAIL("value of key %s leaves no byte to mark blanks\n", key);
        return false;
    }
    p.text = flat;
    for (char &c : p.text) {
        if (c == ' ')
            c = p.marker;
    }
    for (const SplitType *s : st) {
        char d = p.delim(s);
        std::string out;
        for (char c : p.text) {
            if (c == d) {
                out += ' ';
                out += d;
                out += ' ';
            } else {
                out += c;
            }
        }
        p.text.swap(out);
    }
    return true;
}

struct Field {
    bool present = false;
    size_t off = 0;
    size_t len = 0;
};

// Fields of `f` separated by `d`, empty pieces skipped (after padding only an
// empty text has none).
std::vector<Field> split_field(const std::string &text, const Field &f, char d) {
    std::vector<Field> out;
    size_t start = f.off;
    size_t end = f.off + f.len;
    for (size_t i = f.off; i <= end; ++i) {
        if (i == end || text[i] == d) {
            if (i > start)
                out.push_back(Field{true, start, i - start});
            start = i + 1;
        }
    }
    return out;
}

void replace_every(std::string &s, const std::string &from, const std::string &to) {
    std::string out;
    size_t p = 0;
    for (size_t at; (at = s.find(from, p)) != std::string::npos; p = at + from.size()) {
        out.append(s, p, at - p);
        out += to;
    }
    out.append(s, p, std::string::npos);
    s.swap(out);
}

void unmark(std::string &s, char marker) {
    for (char &c : s) {
        if (c == marker)
            c = ' ';
    }
}

// Removes the padding around the delimiters of every stage.
void collapse(std::string &s, const Padded &p, const std::vector<const SplitType *> &st) {
    for (const SplitType *stage : st) {
        std::string d(1, p.delim(stage));
        replace_every(s, d + " ", d);
        replace_every(s, " " + d, d);
    }
}

// The flat value of a key: 0 with *out set (found false when it has none),
// -1 when the store cannot be read.
int read_flat(const char *key, std::string &out, bool &found) {
    char *raw = nullptr;
    if (config_sc_tarvi_get(key, &raw) < 0)
        return -1;
    found = raw != nullptr;
    if (raw) {
        out = raw;
        free(raw);
    }
    return 0;
}

int write_flat(const char *key, const std::string &value) {
    if (value.size() > SC_KEY_VALUE_MAX_LEN) {
        SC_FAIL("new value of key %s is too long (%zu bytes)\n", key, value.size());
        return -1;
    }
    return config_sc_tarvi_set(key, value.c_str()) < 0 ? -1 : 0;
}

// Placeholder texts: "$N" (N 1 to 20) is stored as -N, "#N" (N 1 to 19) as
// -20-N. Larger N would collide with the other kind and are refused.
struct Placeholder {
    char mark;
    int max;
    int base;
    const char *missing;
};
const Placeholder placeholders[] = {
    {'$', 20, 0, "[sc_parseDataKey]No index for $()\n"},
    {'#', 19, 20, "[sc_parseDataKey]No index for #()\n"},
};

int parse_index(const std::string &text, s_16 *index) {
    for (const Placeholder &ph : placeholders) {
        if (text.empty() || text[0] != ph.mark)
            continue;
        std::string digits = text.substr(1);
        if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) {
            SC_FAIL("%s", ph.missing);
            return -1;
        }
        int n = atoi(digits.c_str());
        if (n < 1 || n > ph.max)
            return -1;
        *index = static_cast<s_16>(-ph.base - n);
        return 0;
    }
    int n = sc_util_atoi(text.c_str());
    // Zero is no field; negative numbers would read as placeholders.
    if (n < 0 || n > INT16_MAX)
        return -1;
    *index = static_cast<s_16>(n);
    return 0;
}

} // namespace

int sc_parseDataKey(const char *String, TarviKeyType **RetKey) {
    SC_FUNC_TRACE();
    if (!String || !RetKey)
        return -1;
    SC_TRACE("[sc_parseDataKey]String=%s\n", String);
    std::vector<std::string> tokens;
    std::string cur;
    for (const char *p = String;; ++p) {
        if (*p == '\0' || strchr("(){}", *p)) {
            if (!cur.empty())
                tokens.push_back(cur);
            cur.clear();
            if (*p == '\0')
                break;
        } else {
            cur += *p;
        }
    }
    if (tokens.empty()) {
        SC_TRACE("[sc_parseDataKey]No Tarvi Key\n");
        return 0;
    }
    if (tokens.size() < 2) {
        SC_FAIL("[sc_parseDataKey]No Tarvi Key inside k()\n");
        return -1;
    }
    std::string key = sc_util_trimmed(tokens[1]);
    if (!key.empty() && key[0] == ';')
        key.clear();
    struct Stage {
        char delimiter;
        s_16 index;
    };
    std::vector<Stage> stages;
    for (size_t i = 2; i < tokens.size(); i += 3) {
        if (sc_util_trimmed(tokens[i]) != "split") {
            SC_FAIL("[sc_parseDataKey] No split\n");
            return -1;
        }
        if (i + 1 >= tokens.size()) {
            SC_FAIL("[sc_parseDataKey]No Split content()\n");
            return -1;
        }
        if (i + 2 >= tokens.size()) {
            SC_FAIL("[sc_parseDataKey]No index content()\n");
            return -1;
        }
        Stage s{tokens[i + 1][0], 0};
        if (parse_index(sc_util_trimmed(tokens[i + 2]), &s.index) != 0 || s.delimiter == '\0' || s.index == 0) {
            SC_FAIL("[sc_parseDataKey] BUG, it should not reach here\n");
            return -1;
        }
        if (stages.size() == SC_KEY_MAX_SPLITS) {
            SC_FAIL("[sc_parseDataKey] more than %d splits\n", SC_KEY_MAX_SPLITS);
            return -1;
        }
        stages.push_back(s);
    }
    SC_TRACE("[sc_parseDataKey] split %zu times\n", stages.size());
    auto *rec = static_cast<TarviKeyType *>(SC_ZALLOC(sizeof(TarviKeyType)));
    if (!rec) {
        SC_FAIL("[sc_parseDataKey]Allocate Memory Fail\n");
        return -1;
    }
    list_init(&rec->split);
    rec->key = sc_util_strdup(key.c_str());
    if (!rec->key) {
        SC_FAIL("[sc_parseDataKey]Allocate Memory Fail\n");
        sc_freeTarviKey(rec);
        return -1;
    }
    int n = 0;
    for (const Stage &s : stages) {
        auto *split = static_cast<SplitType *>(SC_ZALLOC(sizeof(SplitType)));
        if (!split) {
            SC_FAIL("[sc_parseDataKey] Allocate Memory Fail\n");
            sc_freeTarviKey(rec);
            return -1;
        }
        split->delimiter = s.delimiter;
        split->index = s.index;
        list_add(&split->chain, &rec->split);
        SC_TRACE("[sc_parseDataKey] split %d: split=%c,index=%d \n", ++n, s.delimiter, s.index);
    }
    *RetKey = rec;
    return 0;
}

namespace {

// A stage without a field number of its own (an unresolved placeholder of a
// template, or an instance name that numbers no field) would read and write
// the field of another instance: such a binding reaches no flat key.
bool numbered(const std::vector<const SplitType *> &st) {
    for (const SplitType *s : st) {
        if (s->index < 1)
            return false;
    }
    return true;
}

int get_field(const TarviKeyType *TarviKey, const std::vector<const SplitType *> &st, char **value) {
    *value = nullptr;
    if (!TarviKey || !TarviKey->key)
        return -1;
    if (!numbered(st))
        return 0;
    std::string flat;
    bool found = false;
    if (read_flat(TarviKey->key, flat, found) != 0)
        return -1;
    if (!found) {
        SC_FAIL("no such value for key %s\n", TarviKey->key);
        return -1;
    }
    Padded p;
    if (!pad(p, flat, nullptr, st, TarviKey->key))
        return -1;
    Field cur{true, 0, p.text.size()};
    for (const SplitType *s : st) {
        std::vector<Field> fields = split_field(p.text, cur, p.delim(s));
        size_t n = static_cast<size_t>(s->index);
        if (n > fields.size())
            return 0; // absent: *value stays null
        cur = fields[n - 1];
        SC_TRACE("One Split: %s\n", p.text.substr(cur.off, cur.len).c_str());
    }
    std::string out = p.text.substr(cur.off, cur.len);
    SC_TRACE("Get String %s\n", out.c_str());
    out = sc_util_trimmed(out);
    unmark(out, p.marker);
    *value = sc_util_strdup(out.c_str());
    return *value ? 0 : -1;
}

int set_field(const TarviKeyType *TarviKey, const std::vector<const SplitType *> &st, const char *value) {
    if (!TarviKey || !TarviKey->key || !value)
        return -1;
    if (!numbered(st)) {
        SC_FAIL("binding of key %s numbers no field here, not written\n", TarviKey->key);
        return -1;
    }
    const char *key = TarviKey->key;
    std::string flat;
    bool found = false;
    if (read_flat(key, flat, found) != 0)
        return -1;
    if (!found) {
        std::string fresh;
        for (const SplitType *s : st)
            fresh.append(static_cast<size_t>(s->index) - 1, s->delimiter);
        fresh += value;
        if (write_flat(key, fresh) != 0) {
            SC_FAIL("no such value for key %s, result=%s\n", key, fresh.c_str());
            return -1;
        }
        return 0;
    }
    Padded p;
    if (!pad(p, flat, value, st, key))
        return -1;
    // The value's own blanks are marked like the flat value's: left as
    // blanks, those at its ends would be taken for padding and removed.
    std::string marked = value;
    for (char &c : marked) {
        if (c == ' ')
            c = p.marker;
    }
    Field cur{true, 0, p.text.size()};
    Field prev;
    std::string prefix;
    for (const SplitType *s : st) {
        char d = p.delim(s);
        size_t n = static_cast<size_t>(s->index);
        if (!cur.present) {
            prefix.append(n - 1, d);
            continue;
        }
        std::vector<Field> fields = split_field(p.text, cur, d);
        if (fields.empty()) {
            cur.present = false;
            prefix.append(n - 1, d);
        } else if (fields.size() < n) {
            prev = fields.back();
            cur.present = false;
            prefix.append(n - fields.size(), d);
        } else {
            cur = fields[n - 1];
            if (n >= 2)
                prev = fields[n - 2];
            SC_TRACE("One Split: %s\n", p.text.substr(cur.off, cur.len).c_str());
        }
    }
    std::string out;
    if (cur.present) {
        SC_TRACE("Get String #%s#\n", p.text.substr(cur.off, cur.len).c_str());
        SC_TRACE("[QV] 5 #%s#offset=%zu, pos_len%zu\n", prefix.c_str(), cur.off, cur.len);
        if (cur.off > 0)
            out.assign(p.text, 0, cur.off + 1);
        out += marked;
        SC_TRACE("[QV] 5.1 #%s#\n", out.c_str());
        std::string rest = p.text.substr(cur.off + cur.len);
        SC_TRACE("[QV] 5.2 #%s#\n", rest.c_str());
        out += rest;
        collapse(out, p, st);
        SC_TRACE("[QV] 6 #%s#\n", out.c_str());
        out = sc_util_trimmed(out);
        SC_TRACE("[QV] 6 #%s#\n", out.c_str());
    } else if (prev.present) {
        size_t e = prev.off + prev.len;
        SC_TRACE("[QV] 3 #%s#%zu#\n", prefix.c_str(), e - 1);
        out.assign(p.text, 0, e);
        out += prefix;
        out += marked;
        SC_TRACE("[QV] 3.1 #%s#\n", out.c_str());
        out.append(p.text, e, std::string::npos);
        collapse(out, p, st);
        SC_TRACE("[QV] 4 #%s#\n", out.c_str());
    } else {
        out = prefix + marked;
    }
    // Delimiters of a blank-separated stage were markers too.
    unmark(out, p.marker);
    return write_flat(key, out);
}

} // namespace

int sc_getStringFromTarviKeyForce(const TarviKeyType *TarviKey, char **value) {
    SC_FUNC_TRACE();
    *value = nullptr;
    return TarviKey ? get_field(TarviKey, stages_of(TarviKey), value) : -1;
}

int sc_setStringToTarviKey(const TarviKeyType *TarviKey, const char *value) {
    SC_FUNC_TRACE();
    return TarviKey ? set_field(TarviKey, stages_of(TarviKey), value) : -1;
}

int sc_clearTarviKeyField(const TarviKeyType *TarviKey, size_t stages) {
    if (!TarviKey)
        return -1;
    std::vector<const SplitType *> st = stages_of(TarviKey);
    st.resize(std::min(stages, st.size()));
    char *current = nullptr;
    int rc = get_field(TarviKey, st, &current);
    bool empty = !current || !*current;
    SC_FREE(current);
    if (rc != 0 || empty)
        return rc;
    return set_field(TarviKey, st, "");
}

int sc_getStringFromNodeForce(SCTreeNode *node, char **value) {
    SC_FUNC_TRACE();
    if (!node || !node->data || !value) {
        SC_BUG();
        return -1;
    }
    SCDataType *data = node->data;
    if (data->dtype & SC_DTYPE_VALUE) {
        if (!data->value) {
            SC_FAIL("%s: value pointer is NULL\n", node_uri(node));
            return -1;
        }
        *value = sc_util_strdup(data->value);
        return *value ? 0 : -1;
    }
    if (data->dtype & SC_DTYPE_KEY) {
        if (!data->TarviKey) {
            SC_FAIL("%s: TarviKey pointer is NULL\n", node_uri(node));
            return -1;
        }
        sc_getStringFromTarviKeyForce(data->TarviKey, value);
        return 0;
    }
    if (data->dtype & SC_DTYPE_REF) {
        if (!data->value) {
            SC_FAIL("%s: refernence pointer is NULL\n", node_uri(node));
            return -1;
        }
        if (strchr(data->value, '.'))
            sc_transCWMPtoSYS(data->value);
        *value = nullptr;
        if (!sc_config_get_hook || sc_config_get_hook(data->value, value) != 0 || !*value)
            SC_FAIL("%s: refernence URI %s config_sc_get fail\n", node_uri(node), data->value);
        return 0;
    }
    SC_FAIL("%s: The string node is not value/key/ref!\n", node_uri(node));
    return 0;
}

bool sc_isStorableValue(const char *value) { return strpbrk(value, ")\r\n") == nullptr; }

bool sc_isReservedValue(const char *value) {
    return strcmp(value, "SC_NULL") == 0 || strcmp(value, "QV_NULL") == 0 || strstr(value, "<QV_TOKEN>") ||
           strstr(value, "<QV_SPACE>");
}

namespace {

// A field value that the field would not give back: tabs and line ends at
// its ends are trimmed away when it is read, and a delimiter of its binding
// would split it into fields of their own, moving the fields after it.
bool keyed_value_fits(const TarviKeyType *key, const char *value) {
    size_t len = strlen(value);
    if (len && (strchr("\t\r\n", value[0]) || strchr("\t\r\n", value[len - 1])))
        return false;
    for (const SplitType *s : stages_of(key)) {
        if (strchr(value, s->delimiter))
            return false;
    }
    return true;
}

} // namespace

int sc_setStringFromNodeForce(SCTreeNode *node, const char *value) {
    SC_FUNC_TRACE();
    if (!node || !node->data || !value) {
        SC_BUG();
        return -1;
    }
    SCDataType *data = node->data;
    size_t len = strlen(value);
    if (len > SC_NODE_VALUE_MAX_LEN) {
        SC_FAIL("%s: value length %zu is too long\n", node_uri(node), len);
        return -1;
    }
    if (sc_isReservedValue(value)) {
        SC_FAIL("%s: value %s is a word of the tree's own files and requests\n", node_uri(node), value);
        return -1;
    }
    if (data->dtype & SC_DTYPE_VALUE) {
        if (data->value && strcmp(data->value, value) == 0)
            return 0;
        // Refused rather than lost: the tree file would give back another
        // value after the next restart.
        if (!sc_isStorableValue(value) || !sc_nodeLineFits(node, value)) {
            SC_FAIL("%s: value can not be stored in a tree file\n", node_uri(node));
            return -1;
        }
        char *copy = sc_util_strdup(value);
        if (!copy)
            return -1;
        if (!data->value)
            SC_TRACE("%s: value pointer is NULL, but now we allocate new string for her\n", node_uri(node));
        sc_setNodeDirty(node);
        if (data->value && data->Notify && sc_setNotify_hook)
            sc_setNotify_hook(node, value);
        SC_FREE(data->value);
        data->value = copy;
        return 0;
    }
    if (data->dtype & SC_DTYPE_KEY) {
        if (!data->TarviKey) {
            SC_FAIL("%s: TarviKey pointer is NULL\n", node_uri(node));
            return -1;
        }
        char *current = nullptr;
        sc_getStringFromTarviKeyForce(data->TarviKey, &current);
        bool same = current && strcmp(current, value) == 0;
        SC_FREE(current);
        if (same)
            return 0;
        if (!keyed_value_fits(data->TarviKey, value)) {
            SC_FAIL("%s: value %s would not come back from its field\n", node_uri(node), value);
            return -1;
        }
        // The flat store persists the value: the node itself stays clean.
        if (sc_setStringToTarviKey(data->TarviKey, value) != 0)
            return -1;
        if (data->Notify && sc_setNotify_hook)
            sc_setNotify_hook(node, value);
        return 0;
    }
    // A reference is written through the node it names; any other node
    // holds no value that a write could keep.
    SC_FAIL("%s: the node holds no value of its own\n", node_uri(node));
    return -1;
}
