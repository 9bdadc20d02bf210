#include "sc_tree_write.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <unistd.h>

#include "paths.h"
#include "sc_debug.h"
#include "sc_tree_cb.h"
#include "sc_tree_file.h"
#include "sc_tree_key.h"
#include "sc_words.h"

namespace {

FileType *module_entry(struct list *pos) { return list_entry(pos, FileType, file); }

bool is_cwmp(const FileType *f) { return f->FileName && strncmp(f->FileName, "cwmp", 4) == 0; }

// The URI as files hold it: without "./", dotted for CWMP modules.
std::string file_uri(const SCDataType *data, bool isCWMP) {
    std::string uri = data->uri;
    if (uri.compare(0, 2, "./") == 0)
        uri.erase(0, 2);
    if (isCWMP) {
        for (char &c : uri) {
            if (c == '/')
                c = '.';
        }
    }
    return uri;
}

// "k(key)split(C){I}..." with the stages in the order they were written.
std::string binding_text(const TarviKeyType *key) {
    std::string out = "k(";
    out += key->key ? key->key : "";
    out += ")";
    auto *head = const_cast<struct list *>(&key->split);
    for (struct list *pos = head->prev; pos != head; pos = pos->prev) {
        const SplitType *s = list_entry(pos, SplitType, chain);
        if (s->delimiter == '\0' || s->index == 0)
            SC_FAIL("BUG: %s:%d\n", "sc_reverseDataToString", __LINE__);
        std::string index;
        if (s->index > 0)
            index = std::to_string(s->index);
        else if (s->index >= -20)
            index = "$" + std::to_string(-s->index);
        else if (s->index >= -39)
            index = "#" + std::to_string(-20 - s->index);
        else
            index = "$" + std::to_string(-s->index);
        out += "split(";
        if (s->delimiter)
            out += s->delimiter;
        out += "){" + index + "}";
    }
    return out;
}

// The Data field. A null value in value or reference form is written
// "SC_NULL", which the readers take as null ("v()" would come back as the
// empty string).
int data_text(const SCDataType *data, std::string *out) {
    out->clear();
    bool has_form = data->dtype & (SC_DTYPE_VALUE | SC_DTYPE_REF);
    if (has_form) {
        const char *v = data->value ? data->value : "SC_NULL";
        if (!sc_isStorableValue(v)) {
            SC_FAIL("value of %s cannot be written to a file!!\n", data->uri);
            return -1;
        }
        *out = (data->dtype & SC_DTYPE_VALUE) ? "v(" : "r(";
        *out += v;
        *out += ")";
    }
    if (data->TarviKey) {
        if (has_form)
            *out += ",";
        *out += binding_text(data->TarviKey);
    }
    return 0;
}

// Opens `tmp` for writing under the device root, making the stage folder
// when it is missing (a fresh working folder holds none).
FILE *open_tmp(const std::string &folder, const std::string &tmp) {
    std::error_code ec;
    std::filesystem::create_directories(tarvi_path(folder.c_str()), ec);
    return fopen(tarvi_path(tmp.c_str()).c_str(), "we");
}

// One file of module `f`: `body` written under the temporary name, then
// renamed over the final one. 0, or -1 (no temporary file is left then).
int write_module_file(const FileType *f, const char *folder, const char *tmpext, const char *ext,
                      const std::string &body, const char *trace, const char *open_fail) {
    std::string dir = std::string(folder) + f->stage;
    std::string final_path = dir + "/" + f->FileName + ext;
    std::string tmp = dir + "/" + f->FileName + tmpext;
    // A name the readers would refuse is refused here, before anything is
    // written: a cut name would be another module.
    if (final_path.size() >= SC_FILE_PATH_LIMIT) {
        SC_FAIL("FileName is too long!!!%zu, %d, %s\n", strlen(f->FileName), SC_FILE_PATH_LIMIT - 1, f->FileName);
        return -1;
    }
    SC_TRACE(trace, final_path.c_str());
    FILE *out = open_tmp(dir, tmp);
    if (!out) {
        SC_FAIL(open_fail, tmp.c_str());
        return -1;
    }
    bool ok = fwrite(body.data(), 1, body.size(), out) == body.size();
    ok = fclose(out) == 0 && ok;
    std::string tmp_dev = tarvi_path(tmp.c_str());
    if (!ok) {
        SC_FAIL("Can't write %s : %s !!\n", tmp.c_str(), strerror(errno));
        unlink(tmp_dev.c_str());
        return -1;
    }
    if (rename(tmp_dev.c_str(), tarvi_path(final_path.c_str()).c_str()) != 0) {
        SC_FAIL("Can't rename %s to %s : %s !!\n", tmp.c_str(), final_path.c_str(), strerror(errno));
        unlink(tmp_dev.c_str());
        return -1;
    }
    return 0;
}

// Lines of the nodes that `pick` selects among `nodes` (a list walked oldest
// first through prev; `link` gives a node from its link). -1 when a chosen
// node could not be written; the others are in *body all the same.
template <typename Link, typename Pick>
int node_lines(struct list *nodes, Link link, bool cwmp, Pick pick, std::string *body) {
    int rc = 0;
    std::string line;
    for (struct list *pos = nodes->prev; pos != nodes; pos = pos->prev) {
        const SCTreeNode *node = link(pos);
        if (!pick(node))
            continue;
        if (sc_nodeLine(node, cwmp, &line) != 0)
            rc = -1;
        else
            *body += line;
    }
    return rc;
}

const SCTreeNode *by_file_link(struct list *pos) { return list_entry(pos, SCTreeNode, file); }
const SCTreeNode *by_dirty_link(struct list *pos) { return list_entry(pos, SCTreeNode, dirty_chain); }

bool has_uri(const SCTreeNode *n) { return n->data && n->data->uri; }

// Writes one tree file per module that `pick_module` selects; `after` runs
// for each module saved. 0, or -1 when any module failed.
template <typename PickModule, typename Lines, typename After>
int save_modules(SCType *sc, const char *folder, const char *tmpext, const char *ext, const char *trace,
                 const char *open_fail, PickModule pick_module, Lines lines, After after) {
    int rc = 0;
    list_for_each(pos, &sc->FileList) {
        FileType *f = module_entry(pos);
        if (!f->FileName || !pick_module(f))
            continue;
        std::string body;
        int lines_rc = lines(f, &body);
        if (write_module_file(f, folder, tmpext, ext, body, trace, open_fail) != 0) {
            rc = -1;
            continue;
        }
        after(f);
        if (lines_rc != 0)
            rc = -1;
    }
    return rc;
}

// The "$so=" object declared for module `f` in `so_list`, or null.
const char *module_so(struct list *so_list, const FileType *f) {
    list_for_each(pos, so_list) {
        SOType *so = list_entry(pos, SOType, chain);
        if (so->FileName && strcmp(so->FileName, f->FileName) == 0)
            return so->name;
    }
    return nullptr;
}

const char *text(const char *s) { return s ? s : ""; }

// The SO field: empty when it is the module's "$so=" object.
const char *so_field(const char *so, const char *module_object) {
    return so && module_object && strcmp(so, module_object) == 0 ? "" : text(so);
}

// An instance's callback and notify records come from its template, which
// is where the files declare them: only the template's are written.
bool borrows_records(const SCTreeNode *n) { return n->data->InstNode != nullptr; }

// Callback or notify export of every module: "$so=" first, then one line
// per node that `line_of` gives a line for.
template <typename LineOf>
int export_records(SCType *sc, struct list *so_list, const char *folder, const char *tmpext, const char *ext,
                   const char *open_fail, LineOf line_of) {
    return save_modules(
        sc, folder, tmpext, ext, "Filename=%s\n", open_fail, [](FileType *) { return true; },
        [&](FileType *f, std::string *body) {
            const char *object = module_so(so_list, f);
            if (object)
                *body += std::string("$so=") + object + "\r\n";
            bool cwmp = is_cwmp(f);
            for (struct list *pos = f->node.prev; pos != &f->node; pos = pos->prev) {
                const SCTreeNode *n = by_file_link(pos);
                if (has_uri(n) && !borrows_records(n))
                    *body += line_of(n, file_uri(n->data, cwmp), object);
            }
            return 0;
        },
        [](FileType *) {});
}

} // namespace

char *sc_transSYStoCWMP(char *uri) {
    if (!uri)
        return uri;
    for (char *p = uri; *p; ++p) {
        if (*p == '/')
            *p = '.';
    }
    return uri;
}

int sc_nodeLine(const SCTreeNode *node, bool isCWMP, std::string *line) {
    line->clear();
    if (!node || !has_uri(node)) {
        SC_BUG();
        return -1;
    }
    const SCDataType *data = node->data;
    std::string dtext;
    if (data_text(data, &dtext) != 0)
        return -1;
    *line = file_uri(data, isCWMP) + ";" + sc_attributeText(data->attr) + ";" + sc_dataTypeName(data->dtype) + ";" +
            text(data->limit);
    if (!dtext.empty())
        *line += ";" + dtext;
    // The reader takes a line of at most SC_LINE_BUF_SIZE - 1 characters
    // with its CR; a longer one would be skipped whole.
    if (line->size() + 1 > SC_LINE_BUF_SIZE - 1) {
        SC_FAIL("line of %s is too long to be written!!\n", data->uri);
        line->clear();
        return -1;
    }
    *line += "\r\n";
    return 0;
}

bool sc_nodeLineFits(const SCTreeNode *node, const char *value) {
    if (!node || !node->data)
        return false;
    SCDataType data = *node->data;
    data.value = const_cast<char *>(value);
    SCTreeNode probe = *node;
    probe.data = &data;
    std::string line;
    return sc_nodeLine(&probe, false, &line) == 0;
}

int sc_writeNodeToTreeFile(const SCTreeNode *node, FILE *FileHandler, bool isCWMP) {
    std::string line;
    if (sc_nodeLine(node, isCWMP, &line) != 0)
        return -1;
    return fwrite(line.data(), 1, line.size(), FileHandler) == line.size() ? 0 : -1;
}

int sc_writeDirtyToEtcFile(SCType *sc) {
    SC_FUNC_TRACE();
    return save_modules(
        sc, SC_TREE_FOLDER, ".tmptree", ".tree", "[sc_writeProfileToProfileFile] Filename=%s\n",
        "[sc_writeProfileToProfileFile] Fopen %s Fail\n", [](FileType *f) { return f->flag & SC_FILE_FLAG_DIRTY; },
        [](FileType *f, std::string *body) { return node_lines(&f->dirty, by_dirty_link, is_cwmp(f), has_uri, body); },
        [](FileType *f) { f->flag = static_cast<u_8>(f->flag & ~SC_FILE_FLAG_DIRTY); });
}

int sc_writeTreeToTreeFile(SCType *sc) {
    SC_FUNC_TRACE();
    return save_modules(
        sc, SC_TREE_FOLDER, ".tmptree", ".tree", "[sc_writeTreeToTreeFile] Filename=%s\n",
        "[sc_writeTreeToTreeFile] Fopen Fail%.0s\n", [](FileType *) { return true; },
        [](FileType *f, std::string *body) {
            return node_lines(
                &f->node, by_file_link, is_cwmp(f),
                [](const SCTreeNode *n) { return has_uri(n) && !strstr(n->data->uri, "-1"); }, body);
        },
        [](FileType *) {});
}

int sc_writeProfileToProfileFile(SCType *sc) {
    SC_FUNC_TRACE();
    return save_modules(
        sc, SC_TREE_WORK_PROFILE_FOLDER, ".tmpprofile", ".profile", "[sc_writeProfileToProfileFile] Filename=%s\n",
        "[sc_writeProfileToProfileFile] Fopen Fail %s\n", [](FileType *) { return true; },
        [](FileType *f, std::string *body) { return node_lines(&f->node, by_file_link, is_cwmp(f), has_uri, body); },
        [](FileType *) {});
}

int sc_writeCBToCBFile(SCType *sc) {
    SC_FUNC_TRACE();
    return export_records(
        sc, &sc->SOList, SC_TREE_WORK_CB_FOLDER, ".tmpcb", ".cb", "[sc_writeCBToCBFile] Fopen Fail %s\n",
        [](const SCTreeNode *n, const std::string &uri, const char *object) {
            const CBDataType *cb = n->data->CBData;
            if (!cb)
                return std::string();
            const char *steps[] = {cb->get, cb->set, cb->add, cb->del, cb->ver, cb->exe, cb->cov, cb->arg};
            std::string line = uri + ";" + so_field(cb->so, object);
            bool any = false;
            for (const char *s : steps) {
                any = any || s;
                line += std::string(";") + text(s);
            }
            return any ? line + "\r\n" : std::string();
        });
}

int sc_writeNotifyToNotifyFile(SCType *sc) {
    SC_FUNC_TRACE();
    return export_records(sc, &sc->NSOList, SC_TREE_WORK_NOTIFY_FOLDER, ".tmpnotify", ".notify",
                          "[WriteNotifyToNotiftFile] Fopen Fail %s\n",
                          [](const SCTreeNode *n, const std::string &uri, const char *object) {
                              const NotifyType *nt = n->data->Notify;
                              if (!nt)
                                  return std::string();
                              return uri + ";" + so_field(nt->so, object) + ";" + (nt->active ? "active" : "passive") +
                                     ";" + text(nt->cb) + ";" + text(nt->arg) + "\r\n";
                          });
}
