#include "sc_tree_cb.h"

#include <cstring>
#include <string>
#include <vector>

#include "paths.h"
#include "sc_debug.h"
#include "sc_memiface.h"
#include "sc_tree.h"
#include "sc_tree_file.h"
#include "sc_tree_key.h"
#include "sc_utiliface.h"
#include "tarvid_store.h"
#include "unique.h"

sc_op_notify_fn sc_op_notify_hook = nullptr;

namespace {

// Fields of a line split at every ';', trimmed.
std::vector<std::string> split_fields(const std::string &line) {
    std::vector<std::string> out;
    size_t pos = 0;
    for (;;) {
        size_t end = line.find(';', pos);
        out.push_back(sc_util_trimmed(line.substr(pos, end == std::string::npos ? std::string::npos : end - pos)));
        if (end == std::string::npos)
            return out;
        pos = end + 1;
    }
}

bool is_shared(const char *text, struct list *so_list) {
    list_for_each(pos, so_list) {
        if (list_entry(pos, SOType, chain)->name == text)
            return true;
    }
    return false;
}

// What differs between the two kinds of file.
struct Kind {
    const char *folder;
    const char *ext;
    const char *proc; // name in the line messages
    const char *too_long;
    const char *fopen_fail;
    const char *open_fail;
    const char *bad_name;
    const char *total;
    const char *close_fail;
    struct list SCType::*so_list;
    // Applies the fields after the URI to the node; `so` is the file's
    // current "$so=" object or null.
    void (*apply)(SCTreeNode *node, const std::vector<std::string> &f, char *so, struct list *so_list);
};

// Stores field `i` of `f` (labelled `label`) in *member when it is 1 to 63
// characters long, replacing what an earlier line stored.
void store_field(char **member, const std::vector<std::string> &f, size_t i, const char *label, struct list *so_list) {
    if (i >= f.size()) {
        SC_FAIL("[%s]Input line format is invalid\n", label);
        return;
    }
    const std::string &text = f[i];
    if (text.empty() || text.size() >= SC_CB_FIELD_LIMIT) {
        SC_TRACE("[%s] Extract nothing, strlen= %zu!!\n", label, text.size());
        return;
    }
    char *copy = sc_util_strdup(text.c_str());
    if (!copy) {
        SC_FAIL("[sc_processLineFromCBFile] BUG: %s strdup FAIL!!\n", label);
        return;
    }
    if (*member && !is_shared(*member, so_list))
        SC_FREE(*member);
    *member = copy;
}

void apply_cb(SCTreeNode *node, const std::vector<std::string> &f, char *so, struct list *so_list) {
    SCDataType *data = node->data;
    if (!data->CBData) {
        data->CBData = static_cast<CBDataType *>(SC_ZALLOC(sizeof(CBDataType)));
        if (!data->CBData) {
            SC_FAIL("CBDataType Struct initailzation Fail!\n");
            return;
        }
    }
    CBDataType *cb = data->CBData;
    char **members[] = {&cb->so, &cb->get, &cb->set, &cb->add, &cb->del, &cb->ver, &cb->exe, &cb->cov, &cb->arg};
    const char *labels[] = {"SO", "GET", "SET", "ADD", "DEL", "VER", "EXE", "COV", "ARG"};
    for (size_t i = 0; i < 9; ++i)
        store_field(members[i], f, i + 1, labels[i], so_list);
    if (!cb->so && so)
        cb->so = so;
}

void apply_notify(SCTreeNode *node, const std::vector<std::string> &f, char *so, struct list *so_list) {
    SCDataType *data = node->data;
    bool fresh = !data->Notify;
    if (fresh) {
        data->Notify = static_cast<NotifyType *>(SC_ZALLOC(sizeof(NotifyType)));
        if (!data->Notify) {
            SC_FAIL("NotifyType Struct initailzation Fail!\n");
            return;
        }
    }
    NotifyType *nt = data->Notify;
    store_field(&nt->so, f, 1, "SO", so_list);
    if (f.size() < 3)
        SC_FAIL("[%s]Input line format is invalid\n", "AC");
    nt->active = f.size() >= 3 && f[2] == "active" ? 1 : 0;
    store_field(&nt->cb, f, 3, "CB", so_list);
    store_field(&nt->arg, f, 4, "ARG", so_list);
    if (!nt->so && so)
        nt->so = so;
    // A change of the bound flat value must reach the node.
    if (fresh && data->TarviKey && data->TarviKey->key)
        config_notify_register(data->TarviKey->key, node);
}

const Kind cb_kind = {
    SC_CB_FOLDER,
    ".cb",
    "[sc_processLineFromCBFile]",
    "[sc_readCBFromCBFile] File name is too long!\n",
    "Read File Fopen %s Fail\n",
    "[sc_readCBFromCBFolder] opendir Fail!\n",
    "[sc_readCBFromCBFolder] File name %s is not *.cb format!\n",
    "[sc_readCBFromCBFolder] readdir() found a total of %i files\n",
    "[sc_readCBFromCBFolder] closedir Fail!\n",
    &SCType::SOList,
    apply_cb,
};

const Kind notify_kind = {
    SC_NOTIFY_FOLDER,
    ".notify",
    "[sc_processLineFromNotifyFile]",
    "[sc_readNotifyFromNotifyFile] File name is too long!\n",
    "Read File Fopen %s Fail\n",
    "[sc_readNotifyFromNotifyFolder] opendir Fail!\n",
    "[sc_readNotifyFromNotifyFolder] File name %s is not *.notify format!\n",
    "[sc_readNotifyFromNotifyFolder] readdir() found a total of %i files\n",
    "[sc_readNotifyFromNotifyFolder] closedir Fail!\n",
    &SCType::NSOList,
    apply_notify,
};

void process_line(SCType *sc, const Kind &kind, const std::string &line, char *so) {
    std::vector<std::string> f = split_fields(line);
    if (f[0].empty()) {
        SC_FAIL("[URI]Input line format is invalid\n");
        return;
    }
    std::vector<char> uri(f[0].begin(), f[0].end());
    uri.push_back('\0');
    if (strchr(uri.data(), '.'))
        sc_transCWMPtoSYS(uri.data());
    std::string full = std::string("./") + uri.data();
    SCTreeNode *parent = nullptr;
    SCTreeNode *node = nullptr;
    if (sc_searchNode(&sc->tree, full.c_str(), &parent, &node) != SC_DATA_FOUND || !node) {
        SC_FAIL("%s No such URI %s Exist!!\n", kind.proc, uri.data());
        return;
    }
    SC_TRACE("%s %s Exist!!\n", kind.proc, full.c_str());
    kind.apply(node, f, so, &(sc->*kind.so_list));
}

int read_file(SCType *sc, const Kind &kind, const char *file_name) {
    SC_FUNC_TRACE();
    if (!file_name || strlen(file_name) > SC_CB_PATH_MAX) {
        SC_FAIL("%s", kind.too_long);
        return -1;
    }
    unique_file f(fopen(tarvi_path(file_name).c_str(), "re"));
    if (!f) {
        SC_FAIL(kind.fopen_fail, file_name);
        return -1;
    }
    // The module is the file name up to its extension.
    const char *base = strrchr(file_name, '/');
    std::string module = base ? base + 1 : file_name;
    module = module.substr(0, module.find(kind.ext));
    char *so = nullptr;
    std::string line;
    for (int got; (got = sc_readLine(f.get(), &line)) != 0;) {
        if (got < 0)
            continue;
        std::string t = sc_util_trimmed(line);
        if (t.compare(0, 4, "$so=") == 0) {
            std::string name = sc_util_trimmed(t.substr(4));
            if (name.empty())
                continue;
            auto *rec = static_cast<SOType *>(SC_ZALLOC(sizeof(SOType)));
            if (rec) {
                rec->name = sc_util_strdup(name.c_str());
                rec->FileName = sc_util_strdup(module.c_str());
            }
            if (!rec || !rec->name || !rec->FileName) {
                SC_FAIL("SOType Struct initailzation Fail!\n");
                if (rec) {
                    SC_FREE(rec->name);
                    SC_FREE(rec->FileName);
                }
                SC_FREE(rec);
                return SC_MALLOC_FAIL;
            }
            list_add(&rec->chain, &(sc->*kind.so_list));
            so = rec->name;
            continue;
        }
        if (t.empty() || t[0] == '#')
            continue;
        process_line(sc, kind, t, so);
    }
    return 0;
}

int read_folder(SCType *sc, const Kind &kind, const char *stage) {
    SC_FUNC_TRACE();
    std::string dir;
    std::vector<std::string> names;
    bool ok = sc_stageFolder(kind.folder, stage, &dir);
    SC_TRACE("%s folder =%s!\n", kind.proc, dir.c_str());
    if (!ok || !sc_listFolder(dir, &names, kind.close_fail)) {
        SC_FAIL("%s", kind.open_fail);
        return -1;
    }
    int count = 0;
    for (const std::string &name : names) {
        if (name.find(kind.ext) == std::string::npos) {
            SC_FAIL(kind.bad_name, name.c_str());
            continue;
        }
        SC_TRACE("[sc_readCBFromCBFolder] Find the module: %s\n", name.c_str());
        ++count;
        if (read_file(sc, kind, (dir + "/" + name).c_str()) == SC_MALLOC_FAIL)
            break;
    }
    SC_TRACE(kind.total, count);
    return 0;
}

// Runs the node's notify function with `value` and drops its output.
void run_notify(SCTreeNode *node, const char *value) {
    char *output = nullptr;
    if (sc_op_notify_hook)
        sc_op_notify_hook(node, value, &output);
    SC_FREE(output);
}

} // namespace

int sc_readCBFromCBFolder(SCType *sc, const char *stage) { return read_folder(sc, cb_kind, stage); }

int sc_readNotifyFromNotifyFolder(SCType *sc, const char *stage) {
    sc_setNotify_hook = sc_setNotify;
    return read_folder(sc, notify_kind, stage);
}

int sc_readCBFromCBFile(SCType *sc, const char *file_name) { return read_file(sc, cb_kind, file_name); }

int sc_readNotifyFromNotifyFile(SCType *sc, const char *file_name) {
    sc_setNotify_hook = sc_setNotify;
    return read_file(sc, notify_kind, file_name);
}

int sc_setNotify(SCTreeNode *node, const char *value) {
    SC_FUNC_TRACE();
    if (!node || !node->data || !node->data->Notify) {
        SC_BUG();
        return -1;
    }
    if (node->data->Notify->active) {
        run_notify(node, value);
        return 0;
    }
    if (!node->dirty) {
        SC_BUG();
        return -1;
    }
    if (list_empty(&node->notify)) {
        FileType *file = list_entry(node->dirty, FileType, dirty);
        list_add(&node->notify, &file->NotifyList);
    }
    return 0;
}

int sc_setNotifyNode(SCTreeNode *node) {
    if (!node || !node->data || !node->data->TarviKey) {
        SC_BUG();
        return -1;
    }
    char *value = nullptr;
    sc_getStringFromTarviKeyForce(node->data->TarviKey, &value);
    int ret = sc_setNotify(node, value);
    SC_FREE(value);
    return ret;
}

int sc_notifyPassive(SCType *sc, const char *name) {
    SC_FUNC_TRACE();
    if (!sc || !name)
        return 0;
    list_for_each(pos, &sc->FileList) {
        FileType *file = list_entry(pos, FileType, file);
        if (!file->FileName || strcmp(file->FileName, name) != 0)
            continue;
        while (!list_empty(&file->NotifyList)) {
            struct list *link = file->NotifyList.next;
            SCTreeNode *node = list_entry(link, SCTreeNode, notify);
            char *value = nullptr;
            sc_getStringFromNodeForce(node, &value);
            run_notify(node, value);
            SC_FREE(value);
            list_del_init(link);
        }
    }
    return 0;
}
