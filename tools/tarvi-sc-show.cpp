// tarvi-sc-show: builds the configuration tree from the declaration files of
// a device root (TARVI_ROOT on a host) the way the daemon does, and prints it.
// Flat settings that bound nodes read come from the KEY=VALUE files given
// with --defaults (the daemon takes them from its store instead).
//
//   tarvi-sc-show [--profiles-only] [--defaults FILE]... [URI]
//
// One line per node below URI (default "."), table templates left out:
// "URI  TYPE  VALUE", references as "-> TARGET = VALUE".
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "sc_memiface.h"
#include "sc_tree.h"
#include "sc_tree_file.h"
#include "sc_tree_key.h"
#include "sc_words.h"
#include "tarvid_store.h"

namespace {

const char *type_name(u_16 dtype) {
    const char *name = sc_dataTypeName(dtype);
    return *name ? name : "-";
}

SCTreeNode *find(const char *uri) {
    SCTreeNode *parent = nullptr, *found = nullptr;
    return sc_searchNode(&SC.tree, uri, &parent, &found) == SC_DATA_FOUND ? found : nullptr;
}

// References read their target's value; one level only, so that a loop of
// references cannot recurse.
int get_target(const char *uri, char **value) {
    SCTreeNode *node = find(uri);
    if (!node || (node->data->dtype & SC_DTYPE_REF))
        return -1;
    return sc_getStringFromNodeForce(node, value);
}

int load_defaults(const char *path) {
    std::ifstream in(path);
    if (!in) {
        fprintf(stderr, "tarvi-sc-show: cannot read %s\n", path);
        return -1;
    }
    for (std::string line; std::getline(in, line);) {
        size_t eq = line.find('=');
        if (eq != std::string::npos && eq > 0 && line[0] != '#')
            config_sc_tarvi_set(line.substr(0, eq).c_str(), line.substr(eq + 1).c_str());
    }
    return 0;
}

void show(SCTreeNode *node) {
    SCDataType *d = node->data;
    if (strstr(d->uri, "-1"))
        return;
    std::string text;
    char *value = nullptr;
    if (d->dtype & (SC_DTYPE_VALUE | SC_DTYPE_KEY | SC_DTYPE_REF))
        sc_getStringFromNodeForce(node, &value);
    if (d->dtype & SC_DTYPE_REF)
        text = std::string("-> ") + (d->value ? d->value : "") + " = ";
    if (value)
        text += value;
    else if (d->dtype & (SC_DTYPE_VALUE | SC_DTYPE_KEY | SC_DTYPE_REF))
        text += "(none)";
    mem_free_ex(value, __FILE__, __LINE__);
    printf("%-60s %-8s %s\n", d->uri, type_name(d->dtype), text.c_str());
}

} // namespace

int main(int argc, char **argv) {
    const char *start = ".";
    int user = 1;
    config_store_init();
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--defaults") == 0 && i + 1 < argc) {
            if (load_defaults(argv[++i]) != 0)
                return 1;
        } else if (strcmp(argv[i], "--profiles-only") == 0) {
            user = 0;
        } else if (argv[i][0] == '-') {
            fprintf(stderr, "usage: tarvi-sc-show [--profiles-only] [--defaults FILE]... [URI]\n");
            return 2;
        } else {
            start = argv[i];
        }
    }
    sc_config_get_hook = get_target;
    if (sc_loadTree(&SC, user) != 0) {
        fprintf(stderr, "tarvi-sc-show: cannot build the tree\n");
        return 1;
    }
    SCTreeNode *top = find(start);
    if (!top) {
        fprintf(stderr, "tarvi-sc-show: no node %s\n", start);
        sc_deleteSCTree(&SC);
        return 1;
    }
    sc_preTraverseTree(top, [](SCTreeNode *node) {
        show(node);
        return 0;
    });
    sc_deleteSCTree(&SC);
    return 0;
}
