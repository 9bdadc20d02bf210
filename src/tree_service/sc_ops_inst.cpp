#include "sc_ops_inst.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sc_debug.h"
#include "sc_memiface.h"
#include "sc_ops.h"
#include "sc_ops_cb.h"
#include "sc_ops_walk.h"
#include "sc_tree.h"
#include "sc_tree_inst.h"
#include "sc_tree_key.h"
#include "sc_utiliface.h"
#include "tarvid_store.h"

namespace {

const char QV_TOKEN[] = "<QV_TOKEN>";
const char QV_SPACE[] = "<QV_SPACE>";
const char QV_NULL[] = "QV_NULL";
constexpr size_t QV_TOKEN_LEN = sizeof QV_TOKEN - 1;

// Instance numbers chosen for a management view's "sys" instance.
constexpr int SYS_SLOTS = 32;
// References followed when an instance is deleted: a longer chain is a cycle.
constexpr int DEL_REF_DEPTH_MAX = 8;

// A client URI in slash form with "./" in front.
std::string full_uri(const char *URI) {
    std::vector<char> buf(URI, URI + strlen(URI) + 1);
    if (strchr(buf.data(), '.'))
        sc_transCWMPtoSYS(buf.data());
    return std::string("./") + buf.data();
}

// Searches a stored-form URI ("./..."). SC_DATA_FOUND with *node set, or the
// search's other answer.
int search(const std::string &uri, SCTreeNode **node) {
    SCTreeNode *parent = nullptr;
    *node = nullptr;
    int rc = sc_searchNode(&SC.tree, uri.c_str(), &parent, node);
    if (rc == SC_DATA_FOUND && !*node)
        rc = SC_CMD_FAILED;
    return rc;
}

const char *name_of(const char *uri) {
    const char *slash = strrchr(uri, '/');
    return slash ? slash + 1 : uri;
}

bool is_template_name(const char *name) { return strncmp(name, "-1", 2) == 0; }

// The template path of the instances of `node` at stored-form path `path`:
// without InstNode the path plus "/-1". With it (a table inside an instance)
// the InstNode's path, its template level "-1" in place of the instance
// number that follows it in `path`, the rest of `path`, and "/-1".
std::string template_path(const SCTreeNode *node, const std::string &path) {
    const SCTreeNode *inst = node && node->data ? node->data->InstNode : nullptr;
    if (!inst || !inst->data || !inst->data->uri)
        return path + "/-1";
    std::string base = inst->data->uri;
    if (path.compare(0, base.size(), base) != 0 || path.size() <= base.size() || path[base.size()] != '/')
        return path + "/-1";
    size_t after_number = path.find('/', base.size() + 1);
    std::string rest = after_number == std::string::npos ? "" : path.substr(after_number);
    return base + "/-1" + rest + "/-1";
}

// The longest URI in the subtree of `top`.
size_t longest_uri(SCTreeNode *top) {
    size_t longest = 0;
    sc_eachNode(top, [&](SCTreeNode *n) {
        if (n->data && n->data->uri)
            longest = std::max(longest, strlen(n->data->uri));
        return true;
    });
    return longest;
}

// Whether instance path `inst_path` numbers every field that template
// `tmpl` at `tmpl_path` binds by instance number.
bool numbers_fields(SCTreeNode *tmpl, const std::string &tmpl_path, const std::string &inst_path) {
    struct list replace;
    list_init(&replace);
    bool ok = sc_genReplaceList(tmpl_path.c_str(), inst_path.c_str(), &replace) == 0 &&
              sc_instanceNumbersFields(tmpl, &replace);
    sc_freeReplaceList(&replace);
    return ok;
}

// Copies template `tmpl` under `object` as instance path `inst_path`. The
// copies' URIs are checked first, so that an instance is made whole or not at
// all. 0 or -1.
int copy_template(SCTreeNode *object, SCTreeNode *tmpl, const std::string &tmpl_path, const std::string &inst_path) {
    struct list replace;
    list_init(&replace);
    if (sc_genReplaceList(tmpl_path.c_str(), inst_path.c_str(), &replace) != 0) {
        sc_freeReplaceList(&replace);
        return -1;
    }
    // Each entry replaces a "-1" of two characters.
    long grow = 0;
    list_for_each(pos, &replace) grow += static_cast<long>(strlen(list_entry(pos, ReplaceType, chain)->value)) - 2;
    if (static_cast<long>(longest_uri(tmpl)) + grow > SC_URI_MAX_LEN) {
        SC_FAIL("URI of instance %s would be too long!!\n", inst_path.c_str());
        sc_freeReplaceList(&replace);
        return -1;
    }
    if (!sc_instanceNumbersFields(tmpl, &replace)) {
        SC_FAIL("Instance %s numbers no fields of its table's keys!!\n", inst_path.c_str());
        sc_freeReplaceList(&replace);
        return -1;
    }
    sc_preTraverseTreeAddInst(&SC.tree, object, &replace, tmpl, sc_addNodeFromNode);
    sc_freeReplaceList(&replace);
    return 0;
}

// config_sc_add_inst on a stored-form object path.
int add_inst(const std::string &object_path, const char *name) {
    if (!valid_instance_name(name))
        return -1;
    SCTreeNode *object = nullptr;
    int rc = search(object_path, &object);
    if (rc != SC_DATA_FOUND) {
        SC_FAIL("%s:%d Data Not Found %s\n", __func__, __LINE__, object_path.c_str());
        return rc == SC_DATA_NOT_FOUND ? SC_DATA_NOT_FOUND : -1;
    }
    std::string inst_path = object_path + "/" + name;
    std::string tmpl_path = template_path(object, object_path);
    SCTreeNode *tmpl = nullptr;
    rc = search(tmpl_path, &tmpl);
    if (rc == SC_DATA_NOT_FOUND) {
        SC_FAIL("%s:%d Data Not Found %s\n", __func__, __LINE__, tmpl_path.c_str());
        return SC_DATA_NOT_FOUND;
    }
    if (rc != SC_DATA_FOUND)
        return 0;
    return copy_template(object, tmpl, tmpl_path, inst_path);
}

// The first number from `from` below SYS_SLOTS that no child of `object`
// is named with; -1 when none is free. A name counts only when it is exactly
// the decimal text of its number ("3", not "03" or "3abc"): only such a name
// would clash with the instance to be made.
int free_slot(const SCTreeNode *object, int from) {
    bool used[SYS_SLOTS] = {};
    for (const SCTreeNode *c = object->child; c; c = c->sibling) {
        if (!c->data || !c->data->uri)
            continue;
        const char *name = name_of(c->data->uri);
        size_t len = strlen(name);
        if (len == 0 || len > 2 || (len == 2 && name[0] == '0') || !sc_util_isdigit(name[0]) ||
            (len == 2 && !sc_util_isdigit(name[1])))
            continue;
        int n = sc_util_atoi(name);
        if (n < SYS_SLOTS)
            used[n] = true;
    }
    for (int n = from < 0 ? 0 : from; n < SYS_SLOTS; ++n)
        if (!used[n])
            return n;
    return -1;
}

// Adds the "sys" instance that the view template `view_tmpl` (a reference)
// stands for; fills `replace` with the numbers of the new "sys" instance for
// the view instance's references. 0, or the operation's failure code.
// *sys_tmpl and *sys_inst receive the "sys" template and instance paths.
int add_sys_inst(const char *URI, const std::string &view_tmpl_path, SCTreeNode *view_tmpl, u_16 *number,
                 struct list *replace, std::string *sys_tmpl_out, std::string *sys_inst_out) {
    const char *sys_tmpl_uri = view_tmpl->data->value;
    SCTreeNode *sys_tmpl = nullptr;
    if (!sys_tmpl_uri || search(sys_tmpl_uri, &sys_tmpl) != SC_DATA_FOUND) {
        SC_BUG();
        return -1;
    }
    // The enclosing instance of the view path maps the outer table levels
    // of "sys" when it is a reference itself.
    std::vector<char> outer(view_tmpl_path.begin(), view_tmpl_path.end());
    outer.push_back('\0');
    sc_util_previous_inst(sc_util_previous_directory(outer.data()));
    int components = 1 + sc_util_strtok_str(outer.data(), "/");
    std::string view_path = full_uri(URI);
    size_t cut = 0;
    for (int i = 0; i < components && cut != std::string::npos; ++i)
        cut = view_path.find('/', cut + (i ? 1 : 0));
    std::string enclosing = cut == std::string::npos ? view_path : view_path.substr(0, cut);
    if (components <= 1)
        enclosing = ".";
    SCTreeNode *enc = nullptr;
    if (search(enclosing, &enc) != SC_DATA_FOUND) {
        SC_BUG();
        SC_FAIL("%s:%d Data Not Found %s\n", __func__, __LINE__, enclosing.c_str());
        return SC_DATA_NOT_FOUND;
    }
    struct list outer_list;
    list_init(&outer_list);
    if (!enc->data) {
        SC_BUG();
        return -1;
    }
    if (enc->data->dtype & SC_DTYPE_REF) {
        if (!enc->data->value) {
            SC_BUG();
            return -1;
        }
        sc_genReplaceList(sys_tmpl_uri, enc->data->value, &outer_list);
    }
    std::vector<char> sys_obj(sys_tmpl_uri, sys_tmpl_uri + strlen(sys_tmpl_uri) + 1);
    sc_util_previous_directory(sys_obj.data());
    const char *filled = sc_util_replaceIndex(sys_obj.data(), &outer_list);
    std::string sys_object = filled ? filled : "";
    sc_freeReplaceList(&outer_list);

    SCTreeNode *sys_node = nullptr;
    if (search(sys_object, &sys_node) != SC_DATA_FOUND) {
        SC_FAIL("%s:%d Data Not Found %s\n", "config_sc_me_query_sys_number", __LINE__, sys_object.c_str());
        return 0;
    }
    std::string sys_tmpl_path = template_path(sys_node, sys_object);
    SCTreeNode *tmpl = nullptr;
    bool found = search(sys_tmpl_path, &tmpl) == SC_DATA_FOUND;
    // The first free number that also numbers the fields of the template.
    int slot = free_slot(sys_node, *number);
    while (slot >= 0 && found && !numbers_fields(tmpl, sys_tmpl_path, sys_object + "/" + std::to_string(slot)))
        slot = free_slot(sys_node, slot + 1);
    if (slot < 0) {
        SC_FAIL("%s:%d reach MAX Child for query %s\n", "config_sc_me_query_sys_number", __LINE__, sys_object.c_str());
        return 0;
    }
    *number = static_cast<u_16>(slot);
    std::string sys_inst = sys_object + "/" + std::to_string(slot);
    if (!found) {
        SC_FAIL("%s:%d Data Not Found %s\n", "config_sc_add_inst_replace", __LINE__, sys_tmpl_path.c_str());
        return 0;
    }
    if (copy_template(sys_node, tmpl, sys_tmpl_path, sys_inst) != 0)
        return -1;
    *sys_tmpl_out = sys_tmpl_path;
    *sys_inst_out = sys_inst;
    return sc_genReplaceList(sys_tmpl_path.c_str(), sys_inst.c_str(), replace) == 0 ? 0 : -1;
}

// Points the references of new view instance `inst` (at `inst_path`, made
// from template `tmpl_path`) at the new "sys" instance: each takes its
// template's reference with the placeholders filled from `replace` (the
// "sys" instance numbers, not the view's), and one that names the "sys"
// template itself or a node below it names the "sys" instance instead.
void point_at_sys_inst(SCTreeNode *inst, const std::string &inst_path, const std::string &tmpl_path,
                       struct list *replace, const std::string &sys_tmpl, const std::string &sys_inst) {
    sc_eachNode(inst, [&](SCTreeNode *n) {
        SCDataType *d = n->data;
        if (!d || !d->uri || !(d->dtype & SC_DTYPE_REF) || strncmp(d->uri, inst_path.c_str(), inst_path.size()) != 0)
            return true;
        SCTreeNode *tmpl = nullptr;
        if (search(tmpl_path + (d->uri + inst_path.size()), &tmpl) != SC_DATA_FOUND || !tmpl->data ||
            !tmpl->data->value)
            return true;
        const char *filled = sc_util_replaceIndex(tmpl->data->value, replace);
        if (!filled)
            return true;
        std::string target = filled;
        if (target.compare(0, sys_tmpl.size(), sys_tmpl) == 0 &&
            (target.size() == sys_tmpl.size() || target[sys_tmpl.size()] == '/'))
            target = sys_inst + target.substr(sys_tmpl.size());
        char *copy = target.size() <= SC_URI_MAX_LEN ? sc_util_strdup(target.c_str()) : nullptr;
        if (copy) {
            SC_FREE(d->value);
            d->value = copy;
        }
        return true;
    });
}

// Whether `node` is an instance: a child of a table (a node whose instance
// template exists) other than the template. The table's template path is
// stored in *tmpl_root.
bool is_instance(SCTreeNode *node, std::string *tmpl_root) {
    SCTreeNode *table = node->parent;
    if (!table || !table->data || !table->data->uri || is_template_name(name_of(node->data->uri)))
        return false;
    *tmpl_root = template_path(table, table->data->uri);
    SCTreeNode *tmpl = nullptr;
    return search(*tmpl_root, &tmpl) == SC_DATA_FOUND;
}

// Checks that the instance at stored-form path `path` may be deleted, and
// lists it in *order after the instance its reference names, which goes
// along. 0, SC_DATA_NOT_FOUND or -1; nothing is deleted here.
int deletable(const std::string &path, int depth, std::vector<std::string> *order) {
    if (depth > DEL_REF_DEPTH_MAX) {
        SC_FAIL("%s: reference chain too long!!\n", path.c_str());
        return -1;
    }
    SCTreeNode *node = nullptr;
    int rc = search(path, &node);
    if (rc != SC_DATA_FOUND)
        return rc == SC_DATA_NOT_FOUND ? SC_DATA_NOT_FOUND : -1;
    if (!node->data) {
        SC_BUG();
        return -1;
    }
    std::string tmpl;
    if (!is_instance(node, &tmpl)) {
        SC_FAIL("%s is not an instance!!\n", path.c_str());
        return -1;
    }
    // A profile brings its instances back at every load: their deletion
    // could not be kept.
    if (node->data->declared) {
        SC_FAIL("%s is declared by its profile, not deleted!!\n", path.c_str());
        return -1;
    }
    if (config_sc_cb_holds_within(node)) {
        SC_FAIL("%s is in use by a running callback, not deleted!!\n", path.c_str());
        return -1;
    }
    if ((node->data->dtype & SC_DTYPE_REF) && node->data->value) {
        std::string target = node->data->value;
        if (target.compare(0, 2, "./") != 0)
            target = full_uri(target.c_str());
        // Only an instance of a table is deleted along: a reference to any
        // other node leaves that node alone.
        SCTreeNode *ref = nullptr;
        if (search(target, &ref) == SC_DATA_FOUND && ref->data && is_instance(ref, &tmpl)) {
            if (int sub = deletable(target, depth + 1, order); sub != 0)
                return sub;
        } else {
            SC_TRACE("%s refers to %s, which is no instance: kept\n", path.c_str(), target.c_str());
        }
    }
    order->push_back(path);
    return 0;
}

// Empties what the instance `inst` held in the flat keys its fields are
// bound to by its number: each field's part of the key (up to the binding's
// last placeholder, as its template has it), so that the number can serve a
// new instance and the keys do not grow with every add and delete.
void clear_bound_fields(SCTreeNode *inst, const std::string &tmpl_root) {
    size_t base = strlen(inst->data->uri);
    sc_eachNode(inst, [&](SCTreeNode *n) {
        SCTreeNode *tmpl = nullptr;
        if (!n->data || !n->data->TarviKey || search(tmpl_root + (n->data->uri + base), &tmpl) != SC_DATA_FOUND ||
            !tmpl->data || !tmpl->data->TarviKey)
            return true;
        size_t stages = sc_placeholderStages(tmpl->data->TarviKey);
        const char *own = n->data->TarviKey->key, *shared = tmpl->data->TarviKey->key;
        // A key named by the instance's number is the instance's whole.
        if (stages > 0 || (own && shared && strcmp(own, shared) != 0))
            sc_clearTarviKeyField(n->data->TarviKey, stages);
        return true;
    });
}

// Deletes the subtree of the instance at `path`, if it is still there;
// `clear` empties its bound fields first.
void delete_instance(const std::string &path, bool clear) {
    SCTreeNode *node = nullptr;
    std::string tmpl;
    if (search(path, &node) != SC_DATA_FOUND || !node->data || !is_instance(node, &tmpl))
        return;
    if (node->dirty)
        list_entry(node->dirty, FileType, dirty)->flag |= SC_FILE_FLAG_DIRTY;
    if (clear)
        clear_bound_fields(node, tmpl);
    config_sc_walk_forget(node);
    sc_deleteSubTree(&node);
}

// The items of a "<QV_TOKEN>" list up to its last token (the text after it
// is no item).
std::vector<std::string> items_before_last(const char *list) {
    std::vector<std::string> out;
    const char *p = list;
    for (const char *t; (t = strstr(p, QV_TOKEN)) != nullptr; p = t + QV_TOKEN_LEN)
        out.emplace_back(p, static_cast<size_t>(t - p));
    return out;
}

// Every item of a "<QV_TOKEN>" list: up to each token, and the rest when it
// is not empty.
std::vector<std::string> all_items(const char *list) {
    std::vector<std::string> out = items_before_last(list);
    const char *last = list;
    for (const char *t; (t = strstr(last, QV_TOKEN)) != nullptr;)
        last = t + QV_TOKEN_LEN;
    if (*last)
        out.emplace_back(last);
    return out;
}

bool valid_fields(const std::vector<std::string> &fields) {
    for (const std::string &f : fields) {
        if (f.empty() || f.find_first_of(" \t\r\n") != std::string::npos) {
            SC_FAIL("Field name \"%s\" is not valid!!\n", f.c_str());
            return false;
        }
    }
    return true;
}

// The value of an instance field as the instance holds it: a literal or a
// reference as stored, a key-bound field through its binding. No callbacks.
int field_value(SCTreeNode *node, char **value) {
    SCDataType *data = node->data;
    *value = nullptr;
    if ((data->dtype & SC_DTYPE_KEY) && !(data->dtype & SC_DTYPE_VALUE) && data->TarviKey)
        return sc_getStringFromTarviKeyForce(data->TarviKey, value) == 0 ? 0 : -1;
    if (data->value && !(*value = sc_util_strdup(data->value)))
        return -1;
    return 0;
}

// What the fields of one request held before it wrote them: literal values
// and whole flat values, put back when a later field is refused.
// What a commit must write, noted before a change that may be undone: which
// tree files are marked for writing and which flat containers as changed.
// Putting the marks back keeps an undone request from making the next commit
// write (the store as it is then, which a reload of the defaults may have
// made differ from the saved configuration). The lists do not change in
// between: instances and values neither add files nor containers.
class commit_marks {
  public:
    commit_marks() {
        list_for_each(pos, &SC.FileList) {
            files_.push_back(list_entry(pos, FileType, file)->flag & SC_FILE_FLAG_DIRTY);
        }
        list_for_each(pos, &ContList) {
            conts_.push_back(list_entry(pos, struct container, next)->flag & CONTAINER_CHANGED);
        }
    }
    void put_back() const {
        size_t i = 0;
        list_for_each(pos, &SC.FileList) {
            FileType *f = list_entry(pos, FileType, file);
            if (i < files_.size() && !files_[i++])
                f->flag = static_cast<u_8>(f->flag & ~SC_FILE_FLAG_DIRTY);
        }
        i = 0;
        list_for_each(pos, &ContList) {
            struct container *c = list_entry(pos, struct container, next);
            if (i < conts_.size() && !conts_[i++])
                c->flag &= ~CONTAINER_CHANGED;
        }
    }

  private:
    std::vector<bool> files_, conts_;
};

class field_undo {
  public:
    void keep(SCTreeNode *node) {
        SCDataType *d = node->data;
        if ((d->dtype & SC_DTYPE_VALUE) && !literals_.count(d->uri))
            literals_[d->uri] = d->value ? std::optional<std::string>(d->value) : std::nullopt;
        else if ((d->dtype & SC_DTYPE_KEY) && d->TarviKey && d->TarviKey->key && !keys_.count(d->TarviKey->key)) {
            char *v = nullptr;
            config_sc_tarvi_get(d->TarviKey->key, &v);
            keys_[d->TarviKey->key] = v ? std::optional<std::string>(v) : std::nullopt;
            free(v);
        }
    }
    void restore() {
        for (auto &[uri, value] : literals_) {
            SCTreeNode *node = nullptr;
            if (search(uri, &node) != SC_DATA_FOUND || !node->data)
                continue;
            SC_FREE(node->data->value);
            node->data->value = value ? sc_util_strdup(value->c_str()) : nullptr;
        }
        for (auto &[key, value] : keys_)
            if (value)
                config_sc_tarvi_set(key.c_str(), value->c_str());
        marks_.put_back();
    }

  private:
    std::map<std::string, std::optional<std::string>> literals_, keys_;
    commit_marks marks_;
};

// Counting and naming: calls `visit(name)` for each instance of the object
// at URI in sibling order. 0, SC_DATA_NOT_FOUND, or 1 for another search
// answer (nothing visited).
template <typename Visit> int each_instance(const char *URI, Visit visit) {
    if (!URI)
        return SC_DATA_NOT_FOUND;
    std::string path = full_uri(URI);
    SCTreeNode *node = nullptr;
    int rc = search(path, &node);
    if (rc == SC_DATA_NOT_FOUND) {
        SC_FAIL("%s:%d Data Not Found %s\n", __func__, __LINE__, path.c_str());
        return SC_DATA_NOT_FOUND;
    }
    if (rc != SC_DATA_FOUND)
        return 1;
    const char *puri = node->data ? node->data->uri : nullptr;
    size_t plen = puri ? strlen(puri) : 0;
    for (SCTreeNode *c = node->child; c; c = c->sibling) {
        const char *curi = c->data ? c->data->uri : nullptr;
        if (!curi || !puri || strncmp(curi, puri, plen) != 0 || curi[plen] != '/') {
            SC_BUG();
            continue;
        }
        if (!is_template_name(curi + plen + 1))
            visit(curi + plen + 1);
    }
    return 0;
}

int name_result(int rc) { return rc == SC_DATA_NOT_FOUND ? SC_DATA_NOT_FOUND : 0; }

} // namespace

int config_sc_add_inst(const char *URI, const char *name) {
    if (!URI || URI[0] == '.') {
        SC_FAIL("config_sc_add_inst: URI %s must not begin with '.'\n", URI ? URI : "(null)");
        return -1;
    }
    return add_inst(full_uri(URI), name);
}

int config_sc_query_inst_number(const char *URI, u_16 *number) {
    u_16 count = 0;
    int rc = each_instance(URI, [&](const char *) { ++count; });
    if (rc == 0)
        *number = count;
    return name_result(rc);
}

int config_sc_query_inst_name(const char *URI, u_16 nth, char **value) {
    *value = nullptr;
    u_16 i = 0;
    std::string found;
    bool has = false;
    int rc = each_instance(URI, [&](const char *name) {
        if (i++ == nth && !has) {
            found = name;
            has = true;
        }
    });
    if (has) {
        SC_TRACE("%s:%d Query =%s nth=%d\n", __func__, __LINE__, URI, nth);
        *value = sc_util_strdup(found.c_str());
    }
    return name_result(rc);
}

int config_sc_query_last_name(const char *URI, char **value) {
    *value = nullptr;
    std::string last;
    bool has = false;
    int rc = each_instance(URI, [&](const char *name) {
        last = name;
        has = true;
    });
    if (has)
        *value = sc_util_strdup(last.c_str());
    return name_result(rc);
}

int config_sc_query_sys_inst_number_by_me(const char *URI, u_16 *number) {
    if (!URI)
        return SC_DATA_NOT_FOUND;
    SCTreeNode *node = nullptr;
    std::string path = full_uri(URI);
    if (search(path, &node) != SC_DATA_FOUND || !node->data || !(node->data->dtype & SC_DTYPE_REF) ||
        !node->data->value) {
        SC_FAIL("%s:%d Data Not Found %s\n", __func__, __LINE__, path.c_str());
        return SC_DATA_NOT_FOUND;
    }
    std::string target = node->data->value;
    if (target.size() == 2)
        target.resize(1);
    if (target.compare(0, 2, "./") == 0)
        target.erase(0, 2);
    config_sc_query_inst_number(target.c_str(), number);
    return 0;
}

int config_sc_me_add_inst(const char *URI, const char *MeName, u_16 *number) {
    if (!URI || !MeName || !number || !valid_instance_name(MeName))
        return -1;
    std::string object_path = full_uri(URI);
    SCTreeNode *node = nullptr;
    if (search(object_path + "/" + MeName, &node) == SC_DATA_FOUND) {
        SC_BUG();
        return SC_DATA_NOT_FOUND;
    }
    SCTreeNode *object = nullptr;
    if (search(object_path, &object) != SC_DATA_FOUND) {
        SC_BUG();
        return SC_DATA_NOT_FOUND;
    }
    std::string view_tmpl_path = template_path(object, object_path);
    SCTreeNode *view_tmpl = nullptr;
    int rc = search(view_tmpl_path, &view_tmpl);
    if (rc == SC_DATA_NOT_FOUND) {
        SC_BUG();
        SC_FAIL("%s:%d Data Not Found %s\n", __func__, __LINE__, view_tmpl_path.c_str());
        return SC_DATA_NOT_FOUND;
    }
    struct list replace;
    list_init(&replace);
    std::string sys_tmpl, sys_inst;
    if (rc == SC_DATA_FOUND) {
        if (!view_tmpl->data) {
            SC_BUG();
            return -1;
        }
        if (!(view_tmpl->data->dtype & SC_DTYPE_REF))
            return add_inst(object_path, MeName) == 0 ? 0 : -1;
        rc = add_sys_inst(URI, view_tmpl_path, view_tmpl, number, &replace, &sys_tmpl, &sys_inst);
        if (rc != 0) {
            sc_freeReplaceList(&replace);
            return rc;
        }
    }
    if (add_inst(object_path, MeName) != 0) {
        // A refused add leaves nothing behind: not the "sys" instance either.
        if (!sys_inst.empty())
            delete_instance(sys_inst, false);
        sc_freeReplaceList(&replace);
        return -1;
    }
    SCTreeNode *inst = nullptr;
    if (search(object_path + "/" + MeName, &inst) != SC_DATA_FOUND) {
        sc_freeReplaceList(&replace);
        return -1;
    }
    // The copy filled the references' placeholders with the view's numbers.
    if (!sys_inst.empty())
        point_at_sys_inst(inst, object_path + "/" + MeName, view_tmpl_path, &replace, sys_tmpl, sys_inst);
    else
        sc_preTraverseTreeModifyRef(&replace, inst, sc_modifyRef);
    sc_freeReplaceList(&replace);
    return 0;
}

int config_sc_del_Inst(const char *URI) {
    if (!URI)
        return -1;
    std::vector<std::string> order;
    if (int rc = deletable(full_uri(URI), 0, &order); rc != 0)
        return rc;
    // The referred instances first: their subtrees may hold the others.
    for (const std::string &path : order)
        delete_instance(path, true);
    return 0;
}

int config_sc_get_instance_fields(const char *URI, const char *fields, char **values) {
    *values = nullptr;
    if (!URI || !fields)
        return -1;
    SC_TRACE("Get URI=%s, Fields=%s!!\n", URI, fields);
    std::vector<std::string> names = items_before_last(fields);
    if (names.empty()) {
        *values = sc_util_strdup("");
        return *values ? 0 : -1;
    }
    if (!valid_fields(names))
        return -1;
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        std::string query = std::string(URI) + "/" + names[i];
        SC_TRACE("Query = %s!!\n", query.c_str());
        SCTreeNode *node = nullptr;
        int rc = config_sc_search("config_sc_get_instance_fields", query.c_str(), &node);
        if (rc == SC_DATA_NOT_FOUND) {
            SC_DEBUG_AT(SC_DEBUG_TRACE, "Query %s not found!!\n", query.c_str());
            return SC_DATA_NOT_FOUND;
        }
        if (rc != SC_DATA_FOUND)
            return rc == SC_URI_TOO_LONG ? SC_URI_TOO_LONG : -1;
        if (!node->data) {
            SC_BUG();
            return -1;
        }
        char *v = nullptr;
        if (field_value(node, &v) != 0)
            return -1;
        if (i)
            out += QV_TOKEN;
        out += v ? v : QV_NULL;
        SC_FREE(v);
        // The caller's buffer holds SC_INST_FIELDS_BUF_SIZE bytes: a list
        // that does not fit is refused, not cut.
        if (out.size() >= SC_INST_FIELDS_BUF_SIZE) {
            SC_FAIL("Values of %s do not fit in %d bytes!!\n", URI, SC_INST_FIELDS_BUF_SIZE);
            return -1;
        }
    }
    *values = sc_util_strdup(out.c_str());
    return *values ? 0 : -1;
}

int config_sc_set_instance_fields(const char *URI, const char *fields, const char *values) {
    if (!URI || !fields || !values)
        return -1;
    SC_TRACE("Set URI=%s, Fields=%s, Value=%s!!\n", URI, fields, values);
    std::vector<std::string> names = items_before_last(fields);
    if (names.empty())
        return 0;
    std::vector<std::string> vals = all_items(values);
    if (!valid_fields(names))
        return -1;
    // Every field takes one value: a list of another length was cut or
    // joined on its way here.
    if (vals.size() != names.size()) {
        SC_FAIL("Set URI=%s: %zu values for %zu fields!!\n", URI, vals.size(), names.size());
        return -1;
    }
    field_undo undo;
    for (size_t i = 0; i < names.size(); ++i) {
        std::string query = std::string(URI) + "/" + names[i];
        SCTreeNode *node = nullptr;
        int rc = config_sc_search("config_sc_set_instance_fields", query.c_str(), &node);
        for (int depth = 0; rc == SC_DATA_FOUND && node->data && (node->data->dtype & SC_DTYPE_REF); ++depth) {
            // A reference field is written where it points, as a set would.
            rc = depth < DEL_REF_DEPTH_MAX && node->data->value
                     ? config_sc_search("config_sc_set_instance_fields", node->data->value, &node)
                     : -1;
        }
        if (rc != SC_DATA_FOUND || !node->data) {
            SC_FAIL("Query %s not found!!\n", query.c_str());
            undo.restore();
            return rc == SC_DATA_NOT_FOUND ? SC_DATA_NOT_FOUND : -1;
        }
        char *value = sc_util_replace_all(vals[i].c_str(), QV_SPACE, " ");
        if (!value) {
            undo.restore();
            return -1;
        }
        SC_TRACE("Value%zu = %s!!\n", i, value);
        undo.keep(node);
        sc_node_hold hold(node);
        rc = sc_setStringFromNodeForce(node, value);
        SC_FREE(value);
        // The fields written before go back: a refused request changes nothing.
        if (rc != 0) {
            undo.restore();
            return -1;
        }
    }
    return 0;
}

int config_sc_add_instance_fields(const char *URI, const char *fields, const char *values, char **name) {
    *name = nullptr;
    if (!URI || !fields || !values)
        return -1;
    std::string serial_uri = std::string(URI) + "@@@serial";
    SCTreeNode *serial = nullptr;
    int rc = config_sc_search("config_sc_add_instance_fields", serial_uri.c_str(), &serial);
    if (rc != SC_DATA_FOUND) {
        SC_FAIL("URI %s does not exist!!\n", serial_uri.c_str());
        return rc == SC_DATA_NOT_FOUND ? SC_DATA_NOT_FOUND : -1;
    }
    if (!serial->data) {
        SC_BUG();
        return -1;
    }
    // The lowest number that no instance has and that numbers the fields of
    // the template: numbers come back free when instances go, so a table
    // bound to a flat key by instance number does not outgrow the key.
    std::string object_path = full_uri(URI);
    SCTreeNode *object = nullptr;
    if (search(object_path, &object) != SC_DATA_FOUND)
        return -1;
    std::string tmpl_path = template_path(object, object_path), number;
    SCTreeNode *tmpl = nullptr, *existing = nullptr;
    if (search(tmpl_path, &tmpl) != SC_DATA_FOUND)
        return SC_DATA_NOT_FOUND;
    size_t count = 0;
    for (SCTreeNode *c = object->child; c; c = c->sibling)
        ++count;
    for (size_t n = 1; number.empty() && n <= count + 2; ++n) {
        std::string path = object_path + "/" + std::to_string(n);
        if (search(path, &existing) != SC_DATA_FOUND && numbers_fields(tmpl, tmpl_path, path))
            number = std::to_string(n);
    }
    commit_marks marks;
    if (number.empty() || add_inst(object_path, number.c_str()) != 0) {
        SC_FAIL("Add instance Fail!!uri=%s, name=%s\n", URI, number.c_str());
        return -1;
    }
    std::string inst = std::string(URI) + "/" + number;
    if (config_sc_set_instance_fields(inst.c_str(), fields, values) != 0) {
        SC_FAIL("Set instance Fail!!uri=%s\n", inst.c_str());
        // The fields went back; the instance goes too.
        delete_instance(object_path + "/" + number, false);
        marks.put_back();
        return -1;
    }
    // The fields' callbacks may have run: the serial node is searched again.
    if (config_sc_search("config_sc_add_instance_fields", serial_uri.c_str(), &serial) != SC_DATA_FOUND ||
        sc_setStringFromNodeForce(serial, number.c_str()) != 0)
        return -1;
    *name = sc_util_strdup(number.c_str());
    return *name ? 0 : -1;
}

// An instance name makes one path component that every operation and the
// tree files carry back: letters, digits, '_' and '-', and no "-1" in it,
// which marks templates (hidden from walks, left out of saves).
bool valid_instance_name(const char *name) {
    if (!name || !*name || strstr(name, "-1") ||
        strspn(name, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-") != strlen(name)) {
        SC_FAIL("Instance name %s is not valid!!\n", name ? name : "(null)");
        return false;
    }
    return true;
}
