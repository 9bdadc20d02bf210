// tarvi: the shell front end of the configuration daemon, for device scripts
// and support staff.
//
// Usage: tarvi COMMAND [ARGS...]; `tarvi --help` lists the commands and
// `tarvi COMMAND --help` explains one. Values go to standard output one per
// line, errors to standard error. Exit status: 0 success, 1 failure, 2 usage
// error. A command is one small function and one row of the table below.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "libtarvi.h"
#include "paths.h"
#include "sc_words.h"
#include "tarvi-json.h"

namespace {

constexpr int EXIT_OK = 0, EXIT_FAIL = 1, EXIT_USAGE = 2;

struct command {
    const char *name;
    const char *args;
    const char *help;
    int min_args, max_args; // arguments after the command's name
    int (*run)(int argc, char **argv);
};

// Says why a call named `what` failed, from the errno the library left: the
// daemon was not reached, or it answered with a failure.
int failed(const char *what) {
    int err = errno;
    std::string socket = tarvi_path(TARVI_SOCKET_PATH);
    switch (err) {
    case ENOENT:
        fprintf(stderr, "tarvi: tarvid is not running (no socket at %s)\n", socket.c_str());
        break;
    case ECONNREFUSED:
        fprintf(stderr, "tarvi: tarvid is not running (nobody answers on %s)\n", socket.c_str());
        break;
    case EACCES:
        fprintf(stderr, "tarvi: tarvid cannot be asked (no permission on %s)\n", socket.c_str());
        break;
    case ETIMEDOUT:
        fprintf(stderr, "tarvi: tarvid did not answer the %s in time\n", what);
        break;
    case EPROTO:
        fprintf(stderr, "tarvi: tarvid closed the connection without answering the %s; see its log\n", what);
        break;
    case TARVI_EREFUSED:
        fprintf(stderr, "tarvi: tarvid refused the %s; see its log\n", what);
        break;
    case EPERM:
        fprintf(stderr, "tarvi: tarvid's access policy does not allow the %s to uid %d\n", what,
                static_cast<int>(geteuid()));
        break;
    case EOPNOTSUPP:
        fprintf(stderr, "tarvi: tarvid does not support this request (%s); it is older than this tool\n", what);
        break;
    case ESTALE:
        fprintf(stderr, "tarvi: tarvid dropped the %s before it was read whole; try again\n", what);
        break;
    default:
        fprintf(stderr, "tarvi: %s failed: %s\n", what, strerror(err));
    }
    return EXIT_FAIL;
}

// True when errno says the daemon could not be asked at all.
bool unreachable() { return TARVI_DAEMON_UNREACHABLE(errno) || errno == EPROTO; }

int done(int rc, const char *what) { return rc == 0 ? EXIT_OK : failed(what); }

// As done() for a call that replaces the saved or loaded configuration, which
// the daemon refuses while a commit waits for confirmation: says so then.
int done_storage(int rc, const char *what) {
    if (rc == 0 || errno != TARVI_EREFUSED)
        return done(rc, what);
    int left = 0;
    if (tarvi_commit_status(&left) != 1) {
        errno = TARVI_EREFUSED;
        return failed(what);
    }
    fprintf(stderr,
            "tarvi: tarvid refused the %s: a commit waits for confirmation (%d s left); run 'tarvi confirm' or "
            "'tarvi rollback' first\n",
            what, left);
    return EXIT_FAIL;
}

// The daemon opens backup files itself, from its own working folder: hand it
// an absolute name.
std::string absolute(const char *path) {
    if (path[0] == '/')
        return path;
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd))
        return path;
    return std::string(cwd) + "/" + path;
}

bool parse_int(const char *text, int *out) {
    errno = 0;
    char *end = nullptr;
    long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < INT_MIN || v > INT_MAX)
        return false;
    *out = static_cast<int>(v);
    return true;
}

// A log level of 0 to `max` for `command`; false after its usage line.
bool level_arg(const char *text, int max, const char *command) {
    int level;
    if (parse_int(text, &level) && level >= 0 && level <= max)
        return true;
    fprintf(stderr, "usage: tarvi %s LEVEL (0 to %d)\n", command, max);
    return false;
}

// ---- Flat settings ----------------------------------------------------------

// Prints `value`, which a get call named `what` answered with `rc` for
// `name`, and frees it; with no value, says `missing` about `name`.
int print_value(int rc, char *value, const char *what, const char *name, const char *missing) {
    if (rc != 0)
        return failed(what);
    if (!value) {
        fprintf(stderr, "tarvi: %s: %s\n", name, missing);
        return EXIT_FAIL;
    }
    printf("%s\n", value);
    free(value);
    return EXIT_OK;
}

int cmd_get(int, char **argv) {
    char *value = nullptr;
    int rc = tarvi_get(argv[0], &value);
    return print_value(rc, value, "get", argv[0], "no such key");
}

int cmd_set(int, char **argv) { return done(tarvi_set(argv[0], argv[1]), "set"); }
int cmd_commit(int argc, char **argv) {
    if (argc == 0)
        return done_storage(tarvi_commit(), "commit");
    int seconds = 0;
    if (argc == 2 && strcmp(argv[0], "--confirm") == 0 && parse_int(argv[1], &seconds) && seconds >= 1 &&
        seconds <= TARVI_CONFIRM_SECONDS_MAX)
        return done_storage(tarvi_commit_confirmed(seconds), "commit");
    if (argc == 1 && strcmp(argv[0], "--status") == 0) {
        int rc = tarvi_commit_status(&seconds);
        if (rc < 0)
            return failed("commit status");
        if (rc == 1)
            printf("a commit waits for confirmation: %d s left\n", seconds);
        else
            printf("no commit waits for confirmation\n");
        return EXIT_OK;
    }
    fprintf(stderr, "usage: tarvi commit [--confirm SECONDS (1 to %d) | --status]\n", TARVI_CONFIRM_SECONDS_MAX);
    return EXIT_USAGE;
}

// Confirm and roll back: refused when no commit waits, which is worth saying.
int confirm_or_rollback(int rc, const char *what) {
    if (rc != 0 && errno == TARVI_EREFUSED && tarvi_commit_status(nullptr) == 0) {
        fprintf(stderr, "tarvi: no commit waits for confirmation\n");
        return EXIT_FAIL;
    }
    return done(rc, what);
}

int cmd_confirm(int, char **) { return confirm_or_rollback(tarvi_confirm(), "confirm"); }
int cmd_rollback(int, char **) { return confirm_or_rollback(tarvi_rollback(), "rollback"); }
int cmd_reload(int, char **) { return done_storage(tarvi_reload(), "reload"); }
int cmd_reload_default(int, char **) { return done_storage(tarvi_reload_default(), "reload-default"); }
int cmd_restore_default(int, char **) { return done_storage(tarvi_restore_default(), "restore-default"); }
int cmd_dset(int, char **argv) { return done(tarvi_dset(argv[0], argv[1]), "dset"); }
int cmd_dunset(int, char **argv) { return done(tarvi_dunset(argv[0]), "dunset"); }

int cmd_backup(int, char **argv) {
    std::string file = absolute(argv[0]);
    return done(tarvi_backup_cfgfile(file.data()), "backup");
}

int cmd_restore(int, char **argv) {
    std::string file = absolute(argv[0]);
    return done_storage(tarvi_restore_cfgfile(file.data()), "restore");
}

// ---- Listings, export and import ----------------------------------------------

// show [--long] [PREFIX]
int cmd_show(int argc, char **argv) {
    bool long_form = false;
    const char *prefix = nullptr;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--long") == 0)
            long_form = true;
        else if (!prefix)
            prefix = argv[i];
        else {
            fprintf(stderr, "usage: tarvi show [--long] [PREFIX]\n");
            return EXIT_USAGE;
        }
    }
    tarvi_config_entry *entries = nullptr;
    size_t count = 0;
    if (tarvi_config_list(prefix, &entries, &count) != 0)
        return failed("show");
    for (size_t i = 0; i < count; ++i) {
        const tarvi_config_entry &e = entries[i];
        if (long_form) {
            std::string marks = std::string(e.runtime ? "r" : "") + (e.changed ? "c" : "");
            printf("%-20s %-2s ", *e.container ? e.container : "-", marks.empty() ? "-" : marks.c_str());
        }
        printf("%s=%s\n", e.key, e.value);
    }
    free(entries);
    return EXIT_OK;
}

int cmd_changes(int, char **) {
    tarvi_config_entry *entries = nullptr;
    size_t count = 0;
    if (tarvi_config_list(nullptr, &entries, &count) != 0)
        return failed("changes");
    for (size_t i = 0; i < count; ++i)
        if (entries[i].changed && !entries[i].runtime)
            printf("%s=%s\n", entries[i].key, entries[i].value);
    free(entries);
    return EXIT_OK;
}

// What `tarvi export` writes and `tarvi import` reads.
const char EXPORT_FORMAT[] = "tarvi-config";
constexpr int EXPORT_VERSION = 1;

// Tree URIs are written as clients write them, without "./".
std::string client_uri(const char *uri) { return strncmp(uri, "./", 2) == 0 ? uri + 2 : uri; }

// The export document of the daemon's configuration, or false.
bool export_text(std::string *out) {
    tarvi_config_entry *entries = nullptr;
    size_t count = 0;
    if (tarvi_config_list(nullptr, &entries, &count) != 0)
        return false;
    tarvi_sc_node *nodes = nullptr;
    size_t n = 0;
    if (tarvi_sc_list(nullptr, &nodes, &n) != 0) {
        free(entries);
        return false;
    }
    std::string &o = *out;
    o = "{\n  \"format\": " + json_quote(EXPORT_FORMAT) + ",\n  \"version\": " + std::to_string(EXPORT_VERSION) +
        ",\n  \"settings\": {";
    // Stored settings only, grouped by container (the listing is sorted by
    // key, the groups come in the order of their first key).
    std::vector<std::string> containers;
    for (size_t i = 0; i < count; ++i)
        if (!entries[i].runtime && *entries[i].container &&
            std::find(containers.begin(), containers.end(), entries[i].container) == containers.end())
            containers.push_back(entries[i].container);
    for (size_t c = 0; c < containers.size(); ++c) {
        o += std::string(c ? "," : "") + "\n    " + json_quote(containers[c]) + ": {";
        bool first = true;
        for (size_t i = 0; i < count; ++i) {
            if (entries[i].runtime || containers[c] != entries[i].container)
                continue;
            o += std::string(first ? "" : ",") + "\n      " + json_quote(entries[i].key) + ": " +
                 json_quote(entries[i].value);
            first = false;
        }
        o += "\n    }";
    }
    o += containers.empty() ? "},\n  \"instances\": [" : "\n  },\n  \"instances\": [";
    bool first = true;
    for (size_t i = 0; i < n; ++i) {
        if (!nodes[i].instance)
            continue;
        o += std::string(first ? "" : ",") + "\n    " + json_quote(client_uri(nodes[i].uri));
        first = false;
    }
    o += first ? "],\n  \"tree\": {" : "\n  ],\n  \"tree\": {";
    first = true;
    for (size_t i = 0; i < n; ++i) {
        // Values of their own; a reference's value is the node it names.
        if (!nodes[i].value || (nodes[i].dtype & SC_DTYPE_REF) || !(nodes[i].dtype & (SC_DTYPE_VALUE | SC_DTYPE_KEY)))
            continue;
        o += std::string(first ? "" : ",") + "\n    " + json_quote(client_uri(nodes[i].uri)) + ": " +
             json_quote(nodes[i].value);
        first = false;
    }
    o += first ? "}\n}\n" : "\n  }\n}\n";
    free(entries);
    free(nodes);
    return true;
}

// Writes `text` to `path` whole or not at all: a temporary file beside it,
// renamed over it once written.
bool write_whole(const std::string &path, const std::string &text) {
    std::string tmp = path + ".tmp" + std::to_string(getpid());
    FILE *f = fopen(tmp.c_str(), "w");
    if (!f)
        return false;
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = fflush(f) == 0 && fsync(fileno(f)) == 0 && ok;
    ok = fclose(f) == 0 && ok;
    if (ok && rename(tmp.c_str(), path.c_str()) == 0)
        return true;
    unlink(tmp.c_str());
    return false;
}

int cmd_export(int, char **argv) {
    std::string text;
    if (!export_text(&text))
        return failed("export");
    if (strcmp(argv[0], "-") == 0) {
        fwrite(text.data(), 1, text.size(), stdout);
        return EXIT_OK;
    }
    if (!write_whole(argv[0], text)) {
        fprintf(stderr, "tarvi: %s: %s\n", argv[0], strerror(errno));
        return EXIT_FAIL;
    }
    return EXIT_OK;
}

// Largest document `tarvi import` reads.
constexpr size_t IMPORT_FILE_MAX = 16u * 1024u * 1024u;

bool read_file(const char *path, std::string *text) {
    FILE *f = strcmp(path, "-") == 0 ? stdin : fopen(path, "r");
    if (!f)
        return false;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0 && text->size() <= IMPORT_FILE_MAX)
        text->append(buf, n);
    bool ok = !ferror(f);
    if (f != stdin)
        fclose(f);
    if (ok && text->size() > IMPORT_FILE_MAX) {
        errno = EFBIG;
        ok = false;
    }
    return ok;
}

// The import entries of document `doc` (their texts point into it); false
// with *why for a document of another format, version or shape.
bool import_entries(const json_value &doc, std::vector<tarvi_import_entry> *out, std::string *why) {
    const json_value *format = doc.member("format"), *version = doc.member("version");
    if (doc.kind != json_value::OBJECT || !format || format->text != EXPORT_FORMAT ||
        format->kind != json_value::STRING) {
        *why = "not a tarvi configuration export (\"format\" is not \"" + std::string(EXPORT_FORMAT) + "\")";
        return false;
    }
    if (!version || version->kind != json_value::NUMBER || version->text != std::to_string(EXPORT_VERSION)) {
        *why = "format version " + (version ? version->text : std::string("(none)")) + " is not one this tool reads (" +
               std::to_string(EXPORT_VERSION) + ")";
        return false;
    }
    auto strings_of = [&](const json_value *obj, int kind, const char *what) {
        if (!obj)
            return true;
        if (obj->kind != json_value::OBJECT) {
            *why = std::string("\"") + what + "\" is not an object";
            return false;
        }
        for (const auto &m : obj->members) {
            if (m.second.kind != json_value::STRING) {
                *why = std::string("\"") + what + "\": " + m.first + " is not a string";
                return false;
            }
            out->push_back({kind, m.first.c_str(), m.second.text.c_str()});
        }
        return true;
    };
    if (const json_value *settings = doc.member("settings")) {
        if (settings->kind != json_value::OBJECT) {
            *why = "\"settings\" is not an object";
            return false;
        }
        for (const auto &c : settings->members) {
            if (c.second.kind != json_value::OBJECT) {
                *why = "\"settings\": " + c.first + " is not an object of one container's settings";
                return false;
            }
            if (!strings_of(&c.second, TARVI_IMPORT_FLAT, "settings"))
                return false;
        }
    }
    if (const json_value *inst = doc.member("instances")) {
        if (inst->kind != json_value::ARRAY) {
            *why = "\"instances\" is not an array";
            return false;
        }
        for (const auto &i : inst->items) {
            if (i.kind != json_value::STRING) {
                *why = "\"instances\" holds something other than a string";
                return false;
            }
            out->push_back({TARVI_IMPORT_INSTANCE, i.text.c_str(), nullptr});
        }
    }
    return strings_of(doc.member("tree"), TARVI_IMPORT_SC_VALUE, "tree");
}

int cmd_import(int, char **argv) {
    std::string text, error;
    if (!read_file(argv[0], &text)) {
        fprintf(stderr, "tarvi: %s: %s\n", argv[0], strerror(errno));
        return EXIT_FAIL;
    }
    json_value doc;
    std::vector<tarvi_import_entry> entries;
    if (!json_parse(text, &doc, &error) || !import_entries(doc, &entries, &error)) {
        fprintf(stderr, "tarvi: %s: %s; nothing was changed\n", argv[0], error.c_str());
        return EXIT_FAIL;
    }
    char *refusal = nullptr;
    if (tarvi_import(entries.data(), entries.size(), &refusal) == 0)
        return EXIT_OK;
    if (!refusal)
        return failed("import");
    fprintf(stderr, "tarvi: import refused %s; nothing was changed\n", refusal);
    free(refusal);
    return EXIT_FAIL;
}

// ---- Configuration tree -------------------------------------------------------

// Explains a failed tree call named `what` on `uri` from its result; a -404
// is said as `missing`.
int sc_failed(int rc, const char *what, const char *uri, const char *missing = "no such node") {
    if (rc == -404) {
        fprintf(stderr, "tarvi: %s: %s\n", uri, missing);
    } else if (rc == -414) {
        fprintf(stderr, "tarvi: %s: URI longer than 255 characters\n", uri);
    } else {
        std::string call = std::string("sc ") + what + " " + uri;
        return failed(call.c_str());
    }
    return EXIT_FAIL;
}

int sc_done(int rc, const char *what, const char *uri, const char *missing = "no such node") {
    return rc == 0 ? EXIT_OK : sc_failed(rc, what, uri, missing);
}

// 200 when node `uri` exists, 404 when not, 0 when the daemon could not tell.
int node_state(const char *uri) {
    int exist = 0;
    std::string text = uri;
    return tarvi_sc_is_exist(text.data(), &exist) == 0 ? exist : 0;
}

// A call that answers -1 both for a missing node and for a daemon that cannot
// be asked: which of them it was.
int sc_missing_or_failed(const char *what, const char *uri) {
    int err = errno;
    bool missing = node_state(uri) == 404;
    errno = err;
    return sc_failed(missing ? -404 : -1, what, uri);
}

// Prints a text a tree call handed back (an empty line for none) and frees it.
int print_owned(char *text) {
    printf("%s\n", text ? text : "");
    free(text);
    return EXIT_OK;
}

int cmd_sc_get(int, char **argv) {
    char *value = nullptr;
    int rc = tarvi_sc_get(argv[0], &value);
    return print_value(rc, value, "sc get", argv[0], "no such node or no value");
}

int cmd_sc_set(int, char **argv) {
    // A missing node is -404 now that the call reports it.
    return sc_done(tarvi_sc_set(argv[0], argv[1]), "set", argv[0]);
}

int cmd_sc_exists(int, char **argv) {
    int exist = node_state(argv[0]);
    if (exist == 0)
        return failed("sc exists");
    return sc_done(exist == 200 ? 0 : -404, "exists", argv[0]);
}

int cmd_sc_type(int, char **argv) {
    u_16 dtype = 0, attr = 0;
    int rc = tarvi_sc_get_dtype(argv[0], &dtype);
    if (rc == 0)
        rc = tarvi_sc_get_attr(argv[0], &attr);
    if (rc != 0)
        return sc_failed(rc, "type", argv[0]);
    printf("%s %s\n", sc_dataTypeName(dtype), sc_attributeText(attr).c_str());
    return EXIT_OK;
}

int cmd_sc_limit(int, char **argv) {
    char *limit = nullptr;
    int rc = tarvi_sc_get_limit(argv[0], &limit);
    return rc == 0 ? print_owned(limit) : sc_failed(rc, "limit", argv[0]);
}

int cmd_sc_exe(int, char **argv) {
    char *result = nullptr;
    int rc = tarvi_sc_exe(argv[0], &result);
    return rc == 0 ? print_owned(result) : sc_failed(rc, "exe", argv[0]);
}

struct walk_entry {
    std::string uri;
    u_16 dtype, attr;
};

// The subtree of `uri` (null: the whole tree) as a JSON array of nodes.
int sc_tree_json(const char *uri) {
    tarvi_sc_node *nodes = nullptr;
    size_t n = 0;
    int rc = tarvi_sc_list(uri, &nodes, &n);
    if (rc != 0)
        return sc_failed(rc, "tree", uri ? uri : "");
    auto text_or_null = [](const char *t) { return t ? json_quote(t) : std::string("null"); };
    printf("[");
    for (size_t i = 0; i < n; ++i) {
        const tarvi_sc_node &e = nodes[i];
        printf("%s\n  {\"uri\": %s, \"type\": %s, \"attributes\": %s, \"limit\": %s, \"value\": %s, "
               "\"instance\": %s}",
               i ? "," : "", json_quote(client_uri(e.uri)).c_str(), json_quote(sc_dataTypeName(e.dtype)).c_str(),
               json_quote(sc_attributeText(e.attr)).c_str(), text_or_null(e.limit).c_str(),
               text_or_null(e.value).c_str(), e.instance ? "true" : "false");
    }
    printf(n ? "\n]\n" : "]\n");
    free(nodes);
    return EXIT_OK;
}

// tree [--view sys|oma|cwmp] [--values] [URI], or --json [URI]
int cmd_sc_tree(int argc, char **argv) {
    static const struct {
        const char *name;
        int type;
        const char *root; // what the view walks without a URI
    } views[] = {{"sys", ME_SYS, "sys"}, {"oma", ME_OMA, "./"}, {"cwmp", ME_CWMP, "."}};
    int view = 0;
    bool values = false, json = false;
    const char *uri = nullptr;
    for (int i = 0; i < argc; ++i) {
        bool known = true;
        if (strcmp(argv[i], "--values") == 0)
            values = true;
        else if (strcmp(argv[i], "--json") == 0)
            json = true;
        else if (strcmp(argv[i], "--view") == 0 && i + 1 < argc) {
            known = false;
            ++i;
            for (int v = 0; v < static_cast<int>(std::size(views)); ++v)
                if (strcmp(argv[i], views[v].name) == 0) {
                    view = v;
                    known = true;
                }
        } else if (argv[i][0] != '-' && !uri)
            uri = argv[i];
        else
            known = false;
        if (!known) {
            fprintf(stderr, "usage: tarvi sc tree [--view sys|oma|cwmp] [--values] [URI] | --json [URI]\n");
            return EXIT_USAGE;
        }
    }
    if (json)
        return sc_tree_json(uri);
    std::string root = uri ? uri : views[view].root;
    int id = 0;
    int rc = tarvi_sc_get_tree_start(views[view].type, 0, root.data(), &id);
    if (rc != 0)
        return rc == -1 ? sc_missing_or_failed("tree", root.c_str()) : sc_failed(rc, "tree", root.c_str());
    // The walk hands the nodes out last first.
    std::vector<walk_entry> nodes;
    for (;;) {
        char *node = nullptr;
        walk_entry e{"", 0, 0};
        rc = tarvi_sc_get_tree_next(id, &node, &e.dtype, &e.attr);
        if (node)
            e.uri = node;
        free(node);
        if (rc != 101 && rc != 102)
            break;
        nodes.push_back(e);
    }
    if (rc != 100)
        return failed("sc tree");
    size_t top = SIZE_MAX;
    for (const auto &e : nodes)
        top = std::min(top, static_cast<size_t>(std::count(e.uri.begin(), e.uri.end(), '/')));
    for (auto e = nodes.rbegin(); e != nodes.rend(); ++e) {
        size_t depth = static_cast<size_t>(std::count(e->uri.begin(), e->uri.end(), '/')) - top;
        // Walk roots carry their path, the nodes below them their name.
        size_t slash = e->uri.rfind('/');
        std::string name =
            depth == 0 ? e->uri.substr(e->uri.compare(0, 2, "./") == 0 ? 2 : 0) : e->uri.substr(slash + 1);
        printf("%*s%s  %s %s", static_cast<int>(2 * depth), "", name.c_str(), sc_dataTypeName(e->dtype),
               sc_attributeText(e->attr).c_str());
        char *value = nullptr;
        if (values && !(e->dtype & SC_DTYPE_NODE) && tarvi_sc_get(e->uri.data(), &value) == 0 && value)
            printf(" = %s", value);
        free(value);
        printf("\n");
    }
    return EXIT_OK;
}

int cmd_sc_add(int, char **argv) {
    int rc = tarvi_sc_me_add_inst(argv[0], argv[1], nullptr);
    std::string inst = std::string(argv[0]) + "/" + argv[1];
    if (rc == -404 && node_state(inst.c_str()) == 200)
        return sc_failed(rc, "add", inst.c_str(), "exists already");
    if (rc != 0)
        return sc_failed(rc, "add", argv[0], "no such table, or it has no template");
    printf("%s/%s\n", argv[0], argv[1]);
    return EXIT_OK;
}

int cmd_sc_del(int, char **argv) { return sc_done(tarvi_sc_me_del_inst(argv[0]), "del", argv[0]); }

int cmd_sc_count(int, char **argv) {
    u_16 count = 0;
    int rc = tarvi_sc_query_inst_number(argv[0], &count);
    if (rc != 0)
        return sc_failed(rc, "count", argv[0]);
    printf("%u\n", static_cast<unsigned>(count));
    return EXIT_OK;
}

int cmd_sc_names(int, char **argv) {
    u_16 count = 0;
    int rc = tarvi_sc_query_inst_number(argv[0], &count);
    if (rc != 0)
        return sc_failed(rc, "names", argv[0]);
    for (unsigned i = 0; i < count; ++i) {
        char *name = nullptr;
        if (tarvi_sc_query_inst_name(argv[0], static_cast<u_16>(i), &name) != 0)
            return failed("sc names");
        print_owned(name);
    }
    return EXIT_OK;
}

void fields_usage(FILE *out);

// FIELD=VALUE words split into null-terminated lists; false, after a usage
// message, for a word without '='.
bool field_pairs(int argc, char **argv, std::vector<char *> *fields, std::vector<char *> *values) {
    for (int i = 0; i < argc; ++i) {
        char *eq = strchr(argv[i], '=');
        if (!eq || eq == argv[i]) {
            fprintf(stderr, "tarvi: %s is not FIELD=VALUE\n", argv[i]);
            fields_usage(stderr);
            return false;
        }
        *eq = '\0';
        fields->push_back(argv[i]);
        values->push_back(eq + 1);
    }
    fields->push_back(nullptr);
    values->push_back(nullptr);
    return true;
}

const char NO_FIELD[] = "no such instance, or a field is missing";

int cmd_fields_get(int argc, char **argv) {
    std::vector<char *> fields(argv + 2, argv + argc);
    fields.push_back(nullptr);
    std::vector<char *> values(fields.size(), nullptr);
    int rc = tarvi_sc_get_instance_fields(argv[0], argv[1], fields.data(), values.data());
    std::string inst = std::string(argv[0]) + "/" + argv[1];
    for (size_t i = 0; rc == 0 && fields[i]; ++i) {
        if (values[i])
            printf("%s=%s\n", fields[i], values[i]);
        else
            printf("%s\n", fields[i]);
    }
    for (char *v : values)
        free(v);
    return rc == 0 ? EXIT_OK : sc_failed(rc, "fields get", inst.c_str(), NO_FIELD);
}

int cmd_fields_set(int argc, char **argv) {
    std::vector<char *> fields, values;
    if (!field_pairs(argc - 2, argv + 2, &fields, &values))
        return EXIT_USAGE;
    std::string inst = std::string(argv[0]) + "/" + argv[1];
    return sc_done(tarvi_sc_set_instance_fields(argv[0], argv[1], fields.data(), values.data()), "fields set",
                   inst.c_str(), NO_FIELD);
}

int cmd_fields_add(int argc, char **argv) {
    std::vector<char *> fields, values;
    if (!field_pairs(argc - 1, argv + 1, &fields, &values))
        return EXIT_USAGE;
    char *name = nullptr;
    int rc = tarvi_sc_add_instance_fields(argv[0], fields.data(), values.data(), &name);
    return rc == 0 ? print_owned(name) : sc_failed(rc, "fields add", argv[0], "no such table, or it has no serial");
}

int cmd_sc_reload(int argc, char **argv) {
    char *stage = nullptr;
    bool declared = false, bad = false;
    for (int i = 0; i < argc && !bad; ++i) {
        if (strcmp(argv[i], "--default") == 0)
            declared = true;
        else if (strcmp(argv[i], "--stage") == 0 && i + 1 < argc)
            stage = argv[++i];
        else
            bad = true;
    }
    if (bad || (stage && (declared || (strcmp(stage, "0") != 0 && strcmp(stage, "1") != 0)))) {
        fprintf(stderr, "usage: tarvi sc reload [--stage 0|1 | --default]\n");
        return EXIT_USAGE;
    }
    if (stage)
        return done(tarvi_sc_stage_reload(stage), "sc reload --stage");
    return done(declared ? tarvi_sc_reload_default() : tarvi_sc_reload(), "sc reload");
}

int cmd_sc_restore_default(int, char **) { return done(tarvi_sc_restore_default(), "sc restore-default"); }
int cmd_sc_commit(int, char **) { return done_storage(tarvi_sc_commit(), "sc commit"); }

int cmd_sc_debug(int, char **argv) {
    if (!level_arg(argv[0], 5, "sc debug"))
        return EXIT_USAGE;
    char *echo = nullptr;
    int rc = tarvi_sc_debug(argv[0], &echo);
    free(echo);
    return done(rc, "sc debug");
}

// ---- Validators ---------------------------------------------------------------

struct validator {
    const char *name;
    int (*check)(char *, int, int);
    bool bounds; // START and END are required
};

const validator validators[] = {
    {"positive_number", verify_positive_number, false},
    {"number", verify_number, false},
    {"range", verify_range, true},
    {"portrange", verify_portrange, false},
    {"string_size", verify_string_size, true},
    {"ip_address", verify_ip_address, false},
    {"netmask", verify_netmask, false},
    {"mac_address", verify_mac_address, false},
    {"normal_word", verify_normal_word, false},
    {"ascii_exclude_comma", verify_ascii_exclude_comma, true},
    {"password", verify_password, false},
    {"username", verify_username, false},
    {"url", verify_url, false},
    {"domain", verify_domain, false},
    {"domain2", verify_domain2, false},
    {"cidr", verify_cidr, false},
    {"time", verify_time, false},
    {"date", verify_date, false},
    {"hex_text", verify_hex_text, false},
};

void list_validators(FILE *out) {
    fprintf(out, "validators (* needs START END):");
    for (const auto &v : validators)
        fprintf(out, " %s%s", v.name, v.bounds ? "*" : "");
    fprintf(out, "\n");
}

int cmd_verify(int argc, char **argv) {
    const validator *v = nullptr;
    for (const auto &row : validators)
        if (strcmp(row.name, argv[0]) == 0)
            v = &row;
    int start = 0, end = 0;
    if (!v || argc == 3 || (argc == 4 && (!parse_int(argv[2], &start) || !parse_int(argv[3], &end))) ||
        (v->bounds && argc != 4)) {
        fprintf(stderr, "usage: tarvi verify NAME VALUE [START END]\n");
        list_validators(stderr);
        return EXIT_USAGE;
    }
    // The validators explain a refusal on standard output; here that is an
    // error message, so it goes to standard error.
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    if (saved >= 0)
        dup2(STDERR_FILENO, STDOUT_FILENO);
    int rc = v->check(argv[1], start, end);
    fflush(stdout);
    if (saved >= 0) {
        dup2(saved, STDOUT_FILENO);
        close(saved);
    }
    return rc == 0 ? EXIT_OK : EXIT_FAIL;
}

// ---- System information ---------------------------------------------------------

int cmd_sysinfo(int, char **) {
    int rc = EXIT_OK;
    int cpu = tarvi_get_cpu_usage(), mem = tarvi_get_mem_usage();
    if (cpu < 0 || mem < 0) {
        fprintf(stderr, "tarvi: %s cannot be read\n", cpu < 0 ? "processor load" : "memory load");
        rc = EXIT_FAIL;
    }
    if (cpu >= 0)
        printf("cpu=%d%%\n", cpu);
    if (mem >= 0)
        printf("memory=%d%%\n", mem);
    int hours = 0, minutes = 0, seconds = 0;
    if (tarvi_get_uptime(&hours, &minutes, &seconds) == 0)
        printf("uptime=%d:%02d:%02d\n", hours, minutes, seconds);
    char now[26];
    if (tarvi_get_sys_time(now) == 0)
        printf("time=%s\n", now);
    char name[TARVI_SYS_NAME_SIZE];
    tarvi_get_sys_name(name);
    printf("name=%s\n", name);
    return rc;
}

// ---- Accounts -------------------------------------------------------------------

int cmd_check_user(int, char **argv) {
    int level = tarvi_check_username(argv[0]);
    if (level < 0 && errno != ESRCH)
        return failed("check-user");
    if (level < 0) {
        fprintf(stderr, "tarvi: %s: no such account\n", argv[0]);
        return EXIT_FAIL;
    }
    printf("%d\n", level);
    return EXIT_OK;
}

// One line from standard input, without echo when it is a terminal. The
// password never appears on a command line, where other users could read it.
bool read_password(std::string *password) {
    struct termios saved;
    bool tty = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (tty) {
        struct termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
        fprintf(stderr, "Password: ");
    }
    char *line = nullptr;
    size_t size = 0;
    ssize_t n = getline(&line, &size, stdin);
    if (tty) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        fprintf(stderr, "\n");
    }
    if (n >= 0) {
        while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r'))
            n--;
        password->assign(line, static_cast<size_t>(n));
    }
    if (line)
        explicit_bzero(line, size);
    free(line);
    return n >= 0;
}

int cmd_check_password(int, char **argv) {
    std::string password;
    if (!read_password(&password)) {
        fprintf(stderr, "tarvi: no password on standard input\n");
        return EXIT_USAGE;
    }
    errno = 0;
    int level = tarvi_check_passwd(argv[0], password.data(), 0);
    explicit_bzero(password.data(), password.size());
    if ((level == TARVI_PASSWD_NO_ACCOUNT && errno != ESRCH) || (level < 0 && unreachable()))
        return failed("check-password");
    switch (level) {
    case TARVI_PASSWD_NO_ACCOUNT:
        fprintf(stderr, "tarvi: %s: no such account\n", argv[0]);
        return EXIT_FAIL;
    case TARVI_PASSWD_MISMATCH:
        fprintf(stderr, "tarvi: %s: wrong password, or none is set\n", argv[0]);
        return EXIT_FAIL;
    default:
        if (level < 0)
            return failed("check-password");
        printf("%d\n", level);
        return EXIT_OK;
    }
}

// ---- Properties -----------------------------------------------------------------

// Names and values are checked here too, so that an over-long one is reported
// as such rather than as a daemon that did not answer.
bool prop_fits(const char *name, const char *value) {
    if (strlen(name) > PROPERTY_KEY_MAX) {
        fprintf(stderr, "tarvi: %s: name longer than %d characters\n", name, PROPERTY_KEY_MAX);
        return false;
    }
    if (value && strlen(value) > PROPERTY_VALUE_MAX) {
        fprintf(stderr, "tarvi: value longer than %d characters\n", PROPERTY_VALUE_MAX);
        return false;
    }
    return true;
}

int cmd_prop_get(int argc, char **argv) {
    const char *fallback = argc > 1 ? argv[1] : nullptr;
    if (!prop_fits(argv[0], fallback))
        return EXIT_FAIL;
    char value[PROPERTY_VALUE_MAX + 1];
    // The call falls back to the default when the daemon cannot be asked;
    // at the shell that is an error to report, not a value.
    if (property_get(argv[0], value, fallback) < 0 || errno != 0)
        return failed("prop get");
    printf("%s\n", value);
    return EXIT_OK;
}

int cmd_prop_set(int, char **argv) {
    if (!prop_fits(argv[0], argv[1]))
        return EXIT_FAIL;
    if (property_set(argv[0], argv[1]) == 0)
        return EXIT_OK;
    if (errno != TARVI_EREFUSED)
        return failed("prop set");
    fprintf(stderr,
            "tarvi: tarvid refused the prop set %s (illegal name, read-only property or unknown service); see its "
            "log\n",
            argv[0]);
    return EXIT_FAIL;
}

int cmd_prop_reload(int, char **) { return done(property_reload(), "prop reload"); }

int cmd_prop_debug(int, char **argv) {
    if (!level_arg(argv[0], 6, "prop debug"))
        return EXIT_USAGE;
    return done(property_debug(argv[0], nullptr), "prop debug");
}

int cmd_prop_list(int argc, char **argv) {
    tarvi_prop_entry *entries = nullptr;
    size_t count = 0;
    if (property_list(argc ? argv[0] : nullptr, &entries, &count) != 0)
        return failed("prop list");
    for (size_t i = 0; i < count; ++i)
        printf("%s=%s\n", entries[i].name, entries[i].value);
    free(entries);
    return EXIT_OK;
}

int cmd_prop_test(int argc, char **argv) {
    char *arg = argc > 1 ? argv[1] : nullptr;
    if (!prop_fits(argv[0], arg))
        return EXIT_FAIL;
    if (property_test(argv[0], arg) == 0)
        return EXIT_OK;
    fprintf(stderr, "tarvi: prop test %s failed (details in the system log)\n", argv[0]);
    return EXIT_FAIL;
}

const command prop_commands[] = {
    {"get", "NAME [DEFAULT]", "print property NAME (or DEFAULT, or an empty line, when it is not set)", 1, 2,
     cmd_prop_get},
    {"set", "NAME VALUE", "set property NAME; ctl.start / ctl.stop with a service name control it", 2, 2, cmd_prop_set},
    {"reload", "", "load the rc, property and persistent files again", 0, 0, cmd_prop_reload},
    {"debug", "LEVEL", "set the property service's log level (0 to 6)", 1, 1, cmd_prop_debug},
    {"test", "CMD [ARG]", "run a self-test command (UT all, DUMP, ...); results go to the log", 1, 2, cmd_prop_test},
    {"list", "[PREFIX]", "print NAME=VALUE of every property (whose name begins with PREFIX), sorted", 0, 1,
     cmd_prop_list},
};

// Commands with a variable number of arguments take at most this many.
constexpr int MANY = 64;

const command fields_commands[] = {
    {"get", "URI NAME FIELD...", "print FIELD=VALUE (FIELD alone for none) of instance NAME of table URI", 3, MANY,
     cmd_fields_get},
    {"set", "URI NAME FIELD=VALUE...", "write fields of instance NAME of table URI", 3, MANY, cmd_fields_set},
    {"add", "URI FIELD=VALUE...", "add the next numbered instance to table URI; print its name", 2, MANY,
     cmd_fields_add},
};

int cmd_sc_fields(int argc, char **argv);

const command sc_commands[] = {
    {"get", "URI", "print the value of tree node URI (sys/wan/mtu, ...)", 1, 1, cmd_sc_get},
    {"set", "URI VALUE", "write VALUE into tree node URI, if its verification accepts it", 2, 2, cmd_sc_set},
    {"exists", "URI", "succeed when node URI exists", 1, 1, cmd_sc_exists},
    {"type", "URI", "print the data type and attributes of node URI (string A:RW,G:R)", 1, 1, cmd_sc_type},
    {"limit", "URI", "print the value limit of node URI (an empty line for none)", 1, 1, cmd_sc_limit},
    {"exe", "URI", "run the execute callback of node URI; print its answer", 1, 1, cmd_sc_exe},
    {"tree", "[--view V] [--values] [URI]",
     "print the subtree of URI with types (and values); V: sys, oma, cwmp; --json [URI]: as JSON", 0, 4, cmd_sc_tree},
    {"add", "URI NAME", "add instance NAME to table URI", 2, 2, cmd_sc_add},
    {"del", "URI", "delete the instance URI (table/NAME)", 1, 1, cmd_sc_del},
    {"count", "URI", "print the number of instances of table URI", 1, 1, cmd_sc_count},
    {"names", "URI", "print the names of the instances of table URI", 1, 1, cmd_sc_names},
    {"fields", "get|set|add ...", "instance fields (tarvi sc fields --help)", 1, MANY + 3, cmd_sc_fields},
    {"reload", "[--stage 0|1 | --default]", "build the tree with the saved values (a stage, or declarations only)", 0,
     2, cmd_sc_reload},
    {"restore-default", "", "rebuild the tree from its declarations; commit stores it", 0, 0, cmd_sc_restore_default},
    {"commit", "", "write the tree's changes to its files and into storage", 0, 0, cmd_sc_commit},
    {"debug", "LEVEL", "set the tree's log level (0 to 5)", 1, 1, cmd_sc_debug},
};

template <size_t N> void subcommand_usage(FILE *out, const char *name, const command (&table)[N]) {
    fprintf(out, "usage: tarvi %s SUBCOMMAND [ARGS...]\n\nsubcommands:\n", name);
    int name_width = 8, args_width = 16;
    for (const auto &c : table) {
        name_width = std::max(name_width, static_cast<int>(strlen(c.name)));
        args_width = std::max(args_width, static_cast<int>(strlen(c.args)));
    }
    for (const auto &c : table)
        fprintf(out, "  %-*s %-*s %s\n", name_width, c.name, args_width, c.args, c.help);
}

void prop_usage(FILE *out) { subcommand_usage(out, "prop", prop_commands); }
void sc_usage(FILE *out) { subcommand_usage(out, "sc", sc_commands); }
void fields_usage(FILE *out) { subcommand_usage(out, "sc fields", fields_commands); }

bool is_help(const char *word) { return strcmp(word, "--help") == 0 || strcmp(word, "-h") == 0; }

void command_usage(FILE *out, const char *prefix, const command &c);

// A table of commands and how its messages name them.
struct command_table {
    const command *begin, *end;
    const char *prefix; // what comes before a command's name: "tarvi", "tarvi prop"
    const char *noun;   // "command", "prop subcommand"
    void (*usage)(FILE *out);
};

// Runs the command of `table` named argv[0] with the words after it. "NAME
// --help" prints its usage; a wrong number of words is a usage error.
int run_table(const command_table &table, int argc, char **argv) {
    for (const command *c = table.begin; c != table.end; ++c) {
        if (strcmp(argv[0], c->name) != 0)
            continue;
        if (argc > 1 && is_help(argv[1])) {
            command_usage(stdout, table.prefix, *c);
            return EXIT_OK;
        }
        int n = argc - 1;
        if (n < c->min_args || n > c->max_args) {
            command_usage(stderr, table.prefix, *c);
            return EXIT_USAGE;
        }
        return c->run(n, argv + 1);
    }
    fprintf(stderr, "tarvi: unknown %s '%s'\n", table.noun, argv[0]);
    table.usage(stderr);
    return EXIT_USAGE;
}

int cmd_prop(int argc, char **argv) {
    return run_table({std::begin(prop_commands), std::end(prop_commands), "tarvi prop", "prop subcommand", prop_usage},
                     argc, argv);
}

int cmd_sc(int argc, char **argv) {
    return run_table({std::begin(sc_commands), std::end(sc_commands), "tarvi sc", "sc subcommand", sc_usage}, argc,
                     argv);
}

int cmd_sc_fields(int argc, char **argv) {
    return run_table({std::begin(fields_commands), std::end(fields_commands), "tarvi sc fields", "sc fields subcommand",
                      fields_usage},
                     argc, argv);
}

const command commands[] = {
    {"get", "KEY", "print the value of KEY", 1, 1, cmd_get},
    {"set", "KEY VALUE", "set KEY to VALUE (kept in memory until commit)", 2, 2, cmd_set},
    {"commit", "[--confirm SECONDS | --status]",
     "write the configuration to storage; --confirm: go back unless confirmed within SECONDS", 0, 2, cmd_commit},
    {"confirm", "", "keep the commit that waits for confirmation", 0, 0, cmd_confirm},
    {"rollback", "", "drop the commit that waits for confirmation: back to the last confirmed one", 0, 0, cmd_rollback},
    {"reload", "", "reload defaults and the saved configuration", 0, 0, cmd_reload},
    {"reload-default", "", "reload the defaults only, leaving storage alone", 0, 0, cmd_reload_default},
    {"restore-default", "", "drop the saved configuration: back to defaults", 0, 0, cmd_restore_default},
    {"backup", "FILE", "write the saved configuration to FILE", 1, 1, cmd_backup},
    {"restore", "FILE", "take the configuration from FILE", 1, 1, cmd_restore},
    {"show", "[--long] [PREFIX]", "print KEY=VALUE of every setting (whose key begins with PREFIX), sorted", 0, 2,
     cmd_show},
    {"changes", "", "print KEY=VALUE of every setting a commit would store differently", 0, 0, cmd_changes},
    {"export", "FILE", "write the settings and the tree as one JSON document to FILE (- for output)", 1, 1, cmd_export},
    {"import", "FILE", "apply a document of export as a whole, or nothing; commit stores it", 1, 1, cmd_import},
    {"dset", "KEY VALUE", "set a factory default that survives restore-default", 2, 2, cmd_dset},
    {"dunset", "KEY", "remove a factory default", 1, 1, cmd_dunset},
    {"verify", "NAME VALUE [START END]", "check VALUE with validator NAME (tarvi verify --help lists them)", 2, 4,
     cmd_verify},
    {"sysinfo", "", "print processor and memory load, uptime, time and system name", 0, 0, cmd_sysinfo},
    {"check-user", "NAME", "print the level (0 guest, 1 admin, 2 power user) of account NAME", 1, 1, cmd_check_user},
    {"check-password", "NAME", "check the password read from standard input; print the level", 1, 1,
     cmd_check_password},
    {"sc", "SUBCOMMAND [ARGS]", "the configuration tree (tarvi sc --help lists the subcommands)", 1, MANY + 4, cmd_sc},
    {"prop", "SUBCOMMAND [ARGS]", "properties and services (tarvi prop --help lists the subcommands)", 1, 3, cmd_prop},
};

void usage(FILE *out) {
    fprintf(out, "usage: tarvi COMMAND [ARGS...]\n\ncommands:\n");
    for (const auto &c : commands)
        fprintf(out, "  %-16s %-24s %s\n", c.name, c.args, c.help);
    fprintf(out, "\nExit status: 0 success, 1 failure, 2 usage error.\n");
}

void command_usage(FILE *out, const char *prefix, const command &c) {
    fprintf(out, "usage: %s %s %s\n  %s\n", prefix, c.name, c.args, c.help);
    if (c.run == cmd_verify)
        list_validators(out);
    if (c.run == cmd_prop)
        prop_usage(out);
    if (c.run == cmd_sc)
        sc_usage(out);
    if (c.run == cmd_sc_fields)
        fields_usage(out);
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        usage(stderr);
        return EXIT_USAGE;
    }
    if (is_help(argv[1])) {
        usage(stdout);
        return EXIT_OK;
    }
    return run_table({std::begin(commands), std::end(commands), "tarvi", "command", usage}, argc - 1, argv + 1);
}
