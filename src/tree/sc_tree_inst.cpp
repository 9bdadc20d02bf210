#include "sc_tree_inst.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "sc_debug.h"
#include "sc_memiface.h"
#include "sc_tree.h"
#include "sc_tree_key.h"
#include "sc_utiliface.h"
#include "tarvid_store.h"

namespace {

const char SERIAL_SUFFIX[] = "@@@serial";

// Entry texts of a replace list, outermost level first.
std::vector<const char *> entries_of(struct list *head) {
    std::vector<const char *> out;
    if (!head)
        return out;
    for (struct list *pos = head->prev; pos != head; pos = pos->prev) {
        const char *v = list_entry(pos, ReplaceType, chain)->value;
        out.push_back(v ? v : "");
    }
    return out;
}

// The URI of the copy of template URI `src`: its "-1" components replaced,
// first to last, by the entries.
std::string instance_uri(const char *src, const std::vector<const char *> &entries) {
    std::string uri = src;
    size_t from = 0;
    for (const char *e : entries) {
        size_t at = uri.find("-1", from);
        if (at == std::string::npos)
            break;
        uri.replace(at, 2, e);
        from = at + strlen(e);
    }
    return uri;
}

bool is_number(const char *s) {
    if (!*s)
        return false;
    for (; *s; ++s) {
        if (*s < '0' || *s > '9')
            return false;
    }
    return true;
}

// A decimal number as the instance numbering writes it: no sign, no
// leading zero, at most five digits.
bool is_plain_number(const char *s) { return is_number(s) && (s[0] != '0' || !s[1]) && strlen(s) <= 5; }

// The last component of a URI.
const char *last_name(const char *uri) {
    const char *slash = strrchr(uri, '/');
    return slash ? slash + 1 : uri;
}

// `text` with placeholders filled in, as a new string; null when it does not
// fit or memory is short.
char *filled(const char *text, struct list *replace_list) {
    const char *out = sc_util_replaceIndex(text, replace_list);
    if (!out) {
        SC_FAIL("placeholders of %s do not fit\n", text);
        return nullptr;
    }
    return sc_util_strdup(out);
}

// A placeholder index resolved for the instance; other indexes as they are.
s_16 resolve_index(s_16 index, const std::vector<const char *> &entries) {
    if (index > 0)
        return index;
    int n;
    int minus;
    if (index >= -20) {
        n = -index;
        minus = 0;
    } else if (index >= -39) {
        n = -index - 20;
        minus = 1;
    } else {
        SC_BUG();
        return index;
    }
    // A level beyond the list stays a placeholder, and so does a level whose
    // instance name is no plain number: "n1" or "01" would take the field of
    // instance 0 or 1.
    if (n < 1 || static_cast<size_t>(n) > entries.size() || !is_plain_number(entries[static_cast<size_t>(n) - 1]))
        return index;
    int64_t v = static_cast<int64_t>(sc_util_atoi(entries[static_cast<size_t>(n) - 1])) - minus;
    if (v < 0 || v > INT16_MAX) {
        SC_FAIL("instance number %s does not fit a field index\n", entries[static_cast<size_t>(n) - 1]);
        return index;
    }
    return static_cast<s_16>(v);
}

TarviKeyType *copy_key(const TarviKeyType *src, struct list *replace_list, const std::vector<const char *> &entries) {
    auto *key = static_cast<TarviKeyType *>(SC_ZALLOC(sizeof(TarviKeyType)));
    if (!key) {
        SC_FAIL("TarviKeyType Struct initailzation Fail!\n");
        return nullptr;
    }
    list_init(&key->split);
    key->key = filled(src->key ? src->key : "", replace_list);
    if (!key->key) {
        SC_FAIL("TarviKeyType Struct initailzation Fail!\n");
        sc_freeTarviKey(key);
        return nullptr;
    }
    auto *head = const_cast<struct list *>(&src->split);
    for (struct list *pos = head->prev; pos != head; pos = pos->prev) {
        const SplitType *s = list_entry(pos, SplitType, chain);
        auto *split = static_cast<SplitType *>(SC_ZALLOC(sizeof(SplitType)));
        if (!split) {
            SC_FAIL("SplitType Struct initailzation Fail!\n");
            sc_freeTarviKey(key);
            return nullptr;
        }
        split->delimiter = s->delimiter;
        split->index = resolve_index(s->index, entries);
        list_add(&split->chain, &key->split);
    }
    return key;
}

// A copy of the template's notification record; the texts are shared.
NotifyType *copy_notify(const NotifyType *src) {
    auto *nt = static_cast<NotifyType *>(SC_ZALLOC(sizeof(NotifyType)));
    if (!nt)
        return nullptr;
    *nt = *src;
    return nt;
}

// Gives `node` its own copy of the template's notification and registers a
// key-bound node for changes of its key.
void attach_notify(SCTreeNode *node, const NotifyType *src) {
    SCDataType *d = node->data;
    d->Notify = copy_notify(src);
    if (d->Notify && d->TarviKey && d->TarviKey->key)
        config_notify_register(d->TarviKey->key, node);
}

// Fills a new node made from template `src` for the instance of the list.
void fill_copy(SCTreeNode *node, const SCDataType *src, SCTreeNode *parent, struct list *replace_list,
               const std::vector<const char *> &entries) {
    SCDataType *d = node->data;
    d->attr = src->attr;
    d->dtype = static_cast<u_16>(src->dtype | SC_DTYPE_TABLE_MEM);
    // References are filled in here as well: an instance completed after a
    // load gets no separate reference fix-up.
    if (src->value)
        d->value = (src->dtype & (SC_DTYPE_VALUE | SC_DTYPE_REF)) ? filled(src->value, replace_list)
                                                                  : sc_util_strdup(src->value);
    d->CBData = src->CBData;
    d->limit = sc_util_strdup(src->limit);
    d->InstNode = parent;
    if (src->TarviKey)
        d->TarviKey = copy_key(src->TarviKey, replace_list, entries);
    if (src->Notify)
        attach_notify(node, src->Notify);
}

// Links a copy into the module of `parent`, right after it, and marks it.
void join_parent_module(SCTreeNode *node, SCTreeNode *parent) {
    if (!parent->dirty) {
        SC_BUG();
        return;
    }
    list_add(&node->file, &parent->file);
    node->dirty = parent->dirty;
    sc_setNodeDirty(node);
}

// Copies template `src` to `uri` for the instance. Null when nothing was made.
SCTreeNode *make_copy(SCTreeType *tree, SCTreeNode *parent, const SCTreeNode *src, const std::string &uri,
                      struct list *replace_list, const std::vector<const char *> &entries) {
    if (sc_checkValidUri(uri.c_str()) != 0) {
        SC_FAIL("check valid uri fail!\n\r");
        return nullptr;
    }
    SCTreeNode *node = nullptr;
    if (sc_createNodeThroughURI(tree, uri.c_str(), &node) != 0 || !node) {
        SC_FAIL("sc_createNodeThroughURI Fail!\n\r");
        return nullptr;
    }
    fill_copy(node, src->data, parent, replace_list, entries);
    join_parent_module(node, parent);
    return node;
}

// Links an existing instance node to template `src`: the template's type,
// its shared callbacks and, when the node has none of its own from the
// template yet, a copy of its notification.
void link_to_template(SCTreeNode *node, const SCDataType *src, SCTreeNode *parent) {
    SCDataType *d = node->data;
    // The node keeps the form its value was declared in (an instance that a
    // profile declares may bind a key where the template holds a literal).
    const u_16 forms = SC_DTYPE_VALUE | SC_DTYPE_KEY | SC_DTYPE_REF;
    u_16 form = (d->dtype & forms) ? (d->dtype & forms) : (src->dtype & forms);
    d->dtype = static_cast<u_16>((src->dtype & ~forms) | form | SC_DTYPE_TABLE_MEM);
    if (!d->InstNode) {
        // Records of the node's own (declared for this URI) give way to the
        // template's, which instances share.
        if (d->CBData != src->CBData)
            sc_freeCBData(d->CBData);
        bool registered = d->Notify != nullptr;
        sc_freeNotify(d->Notify, true);
        d->Notify = nullptr;
        d->CBData = src->CBData;
        d->InstNode = parent;
        if (src->Notify) {
            if (registered)
                d->Notify = copy_notify(src->Notify);
            else
                attach_notify(node, src->Notify);
        } else if (registered && d->TarviKey && d->TarviKey->key) {
            config_notify_unregister(d->TarviKey->key, node);
        }
        return;
    }
    d->CBData = src->CBData;
    d->InstNode = parent;
}

// Highest instance number among the children of `table` (1 for none).
int highest_instance(const SCTreeNode *table) {
    int best = 1;
    for (const SCTreeNode *c = table->child; c; c = c->sibling) {
        if (!c->data || !c->data->uri || strstr(c->data->uri, "-1"))
            continue;
        const char *name = last_name(c->data->uri);
        int n = is_number(name) ? sc_util_atoi(name) : 0;
        if (n > best)
            best = n;
    }
    return best;
}

SCTreeNode *find(SCTreeType *tree, const char *uri) {
    SCTreeNode *parent = nullptr;
    SCTreeNode *found = nullptr;
    return sc_searchNode(tree, uri, &parent, &found) == SC_DATA_FOUND ? found : nullptr;
}

// The children of `table` but its template: the instances, whatever their
// names.
std::vector<SCTreeNode *> instances_of(const SCTreeNode *table) {
    std::vector<SCTreeNode *> out;
    for (SCTreeNode *c = table->child; c; c = c->sibling) {
        if (c->data && c->data->uri && strncmp(last_name(c->data->uri), "-1", 2) != 0)
            out.push_back(c);
    }
    return out;
}

int set_serial(SCTreeNode *serial, int number) {
    char text[SC_UTIL_NUM_BUF_SIZE];
    return sc_setStringFromNodeForce(serial, sc_util_itoa(number, text));
}

enum class Target { Bad, OtherLevel, Copy };

// Whether template node `src` is copied for the instance of the list (only
// nodes of the table level being instantiated are), and to which URI.
Target copy_target(const SCTreeNode *src, const SCTreeNode *parent, struct list *replace_list, int replace_level,
                   std::vector<const char *> *entries, std::string *uri) {
    if (!src || !src->data || !src->data->uri || !parent) {
        SC_BUG();
        return Target::Bad;
    }
    if (sc_getLevelOfNode(src) != replace_level)
        return Target::OtherLevel;
    *entries = entries_of(replace_list);
    *uri = instance_uri(src->data->uri, *entries);
    return Target::Copy;
}

} // namespace

int sc_genReplaceList(const char *o_uri, const char *n_uri, struct list *head) {
    if (!o_uri || !n_uri || !head) {
        SC_BUG();
        return -1;
    }
    std::string o = o_uri;
    for (size_t i = 0; i + 1 < o.size(); ++i) {
        if ((o[i] == '$' || o[i] == '#') && o[i + 1] >= '0' && o[i + 1] <= '9') {
            o[i] = '-';
            o[i + 1] = '1';
        }
    }
    std::string n = std::string(n_uri) + "/";
    for (size_t at = o.find("-1"); at != std::string::npos; at = o.find("-1", at + 2)) {
        size_t k = 0;
        for (size_t i = 0; i < at; ++i)
            k += o[i] == '/';
        size_t start = 0;
        for (size_t i = 0; i < k; ++i) {
            start = n.find('/', start);
            if (start == std::string::npos)
                return 0;
            ++start;
        }
        size_t end = n.find('/', start);
        if (end == std::string::npos)
            return 0;
        if (end == start) {
            SC_BUG();
            return -1;
        }
        auto *entry = static_cast<ReplaceType *>(SC_ZALLOC(sizeof(ReplaceType)));
        if (entry)
            entry->value = sc_util_strdup(n.substr(start, end - start).c_str());
        if (!entry || !entry->value) {
            SC_FAIL("ReplaceType Struct initailzation Fail!\n");
            SC_FREE(entry);
            return SC_MALLOC_FAIL;
        }
        list_add(&entry->chain, head);
    }
    return 0;
}

int sc_freeReplaceList(struct list *head) {
    list_for_each_safe(pos, head) {
        ReplaceType *entry = list_entry(pos, ReplaceType, chain);
        list_del(pos);
        SC_FREE(entry->value);
        SC_FREE(entry);
    }
    list_init(head);
    return 0;
}

size_t sc_placeholderStages(const TarviKeyType *key) {
    size_t count = 0, i = 0;
    auto *head = const_cast<struct list *>(&key->split);
    for (struct list *pos = head->prev; pos != head; pos = pos->prev) {
        ++i;
        if (list_entry(pos, SplitType, chain)->index < 0)
            count = i;
    }
    return count;
}

bool sc_instanceNumbersFields(SCTreeNode *tmpl, struct list *replace_list) {
    std::vector<const char *> entries = entries_of(replace_list);
    return sc_eachNode(tmpl, [&](SCTreeNode *n) {
        if (!n->data || !n->data->TarviKey || sc_getLevelOfNode(n) != static_cast<int>(entries.size()))
            return true;
        auto *head = &n->data->TarviKey->split;
        for (struct list *pos = head->prev; pos != head; pos = pos->prev) {
            if (resolve_index(list_entry(pos, SplitType, chain)->index, entries) < 1)
                return false;
        }
        return true;
    });
}

int sc_addNodeFromNode(SCTreeType *tree, SCTreeNode *parent, SCTreeNode *srcNode, struct list *replace_list,
                       int replace_level) {
    std::vector<const char *> entries;
    std::string uri;
    if (copy_target(srcNode, parent, replace_list, replace_level, &entries, &uri) != Target::Copy)
        return -1;
    return make_copy(tree, parent, srcNode, uri, replace_list, entries) ? 0 : -1;
}

int sc_modifyRef(SCTreeNode *node, struct list *replace_list) {
    if (!node || !node->data) {
        SC_BUG();
        return 0;
    }
    SCDataType *d = node->data;
    if (!(d->dtype & SC_DTYPE_REF) || !d->value)
        return 0;
    if (char *copy = filled(d->value, replace_list)) {
        SC_FREE(d->value);
        d->value = copy;
    }
    return 0;
}

int sc_syncNodeFromNode(SCTreeType *tree, SCTreeNode *parent, SCTreeNode *srcNode, struct list *replace_list,
                        int replace_level) {
    std::vector<const char *> entries;
    std::string uri;
    Target target = copy_target(srcNode, parent, replace_list, replace_level, &entries, &uri);
    if (target != Target::Copy)
        return target == Target::Bad ? -1 : 0;
    SC_TRACE(" new_uri=%s\n\r", uri.c_str());
    if (sc_checkValidUri(uri.c_str()) != 0) {
        SC_FAIL("check valid uri fail!\n\r");
        return -1;
    }
    SCTreeNode *found = nullptr;
    SCTreeNode *where = nullptr;
    int ret = sc_searchNode(tree, uri.c_str(), &where, &found);
    if (ret == SC_DATA_FOUND) {
        link_to_template(found, srcNode->data, parent);
    } else if (ret == SC_DATA_NOT_FOUND) {
        found = make_copy(tree, parent, srcNode, uri, replace_list, entries);
        if (!found)
            return -1;
    } else {
        SC_BUG();
        return -1;
    }
    // The serial node of a nested table: complete that table of this
    // instance and recount it.
    size_t slen = sizeof SERIAL_SUFFIX - 1;
    if (uri.size() > slen && uri.compare(uri.size() - slen, slen, SERIAL_SUFFIX) == 0) {
        std::string table = uri.substr(0, uri.size() - slen);
        std::string src = srcNode->data->uri;
        std::string tmpl = src.substr(0, src.size() - slen) + "/-1";
        sc_reprocess_serail(tree, table.c_str(), found);
        sc_reprocess_inst_uri(tree, tmpl.c_str(), table.c_str());
    }
    return 0;
}

int sc_reprocess_inst(SCTreeType *tree, SCTreeNode *old, SCTreeNode *newNode) {
    if (!old || !old->data || !newNode || !newNode->data || !old->parent) {
        SC_BUG();
        return -1;
    }
    struct list head;
    list_init(&head);
    int ret = sc_genReplaceList(old->data->uri, newNode->data->uri, &head);
    if (ret == 0)
        sc_preTraverseTreeAddInst(tree, old->parent, &head, old, sc_syncNodeFromNode);
    sc_freeReplaceList(&head);
    return ret == 0 ? 0 : -1;
}

int sc_reprocess_inst_uri(SCTreeType *tree, const char *oldUri, const char *newUri) {
    SCTreeNode *old = find(tree, oldUri);
    SCTreeNode *table = old ? find(tree, newUri) : nullptr;
    if (!table) {
        SC_FAIL("%s:%d  uri %s not found\n\r", __func__, __LINE__, old ? newUri : oldUri);
        return -1;
    }
    // Every instance of the nested table is completed, not only the first.
    for (SCTreeNode *inst : instances_of(table))
        sc_reprocess_inst(tree, old, inst);
    return 0;
}

int sc_reprocess_serail(SCTreeType *tree, const char *inst, SCTreeNode *node) {
    SCTreeNode *table = find(tree, inst);
    if (!table) {
        SC_FAIL("%s:%d inst %s not found!\n\r", __func__, __LINE__, inst);
        return -1;
    }
    return set_serial(node, highest_instance(table)) == 0 ? 0 : -1;
}

int sc_reprocess_inst_first_layer(SCTreeType *tree, SCTreeNode *ori, SCTreeNode *inst) {
    if (!ori || !ori->data || !ori->parent) {
        SC_BUG();
        return -1;
    }
    (void)inst;
    SCTreeNode *table = ori->parent;
    for (SCTreeNode *instance : instances_of(table))
        sc_reprocess_inst(tree, ori, instance);
    std::string serial = ori->data->uri;
    serial = serial.substr(0, serial.size() - 3) + SERIAL_SUFFIX;
    SCTreeNode *snode = find(tree, serial.c_str());
    if (!snode) {
        SC_BUG();
        return -1;
    }
    return set_serial(snode, highest_instance(table)) == 0 ? 0 : -1;
}

int sc_reprocess_all_inst(SCType *sc) {
    SC_FUNC_TRACE();
    std::vector<SCTreeNode *> roots;
    list_for_each(fpos, &sc->FileList) {
        FileType *file = list_entry(fpos, FileType, file);
        for (struct list *pos = file->node.prev; pos != &file->node; pos = pos->prev) {
            SCTreeNode *node = list_entry(pos, SCTreeNode, file);
            const char *uri = node->data ? node->data->uri : nullptr;
            size_t len = uri ? strlen(uri) : 0;
            if (len > 3 && strcmp(uri + len - 3, "/-1") == 0 && sc_util_strtok_str(uri, "-1") == 1)
                roots.push_back(node);
        }
    }
    for (SCTreeNode *root : roots)
        sc_reprocess_inst_first_layer(&sc->tree, root, root->sibling);
    return 0;
}
