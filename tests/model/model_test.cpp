// What users rely on, as a model test: a write the daemon answers with
// success is kept, unchanged and without touching other data, through
// commit, power cut, restart and reload; a write it cannot keep is refused
// at once and changes nothing.
//
// Seeded random sequences of client calls (flat, factory, tree values,
// instances, instance fields, properties, commits, reloads, restarts and
// power cuts) run against the real daemon through libtarvi, while a model of
// plain maps says what every call must answer and every read must return.
// A failing sequence is shrunk by dropping steps and printed with its seed;
// TARVI_MODEL_SEED and TARVI_MODEL_KEEP replay it. ctest runs a few fixed
// seeds; scripts/soak.sh runs thousands of steps on new seeds
// (TARVI_MODEL_STEPS, TARVI_MODEL_RUNS).
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "daemon.h"
#include "device.h"
#include "libtarvi.h"
#include "scratch.h"
#include "tree_device.h"

namespace fs = std::filesystem;

namespace {

using Opt = std::optional<std::string>;
using Stages = std::vector<std::pair<char, long>>;
using Map = std::map<std::string, std::string>;

const char DEFAULTS[] = "S2D_ALLOW_RESUME=0\nM_MTU=1500\nM_DNS=8.8.8.8,,1.1.1.1\nM_CFG=one,static\n"
                        "M_PREV=\nM_A=alpha\nM_B=\nM_C=gamma\n";
const char DEFAULT_PROP[] = "model.d=base\npersist.model.d=fromfile\n";
const char FONLY[] = "M_FONLY"; // a factory setting the firmware does not define
const std::vector<std::string> FLAT_KEYS = {"M_A", "M_B", "M_C", "M_MTU", "M_DNS", "M_RT1", "M_RT2", FONLY};
const std::vector<std::string> PROPS = {"model.a", "model.d", "persist.model.a", "persist.model.d", "model..x"};
const std::vector<std::string> TABLES = {"sys/m/cfg", "sys/m/prev", "sys/m/host", "view/Host"};
const char HOST[] = "sys/m/host";
const char VIEW[] = "view/Host";
// The profile line of sys/m/long without its value: its limit is 1000
// characters long, so that values near the line limit fit the node limit.
constexpr size_t LONG_LINE_BASE = 27 + 1000 + 4;

bool starts(const std::string &s, const std::string &p) { return s.compare(0, p.size(), p) == 0; }
bool has(const std::string &s, const std::string &part) { return s.find(part) != std::string::npos; }

std::vector<std::string> split(const std::string &s, char d) {
    std::vector<std::string> out(1);
    for (char c : s) {
        if (c == d)
            out.emplace_back();
        else
            out.back() += c;
    }
    return out;
}

std::string join(const std::vector<std::string> &parts, char d) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i)
        out += (i ? std::string(1, d) : "") + parts[i];
    return out;
}

// A field as the daemon hands it out: tabs and line ends at its ends go.
std::string trim_ctl(std::string s) {
    auto ctl = [](char c) { return c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && ctl(s.back()))
        s.pop_back();
    size_t i = 0;
    while (i < s.size() && ctl(s[i]))
        ++i;
    return s.substr(i);
}

// A decimal instance number without leading zeros, or -1.
long number_of(const std::string &name) {
    if (name.empty() || name.size() > 6 || (name[0] == '0' && name.size() > 1) ||
        name.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::stol(name);
}

// Field `stages` of a flat value; none when the value is missing, longer
// than the field operations take, or has fewer fields.
Opt read_field(const Opt &flat, const Stages &stages) {
    if (!flat || flat->size() > 1023)
        return std::nullopt;
    std::string cur = *flat;
    for (size_t i = 0; i < stages.size(); ++i) {
        auto [d, n] = stages[i];
        std::vector<std::string> f = i == 0 && cur.empty() ? std::vector<std::string>{} : split(cur, d);
        if (n < 1 || static_cast<size_t>(n) > f.size())
            return std::nullopt;
        cur = f[static_cast<size_t>(n) - 1];
    }
    return trim_ctl(cur);
}

// The flat value with field `stages` replaced, empty fields made as needed.
std::string put_field(const Opt &flat, const Stages &stages, size_t i, const std::string &v) {
    if (i == stages.size())
        return v;
    auto [d, n] = stages[i];
    std::vector<std::string> f;
    if (flat && !(i == 0 && flat->empty()))
        f = split(*flat, d);
    if (f.size() < static_cast<size_t>(n))
        f.resize(static_cast<size_t>(n));
    f[static_cast<size_t>(n) - 1] = put_field(f[static_cast<size_t>(n) - 1], stages, i + 1, v);
    return join(f, d);
}

// ---- steps ----

enum Kind {
    FlatSet, FlatGet, Commit, FlatReload, ReloadDefault, RestoreDefault, DSet, DUnset, TreeSet, TreeGet,
    InstAdd, InstDel, FieldsGet, FieldsSet, FieldsAdd, PropSet, PropGet, PropReload, BreakPersist, FixPersist,
    TreeReload, TreeRestore, Restart, PowerCut, Check, KINDS
};
const char *const KIND_NAMES[] = {
    "flat-set", "flat-get", "commit", "flat-reload", "reload-default", "restore-default", "dset", "dunset",
    "tree-set", "tree-get", "inst-add", "inst-del", "fields-get", "fields-set", "fields-add", "prop-set", "prop-get",
    "prop-reload", "break-persist", "fix-persist", "tree-reload", "tree-restore", "restart", "power-cut", "check"};

struct Step {
    Kind kind = Check;
    std::string a, b;            // key, URI, table or name; value or instance name
    std::vector<std::string> kv; // field, value, field, value...
    unsigned n = 0;              // instance number asked for
};

std::string shown(const std::string &s) {
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x20 || c >= 0x7f || c == '"' || c == '\\') {
            char buf[8];
            snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (out.size() > 40)
        out = out.substr(0, 12) + "...(" + std::to_string(s.size()) + " bytes)";
    return "\"" + out + "\"";
}

std::string describe(const Step &s) {
    std::string out = KIND_NAMES[s.kind];
    for (const std::string *t : {&s.a, &s.b})
        if (!t->empty() || (t == &s.b && (s.kind == FlatSet || s.kind == TreeSet || s.kind == PropSet)))
            out += " " + shown(*t);
    for (const std::string &t : s.kv)
        out += " " + shown(t);
    if (s.kind == InstAdd)
        out += " #" + std::to_string(s.n);
    return out;
}

// ---- the model ----

struct Tree {
    Map lit;                                      // literal nodes by URI
    std::map<std::string, std::set<std::string>> inst; // table -> instance names
    Map own;                                      // view instance -> "sys" host deleted along
    Map ref;                                      // view instance -> host its HostName names
};

struct Node {
    enum { Missing, Formless, Literal, Key, Ref } kind = Missing;
    std::string key; // flat key, or the referred URI
    Stages stages;
    bool verified = false;
    size_t line_base = 0; // tree-file line without the value
};

struct Expect {
    bool ok = true;
    std::vector<Opt> values;
    std::string name;
    unsigned number = 0;
};

Expect refused() {
    Expect e;
    e.ok = false;
    return e;
}

struct Model {
    Map firmware, mem, factory, runtime, props, saved_props;
    std::optional<Map> user; // the committed image, none before the first commit
    Opt fonly_default, fonly_runtime;
    Tree tree, committed, flushed; // in memory, in flash, in the working folder
    bool flat_dirty = false, tree_dirty = true, persist_broken = false;

    Model() {
        for (const std::string &line : split(DEFAULTS, '\n'))
            if (size_t eq = line.find('='); eq != std::string::npos)
                firmware[line.substr(0, eq)] = line.substr(eq + 1);
        mem = firmware;
        flushed = committed = tree = initial_tree();
        props = base_props();
    }

    static Tree initial_tree() {
        Tree t;
        t.lit = {{"sys/m/name", "box"}, {"sys/m/note", ""},        {"sys/m/checked", "ok"},
                 {"sys/m/long", "short"}, {"sys/m/host/1/Name", "host1"}, {"sys/m/host/1/Tag", "t"}};
        t.inst = {{"sys/m/cfg", {"1"}}, {"sys/m/prev", {}}, {HOST, {"1"}}, {"sys/m/host/1/port", {}}, {VIEW, {}}};
        return t;
    }
    // The properties a start gives: the property file's, then the saved ones.
    Map base_props() const {
        Map p = {{"model.d", "base"}, {"persist.model.d", "fromfile"}};
        if (!persist_broken)
            for (auto &[k, v] : saved_props)
                p[k] = v;
        return p;
    }
    // The firmware defaults with the factory's values over them.
    Map defaults() const {
        Map m = firmware;
        for (auto &[k, v] : factory)
            if (m.count(k))
                m[k] = v;
        return m;
    }
    Opt factory_of(const std::string &k) const {
        auto it = factory.find(k);
        return it == factory.end() ? Opt() : it->second;
    }
    void reload_flat(bool user_image) {
        mem = user_image && user ? *user : defaults();
        fonly_default = factory_of(FONLY);
        if (fonly_default) // the factory's entry hides a Runtime one, which goes
            fonly_runtime.reset();
        flat_dirty = false;
    }
    void boot() {
        reload_flat(true);
        runtime.clear();
        fonly_runtime.reset();
        flushed = tree = committed;
        tree_dirty = true;
        props = base_props();
    }

    Opt flat(const std::string &k) const {
        if (k == FONLY)
            return fonly_default ? fonly_default : fonly_runtime;
        const Map &m = firmware.count(k) ? mem : runtime;
        auto it = m.find(k);
        return it == m.end() ? Opt() : it->second;
    }

    // The instance names of the table at `uri`, or null when it is none.
    const std::set<std::string> *table(const std::string &uri) const {
        auto it = tree.inst.find(uri);
        return it == tree.inst.end() ? nullptr : &it->second;
    }
    static bool declared(const std::string &uri) { return uri == "sys/m/cfg/1" || uri == "sys/m/host/1"; }

    Node node(const std::string &uri) const {
        Node n;
        static const std::map<std::string, std::pair<std::string, Stages>> keyed = {
            {"sys/m/mtu", {"M_MTU", {}}},
            {"sys/m/dns1", {"M_DNS", {{',', 1}}}},
            {"sys/m/dns3", {"M_DNS", {{',', 3}}}},
            {"sys/m/fonly", {FONLY, {}}}};
        if (auto it = keyed.find(uri); it != keyed.end()) {
            n.kind = Node::Key;
            std::tie(n.key, n.stages) = it->second;
            return n;
        }
        if (uri == "sys/m/long") {
            n.kind = Node::Literal;
            n.line_base = LONG_LINE_BASE;
            return n;
        }
        if (uri == "sys/m/name" || uri == "sys/m/note" || uri == "sys/m/checked") {
            n.kind = Node::Literal;
            n.verified = uri == "sys/m/checked";
            n.line_base = uri.size() + 21;
            return n;
        }
        if (uri == "sys" || uri == "sys/m" || uri == "view" || table(uri)) {
            n.kind = Node::Formless;
            return n;
        }
        size_t slash = uri.rfind('/');
        if (slash == std::string::npos)
            return n;
        std::string parent = uri.substr(0, slash), leaf = uri.substr(slash + 1);
        if (const auto *names = table(parent); names && names->count(leaf)) {
            n.kind = Node::Formless;
            return n;
        }
        size_t up = parent.rfind('/');
        if (up == std::string::npos)
            return n;
        std::string tab = parent.substr(0, up), inst = parent.substr(up + 1);
        const auto *names = table(tab);
        if (!names || !names->count(inst))
            return n;
        long num = number_of(inst);
        if (tab == "sys/m/cfg" && (leaf == "Name" || leaf == "Type")) {
            n.kind = Node::Key;
            n.key = "M_CFG";
            n.stages = {{';', num}, {',', leaf == "Name" ? 1 : 2}};
        } else if (tab == "sys/m/prev" && leaf == "Val") {
            n.kind = Node::Key;
            n.key = "M_PREV";
            n.stages = {{';', num - 1}};
        } else if (tree.lit.count(uri)) {
            n.kind = Node::Literal;
            n.verified = leaf == "Tag";
            n.line_base = uri.size() + 21;
        } else if (tab == HOST && leaf == "port") {
            n.kind = Node::Formless;
        } else if (tab == VIEW && leaf == "HostName") {
            n.kind = Node::Ref;
            n.key = std::string(HOST) + "/" + tree.ref.at(inst) + "/Name";
        }
        return n;
    }

    Opt value(const std::string &uri) const {
        Node n = node(uri);
        if (n.kind == Node::Literal)
            return tree.lit.at(uri);
        if (n.kind == Node::Key)
            return read_field(flat(n.key), n.stages);
        if (n.kind == Node::Ref)
            return value(n.key);
        return std::nullopt;
    }

    // A value no tree write takes: longer than a node holds, or one of the
    // texts that files and replies use for themselves.
    static bool unfit(const std::string &v) {
        return v.size() > 1024 || v == "SC_NULL" || v == "QV_NULL" || has(v, "<QV_TOKEN>") || has(v, "<QV_SPACE>");
    }

    // A tree write; `callbacks` runs the verification (a tree set does, an
    // instance field write does not).
    bool write(const std::string &uri, const std::string &v, bool callbacks) {
        Node n = node(uri);
        if (n.kind == Node::Ref)
            return node(n.key).kind != Node::Missing && write(n.key, v, callbacks);
        if (n.kind == Node::Literal) {
            if (callbacks && n.verified && (starts(v, "bad") || v == "lower"))
                return false;
            if (unfit(v))
                return false;
            if (tree.lit[uri] == v)
                return true;
            if (v.find_first_of(")\r\n") != std::string::npos || n.line_base + v.size() > 2046)
                return false;
            tree.lit[uri] = v;
            tree_dirty = true;
            return true;
        }
        if (n.kind != Node::Key || unfit(v))
            return false;
        Opt old = flat(n.key);
        if (read_field(old, n.stages) == v)
            return true;
        bool delimiter = false;
        for (auto [d, i] : n.stages)
            delimiter = delimiter || v.find(d) != std::string::npos;
        if (delimiter || trim_ctl(v) != v || (old && old->size() > 1023) || (n.key == FONLY && fonly_default))
            return false;
        std::string nv = put_field(old, n.stages, 0, v);
        if (nv.size() > 1023)
            return false;
        if (n.key == FONLY) {
            fonly_runtime = nv;
        } else {
            flat_dirty = flat_dirty || mem[n.key] != nv;
            mem[n.key] = nv;
        }
        return true;
    }

    // Which instance numbers a table's bound fields take.
    static long lowest_number(const std::string &tab) { return tab == "sys/m/prev" ? 2 : 1; }
    static bool takes(const std::string &tab, const std::string &name) {
        long num = number_of(name);
        if (tab == "sys/m/cfg")
            return num >= 1 && num <= 32767;
        if (tab == "sys/m/prev")
            return num >= 2 && num <= 32768;
        return true;
    }
    static bool valid_name(const std::string &name) {
        return !name.empty() && name.size() <= 100 && !has(name, "-1") &&
               name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-") ==
                   std::string::npos;
    }

    // Makes instance `name` of table `tab` from its template.
    void make(const std::string &tab, const std::string &name, const std::string &host) {
        tree.inst[tab].insert(name);
        std::string at = tab + "/" + name;
        if (tab == HOST) {
            tree.lit[at + "/Name"] = "host" + name;
            tree.lit[at + "/Tag"] = "t";
            tree.inst[at + "/port"];
        } else if (starts(tab, HOST)) {
            tree.lit[at + "/Num"] = "p" + name;
        } else if (tab == VIEW) {
            tree.ref[name] = host.empty() ? name : host;
            if (!host.empty())
                tree.own[name] = host;
        }
        tree_dirty = true;
    }

    Expect add(const std::string &tab, const std::string &name, unsigned number) {
        Expect e;
        e.number = number;
        const auto *names = table(tab);
        if (!valid_name(name) || !names || names->count(name) || !takes(tab, name))
            return refused();
        std::string host;
        if (tab == VIEW) {
            for (unsigned k = number; k < 32 && host.empty(); ++k)
                if (!tree.inst[HOST].count(std::to_string(k)))
                    host = std::to_string(e.number = k);
            if (!host.empty())
                make(HOST, host, "");
        }
        make(tab, name, host);
        return e;
    }

    bool del(const std::string &uri) {
        size_t slash = uri.rfind('/');
        std::string tab = slash == std::string::npos ? "" : uri.substr(0, slash), name = uri.substr(slash + 1);
        const auto *names = table(tab);
        if (!names || !names->count(name) || declared(uri))
            return false;
        if (tab == VIEW && tree.own.count(name)) {
            std::string host = std::string(HOST) + "/" + tree.own[name];
            if (declared(host) || (tree.inst[HOST].count(tree.own[name]) && !del(host)))
                return false;
        }
        for (auto it = tree.lit.lower_bound(uri + "/"); it != tree.lit.end() && starts(it->first, uri + "/");)
            it = tree.lit.erase(it);
        tree.inst.erase(uri + "/port");
        tree.inst[tab].erase(name);
        if (tab == VIEW) {
            tree.own.erase(name);
            tree.ref.erase(name);
        }
        tree_dirty = true;
        // What the instance held in its bound key is emptied, so that a table
        // survives any number of adds and deletes.
        std::string key = tab == "sys/m/cfg" ? "M_CFG" : tab == "sys/m/prev" ? "M_PREV" : "";
        long group = number_of(name) - (tab == "sys/m/prev" ? 1 : 0);
        if (!key.empty() && read_field(mem[key], {{';', group}}).value_or("") != "") {
            mem[key] = put_field(mem[key], {{';', group}}, 0, "");
            flat_dirty = true;
        }
        return true;
    }

    Expect fields_get(const std::string &inst, const std::vector<std::string> &fields) const {
        Expect e;
        std::vector<std::string> texts;
        for (const std::string &f : fields) {
            Node n = node(inst + "/" + f);
            if (n.kind == Node::Missing)
                return refused();
            // A reference field gives the URI it holds.
            e.values.push_back(n.kind == Node::Ref ? Opt("./" + n.key) : value(inst + "/" + f));
            texts.push_back(e.values.back().value_or("QV_NULL"));
        }
        e.ok = !fields.empty() && join(texts, '\x01').size() + 9 * (texts.size() - 1) < 1024;
        return e;
    }

    // The key of an instance-field request as the client builds it.
    static size_t fields_key_size(const std::string &head, const std::vector<std::string> &kv) {
        size_t size = head.size() + 2;
        for (size_t i = 0; i < kv.size(); i += 2) {
            size += kv[i].size() + 20;
            for (char c : kv[i + 1])
                size += c == ' ' ? 10 : 1;
        }
        return size;
    }
    static bool sendable(const std::vector<std::string> &kv) {
        for (size_t i = 0; i < kv.size(); i += 2)
            if (kv[i].empty() || kv[i].find_first_of(" \t\r\n") != std::string::npos ||
                kv[i + 1].find_first_of("\t\r\n\v\f") != std::string::npos || has(kv[i + 1], "<QV_"))
                return false;
        return !kv.empty();
    }

    bool fields_set(const std::string &inst, const std::vector<std::string> &kv) {
        if (!sendable(kv) || fields_key_size(inst, kv) >= 1024)
            return false;
        Model next = *this;
        for (size_t i = 0; i < kv.size(); i += 2)
            if (!next.write(inst + "/" + kv[i], kv[i + 1], false))
                return false;
        *this = next;
        return true;
    }

    Expect fields_add(const std::string &tab, const std::vector<std::string> &kv) {
        const auto *names = table(tab);
        if (!names || !sendable(kv) || fields_key_size(tab, kv) >= 1024)
            return refused();
        long k = lowest_number(tab);
        while (names->count(std::to_string(k)))
            ++k;
        Expect e;
        e.name = std::to_string(k);
        Model next = *this;
        next.make(tab, e.name, "");
        if (!next.fields_set(tab + "/" + e.name, kv))
            return refused();
        *this = next;
        return e;
    }

    bool prop_set(const std::string &name, const std::string &v) {
        if (name.size() > 31 || v.size() > 91 || has(name, ".."))
            return false;
        if (props.count(name) && props[name] == v)
            return true;
        if (starts(name, "persist.")) {
            if (persist_broken)
                return false;
            saved_props[name] = v;
        }
        props[name] = v;
        return true;
    }

    // What a step must answer; the model takes the step's effect.
    Expect apply(const Step &s) {
        Expect e;
        switch (s.kind) {
        case FlatSet:
            if (s.a.size() + s.b.size() + 2 > 4096 || (s.a == FONLY && fonly_default && *fonly_default != s.b))
                return refused();
            if (s.a == FONLY)
                fonly_runtime = s.b;
            else if (!firmware.count(s.a))
                runtime[s.a] = s.b;
            else if (mem[s.a] != s.b)
                mem[s.a] = s.b, flat_dirty = true;
            break;
        case FlatGet:
            e.values = {flat(s.a)};
            break;
        case Commit:
            if (flat_dirty || tree_dirty) {
                user = mem;
                flushed = committed = tree;
            }
            flat_dirty = tree_dirty = false;
            break;
        case FlatReload:
        case ReloadDefault:
            // A loaded image's tree archive replaces the working folder.
            if (s.kind == FlatReload && user)
                flushed = committed;
            reload_flat(s.kind == FlatReload);
            break;
        case RestoreDefault:
            user.reset();
            reload_flat(true);
            flushed = committed = tree = initial_tree();
            tree_dirty = true;
            break;
        case DSet:
            factory[s.a] = s.b;
            break;
        case DUnset:
            factory.erase(s.a);
            break;
        case TreeSet:
            e.ok = write(s.a, s.b, true);
            break;
        case TreeGet:
            e.values = {value(s.a)};
            break;
        case InstAdd:
            return add(s.a, s.b, s.n);
        case InstDel:
            e.ok = del(s.a);
            break;
        case FieldsGet:
            return fields_get(s.a, s.kv);
        case FieldsSet:
            e.ok = fields_set(s.a, s.kv);
            break;
        case FieldsAdd:
            return fields_add(s.a, s.kv);
        case PropSet:
            e.ok = prop_set(s.a, s.b);
            break;
        case PropGet:
            e.values = {props.count(s.a) ? Opt(props[s.a]) : Opt()};
            break;
        case PropReload:
            props = base_props();
            break;
        case BreakPersist:
        case FixPersist:
            persist_broken = s.kind == BreakPersist;
            break;
        case TreeReload:
            tree = flushed;
            tree_dirty = true;
            break;
        case TreeRestore:
            flushed = tree = initial_tree();
            tree_dirty = true;
            break;
        case Restart:
        case PowerCut:
            boot();
            break;
        case Check:
        case KINDS:
            break;
        }
        return e;
    }

    // Every node the model knows, with the tables' instance sets.
    std::vector<std::string> nodes() const {
        std::vector<std::string> out = {"sys/m/mtu", "sys/m/dns1", "sys/m/dns3", "sys/m/fonly"};
        for (auto &[uri, v] : tree.lit)
            out.push_back(uri);
        for (auto &[tab, names] : tree.inst)
            for (const std::string &name : names) {
                if (tab == "sys/m/cfg")
                    out.insert(out.end(), {tab + "/" + name + "/Name", tab + "/" + name + "/Type"});
                else if (tab == "sys/m/prev")
                    out.push_back(tab + "/" + name + "/Val");
                else if (tab == VIEW)
                    out.push_back(tab + "/" + name + "/HostName");
            }
        return out;
    }
};

// ---- values and steps at random ----

struct Gen {
    std::mt19937 rng;
    explicit Gen(unsigned seed) : rng(seed) {}

    size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); }
    template <typename T> const T &pick(const std::vector<T> &v) { return v[below(v.size())]; }
    bool chance(int percent) { return static_cast<int>(below(100)) < percent; }

    std::string letters(size_t n) {
        std::string s;
        for (size_t i = 0; i < n; ++i)
            s += static_cast<char>('a' + (i * 7 + n) % 26);
        return s;
    }
    // Values shaped to stress the files and the field splitting.
    std::string value(size_t flat_room = 0) {
        static const std::vector<std::string> odd = {
            "", " ", "a b", " lead", "trail ", ";", ",", ")", "(", "$", "#", "$1", "#1", "a;b", "x,y", "(x)",
            "a)b", "k(x)", "v(y", "#c", "SC_NULL", "QV_NULL", "<QV_SPACE>", "a<QV_TOKEN>b", "sc_null", "-1", "a-1",
            "-10", "\xd6", "a\xd6 b", "\t", "a\tb", "x\r\n", "\xc3\xa9t\xc3\xa9", "bad1", "lower", "ok", "0"};
        switch (below(5)) {
        case 0:
        case 1:
            return letters(1 + below(8)) + (chance(30) ? " " + letters(2) : "");
        case 2:
            return pick(odd);
        case 3: {
            std::vector<size_t> sizes = {1015, 1016, 1022, 1023, 1024, 1025, 2100};
            if (flat_room)
                sizes.insert(sizes.end(), {flat_room, flat_room + 1});
            return letters(pick(sizes));
        }
        default:
            return letters(1 + below(3)) + pick(odd) + letters(1 + below(3));
        }
    }
    std::string name() {
        static const std::vector<std::string> names = {
            "1", "2", "3", "4", "5", "7", "9", "12", "31", "32", "0", "01", "32767", "32768", "n1", "lab", "a_b",
            "x-2", "a-1", "-1", "-10", "a b", "a;b", "", "a/b", "a.b", "Q", std::string(300, 'n')};
        return pick(names);
    }

    std::string table(const Model &m) {
        std::vector<std::string> tabs = TABLES;
        for (const std::string &h : m.tree.inst.at(HOST))
            tabs.push_back(std::string(HOST) + "/" + h + "/port");
        tabs.push_back("sys/m");
        return pick(tabs);
    }
    // An existing instance mostly, anything else now and then.
    std::string instance(const Model &m, bool templates = true) {
        std::vector<std::string> all;
        for (auto &[tab, names] : m.tree.inst)
            for (const std::string &n : names)
                all.push_back(tab + "/" + n);
        if (all.empty() || chance(20))
            return pick(std::vector<std::string>{"sys/m", "sys/m/host@@@serial", templates ? "sys/m/host/-1" : "sys/m",
                                                 "sys/m/cfg/1/Name", "sys/m/host/99", "sys/m/cfg/1", "sys/m/host/1"});
        return pick(all);
    }
    std::vector<std::string> fields_of(const std::string &inst) {
        if (starts(inst, "sys/m/cfg"))
            return {"Name", "Type"};
        if (starts(inst, "sys/m/prev"))
            return {"Val"};
        if (starts(inst, VIEW))
            return {"HostName"};
        if (has(inst, "/port/"))
            return {"Num"};
        return {"Name", "Tag"};
    }
    std::vector<std::string> kv_for(const std::string &inst) {
        std::vector<std::string> kv;
        for (const std::string &f : fields_of(inst))
            if (chance(70) || kv.empty())
                kv.insert(kv.end(), {chance(5) ? "Nope" : f, value()});
        return kv;
    }

    Step next(const Model &m) {
        static const int weights[KINDS] = {8, 4, 6, 2, 1, 1, 2, 1, 14, 5, 6, 4, 3, 5, 5, 4, 2, 1, 1, 0, 2, 1, 1, 2, 2};
        int total = 0;
        for (int w : weights)
            total += w;
        int r = static_cast<int>(below(static_cast<size_t>(total)));
        int k = 0;
        while (r >= weights[k])
            r -= weights[k++];
        Step s;
        s.kind = m.persist_broken && chance(30) ? FixPersist : static_cast<Kind>(k);
        switch (s.kind) {
        case FlatSet:
        case FlatGet:
            s.a = pick(FLAT_KEYS);
            s.b = s.a == "M_MTU" || s.a == "M_DNS" ? letters(1 + below(6)) + (chance(50) ? "," + letters(3) : "")
                                                   : value(4094 - s.a.size());
            break;
        case DSet:
        case DUnset:
            s.a = pick(std::vector<std::string>{"M_A", "M_MTU", FONLY});
            s.b = s.kind == DSet ? letters(1 + below(9)) : "";
            break;
        case TreeSet:
        case TreeGet: {
            std::vector<std::string> uris = m.nodes();
            uris.insert(uris.end(), {"sys/m", "sys/m/cfg/1", "sys/m/none"});
            s.a = pick(uris);
            s.b = s.kind == TreeSet ? value() : "";
            break;
        }
        case InstAdd:
            s.a = table(m);
            s.b = name();
            s.n = static_cast<unsigned>(pick(std::vector<int>{0, 1, 3, 31, 40}));
            break;
        case InstDel:
            s.a = instance(m);
            break;
        case FieldsGet:
            s.a = instance(m, false);
            s.kv = fields_of(s.a);
            if (chance(10))
                s.kv.push_back("Nope");
            break;
        case FieldsSet:
            s.a = instance(m, false);
            s.kv = kv_for(s.a);
            break;
        case FieldsAdd:
            s.a = table(m);
            s.kv = kv_for(s.a + "/x");
            break;
        case PropSet:
        case PropGet:
            s.a = pick(PROPS);
            s.b = s.kind == PropSet ? (chance(10) ? letters(92) : value()).substr(0, 92) : "";
            break;
        default:
            break;
        }
        return s;
    }
};

std::vector<Step> generate(unsigned seed, size_t count) {
    Gen g(seed);
    Model m;
    std::vector<Step> steps;
    for (size_t i = 0; i < count; ++i) {
        steps.push_back(g.next(m));
        m.apply(steps.back());
    }
    return steps;
}

// ---- the daemon ----

char *c(const std::string &s) { return const_cast<char *>(s.c_str()); }
char *c(const char *s) { return const_cast<char *>(s); }

std::string got(const Opt &v) { return v ? shown(*v) : "(none)"; }

struct Device {
    ScratchRoot root;
    std::unique_ptr<Daemon> daemon;

    Device() {
        lay_tree_device(root, DEFAULTS, "tests/model/usr");
        root.write("/default.prop", DEFAULT_PROP);
    }
    ~Device() { stop_tree_daemon(daemon); }

    bool start() {
        daemon = start_tree_daemon(root);
        char *level = nullptr;
        return daemon && tarvi_sc_debug(c("1"), &level) == 0;
    }
    bool restart(bool power_cut) {
        if (power_cut)
            daemon->signal(SIGKILL);
        daemon->stop();
        std::string report = daemon->sanitizer_report();
        if (!report.empty()) {
            ADD_FAILURE() << report;
            return false;
        }
        if (power_cut) {
            for (const char *dir : {"/tmp/sc", "/tmp/sc2_back.tar.gz", "/tmp/sc2_restore.tar.gz", "/var/run"})
                fs::remove_all(root.at(dir));
            fs::create_directories(root.at("/tmp/sc"));
            fs::create_directories(root.at("/var/run"));
        }
        return start();
    }
    // The saved properties' folder replaced by a file: no property can be
    // saved, nor any saved one read, until it is put back.
    void persist(bool broken) {
        std::string dir = root.at("/data/property"), aside = root.at("/data/property.aside");
        if (broken == fs::exists(aside))
            return;
        if (broken) {
            fs::create_directories(dir);
            fs::rename(dir, aside);
            root.write("/data/property", "");
        } else {
            fs::remove(dir);
            fs::rename(aside, dir);
        }
    }

    Opt flat(const std::string &k) {
        char *v = nullptr;
        if (tarvi_get(c(k), &v) != 0)
            return std::string("(get failed)");
        Opt out = v ? Opt(v) : Opt();
        free(v);
        return out;
    }
    Opt node(const std::string &uri) {
        char *v = nullptr;
        if (tarvi_sc_get(c(uri), &v) != 0)
            return std::string("(get failed)");
        Opt out = v ? Opt(v) : Opt();
        free(v);
        return out;
    }
    Opt prop(const std::string &name) {
        char buf[128];
        property_get(name.c_str(), buf, "(absent)");
        return std::string(buf) == "(absent)" ? Opt() : Opt(buf);
    }
    std::set<std::string> instances(const std::string &tab) {
        std::set<std::string> out;
        u_16 n = 0;
        tarvi_sc_query_inst_number(c(tab), &n);
        for (u_16 i = 0; i < n; ++i) {
            char *name = nullptr;
            tarvi_sc_query_inst_name(c(tab), i, &name);
            out.insert(name ? name : "(none)");
            free(name);
        }
        return out;
    }

    // Runs a step; the answer in *e as the model's Expect is shaped.
    Expect run(const Step &s) {
        Expect e;
        std::vector<char *> fields, values;
        for (size_t i = 0; i < s.kv.size(); ++i)
            (s.kind == FieldsGet || i % 2 == 0 ? fields : values).push_back(c(s.kv[i]));
        fields.push_back(nullptr);
        values.resize(std::max(values.size() + 1, fields.size()), nullptr);
        int rc = 0;
        switch (s.kind) {
        case FlatSet:
            rc = tarvi_set(c(s.a), c(s.b));
            break;
        case FlatGet:
            e.values = {flat(s.a)};
            break;
        case Commit:
            rc = tarvi_commit();
            break;
        case FlatReload:
            rc = tarvi_reload();
            break;
        case ReloadDefault:
            rc = tarvi_reload_default();
            break;
        case RestoreDefault:
            rc = tarvi_restore_default() | tarvi_sc_reload();
            break;
        case DSet:
            rc = tarvi_dset(c(s.a), c(s.b));
            break;
        case DUnset:
            rc = tarvi_dunset(c(s.a));
            break;
        case TreeSet:
            rc = tarvi_sc_set(c(s.a), c(s.b));
            break;
        case TreeGet:
            e.values = {node(s.a)};
            break;
        case InstAdd: {
            u_16 n = static_cast<u_16>(s.n);
            rc = tarvi_sc_me_add_inst(c(s.a), c(s.b), &n);
            e.number = n;
            break;
        }
        case InstDel:
            rc = tarvi_sc_me_del_inst(c(s.a));
            break;
        case FieldsGet: {
            size_t slash = s.a.rfind('/');
            rc = tarvi_sc_get_instance_fields(c(s.a.substr(0, slash)), c(s.a.substr(slash + 1)), fields.data(),
                                              values.data());
            for (size_t i = 0; i + 1 < fields.size(); ++i) {
                e.values.push_back(values[i] ? Opt(values[i]) : Opt());
                free(values[i]);
            }
            break;
        }
        case FieldsSet: {
            size_t slash = s.a.rfind('/');
            rc = tarvi_sc_set_instance_fields(c(s.a.substr(0, slash)), c(s.a.substr(slash + 1)), fields.data(),
                                              values.data());
            break;
        }
        case FieldsAdd: {
            char *name = nullptr;
            rc = tarvi_sc_add_instance_fields(c(s.a), fields.data(), values.data(), &name);
            e.name = name ? name : "";
            free(name);
            break;
        }
        case PropSet:
            rc = property_set(s.a.c_str(), s.b.c_str());
            break;
        case PropGet:
            e.values = {prop(s.a)};
            break;
        case PropReload:
            rc = property_reload();
            break;
        case BreakPersist:
        case FixPersist:
            persist(s.kind == BreakPersist);
            break;
        case TreeReload:
            rc = tarvi_sc_reload();
            break;
        case TreeRestore:
            rc = tarvi_sc_restore_default();
            break;
        case Restart:
        case PowerCut:
            rc = restart(s.kind == PowerCut) ? 0 : -1;
            break;
        case Check:
        case KINDS:
            break;
        }
        e.ok = rc == 0;
        return e;
    }

    // Every read the model knows of, compared; the first difference, or "".
    std::string compare_all(const Model &m) {
        std::vector<std::string> keys = FLAT_KEYS;
        keys.insert(keys.end(), {"M_CFG", "M_PREV"});
        for (const std::string &k : keys)
            if (Opt v = flat(k); v != m.flat(k))
                return "flat " + k + ": want " + got(m.flat(k)) + ", got " + got(v);
        for (auto &[tab, names] : m.tree.inst)
            if (instances(tab) != names)
                return "instances of " + tab + " differ (" + std::to_string(instances(tab).size()) + " found, " +
                       std::to_string(names.size()) + " expected)";
        for (const std::string &uri : m.nodes())
            if (Opt v = node(uri); v != m.value(uri))
                return "tree " + uri + ": want " + got(m.value(uri)) + ", got " + got(v);
        for (const std::string &p : PROPS)
            if (Opt v = prop(p); v != (m.props.count(p) ? Opt(m.props.at(p)) : Opt()))
                return "property " + p + ": got " + got(v);
        return "";
    }
};

// A step whose outcome differs from the model's, described; "" when alike.
std::string differ(const Step &s, const Expect &want, const Expect &have) {
    if (want.ok != have.ok)
        return want.ok ? "refused, but the model accepts it" : "accepted, but the model refuses it";
    if (!want.ok)
        return "";
    for (size_t i = 0; i < want.values.size(); ++i)
        if (i >= have.values.size() || want.values[i] != have.values[i])
            return "read " + got(i < have.values.size() ? have.values[i] : Opt()) + ", want " + got(want.values[i]);
    if (s.kind == FieldsAdd && want.name != have.name)
        return "made instance " + shown(have.name) + ", want " + shown(want.name);
    if (s.kind == InstAdd && want.number != have.number)
        return "chose number " + std::to_string(have.number) + ", want " + std::to_string(want.number);
    return "";
}

// Runs `steps` on a fresh device. Returns the index of the first step that
// went wrong (steps.size() when none did) and its description in *fault.
size_t run_steps(const std::vector<Step> &steps, std::string *fault) {
    Device dev;
    Model m;
    if (!dev.start()) {
        *fault = "daemon did not start";
        return 0;
    }
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step &s = steps[i];
        Model before = m;
        Expect want = m.apply(s);
        Expect have = dev.run(s);
        *fault = differ(s, want, have);
        // A verification that outran the daemon's wait on a starved machine
        // refuses a good value; the value read back must then be unchanged.
        if (!fault->empty() && s.kind == TreeSet && want.ok && !have.ok &&
            dev.daemon->stdout_text().find("we wait too long for ./" + s.a) != std::string::npos) {
            m = before;
            fault->clear();
        }
        if (fault->empty() && (s.kind == Check || s.kind >= TreeReload || s.kind == FlatReload ||
                               s.kind == RestoreDefault || s.kind == ReloadDefault))
            *fault = dev.compare_all(m);
        if (fault->empty() && !dev.daemon->running())
            *fault = "the daemon died";
        if (!fault->empty())
            return i;
    }
    *fault = dev.compare_all(m);
    return fault->empty() ? steps.size() : steps.size() - 1;
}

long env_number(const char *name, long fallback) {
    const char *v = getenv(name);
    return v && *v ? atol(v) : fallback;
}

// Drops steps while the sequence still fails, within a time budget.
std::vector<size_t> shrink(const std::vector<Step> &steps, std::vector<size_t> keep) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(env_number("TARVI_MODEL_SHRINK_SECONDS", 120));
    auto fails = [&](const std::vector<size_t> &idx) {
        std::vector<Step> sub;
        for (size_t i : idx)
            sub.push_back(steps[i]);
        std::string fault;
        return run_steps(sub, &fault) < sub.size();
    };
    for (size_t chunk = keep.size() / 2; chunk >= 1; chunk /= 2) {
        for (size_t at = 0; at < keep.size() && std::chrono::steady_clock::now() < until;) {
            std::vector<size_t> fewer(keep.begin(), keep.begin() + static_cast<long>(at));
            fewer.insert(fewer.end(), keep.begin() + static_cast<long>(std::min(at + chunk, keep.size())), keep.end());
            if (!fewer.empty() && fails(fewer))
                keep = fewer;
            else
                at += chunk;
        }
    }
    return keep;
}

// One seeded run; a failure is reported with the shortest sequence found.
void check_seed(unsigned seed, size_t count) {
    std::vector<Step> steps = generate(seed, count);
    std::vector<size_t> keep;
    if (const char *only = getenv("TARVI_MODEL_KEEP")) {
        std::stringstream in(only);
        for (std::string n; std::getline(in, n, ',');)
            keep.push_back(std::stoul(n));
    } else {
        for (size_t i = 0; i < steps.size(); ++i)
            keep.push_back(i);
    }
    std::vector<Step> chosen;
    for (size_t i : keep)
        chosen.push_back(steps[i]);
    std::string fault;
    size_t bad = run_steps(chosen, &fault);
    if (bad == chosen.size())
        return;
    std::string first = describe(chosen[bad]) + ": " + fault;
    keep.resize(bad + 1);
    keep = shrink(steps, keep);
    std::vector<Step> sub;
    std::string list, text;
    for (size_t i : keep) {
        sub.push_back(steps[i]);
        list += (list.empty() ? "" : ",") + std::to_string(i);
        text += "  " + std::to_string(i) + ": " + describe(steps[i]) + "\n";
    }
    run_steps(sub, &fault);
    ADD_FAILURE() << "seed " << seed << " (" << count << " steps) failed at " << first << "\nshortest sequence ("
                  << keep.size() << " steps, last: " << fault << "):\n"
                  << text << "replay: TARVI_MODEL_SEED=" << seed << " TARVI_MODEL_STEPS=" << count
                  << " TARVI_MODEL_KEEP=" << list;
}

} // namespace

// Fixed seeds in ctest; scripts/soak.sh sets TARVI_MODEL_RUNS and
// TARVI_MODEL_STEPS and takes new seeds each time.
TEST(Model, AcceptedWritesAreKeptAndRefusedOnesChangeNothing) {
    size_t count = static_cast<size_t>(env_number("TARVI_MODEL_STEPS", 150));
    if (long seed = env_number("TARVI_MODEL_SEED", 0)) {
        check_seed(static_cast<unsigned>(seed), count);
        return;
    }
    long runs = env_number("TARVI_MODEL_RUNS", 0);
    if (runs == 0) {
        for (unsigned seed : {1u, 2u, 3u})
            check_seed(seed, count);
        return;
    }
    unsigned base = static_cast<unsigned>(std::chrono::system_clock::now().time_since_epoch().count());
    for (long r = 0; r < runs && !HasFailure(); ++r) {
        printf("model: seed %u, %zu steps\n", base + static_cast<unsigned>(r), count);
        check_seed(base + static_cast<unsigned>(r), count);
    }
}

// A table bound to a flat key by instance number takes any number of adds and
// deletes: a deleted instance's part of the key is emptied and its number
// serves the next add, and an add that fails leaves nothing behind.
TEST(Model, TablesSurviveEndlessAddsAndDeletes) {
    Device dev;
    ASSERT_TRUE(dev.start());
    char *fields[] = {c("Name"), c("Type"), nullptr};
    for (int i = 0; i < 300; ++i) {
        std::string v = i % 3 ? "n" + std::to_string(i) : "bad,name";
        char *values[] = {c(v), c("static"), nullptr}, *name = nullptr;
        int rc = tarvi_sc_add_instance_fields(c("sys/m/cfg"), fields, values, &name);
        ASSERT_EQ(i % 3 ? 0 : -1, rc) << i;
        ASSERT_EQ(i % 3 ? "2" : "(none)", text_or_none(name)) << i;
        ASSERT_EQ(i % 3 ? 0 : -404, tarvi_sc_me_del_inst(c("sys/m/cfg/2"))) << i;
    }
    EXPECT_EQ(std::set<std::string>{"1"}, dev.instances("sys/m/cfg"));
    EXPECT_EQ("one,static;", dev.flat("M_CFG"));
}
