#include "sc_ops_walk.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sc_debug.h"
#include "sc_memiface.h"
#include "sc_ops.h"
#include "sc_ops_inst.h"
#include "sc_tree.h"
#include "sc_tree_inst.h"
#include "sc_tree_write.h"
#include "sc_utiliface.h"
#include "tarvi-ex.h"

namespace {

// Every walk collects into this list; its id is what clients get.
constexpr int WALK_ID = 1;
constexpr int ME_TYPE_COUNT = 6;

const char *const oma_roots[] = {"./DMAcc", "./DevInfo",   "./DevDetail", "./FUMO",
                                 "./WiMAX", "./WiMAXSupp", "./Settings",  "./WiMAX_Diagnostics"};

SCSearchType *entry_of(struct list *pos) { return list_entry(pos, SCSearchType, chain); }

void drop_entry(struct list *pos) {
    list_del(pos);
    SC_FREE(entry_of(pos));
}

// Searches a stored-form URI; the node, or null.
SCTreeNode *find(const char *uri) {
    SCTreeNode *parent = nullptr, *node = nullptr;
    return sc_searchNode(&SC.tree, uri, &parent, &node) == SC_DATA_FOUND ? node : nullptr;
}

void collect(SCTreeNode *node) { sc_preTraverseSearchTree(&SC.SearchList[WALK_ID], node, config_sc_get_tree_start_op); }

// The URIs of the nodes of module `module` (every module but it when
// `except`) that `pick` selects, in file order. The tests below change the
// tree while they go, so they work on this copy.
template <typename Pick> std::vector<std::string> module_uris(const char *module, bool except, Pick pick) {
    std::vector<std::string> out;
    list_for_each(pos, &SC.FileList) {
        FileType *f = list_entry(pos, FileType, file);
        if (!f->FileName || (strcmp(f->FileName, module) == 0) == except)
            continue;
        for (struct list *n = f->node.prev; n != &f->node; n = n->prev) {
            const SCTreeNode *node = list_entry(n, SCTreeNode, file);
            if (node->data && node->data->uri && pick(node->data))
                out.emplace_back(node->data->uri);
        }
    }
    return out;
}

bool plain_value_node(const SCDataType *d) {
    return (d->dtype & (SC_DTYPE_VALUE | SC_DTYPE_KEY | SC_DTYPE_REF)) && !strstr(d->uri, "-1");
}

// Adds a numbered view instance to every table of every view module,
// nested tables inside the instance made for their enclosing table.
void sc_testAllMEInst() {
    std::vector<std::string> templates = module_uris("sys", true, [](const SCDataType *d) {
        size_t len = strlen(d->uri);
        return len >= 2 && strcmp(d->uri + len - 2, "-1") == 0;
    });
    std::vector<std::pair<std::string, std::string>> made; // template root, instance made
    u_16 count = 1;
    for (const std::string &tmpl : templates) {
        std::string object = tmpl.substr(0, tmpl.size() - 3);
        for (const auto &m : made) {
            struct list replace;
            list_init(&replace);
            if (object.compare(0, m.first.size(), m.first) == 0 &&
                sc_genReplaceList(m.first.c_str(), m.second.c_str(), &replace) == 0)
                object = m.second + object.substr(m.first.size());
            sc_freeReplaceList(&replace);
        }
        std::string name = std::to_string(count);
        u_16 number = count++;
        if (config_sc_me_add_inst(object.c_str() + 2, name.c_str(), &number) == 0)
            made.emplace_back(tmpl, object + "/" + name);
    }
}

} // namespace

int config_sc_get_tree_start_op(SCTreeNode *node, struct list *list) {
    if (!node || !node->data || !node->data->uri || strstr(node->data->uri, "-1"))
        return 0;
    auto *entry = static_cast<SCSearchType *>(SC_ZALLOC(sizeof(SCSearchType)));
    if (!entry) {
        SC_FAIL("[tarvi_get_tree_start_op] SCSearchType mem_alloc fail!\n");
        return 0;
    }
    entry->node = node;
    list_add(&entry->chain, list);
    return 0;
}

void config_sc_walk_forget(const SCTreeNode *top) {
    for (struct list &head : SC.SearchList) {
        list_for_each_safe(pos, &head) {
            for (const SCTreeNode *n = entry_of(pos)->node; n; n = n->parent) {
                if (n == top) {
                    drop_entry(pos);
                    break;
                }
            }
        }
    }
}

int config_sc_get_tree_start(int type, int nextLevel, const char *URI, int *treeid) {
    *treeid = 0;
    if (type < 0 || type >= ME_TYPE_COUNT) {
        SC_FAIL("Unknown ME_TYPE %d\n", type);
        return -1;
    }
    if (!SC.tree.root)
        return -1;
    std::string uri = URI ? URI : "";
    // A cut URI would name another subtree.
    if (uri.size() > SC_URI_MAX_LEN) {
        SC_FAIL("URI %s is too long\n", uri.c_str());
        return -1;
    }
    // A walk hands out its own subtree only, whatever an earlier walk left.
    sc_freeSearchList(&SC);
    if (type == ME_OMA && uri == "./") {
        for (const char *root : oma_roots) {
            if (SCTreeNode *node = find(root)) {
                collect(node);
                *treeid = WALK_ID;
            } else {
                SC_FAIL("URI %s is not existed\n", root);
            }
        }
        return 0;
    }
    if ((type == ME_OMA || type == ME_CWMP) && uri == ".") {
        SCTreeNode *node = find("./InternetGatewayDevice");
        if (!node) {
            SC_FAIL("URI %s is not existed\n", "./InternetGatewayDevice");
            return 0;
        }
        collect(node);
        *treeid = WALK_ID;
        return 0;
    }
    std::vector<char> buf(uri.begin(), uri.end());
    buf.push_back('\0');
    if (buf.size() > 2 && strchr(buf.data() + 1, '.'))
        sc_transCWMPtoSYS(buf.data());
    std::string text = buf.data();
    std::string key;
    if (text.size() > 2 && text.compare(0, 2, "./") == 0)
        key = text;
    else if (text.size() > 1 && text[0] == '.' && text[1] != '/')
        key = "./" + text.substr(1);
    else if (!text.empty() && text[0] != '.')
        key = "./" + text;
    SCTreeNode *parent = nullptr, *node = nullptr;
    int rc = key.empty() ? SC_CMD_FAILED : sc_searchNode(&SC.tree, key.c_str(), &parent, &node);
    if (rc == SC_DATA_NOT_FOUND) {
        SC_FAIL("URI %s is not existed\n", key.c_str());
        return -1;
    }
    if (rc != SC_DATA_FOUND || !node)
        return 0;
    collect(node);
    *treeid = WALK_ID;
    if (nextLevel == 1 && !list_empty(&SC.SearchList[WALK_ID]))
        drop_entry(SC.SearchList[WALK_ID].next);
    return 0;
}

int config_sc_get_tree_next(int id, char **uri, u_16 *dtype, u_16 *attr) {
    *uri = nullptr;
    *dtype = 0;
    *attr = 0;
    if (id < 0 || id >= SC_SEARCH_LIST_NUM)
        return -1;
    struct list *head = &SC.SearchList[id];
    if (list_empty(head))
        return SC_GET_NEXT_COMPLETE;
    struct list *front = head->next;
    const SCTreeNode *node = entry_of(front)->node;
    int rc = node->child ? SC_GET_NEXT_HAS_CHILD : SC_GET_NEXT_NO_CHILD;
    const SCDataType *data = node->data;
    if (!data || !data->uri)
        SC_BUG();
    else
        *uri = sc_util_strdup(data->uri);
    if (data && data->dtype)
        *dtype = data->dtype;
    else
        SC_BUG();
    if (data && data->attr)
        *attr = data->attr;
    else
        SC_BUG();
    drop_entry(front);
    return rc;
}

int config_sc_restore_default(void) {
    config_sc_reload(0);
    config_sc_flush(1);
    return 0;
}

int config_sc_test_me(void) {
    config_sc_add_inst("sys/services/VoIP/Line", "3");
    sc_testAllMEInst();
    sc_writeProfileToProfileFile(&SC);
    return 0;
}

int config_sc_test_get(void) {
    for (const std::string &uri : module_uris("sys", false, plain_value_node)) {
        char *value = nullptr;
        config_sc_get(uri.c_str() + 2, &value);
        printf("=======    %s    =========\n", uri.c_str() + 2);
        if (value)
            printf("Result=%s\n", value);
        else
            printf("No Result\n");
        SC_FREE(value);
    }
    return 0;
}

int config_sc_test_set(void) {
    u_16 counter = 1;
    for (const std::string &uri : module_uris("sys", false, plain_value_node)) {
        std::string value = std::to_string(counter++);
        config_sc_set(uri.c_str() + 2, value.c_str());
    }
    sc_writeProfileToProfileFile(&SC);
    return 0;
}
