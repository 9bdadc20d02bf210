#include "sc_tree.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "sc_debug.h"
#include "sc_memiface.h"
#include "sc_utiliface.h"
#include "tarvid_store.h"

SCType SC;

namespace {

// Searches would have to scan every child list in turn, which is too slow for
// tables of thousands of instances. Beside the sibling lists we keep an index
// of children by (parent, URI) for parents whose children all have the URI
// "<parent URI>/<name without '/'>", the only shape an insert makes. For such
// a parent exactly one child can match a search, and the index finds it.
// Parents with any other child (linked by hand, a duplicate URI, no data) are
// "irregular" and keep being scanned in insertion order.
struct ChildKey {
    const SCTreeNode *parent;
    std::string_view uri; // points into the child's data
    bool operator==(const ChildKey &o) const { return parent == o.parent && uri == o.uri; }
};

struct ChildKeyHash {
    size_t operator()(const ChildKey &k) const {
        return std::hash<std::string_view>()(k.uri) ^ (std::hash<const void *>()(k.parent) * 31);
    }
};

std::unordered_map<ChildKey, SCTreeNode *, ChildKeyHash> child_index;
std::unordered_set<const SCTreeNode *> irregular_parents;

const bool sc_ready = (sc_initSCType(&SC), true);

bool has_uri(const SCTreeNode *node) { return node && node->data && node->data->uri; }

bool is_separator(char c) { return c == '/' || c == '\\'; }

// The child of `cur` that the scan in insertion order would match for `uri`,
// or null.
SCTreeNode *scan_children(const SCTreeNode *cur, const char *uri) {
    for (SCTreeNode *c = cur->child; c; c = c->sibling) {
        if (!has_uri(c))
            continue;
        size_t len = strlen(c->data->uri);
        if (strncmp(c->data->uri, uri, len) == 0 && (uri[len] == '/' || uri[len] == '\0'))
            return c;
    }
    return nullptr;
}

SCTreeNode *find_child(const SCTreeNode *cur, const char *uri) {
    if (!irregular_parents.empty() && irregular_parents.count(cur))
        return scan_children(cur, uri);
    if (!has_uri(cur))
        return nullptr; // a regular parent has data: this one has no children
    const char *curi = cur->data->uri;
    size_t len = strlen(curi);
    if (strncmp(uri, curi, len) != 0 || uri[len] != '/')
        return nullptr;
    const char *end = strchr(uri + len + 1, '/');
    size_t keylen = end ? static_cast<size_t>(end - uri) : strlen(uri);
    auto it = child_index.find(ChildKey{cur, std::string_view(uri, keylen)});
    return it == child_index.end() ? nullptr : it->second;
}

// True when `child`'s URI is "<parent URI>/<name>" with a name free of '/'.
bool canonical_child(const SCTreeNode *parent, const SCTreeNode *child) {
    if (!has_uri(parent) || !has_uri(child))
        return false;
    const char *puri = parent->data->uri;
    const char *curi = child->data->uri;
    size_t len = strlen(puri);
    return strncmp(curi, puri, len) == 0 && curi[len] == '/' && curi[len + 1] != '\0' && !strchr(curi + len + 1, '/');
}

void index_child(SCTreeNode *parent, SCTreeNode *child) {
    if (irregular_parents.count(parent))
        return;
    if (!canonical_child(parent, child) || !child_index.emplace(ChildKey{parent, child->data->uri}, child).second) {
        // Drop the parent's entries: from now on it is scanned.
        for (SCTreeNode *c = parent->child; c; c = c->sibling) {
            if (has_uri(c)) {
                auto it = child_index.find(ChildKey{parent, c->data->uri});
                if (it != child_index.end() && it->second == c)
                    child_index.erase(it);
            }
        }
        irregular_parents.insert(parent);
    }
}

void unindex_node(SCTreeNode *node) {
    irregular_parents.erase(node);
    if (node->parent && has_uri(node)) {
        auto it = child_index.find(ChildKey{node->parent, node->data->uri});
        if (it != child_index.end() && it->second == node)
            child_index.erase(it);
    }
}

void free_text_unless_shared(char *text, struct list *so_list) {
    if (!text)
        return;
    list_for_each(pos, so_list) {
        if (list_entry(pos, SOType, chain)->name == text)
            return;
    }
    SC_FREE(text);
}

int delete_node_op(SCTreeNode *node, void *) {
    sc_deleteNode(node);
    return 0;
}

// Next node of a pre-order walk confined to the subtree of `start`.
SCTreeNode *pre_order_next(SCTreeNode *node, const SCTreeNode *start) {
    if (node->child)
        return node->child;
    while (node != start) {
        if (node->sibling)
            return node->sibling;
        node = node->parent;
    }
    return nullptr;
}

template <typename Visit> void pre_order(SCTreeNode *start, Visit visit) {
    for (SCTreeNode *node = start; node; node = pre_order_next(node, start))
        visit(node);
}

} // namespace

void sc_initSCType(SCType *sc) {
    sc->tree.root = nullptr;
    for (auto &head : sc->SearchList)
        list_init(&head);
    list_init(&sc->FileList);
    list_init(&sc->IPCList);
    list_init(&sc->SOList);
    list_init(&sc->NSOList);
    sc->IPCindex = 0;
}

SCDataType *sc_createData(const char *uri) {
    if (!uri || !uri[0])
        return nullptr;
    if (strlen(uri) > SC_URI_MAX_LEN) {
        SC_FAIL("URI length is too long!!\n");
        return nullptr;
    }
    auto *data = static_cast<SCDataType *>(SC_ZALLOC(sizeof(SCDataType)));
    if (!data)
        return nullptr;
    data->uri = sc_util_strdup(uri);
    if (!data->uri) {
        SC_FAIL("Allocalte data->uri fail!!\n");
        SC_FREE(data);
        return nullptr;
    }
    return data;
}

SCTreeNode *sc_createNode(SCDataType *data) {
    auto *node = static_cast<SCTreeNode *>(SC_ZALLOC(sizeof(SCTreeNode)));
    if (!node)
        return nullptr;
    list_init(&node->file);
    list_init(&node->dirty_chain);
    list_init(&node->notify);
    node->data = data;
    return node;
}

int sc_initTree(SCTreeType *tree, SCDataType *root) {
    SCTreeNode *node = sc_createNode(root);
    if (!node)
        return SC_MALLOC_FAIL;
    tree->root = node;
    return 0;
}

const char *sc_getNextNodeName(const char *uri, char *nextNodeName, int *errorCode) {
    int dummy;
    if (!errorCode)
        errorCode = &dummy;
    if (!uri || !nextNodeName) {
        *errorCode = SC_CMD_FAILED;
        return nullptr;
    }
    *errorCode = 0;
    nextNodeName[0] = '\0';
    if (*uri == '.') {
        ++uri;
        if (*uri == '\0') {
            strcpy(nextNodeName, ".");
            return uri;
        }
    }
    if (*uri == '/') {
        ++uri;
        if (*uri == '\0') {
            *errorCode = SC_CMD_FAILED;
            return nullptr;
        }
    }
    const char *end = strchr(uri, '/');
    size_t len = end ? static_cast<size_t>(end - uri) : strlen(uri);
    if (len > SC_URI_MAX_LEN) {
        *errorCode = SC_URI_TOO_LONG;
        return nullptr;
    }
    memcpy(nextNodeName, uri, len);
    nextNodeName[len] = '\0';
    return uri + len;
}

int sc_searchNode(SCTreeType *tree, const char *uri, SCTreeNode **parent, SCTreeNode **foundNode) {
    SC_FUNC_TRACE();
    *parent = nullptr;
    *foundNode = nullptr;
    if (!tree || !tree->root || !uri || !uri[0])
        return SC_CMD_FAILED;
    // No node has a longer URI, and names must fit their buffer.
    if (strlen(uri) > SC_URI_MAX_LEN)
        return SC_URI_TOO_LONG;
    SC_TRACE("[sc_searchNode] uri=%s\n", uri);
    char name[SC_URI_BUF_SIZE];
    SCTreeNode *cur = tree->root;
    *parent = cur;
    const char *pos = uri;
    for (;;) {
        int err = 0;
        pos = sc_getNextNodeName(pos, name, &err);
        if (err > 0)
            return err;
        if (name[0] == '\0') {
            // "//..." names nothing at all.
            return *foundNode ? SC_DATA_FOUND : SC_CMD_FAILED;
        }
        if (strcmp(name, ".") == 0) {
            *foundNode = tree->root;
            return SC_DATA_FOUND;
        }
        *foundNode = nullptr;
        *parent = cur;
        SCTreeNode *match = find_child(cur, uri);
        if (!match)
            break;
        *foundNode = match;
        cur = match;
    }
    // Keep the parent only when the URI is exactly one level below it.
    const SCTreeNode *p = *parent;
    bool insertable = false;
    if (has_uri(p)) {
        size_t len = strlen(p->data->uri);
        insertable = strncmp(uri, p->data->uri, len) == 0 && uri[len] == '/' && !strchr(uri + len + 1, '/');
    }
    if (!insertable)
        *parent = nullptr;
    return SC_DATA_NOT_FOUND;
}

void sc_appendChild(SCTreeNode *parent, SCTreeNode *node) {
    node->parent = parent;
    node->sibling = nullptr;
    if (!parent->child) {
        SC_TRACE("sc_insertNode: 4\n");
        parent->child = node;
    } else {
        SC_TRACE("sc_insertNode: 5\n");
        SCTreeNode *last = parent->child;
        while (last->sibling)
            last = last->sibling;
        last->sibling = node;
    }
    index_child(parent, node);
}

int sc_createNodeThroughURI(SCTreeType *tree, const char *URI, SCTreeNode **node) {
    SC_FUNC_TRACE();
    SC_TRACE("[sc_createNodeThroughURI] %s!!\n", URI ? URI : "(null)");
    *node = nullptr;
    SCTreeNode *parent = nullptr;
    SCTreeNode *found = nullptr;
    int ret = sc_searchNode(tree, URI, &parent, &found);
    if (ret == SC_DATA_FOUND) {
        SC_FAIL("This URI Exists!!\n");
        return -1;
    }
    if (ret != SC_DATA_NOT_FOUND) {
        SC_FAIL("Insert Node Fail...ret=%d\n", ret);
        return -1;
    }
    if (!parent) {
        SC_FAIL("No such position for URI %s to insert!!\n", URI);
        return -1;
    }
    SC_TRACE("Insert the URI %s to SCTreeNode...\n", URI);
    SCDataType *data = sc_createData(URI);
    SC_TRACE("sc_insertNode: 1\n");
    if (!data) {
        SC_FAIL("Insert Node Fail...ret=%d\n", SC_CMD_FAILED);
        return -1;
    }
    SC_TRACE("sc_insertNode: 2\n");
    SCTreeNode *created = sc_createNode(data);
    if (!created) {
        sc_freeData(data);
        SC_FAIL("Insert Node Fail...ret=%d\n", SC_MALLOC_FAIL);
        return -1;
    }
    SC_TRACE("sc_insertNode: 3\n");
    sc_appendChild(parent, created);
    *node = created;
    return 0;
}

int sc_checkValidUri(const char *uri) {
    if (!uri || !uri[0])
        return SC_CMD_FAILED;
    size_t len = strlen(uri);
    if (len > SC_URI_MAX_LEN)
        return SC_URI_TOO_LONG;
    if (is_separator(uri[0]) || is_separator(uri[len - 1]))
        return SC_CMD_FAILED;
    int separators = 0;
    for (size_t i = 0; i < len; ++i) {
        if (is_separator(uri[i]) && ++separators > SC_URI_MAX_SEPARATORS)
            return SC_CMD_FAILED;
    }
    return 0;
}

int sc_getLevelOfNode(const SCTreeNode *node) {
    if (!has_uri(node))
        return 100;
    return sc_util_strtok_str(node->data->uri, "-1");
}

void sc_freeTarviKey(TarviKeyType *key) {
    if (!key)
        return;
    SC_FREE(key->key);
    list_for_each_safe(pos, &key->split) {
        list_del(pos);
        SC_FREE(list_entry(pos, SplitType, chain));
    }
    SC_FREE(key);
}

void sc_freeData(SCDataType *data) {
    if (!data)
        return;
    SC_FREE(data->uri);
    SC_FREE(data->value);
    SC_FREE(data->limit);
    sc_freeTarviKey(data->TarviKey);
    bool borrowed = data->InstNode != nullptr;
    if (!borrowed)
        sc_freeCBData(data->CBData);
    sc_freeNotify(data->Notify, !borrowed);
    SC_FREE(data);
}

void sc_freeCBData(CBDataType *cb) {
    if (!cb)
        return;
    free_text_unless_shared(cb->so, &SC.SOList);
    for (char *text : {cb->get, cb->set, cb->add, cb->del, cb->ver, cb->exe, cb->cov, cb->arg})
        SC_FREE(text);
    SC_FREE(cb);
}

void sc_freeNotify(NotifyType *nt, bool texts) {
    if (!nt)
        return;
    if (texts) {
        free_text_unless_shared(nt->so, &SC.NSOList);
        SC_FREE(nt->cb);
        SC_FREE(nt->arg);
    }
    SC_FREE(nt);
}

void sc_freeSearchList(SCType *sc) {
    for (struct list &head : sc->SearchList) {
        list_for_each_safe(pos, &head) {
            list_del(pos);
            SC_FREE(list_entry(pos, SCSearchType, chain));
        }
    }
}

void sc_deleteSCTree(SCType *sc) {
    if (!sc)
        return;
    // Walk entries point into the tree: they go first.
    sc_freeSearchList(sc);
    sc_deleteSubTree(&sc->tree.root);
    list_for_each_safe(pos, &sc->FileList) {
        FileType *file = list_entry(pos, FileType, file);
        list_del(pos);
        SC_FREE(file->FileName);
        SC_FREE(file);
    }
    list_for_each_safe(pos, &sc->IPCList) {
        list_del(pos);
        SC_FREE(list_entry(pos, IPCType, chain));
    }
    for (struct list *head : {&sc->SOList, &sc->NSOList}) {
        list_for_each_safe(pos, head) {
            SOType *so = list_entry(pos, SOType, chain);
            list_del(pos);
            SC_FREE(so->name);
            SC_FREE(so->FileName);
            SC_FREE(so);
        }
    }
    sc_initSCType(sc);
}

void sc_deleteNode(SCTreeNode *node) {
    if (!node)
        return;
    unindex_node(node);
    list_del_init(&node->file);
    list_del_init(&node->dirty_chain);
    list_del_init(&node->notify);
    if (node->ipc)
        node->ipc->node = nullptr; // the exchange outlives the node; it must not reach back
    SCDataType *data = node->data;
    if (data && data->TarviKey && data->Notify && data->TarviKey->key)
        config_notify_unregister(data->TarviKey->key, node);
    sc_freeData(data);
    SC_FREE(node);
}

void sc_deleteSubTree(SCTreeNode **startNodePtr) {
    SC_FUNC_TRACE();
    if (!startNodePtr || !*startNodePtr)
        return;
    SCTreeNode *start = *startNodePtr;
    sc_postTraverseTree(start, delete_node_op, nullptr);
    start->child = nullptr;
    if (SCTreeNode *parent = start->parent) {
        if (parent->child == start) {
            parent->child = start->sibling;
        } else {
            SCTreeNode *prev = parent->child;
            while (prev && prev->sibling != start)
                prev = prev->sibling;
            if (prev)
                prev->sibling = start->sibling;
            else
                SC_BUG();
        }
    }
    sc_deleteNode(start);
    *startNodePtr = nullptr;
}

int sc_preTraverseTree(SCTreeNode *startNode, SCNodeOperation operation) {
    pre_order(startNode, [&](SCTreeNode *node) { operation(node); });
    return 0;
}

int sc_preTraverseSearchTree(struct list *search, SCTreeNode *startNode, SCListOperation operation) {
    pre_order(startNode, [&](SCTreeNode *node) { operation(node, search); });
    return 0;
}

int sc_preTraverseTreeModifyRef(struct list *replace_head, SCTreeNode *startNode, SCListOperation operation) {
    pre_order(startNode, [&](SCTreeNode *node) { operation(node, replace_head); });
    return 0;
}

int sc_preTraverseTreeAddInst(SCTreeType *tree, SCTreeNode *parent, struct list *replace_list, SCTreeNode *startNode,
                              SCAddInstOperation operation) {
    int replace_level = 0;
    if (replace_list) {
        list_for_each(pos, replace_list)++ replace_level;
    }
    pre_order(startNode, [&](SCTreeNode *node) { operation(tree, parent, node, replace_list, replace_level); });
    return 0;
}

int sc_postTraverseTree(SCTreeNode *startNode, SCPostOperation operation, void *data) {
    if (!startNode)
        return 0;
    SCTreeNode *node = startNode;
    while (node->child)
        node = node->child;
    while (node != startNode) {
        SCTreeNode *next = node->sibling;
        if (next) {
            while (next->child)
                next = next->child;
        } else {
            next = node->parent;
        }
        int ret = operation(node, data);
        if (ret != 0)
            return ret;
        node = next;
    }
    return 0;
}

int sc_setNodeDirty(SCTreeNode *node) {
    if (!node || !node->dirty) {
        SC_BUG();
        return -1;
    }
    FileType *file = list_entry(node->dirty, FileType, dirty);
    file->flag |= SC_FILE_FLAG_DIRTY;
    if (list_empty(&node->dirty_chain))
        list_add(&node->dirty_chain, node->dirty);
    return 0;
}

int sc_IsDirty(const SCType *sc) {
    list_for_each(pos, &sc->FileList) {
        if (list_entry(pos, FileType, file)->flag & SC_FILE_FLAG_DIRTY)
            return 1;
    }
    return 0;
}

int sc_compareName(const SCDataType *data, const char *name) {
    if (!data || !data->uri || !name)
        return SC_CMD_FAILED;
    return strcmp(data->uri, name) == 0 ? 0 : 1;
}

int sc_getUriOfData(const SCDataType *data, char *uriBuf) {
    if (!data || !data->uri || !uriBuf)
        return SC_CMD_FAILED;
    snprintf(uriBuf, SC_URI_BUF_SIZE, "%s", data->uri);
    return 0;
}

void sc_printNode(const SCTreeNode *node) {
    if (!has_uri(node))
        return;
    printf("node URI=%s\n", node->data->uri);
    printf("node attr=%x\n", node->data->attr);
}

void sc_printTree(SCTreeNode *startNode) {
    pre_order(startNode, [](SCTreeNode *node) { sc_printNode(node); });
    fflush(stdout);
}

char *sc_transCWMPtoSYS(char *line) {
    if (!line || line[0] == '#' || line[0] == '\0')
        return line;
    size_t i = 1;
    for (; line[i] != '\0' && line[i] != ';'; ++i) {
        if (i >= SC_URI_BUF_SIZE) {
            SC_BUG();
            return line;
        }
        if (line[i] == '.')
            line[i] = '/';
    }
    if (i > 1 && line[i - 1] == '/')
        line[i - 1] = '\0';
    return line;
}

int config_sc_search(const char *op, const char *URI, SCTreeNode **node) {
    *node = nullptr;
    if (!URI)
        return -1;
    // References hold stored URIs ("./sys/..."); read through them, they
    // name the same node as the client form.
    if (strncmp(URI, "./", 2) == 0)
        URI += 2;
    size_t len = strlen(URI);
    if (len > SC_URI_MAX_LEN) {
        SC_FAIL("%s: URI are too long!!\n", op);
        return SC_URI_TOO_LONG;
    }
    char uri[SC_URI_BUF_SIZE];
    memcpy(uri, URI, len + 1);
    if (strchr(uri, '.'))
        sc_transCWMPtoSYS(uri);
    std::string key = std::string("./") + uri;
    SCTreeNode *parent = nullptr;
    int rc = sc_searchNode(&SC.tree, key.c_str(), &parent, node);
    if (rc == SC_DATA_FOUND && *node)
        return SC_DATA_FOUND;
    *node = nullptr;
    return rc == SC_DATA_NOT_FOUND ? SC_DATA_NOT_FOUND : (rc == SC_URI_TOO_LONG ? SC_URI_TOO_LONG : -1);
}
