#include "sc_tree_file.h"

#include <algorithm>
#include <cstring>
#include <dirent.h>

#include "paths.h"
#include "sc_debug.h"
#include "sc_memiface.h"
#include "sc_tree.h"
#include "sc_tree_cb.h"
#include "sc_tree_inst.h"
#include "sc_tree_key.h"
#include "sc_utiliface.h"
#include "sc_words.h"
#include "unique.h"

namespace {

// The five fields of a line. The first four are separated by ';' (empty
// fields kept); Data is the untouched rest of the line, so a ';' inside it,
// such as the split character of "split(;)", stays exactly as written.
struct LineFields {
    std::string uri, atr, type, limit, data;
    bool has_atr = false, has_type = false, has_limit = false, has_data = false;
};

LineFields split_line(const std::string &line) {
    LineFields f;
    std::string *fields[] = {&f.uri, &f.atr, &f.type, &f.limit};
    bool *present[] = {nullptr, &f.has_atr, &f.has_type, &f.has_limit};
    size_t pos = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (pos > line.size())
                return f;
            *present[i] = true;
        }
        size_t end = line.find(';', pos);
        *fields[i] = sc_util_trimmed(line.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
        pos = end == std::string::npos ? line.size() + 1 : end + 1;
    }
    if (pos <= line.size()) {
        f.data = sc_util_trimmed(line.substr(pos));
        f.has_data = !f.data.empty();
    }
    return f;
}

bool is_comment(const std::string &line) {
    std::string t = sc_util_trimmed(line);
    return t.empty() || t[0] == '#';
}

FileType *module_of(const SCTreeNode *node) {
    return node && node->dirty ? list_entry(node->dirty, FileType, dirty) : nullptr;
}

FileType *find_module(SCType *sc, const char *name) {
    list_for_each(pos, &sc->FileList) {
        FileType *f = list_entry(pos, FileType, file);
        if (f->FileName && strcmp(f->FileName, name) == 0)
            return f;
    }
    return nullptr;
}

FileType *new_module(SCType *sc, const char *name, char stage) {
    auto *f = static_cast<FileType *>(SC_ZALLOC(sizeof(FileType)));
    if (!f) {
        SC_FAIL("FileType Struct initailzation Fail!\n");
        return nullptr;
    }
    list_init(&f->node);
    list_init(&f->dirty);
    list_init(&f->NotifyList);
    f->stage = stage;
    f->FileName = sc_util_strdup(name);
    if (!f->FileName) {
        SC_FAIL("FileNmae in FileType Struct initailzation Fail!\n");
        SC_FREE(f);
        return nullptr;
    }
    list_add(&f->file, &sc->FileList);
    return f;
}

// One stage folder's files of one kind, with the reader's messages.
struct FolderScan {
    const char *folder; // SC_PROFILE_FOLDER or SC_TREE_FOLDER
    const char *ext;    // ".profile" or ".tree"
    const char *open_fail;
    const char *bad_name;
    const char *fopen_fail;
    const char *total;
    const char *close_fail;
};

const FolderScan profile_scan = {
    SC_PROFILE_FOLDER,
    ".profile",
    "[sc_readProfileFromProfileFolder] opendir(%s) Fail!\n",
    "[sc_readProfileFromProfileFolder] File name %s is not *.profile format!\n",
    "Read File Fopen Fail %s\n",
    "[sc_readProfileFromProfileFolder] readdir() found a total of %i files\n",
    "[sc_readProfileFromProfileFolder] closedir Fail!\n",
};

const FolderScan tree_scan = {
    SC_TREE_FOLDER,
    ".tree",
    "[sc_readTreeFromTreeFolder] opendir Fail!%.0s\n",
    "[sc_readTreeFromTreeFolder] File name %s is not *.tree format!\n",
    "Read File %s Fopen Fail\n",
    "[sc_readTreeFromTreeFolder] readdir() found a total of %i files\n",
    "[sc_readTreeFromTreeFolder] closedir Fail!\n",
};

// Calls `read_file(stream, module name, stage character)` for every file of
// the scan's kind in the stage folder.
template <typename ReadFile> int scan_folder(const FolderScan &scan, const char *stage, ReadFile read_file) {
    std::string dir;
    std::vector<std::string> names;
    if (!sc_stageFolder(scan.folder, stage, &dir) || !sc_listFolder(dir, &names, scan.close_fail)) {
        SC_FAIL(scan.open_fail, dir.c_str());
        return -1;
    }
    int count = 0;
    for (const std::string &name : names) {
        size_t at = name.find(scan.ext);
        if (at == std::string::npos) {
            SC_FAIL(scan.bad_name, name.c_str());
            continue;
        }
        std::string path = dir + "/" + name;
        if (path.size() >= SC_FILE_PATH_LIMIT) {
            SC_FAIL("[sc_readTreeFromTreeFile] File name is too long!\n");
            continue;
        }
        unique_file f(fopen(tarvi_path(path.c_str()).c_str(), "re"));
        if (!f) {
            SC_FAIL(scan.fopen_fail, path.c_str());
            continue;
        }
        ++count;
        read_file(f.get(), name.substr(0, at), dir.back());
    }
    SC_TRACE(scan.total, count);
    return 0;
}

// Calls `line_op(fields)` for every line of `f` that is no comment and has
// the three required fields; CWMP modules are converted to slash notation
// first.
template <typename LineOp> void read_lines(FILE *f, const std::string &module, LineOp line_op) {
    bool cwmp = module.compare(0, 4, "cwmp") == 0;
    std::string line;
    for (int got; (got = sc_readLine(f, &line)) != 0;) {
        if (got < 0 || is_comment(line))
            continue;
        if (cwmp) {
            std::vector<char> buf(line.begin(), line.end());
            buf.push_back('\0');
            line = sc_transCWMPtoSYS(sc_util_trim(buf.data()));
        }
        LineFields fields = split_line(line);
        if (fields.uri.empty()) {
            SC_FAIL("[URI]Input line format is invalid\n");
            continue;
        }
        if (!fields.has_atr) {
            SC_FAIL("[ATTR]Input line format is invalid\n");
            continue;
        }
        if (!fields.has_type) {
            SC_FAIL("[DataType] Input line format is invalid\n");
            continue;
        }
        if (!fields.has_limit)
            SC_TRACE("[DataLimit] no data limit field\n");
        if (!fields.has_data)
            SC_TRACE("[Data] NO data\n");
        fields.uri = "./" + fields.uri;
        line_op(fields);
    }
}

// Applies a tree-file line to the existing node it names.
void update_node(SCTreeNode *node, const LineFields &f) {
    u_16 attr = 0;
    if (sc_parseAttribute(f.atr.c_str(), &attr) != 0) {
        SC_FAIL("check valid and parse attribute fail!\n\r");
        return;
    }
    u_16 dtype = 0;
    sc_parseDataType(f.uri.c_str(), f.type.c_str(), &dtype);
    std::vector<char> val(SC_LINE_BUF_SIZE);
    TarviKeyType *key = nullptr;
    if (sc_parseData(f.data.c_str(), &dtype, val.data(), &key) != 0) {
        SC_FAIL("check valid and parse Data fail!\n\r");
        return;
    }
    // The profile's binding stays: a binding written in a tree file is only
    // a copy of it.
    sc_freeTarviKey(key);
    SCDataType *data = node->data;
    if (strcmp(val.data(), "SC_NULL") == 0) {
        SC_FREE(data->value);
        data->value = nullptr;
    } else if (!data->value || strcmp(data->value, val.data()) != 0) {
        char *copy = sc_util_strdup(val.data());
        if (!copy)
            return;
        SC_FREE(data->value);
        data->value = copy;
        sc_setNodeDirty(node);
    }
    if (!f.limit.empty() && (!data->limit || f.limit != data->limit)) {
        char *copy = sc_util_strdup(f.limit.c_str());
        if (!copy)
            return;
        SC_FREE(data->limit);
        data->limit = copy;
        sc_setNodeDirty(node);
    }
}

void read_tree_line(SCType *sc, const LineFields &f) {
    SC_TRACE("URI=%s#ATR=%s#DataType=%s#DataLimit=%s#Data=%s\n", f.uri.c_str(), f.atr.c_str(), f.type.c_str(),
             f.limit.c_str(), f.data.c_str());
    if (sc_checkValidUri(f.uri.c_str()) != 0) {
        SC_FAIL("check valid uri fail!\n\r");
        return;
    }
    SCTreeNode *parent = nullptr;
    SCTreeNode *found = nullptr;
    int ret = sc_searchNode(&sc->tree, f.uri.c_str(), &parent, &found);
    if (ret == SC_DATA_FOUND) {
        update_node(found, f);
        return;
    }
    FileType *module = module_of(parent);
    if (ret != SC_DATA_NOT_FOUND || !parent || !module) {
        // The root belongs to no module: nothing can be added below it here.
        SC_FAIL("sc_searchNode SC_ERROR\n");
        return;
    }
    sc_processNodeFromProfileFile(&sc->tree, f.uri.c_str(), f.atr.c_str(), f.type.c_str(), f.limit.c_str(),
                                  f.data.c_str(), module, 1);
}

// Links a new node into its module.
void join_module(SCTreeNode *node, FileType *file, int dirty) {
    list_add(&node->file, &file->node);
    node->dirty = &file->dirty;
    if (dirty)
        sc_setNodeDirty(node);
}

int parse_letters(const std::string &part, const char *prefix, int shift, u_16 *bits) {
    std::string letters = sc_util_trimmed(part);
    if (letters.compare(0, 2, prefix) == 0)
        letters.erase(0, 2);
    else
        SC_FAIL("[ParseAttr]Input line format is invalid\n");
    if (letters.size() > 6) {
        SC_FAIL("We don't support more than 6 types of attribue...\n\r");
        return -1;
    }
    u_16 out = 0;
    for (char c : letters) {
        const char *at = c ? strchr(SC_ATTR_LETTERS, c) : nullptr;
        if (!at) {
            SC_FAIL("Attribute does not support attribute %c\n", c);
            return -1;
        }
        out = static_cast<u_16>(out | (1u << (at - SC_ATTR_LETTERS)));
    }
    *bits = static_cast<u_16>(*bits | (out << shift));
    return 0;
}

} // namespace

bool sc_stageFolder(const char *folder, const char *stage, std::string *path) {
    *path = folder;
    if (!stage || strlen(stage) != 1)
        return false;
    *path += stage;
    return true;
}

bool sc_listFolder(const std::string &folder, std::vector<std::string> *names, const char *close_msg) {
    names->clear();
    DIR *dir = opendir(tarvi_path(folder.c_str()).c_str());
    if (!dir)
        return false;
    while (struct dirent *e = readdir(dir)) {
        if (e->d_name[0] != '.')
            names->emplace_back(e->d_name);
    }
    if (closedir(dir) != 0)
        SC_FAIL("%s", close_msg);
    // Parents must come before children across the files of a folder: name
    // order makes that order the same on every file system.
    std::sort(names->begin(), names->end());
    return true;
}

int sc_readLine(FILE *f, std::string *line) {
    line->clear();
    int c;
    bool any = false;
    bool too_long = false;
    while ((c = getc(f)) != EOF) {
        any = true;
        if (c == '\n')
            break;
        if (line->size() < SC_LINE_BUF_SIZE - 1)
            *line += static_cast<char>(c);
        else
            too_long = true;
    }
    if (!any)
        return 0;
    // A NUL ends the text of a line, as it would in a C buffer.
    line->resize(strlen(line->c_str()));
    if (too_long) {
        SC_FAIL("line longer than %d characters skipped\n", SC_LINE_BUF_SIZE - 1);
        return -1;
    }
    return 1;
}

int sc_parseAttribute(const char *atr, u_16 *attr_result) {
    *attr_result = 0;
    std::string text = atr ? atr : "";
    size_t comma = text.find(',');
    std::string admin = text.substr(0, comma);
    std::string guest = comma == std::string::npos ? "" : text.substr(comma + 1);
    // A third part is ignored, as are empty parts before it.
    guest = guest.substr(0, guest.find(','));
    if (sc_util_trimmed(admin).empty() || comma == std::string::npos || sc_util_trimmed(guest).empty()) {
        SC_FAIL("[ParseAttr]Input line format is invalid\n");
        return -1;
    }
    if (parse_letters(admin, "A:", 0, attr_result) != 0)
        SC_FAIL("[ParseAttr]sc_parseAdminAttribute Fail\n");
    if (parse_letters(guest, "G:", 8, attr_result) != 0)
        SC_FAIL("[ParseAttr]sc_parseAdminAttribute Fail\n");
    SC_TRACE("[ParseAttr]attr_result =%x\n", *attr_result);
    return 0;
}

int sc_parseDataType(const char *URI, const char *datatype, u_16 *datatype_result) {
    *datatype_result = (URI && strstr(URI, "-1")) ? SC_DTYPE_TABLE_MEM : 0;
    for (size_t i = 0; i < SC_TYPE_NAME_COUNT; ++i) {
        if (datatype && sc_util_stricmp(datatype, SC_TYPE_NAMES[i]) == 0) {
            *datatype_result = static_cast<u_16>(*datatype_result | (1u << i));
            return 0;
        }
    }
    SC_FAIL("Unknow DataType %s\n", datatype ? datatype : "(null)");
    *datatype_result = 0;
    return 0;
}

int sc_parseData(const char *data, u_16 *datatype, char *VAL, TarviKeyType **KEY) {
    std::string text = sc_util_trimmed(data ? data : "");
    if (text.empty()) {
        strcpy(VAL, "SC_NULL");
        return 0;
    }
    char form = text[0];
    if (form == 'k') {
        strcpy(VAL, "SC_NULL");
        if (sc_parseDataKey(text.c_str(), KEY) != 0)
            return -1;
        *datatype = static_cast<u_16>(*datatype | SC_DTYPE_KEY);
        return 0;
    }
    if (form != 'v' && form != 'r') {
        SC_FAIL("[sc_parseData] is not v/r/k\n");
        return -1;
    }
    *datatype = static_cast<u_16>(*datatype | (form == 'v' ? SC_DTYPE_VALUE : SC_DTYPE_REF));
    size_t open = text.find('(');
    size_t close = open == std::string::npos ? std::string::npos : text.find(')', open + 1);
    std::string val;
    std::string rest;
    if (open == std::string::npos) {
        SC_TRACE("[sc_parseData] process null value\n");
    } else {
        val = text.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1);
        if (close != std::string::npos)
            rest = text.substr(close + 1);
        SC_TRACE("[sc_parseData] COPY BUF TO VAL=%s\n", val.c_str());
    }
    // The line that holds the field is shorter than the buffer.
    sc_util_strncpy(VAL, val.c_str(), SC_LINE_BUF_SIZE - 1);
    if (rest.empty()) {
        SC_TRACE("[sc_parseData] No second word\n");
        return 0;
    }
    size_t k = rest.find("k(");
    if (k == std::string::npos) {
        SC_TRACE("[sc_parseData] Can not find k(\n");
        return 0;
    }
    return sc_parseDataKey(rest.c_str() + k, KEY) == 0 ? 0 : -1;
}

int sc_processNodeFromProfileFile(SCTreeType *tree, const char *URI, const char *ATR, const char *DataType,
                                  const char *DataLimit, const char *Data, FileType *file_entry, int default_dirty) {
    SC_FUNC_TRACE();
    if (!URI || sc_checkValidUri(URI) != 0) {
        SC_FAIL("check valid uri fail!\n\r");
        return -1;
    }
    u_16 attr = 0;
    if (sc_parseAttribute(ATR, &attr) != 0) {
        SC_FAIL("check valid and parse attribute fail!\n\r");
        return -1;
    }
    u_16 dtype = 0;
    sc_parseDataType(URI, DataType, &dtype);
    std::vector<char> val(SC_LINE_BUF_SIZE);
    TarviKeyType *key = nullptr;
    if (sc_parseData(Data, &dtype, val.data(), &key) != 0) {
        SC_FAIL("check valid and parse Data fail!\n\r");
        sc_freeTarviKey(key);
        return -1;
    }
    bool has_value = strcmp(val.data(), "SC_NULL") != 0;
    char *value = has_value ? sc_util_strdup(val.data()) : nullptr;
    char *limit = DataLimit && DataLimit[0] ? sc_util_strdup(DataLimit) : nullptr;
    SCTreeNode *node = nullptr;
    if ((has_value && !value) || (DataLimit && DataLimit[0] && !limit) || !file_entry ||
        sc_createNodeThroughURI(tree, URI, &node) != 0 || !node) {
        SC_FAIL("sc_createNodeThroughURI Fail!\n\r");
        SC_FREE(value);
        SC_FREE(limit);
        sc_freeTarviKey(key);
        return -1;
    }
    SCDataType *data = node->data;
    data->attr = attr;
    data->dtype = dtype;
    data->value = value;
    data->limit = limit;
    data->TarviKey = key;
    data->declared = !default_dirty;
    if (!key)
        SC_TRACE("KEY is NULL!\n\r");
    join_module(node, file_entry, default_dirty);

    size_t len = strlen(URI);
    if (len < 3 || strcmp(URI + len - 3, "/-1") != 0)
        return 0;
    std::string serial = std::string(URI, len - 3) + "@@@serial";
    SCTreeNode *snode = nullptr;
    if (sc_createNodeThroughURI(tree, serial.c_str(), &snode) != 0 || !snode) {
        SC_FAIL("sc_createNodeThroughURI Fail! uri=%s\n\r", serial.c_str());
        return -1;
    }
    snode->data->attr = SC_ATTR_ADMIN_R | SC_ATTR_ADMIN_W | SC_ATTR_GUEST_R;
    snode->data->dtype = SC_DTYPE_INT | SC_DTYPE_VALUE;
    if (strstr(serial.c_str(), "-1"))
        snode->data->dtype |= SC_DTYPE_TABLE_MEM;
    join_module(snode, file_entry, 1);
    return 0;
}

int sc_readProfileFromProfileFolder(SCType *sc, const char *stage) {
    SC_FUNC_TRACE();
    return scan_folder(profile_scan, stage, [sc](FILE *f, const std::string &module, char stage_char) {
        FileType *file = find_module(sc, module.c_str());
        if (!file)
            file = new_module(sc, module.c_str(), stage_char);
        if (!file)
            return;
        read_lines(f, module, [&](const LineFields &fields) {
            char first = fields.limit.empty() ? '\0' : fields.limit[0];
            if (first == 'k' || first == 'r' || first == 'v')
                SC_FAIL("[DataLimit] uri=%s datalimit is start with v/r/k\n", fields.uri.c_str());
            sc_processNodeFromProfileFile(&sc->tree, fields.uri.c_str(), fields.atr.c_str(), fields.type.c_str(),
                                          fields.limit.c_str(), fields.data.c_str(), file, 0);
        });
    });
}

int sc_readTreeFromTreeFolder(SCType *sc, const char *stage) {
    SC_FUNC_TRACE();
    return scan_folder(tree_scan, stage, [sc](FILE *f, const std::string &module, char) {
        read_lines(f, module, [&](const LineFields &fields) { read_tree_line(sc, fields); });
    });
}

int sc_loadTree(SCType *sc, int user) {
    if (!sc->tree.root) {
        SCDataType *root = sc_createData(".");
        if (!root || sc_initTree(&sc->tree, root) != 0) {
            sc_freeData(root);
            return SC_MALLOC_FAIL;
        }
    }
    for (const char *stage : {"0", "1"}) {
        sc_readProfileFromProfileFolder(sc, stage);
        sc_readCBFromCBFolder(sc, stage);
        sc_readNotifyFromNotifyFolder(sc, stage);
        if (user)
            sc_readTreeFromTreeFolder(sc, stage);
    }
    sc_reprocess_all_inst(sc);
    return 0;
}
