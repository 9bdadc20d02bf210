#include "sc_ops_list.h"

#include <cstring>
#include <set>
#include <vector>

#include "listing.h"
#include "sc_debug.h"
#include "sc_memiface.h"
#include "sc_ops.h"
#include "sc_ops_cb.h"
#include "sc_ops_inst.h"
#include "sc_tree.h"
#include "sc_tree_key.h"
#include "sc_types.h"
#include "tarvi-ex.h"
#include "tarvid_store.h"

namespace {

// The last path component of a stored URI.
const char *name_of(const char *uri) {
    const char *slash = strrchr(uri, '/');
    return slash ? slash + 1 : uri;
}

// True for a child of a node that has a "-1" template among its children.
bool is_instance(const SCTreeNode *node) {
    if (!node->parent || strcmp(name_of(node->data->uri), "-1") == 0)
        return false;
    for (const SCTreeNode *c = node->parent->child; c; c = c->sibling)
        if (c->data && c->data->uri && strcmp(name_of(c->data->uri), "-1") == 0)
            return true;
    return false;
}

// The node's stored value, read without callbacks, or empty when none.
bool plain_value(SCTreeNode *node, std::string *value) {
    char *v = nullptr;
    sc_getStringFromNodeForce(node, &v);
    value->assign(v ? v : "");
    bool has = v != nullptr;
    SC_FREE(v);
    return has;
}

// Lists `node` and its subtree, parents first.
void list_node(SCTreeNode *node, std::string *text) {
    const SCDataType *d = node->data;
    // Templates and everything below them are no nodes of the device.
    if (d && d->uri && strstr(d->uri, "-1"))
        return;
    if (d && d->uri && strcmp(d->uri, ".") != 0) {
        std::string value;
        bool has_value = plain_value(node, &value);
        std::string marks = std::string(is_instance(node) ? "i" : "") + (d->limit ? "l" : "") + (has_value ? "v" : "");
        listing_put(
            text, {d->uri, std::to_string(d->dtype), std::to_string(d->attr), d->limit ? d->limit : "", value, marks});
    }
    for (SCTreeNode *c = node->child; c; c = c->sibling)
        list_node(c, text);
}

// ---- import ----

struct import_record {
    char kind; // 'f', 'i', 't'
    std::string name, value;
};

// What was there before a record was applied, to undo it.
struct undo_step {
    char kind;
    std::string name, old;
};

// Names are cut so that the refusal always fits a reply.
constexpr size_t REFUSAL_NAME_MAX = 256;

std::string refused(size_t index, const std::string &name, const std::string &why) {
    std::string shown = name.size() > REFUSAL_NAME_MAX ? name.substr(0, REFUSAL_NAME_MAX) + "..." : name;
    return "entry " + std::to_string(index + 1) + " (" + shown + "): " + why;
}

// Why flat setting `key` = `value` cannot be imported, or empty.
std::string flat_refusal(const std::string &key, const std::string &value) {
    if (key.empty() || key.find_first_of("=\n") != std::string::npos)
        return "not a valid key";
    // What a get could not hand back would be lost to every client.
    if (key.size() + value.size() + 2 > TARVI_REQUEST_STRING_SIZE)
        return "key and value longer than a request carries";
    const struct config *c = find_config(key.c_str());
    if (!c || !c->container || c->container == ContRuntime)
        return "no stored setting of this device has this key";
    if (c->container == ContDefault)
        return "a factory setting, which no commit keeps";
    return "";
}

// True when `uri` lies in one of the instances `made` (named by earlier
// records; they may not exist yet). One lookup per level of the URI, so that
// a long import stays linear.
bool in_new_instance(const std::set<std::string> &made, const std::string &uri) {
    for (size_t slash = uri.find('/'); slash != std::string::npos; slash = uri.find('/', slash + 1))
        if (made.count(uri.substr(0, slash)))
            return true;
    return false;
}

// Why tree value `value` cannot go into node `uri`, or empty. Runs the
// node's verify callback, following a reference to the node it names.
std::string tree_refusal(const std::string &uri, const std::string &value, int depth = 0) {
    SCTreeNode *node = nullptr;
    int rc = config_sc_search("config_import", uri.c_str(), &node);
    if (rc != SC_DATA_FOUND || !node || !node->data)
        return rc == SC_URI_TOO_LONG ? "URI too long" : "no such node";
    const SCDataType *d = node->data;
    if (value.size() > SC_NODE_VALUE_MAX_LEN || sc_isReservedValue(value.c_str()) ||
        ((d->dtype & SC_DTYPE_VALUE) && !sc_isStorableValue(value.c_str())))
        return "a value the tree cannot keep";
    if (d->CBData && d->CBData->ver) {
        sc_node_hold hold(node);
        char *answer = nullptr;
        config_sc_op_ver(node, value.c_str(), &answer);
        bool ok = answer && strncmp(answer, "OK", 2) == 0;
        SC_FREE(answer);
        if (!ok)
            return "the node's verification refused the value";
    }
    if (d->dtype & SC_DTYPE_REF) {
        if (!d->value || depth >= 8)
            return "a reference that leads nowhere";
        std::string target = strncmp(d->value, "./", 2) == 0 ? d->value + 2 : d->value;
        return tree_refusal(target, value, depth + 1);
    }
    if (!(d->dtype & (SC_DTYPE_VALUE | SC_DTYPE_KEY)))
        return "a node without a value";
    return "";
}

bool parse_import(const std::string &text, std::vector<import_record> *records, std::string *refusal) {
    std::vector<std::vector<std::string>> rows;
    if (!listing_split(text, &rows)) {
        *refusal = "the import text is malformed";
        return false;
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        const auto &r = rows[i];
        char kind = r[0].size() == 1 ? r[0][0] : '?';
        size_t want = kind == 'i' ? 2 : 3;
        if ((kind != 'f' && kind != 'i' && kind != 't') || r.size() != want) {
            *refusal = refused(i, r.size() > 1 ? r[1] : r[0], "not an import record");
            return false;
        }
        records->push_back({kind, r[1], want == 3 ? r[2] : ""});
    }
    return true;
}

// Current value of node `uri` without callbacks; false when it has none.
bool tree_current(const std::string &uri, std::string *value) {
    SCTreeNode *node = nullptr;
    if (config_sc_search("config_import", uri.c_str(), &node) != SC_DATA_FOUND || !node)
        return false;
    return plain_value(node, value);
}

bool node_exists(const std::string &uri) {
    SCTreeNode *node = nullptr;
    return config_sc_search("config_import", uri.c_str(), &node) == SC_DATA_FOUND;
}

void undo(std::vector<undo_step> &steps) {
    for (auto s = steps.rbegin(); s != steps.rend(); ++s) {
        if (s->kind == 'f')
            config_set(s->name.c_str(), s->old.c_str());
        else if (s->kind == 'i')
            config_sc_del_Inst(s->name.c_str());
        else
            config_sc_set(s->name.c_str(), s->old.c_str());
    }
}

} // namespace

int config_sc_list_text(const char *URI, std::string *text) {
    text->clear();
    // A tree not built yet has no nodes.
    if (!SC.tree.root)
        return URI && *URI ? SC_DATA_NOT_FOUND : 0;
    SCTreeNode *node = SC.tree.root;
    if (URI && *URI) {
        int rc = config_sc_search("config_sc_list", URI, &node);
        if (rc != SC_DATA_FOUND || !node)
            return rc == SC_DATA_FOUND ? -1 : rc;
    }
    list_node(node, text);
    return 0;
}

int config_import(const std::string &text, std::string *refusal) {
    std::vector<import_record> records;
    if (!parse_import(text, &records, refusal))
        return -1;
    // Check everything before anything changes.
    std::set<std::string> made;
    for (size_t i = 0; i < records.size(); ++i) {
        const import_record &r = records[i];
        std::string why;
        if (r.kind == 'f') {
            why = flat_refusal(r.name, r.value);
        } else if (r.kind == 'i') {
            size_t slash = r.name.rfind('/');
            if (!SC.tree.root)
                why = "no tree";
            else if (slash == std::string::npos || !valid_instance_name(r.name.c_str() + slash + 1))
                why = "not a valid instance name";
            else if (!node_exists(r.name) && !node_exists(r.name.substr(0, slash)) && !in_new_instance(made, r.name))
                why = "no such table";
            else if (!node_exists(r.name))
                made.insert(r.name); // to be made: what lies in it is checked as it is written
        } else if (!SC.tree.root) {
            why = "no tree";
        } else if (!in_new_instance(made, r.name)) {
            // Values in instances still to be made are checked as they are
            // written; a refusal then undoes what came before.
            std::string current;
            if (!(tree_current(r.name, &current) && current == r.value))
                why = tree_refusal(r.name, r.value);
        }
        if (!why.empty()) {
            *refusal = refused(i, r.name, why);
            return -1;
        }
    }
    // Apply what changes something, keeping what to undo.
    std::vector<undo_step> steps;
    for (size_t i = 0; i < records.size(); ++i) {
        const import_record &r = records[i];
        std::string current;
        int rc = 0;
        if (r.kind == 'f') {
            const char *old = config_get(r.name.c_str());
            if (old && r.value == old)
                continue;
            steps.push_back({'f', r.name, old ? old : ""});
            rc = config_set(r.name.c_str(), r.value.c_str());
        } else if (r.kind == 'i') {
            if (node_exists(r.name))
                continue;
            size_t slash = r.name.rfind('/');
            rc = config_sc_add_inst(r.name.substr(0, slash).c_str(), r.name.c_str() + slash + 1);
            if (rc == 0)
                steps.push_back({'i', r.name, ""});
        } else {
            bool has = tree_current(r.name, &current);
            if (has && current == r.value)
                continue;
            rc = config_sc_set(r.name.c_str(), r.value.c_str());
            if (rc == 0)
                steps.push_back({'t', r.name, current});
        }
        if (rc != 0) {
            undo(steps);
            *refusal = refused(i, r.name,
                               r.kind == 'i' ? "the instance could not be made"
                                             : "the write was refused (earlier entries were undone)");
            return -1;
        }
    }
    return 0;
}
