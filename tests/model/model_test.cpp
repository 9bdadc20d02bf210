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
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
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
using Names = std::set<std::string>;

const char DEFAULTS[] = "S2D_ALLOW_RESUME=0\nM_MTU=1500\nM_DNS=8.8.8.8,,1.1.1.1\nM_CFG=one,static\n"
                        "M_PREV=\nM_A=alpha\nM_B=\nM_C=gamma\n";
const Map BASE_PROPS = {{"model.d", "base"}, {"persist.model.d", "fromfile"}}; // the device's /default.prop
const char FONLY[] = "M_FONLY"; // a factory setting that the firmware does not define
const std::vector<std::string> FLAT_KEYS = {"M_A", "M_B", "M_C", "M_MTU", "M_DNS", "M_RT1", "M_RT2", FONLY};
const std::vector<std::string> PROPS = {"model.a", "model.d", "persist.model.a", "persist.model.d", "model..x"};
const char CFG[] = "sys/m/cfg", PREV[] = "sys/m/prev", HOST[] = "sys/m/host", VIEW[] = "view/Host";

bool starts(const std::string &s, const std::string &p) { return s.compare(0, p.size(), p) == 0; }
bool has(const std::string &s, const std::string &part) { return s.find(part) != std::string::npos; }

std::vector<std::string> split(const std::string &s, char d) {
    std::vector<std::string> out(1);
    for (char c : s)
        c == d ? out.emplace_back() : out.back() += c;
    return out;
}

std::string join(const std::vector<std::string> &parts, const std::string &d) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i)
        out += (i ? d : "") + parts[i];
    return out;
}

// A field as the daemon hands it out: tabs and line ends at its ends go.
std::string trim_ctl(const std::string &s) {
    size_t from = s.find_first_not_of("\t\r\n"), to = s.find_last_not_of("\t\r\n");
    return from == std::string::npos ? "" : s.substr(from, to - from + 1);
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
    std::vector<std::string> f = flat && !(i == 0 && flat->empty()) ? split(*flat, d) : std::vector<std::string>{};
    f.resize(std::max(f.size(), static_cast<size_t>(n)));
    f[static_cast<size_t>(n) - 1] = put_field(f[static_cast<size_t>(n) - 1], stages, i + 1, v);
    return join(f, std::string(1, d));
}

std::string shown(const std::string &s) {
    std::string out;
    for (unsigned char c : s) {
        char buf[8];
        snprintf(buf, sizeof buf, c < 0x20 || c >= 0x7f || c == '"' || c == '\\' ? "\\x%02x" : "%c", c);
        out += buf;
    }
    if (out.size() > 40)
        out = out.substr(0, 12) + "...(" + std::to_string(s.size()) + " bytes)";
    return "\"" + out + "\"";
}
std::string shown(const Opt &v) { return v ? shown(*v) : "(none)"; }

// The fields of an instance, given its URI or its table's.
std::vector<std::string> fields_of(const std::string &inst) {
    if (starts(inst, CFG))
        return {"Name", "Type"};
    if (starts(inst, PREV) || starts(inst, VIEW))
        return {starts(inst, PREV) ? "Val" : "HostName"};
    return {has(inst, "/port/") ? "Num" : "Name", "Tag"};
}

struct Step {
    int kind = 0;
    std::string a, b;            // key, URI, table or name; value or instance name
    std::vector<std::string> kv; // field, value, field, value... (fields alone for a read)
    unsigned n = 0;              // instance number asked for
};

// What a step answers: success, the values read, a name or number made.
struct Expect {
    bool ok = true;
    std::vector<Opt> values{};
    std::string name{};
    unsigned number = 0;
};
Expect done(bool ok) { return {ok}; }
Expect read(Opt v) { return {true, {std::move(v)}}; }

// ---- the model ----

struct Tree {
    Map lit;                           // literal nodes
    std::map<std::string, Names> inst; // table -> instance names
    Map own, ref;                      // view instance -> "sys" host deleted along; host its field names
};

struct Node {
    enum Kind { Missing, Formless, Literal, Key, Ref } kind = Missing;
    std::string key{}; // flat key, or the referred URI
    Stages stages{};
    bool verified = false;
    size_t line_base = 0; // length of its tree-file line without the value
};

struct Model {
    Map firmware, mem, factory, runtime, props, saved_props;
    std::optional<Map> user; // the newest committed image, none before the first commit
    Opt fonly_default, fonly_runtime;
    Tree tree, committed, flushed; // in memory, in flash, in the working folder
    bool flat_dirty = false, tree_dirty = true, persist_broken = false;
    // While a commit waits for confirmation: the user image and tree of the
    // last confirmed commit, which a roll back, restart or power cut brings back.
    std::optional<std::pair<std::optional<Map>, Tree>> confirmed;

    Model() {
        for (const std::string &line : split(DEFAULTS, '\n'))
            if (size_t eq = line.find('='); eq != std::string::npos)
                firmware[line.substr(0, eq)] = line.substr(eq + 1);
        mem = firmware;
        flushed = committed = tree = initial_tree();
        props = BASE_PROPS;
    }

    static Tree initial_tree() {
        Tree t;
        t.lit = {{"sys/m/name", "box"},          {"sys/m/note", ""},
                 {"sys/m/checked", "ok"},        {"sys/m/long", "short"},
                 {"sys/m/host/1/Name", "host1"}, {"sys/m/host/1/Tag", "t"}};
        t.inst = {{CFG, {"1"}}, {PREV, {}}, {HOST, {"1"}}, {"sys/m/host/1/port", {}}, {VIEW, {}}};
        return t;
    }
    // The properties a start gives: the property file's, then the saved ones.
    Map start_props() const {
        Map p = BASE_PROPS;
        if (!persist_broken)
            for (auto &[k, v] : saved_props)
                p[k] = v;
        return p;
    }
    void reload_flat(bool user_image) {
        if (user_image && user) // the image's tree archive replaces the working folder
            flushed = committed;
        mem = firmware;
        for (auto &[k, v] : factory)
            if (mem.count(k))
                mem[k] = v;
        if (user_image && user)
            mem = *user;
        auto f = factory.find(FONLY);
        fonly_default = f == factory.end() ? Opt() : f->second;
        if (fonly_default) // the factory's entry hides a Runtime one, which goes
            fonly_runtime.reset();
        flat_dirty = false;
    }
    void load_tree(const Tree &t) {
        tree = t;
        tree_dirty = true;
    }
    bool waits() const { return confirmed.has_value(); }
    void forget_waiting() {
        if (confirmed)
            std::tie(user, committed) = *confirmed;
        confirmed.reset();
    }
    void boot() {
        forget_waiting();
        reload_flat(true);
        runtime.clear();
        fonly_runtime.reset();
        props = start_props();
        load_tree(flushed = committed);
    }
    // A commit waiting for confirmation (`confirm`) stores everything.
    bool commit(bool confirm = false) {
        if (waits())
            return false;
        if (confirm)
            confirmed.emplace(user, committed);
        if (flat_dirty || tree_dirty || confirm) {
            user = mem;
            flushed = committed = tree;
        }
        flat_dirty = tree_dirty = false;
        return true;
    }
    bool roll_back() {
        if (!waits())
            return false;
        forget_waiting();
        reload_flat(true);
        load_tree(flushed = committed);
        return true;
    }
    void restore() {
        user.reset();
        reload_flat(true);
        load_tree(flushed = committed = initial_tree());
    }

    Opt flat(const std::string &k) const {
        if (k == FONLY)
            return fonly_default ? fonly_default : fonly_runtime;
        const Map &m = firmware.count(k) ? mem : runtime;
        auto it = m.find(k);
        return it == m.end() ? Opt() : it->second;
    }
    const Names *table(const std::string &uri) const {
        auto it = tree.inst.find(uri);
        return it == tree.inst.end() ? nullptr : &it->second;
    }

    Node node(const std::string &uri) const {
        static const std::map<std::string, Node> fixed = {
            {"sys/m/name", {Node::Literal, "", {}, false, 31}},
            {"sys/m/note", {Node::Literal, "", {}, false, 31}},
            {"sys/m/checked", {Node::Literal, "", {}, true, 34}},
            {"sys/m/long", {Node::Literal, "", {}, false, 1031}}, // its limit is 1000 characters long
            {"sys/m/mtu", {Node::Key, "M_MTU", {}}},
            {"sys/m/dns1", {Node::Key, "M_DNS", {{',', 1}}}},
            {"sys/m/dns3", {Node::Key, "M_DNS", {{',', 3}}}},
            {"sys/m/fonly", {Node::Key, FONLY, {}}},
            {"sys", {Node::Formless}},
            {"sys/m", {Node::Formless}},
            {"view", {Node::Formless}}};
        if (auto it = fixed.find(uri); it != fixed.end())
            return it->second;
        size_t slash = uri.rfind('/');
        std::string parent = uri.substr(0, slash), leaf = uri.substr(slash + 1);
        const Names *siblings = table(parent);
        if (table(uri) || (siblings && siblings->count(leaf)))
            return {Node::Formless};
        Node n;
        size_t up = parent.rfind('/');
        std::string tab = parent.substr(0, up), inst = parent.substr(up + 1);
        const Names *names = up == std::string::npos ? nullptr : table(tab);
        if (!names || !names->count(inst))
            return n;
        long num = number_of(inst);
        if (tab == CFG && (leaf == "Name" || leaf == "Type"))
            n = {Node::Key, "M_CFG", {{';', num}, {',', leaf == "Name" ? 1 : 2}}};
        else if (tab == PREV && leaf == "Val")
            n = {Node::Key, "M_PREV", {{';', num - 1}}};
        else if (tree.lit.count(uri))
            n = {Node::Literal, "", {}, leaf == "Tag", uri.size() + 21};
        else if (tab == HOST && leaf == "port")
            n.kind = Node::Formless;
        else if (tab == VIEW && leaf == "HostName")
            n = {Node::Ref, std::string(HOST) + "/" + tree.ref.at(inst) + "/Name"};
        return n;
    }

    Opt value(const std::string &uri) const {
        Node n = node(uri);
        if (n.kind == Node::Literal)
            return tree.lit.at(uri);
        if (n.kind == Node::Key)
            return read_field(flat(n.key), n.stages);
        return n.kind == Node::Ref ? value(n.key) : std::nullopt;
    }

    // A tree write; `callbacks` runs the verification (a tree set does, an
    // instance field write does not). Values longer than a node holds and
    // the texts that files and replies use for themselves are refused.
    bool write(const std::string &uri, const std::string &v, bool callbacks) {
        Node n = node(uri);
        if (n.kind == Node::Ref)
            return node(n.key).kind != Node::Missing && write(n.key, v, callbacks);
        if (n.kind == Node::Literal && callbacks && n.verified && (starts(v, "bad") || v == "lower"))
            return false;
        if ((n.kind != Node::Literal && n.kind != Node::Key) || v.size() > 1024 || v == "SC_NULL" || v == "QV_NULL" ||
            has(v, "<QV_TOKEN>") || has(v, "<QV_SPACE>"))
            return false;
        if (n.kind == Node::Literal) {
            if (tree.lit[uri] == v)
                return true;
            if (v.find_first_of(")\r\n") != std::string::npos || n.line_base + v.size() > 2046)
                return false;
            tree.lit[uri] = v;
            return tree_dirty = true;
        }
        Opt old = flat(n.key);
        if (read_field(old, n.stages) == v)
            return true;
        bool delimiter = false;
        for (auto [d, i] : n.stages)
            delimiter = delimiter || v.find(d) != std::string::npos;
        std::string nv = put_field(old, n.stages, 0, v);
        if (delimiter || trim_ctl(v) != v || (old && old->size() > 1023) || nv.size() > 1023 ||
            (n.key == FONLY && fonly_default))
            return false;
        if (n.key == FONLY)
            fonly_runtime = nv;
        else
            flat_dirty = (std::exchange(mem[n.key], nv) != nv) || flat_dirty;
        return true;
    }

    bool flat_set(const std::string &k, const std::string &v) {
        if (k.size() + v.size() + 2 > 4096)
            return false;
        if (k == FONLY)
            return fonly_default ? *fonly_default == v : (fonly_runtime = v, true);
        if (!firmware.count(k))
            runtime[k] = v;
        else
            flat_dirty = (std::exchange(mem[k], v) != v) || flat_dirty;
        return true;
    }

    // Whether table `tab` takes instance `name`: a name the files carry back,
    // and for the tables bound by number, one that numbers a field.
    static bool takes(const std::string &tab, const std::string &name) {
        long num = number_of(name);
        if (name.empty() || name.size() > 100 || has(name, "-1") ||
            name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-") !=
                std::string::npos)
            return false;
        return tab == CFG ? num >= 1 && num <= 32767 : tab == PREV ? num >= 2 && num <= 32768 : true;
    }

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
        const Names *names = table(tab);
        if (!names || names->count(name) || !takes(tab, name))
            return done(false);
        Expect e;
        e.number = number;
        std::string host;
        // A view instance brings a "sys" instance: the first free number from
        // the one asked for, below 32.
        for (unsigned k = number; tab == VIEW && k < 32 && host.empty(); ++k)
            if (!tree.inst[HOST].count(std::to_string(k)))
                host = std::to_string(e.number = k);
        if (!host.empty())
            make(HOST, host, "");
        make(tab, name, host);
        return e;
    }

    bool del(const std::string &uri) {
        size_t slash = uri.rfind('/');
        std::string tab = slash == std::string::npos ? "" : uri.substr(0, slash), name = uri.substr(slash + 1);
        const Names *names = table(tab);
        auto declared = [](const std::string &u) { return u == "sys/m/cfg/1" || u == "sys/m/host/1"; };
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
        if (tab == VIEW)
            tree.own.erase(name), tree.ref.erase(name);
        tree_dirty = true;
        // What the instance held in its bound key is emptied, so that a table
        // survives any number of adds and deletes.
        std::string key = tab == CFG ? "M_CFG" : tab == PREV ? "M_PREV" : "";
        Stages group = {{';', number_of(name) - (tab == PREV ? 1 : 0)}};
        if (!key.empty() && read_field(mem[key], group).value_or("") != "") {
            mem[key] = put_field(mem[key], group, 0, "");
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
                return done(false);
            // A reference field gives the URI it holds.
            e.values.push_back(n.kind == Node::Ref ? Opt("./" + n.key) : value(inst + "/" + f));
            texts.push_back(e.values.back().value_or("QV_NULL"));
        }
        e.ok = !fields.empty() && join(texts, "<QV_TOKEN>").size() < 1024;
        return e;
    }

    // Whether the client sends the fields and values of `kv` after `head`:
    // within its buffer, with no white space but blanks in values.
    static bool sendable(const std::string &head, const std::vector<std::string> &kv) {
        size_t size = head.size() + 2;
        for (size_t i = 0; i < kv.size(); i += 2) {
            if (kv[i].empty() || kv[i].find_first_of(" \t\r\n") != std::string::npos ||
                kv[i + 1].find_first_of("\t\r\n\v\f") != std::string::npos || has(kv[i + 1], "<QV_"))
                return false;
            size += kv[i].size() + 20;
            for (char c : kv[i + 1])
                size += c == ' ' ? 10 : 1;
        }
        return !kv.empty() && size < 1024;
    }

    // All fields or none.
    bool fields_set(const std::string &inst, const std::vector<std::string> &kv, bool sent = false) {
        Model next = *this;
        for (size_t i = 0; i < kv.size(); i += 2)
            if (!next.write(inst + "/" + kv[i], kv[i + 1], false))
                return false;
        if (!sent && !sendable(inst, kv))
            return false;
        *this = next;
        return true;
    }

    // The lowest free number that numbers the table's fields.
    Expect fields_add(const std::string &tab, const std::vector<std::string> &kv) {
        const Names *names = table(tab);
        if (!names || !sendable(tab, kv))
            return done(false);
        long k = tab == PREV ? 2 : 1;
        while (names->count(std::to_string(k)))
            ++k;
        Expect e;
        e.name = std::to_string(k);
        Model next = *this;
        next.make(tab, e.name, "");
        if (!next.fields_set(tab + "/" + e.name, kv, true))
            return done(false);
        *this = next;
        return e;
    }

    // A saved property is set only once it is saved.
    bool prop_set(const std::string &name, const std::string &v) {
        if (name.size() > 31 || v.size() > 91 || has(name, ".."))
            return false;
        if (props.count(name) && props[name] == v)
            return true;
        if (starts(name, "persist.") && persist_broken)
            return false;
        if (starts(name, "persist."))
            saved_props[name] = v;
        props[name] = v;
        return true;
    }

    // Every node the model knows, with the tables' instance sets.
    std::vector<std::string> nodes() const {
        std::vector<std::string> out = {"sys/m/mtu", "sys/m/dns1", "sys/m/dns3", "sys/m/fonly"};
        for (auto &[uri, v] : tree.lit)
            out.push_back(uri);
        for (auto &[tab, names] : tree.inst)
            for (const std::string &name : names)
                for (const std::string &f : fields_of(tab))
                    if (tab == CFG || tab == PREV || tab == VIEW)
                        out.push_back(tab + "/" + name + "/" + f);
        return out;
    }
};

// ---- the daemon ----

char *c(const std::string &s) { return const_cast<char *>(s.c_str()); }
char *c(const char *s) { return const_cast<char *>(s); }

// The text a call handed out in *v (freed here), or "(call failed)".
Opt owned(int rc, char **v) {
    Opt out = rc != 0 ? Opt("(call failed)") : *v ? Opt(*v) : Opt();
    free(*v);
    *v = nullptr;
    return out;
}

struct Device {
    ScratchRoot root;
    std::unique_ptr<Daemon> daemon;

    Device() {
        lay_tree_device(root, DEFAULTS, "tests/model/usr");
        root.write("/default.prop", "model.d=base\npersist.model.d=fromfile\n");
    }
    ~Device() { stop_tree_daemon(daemon); }

    bool start() {
        daemon = start_tree_daemon(root);
        char *level = nullptr;
        bool ok = daemon && tarvi_sc_debug(c("1"), &level) == 0;
        free(level);
        return ok;
    }
    int restart(bool power_cut) {
        if (power_cut)
            daemon->signal(SIGKILL);
        daemon->stop();
        EXPECT_EQ("", daemon->sanitizer_report());
        for (const char *dir : {"/tmp/sc", "/tmp/sc2_back.tar.gz", "/tmp/sc2_restore.tar.gz", "/var/run"})
            if (power_cut)
                fs::remove_all(root.at(dir));
        for (const char *dir : {"/tmp/sc", "/var/run"})
            fs::create_directories(root.at(dir));
        return start() ? 0 : -1;
    }
    // The saved properties' folder replaced by a file: no property can be
    // saved, nor any saved one read, until it is put back.
    int persist(bool broken) {
        std::string dir = root.at("/data/property"), aside = root.at("/data/property.aside");
        if (broken == fs::exists(aside))
            return 0;
        fs::create_directories(broken ? dir : aside);
        fs::remove(broken ? aside : dir);
        fs::rename(broken ? dir : aside, broken ? aside : dir);
        if (broken)
            root.write("/data/property", "");
        return 0;
    }

    // A flat key's value (tarvi_get) or a node's (tarvi_sc_get).
    Opt get(int (*call)(char *, char **), const std::string &k) {
        char *v = nullptr;
        return owned(call(c(k), &v), &v);
    }
    Opt prop(const std::string &name) {
        char buf[128];
        property_get(name.c_str(), buf, "(absent)");
        return std::string(buf) == "(absent)" ? Opt() : Opt(buf);
    }
    Names instances(const std::string &tab) {
        Names out;
        u_16 n = 0;
        tarvi_sc_query_inst_number(c(tab), &n);
        for (u_16 i = 0; i < n; ++i) {
            char *name = nullptr;
            out.insert(owned(tarvi_sc_query_inst_name(c(tab), i, &name), &name).value_or("(none)"));
        }
        return out;
    }

    // The instance-field calls: `kv` split into the two lists they take.
    template <typename Call> int fields(const Step &s, bool values, Call call) {
        std::vector<char *> f, v;
        for (size_t i = 0; i < s.kv.size(); ++i)
            (!values || i % 2 == 0 ? f : v).push_back(c(s.kv[i]));
        f.push_back(nullptr);
        v.resize(std::max(v.size() + 1, f.size()), nullptr);
        return call(f.data(), v.data());
    }
    Expect fields_get(const Step &s) {
        Expect e;
        size_t slash = s.a.rfind('/');
        e.ok = fields(s, false, [&](char **f, char **v) {
                   int rc = tarvi_sc_get_instance_fields(c(s.a.substr(0, slash)), c(s.a.substr(slash + 1)), f, v);
                   for (size_t i = 0; i < s.kv.size(); ++i)
                       e.values.push_back(owned(0, &v[i]));
                   return rc;
               }) == 0;
        return e;
    }

    // Every read the model knows of, compared; the first difference, or "".
    std::string compare_all(const Model &m) {
        std::vector<std::string> keys = FLAT_KEYS;
        keys.insert(keys.end(), {"M_CFG", "M_PREV"});
        for (const std::string &k : keys)
            if (Opt v = get(tarvi_get, k); v != m.flat(k))
                return "flat " + k + ": want " + shown(m.flat(k)) + ", got " + shown(v);
        for (auto &[tab, names] : m.tree.inst)
            if (Names got = instances(tab); got != names)
                return "instances of " + tab + ": want " + join({names.begin(), names.end()}, ",") + ", got " +
                       join({got.begin(), got.end()}, ",");
        for (const std::string &uri : m.nodes())
            if (Opt v = get(tarvi_sc_get, uri); v != m.value(uri))
                return "tree " + uri + ": want " + shown(m.value(uri)) + ", got " + shown(v);
        for (const std::string &p : PROPS)
            if (Opt v = prop(p); v != (m.props.count(p) ? Opt(m.props.at(p)) : Opt()))
                return "property " + p + ": got " + shown(v);
        return "";
    }
};

// ---- values and steps at random ----

struct Gen {
    std::mt19937 rng;

    size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); }
    template <typename T> const T &pick(const std::vector<T> &v) { return v[below(v.size())]; }
    bool chance(int percent) { return static_cast<int>(below(100)) < percent; }

    std::string letters(size_t n) {
        std::string s;
        for (size_t i = 0; i < n; ++i)
            s += static_cast<char>('a' + (i * 7 + n) % 26);
        return s;
    }
    // Values shaped to stress the files and the field splitting: blanks,
    // separators, the writers' own words, names near "-1", other bytes, and
    // lengths near every limit (`room`: what a flat set still takes).
    std::string value(size_t room = 0) {
        static const std::vector<std::string> odd =
            split("| |a b| lead|trail |;|,|)|(|$|#|$1|#1|a;b|x,y|(x)|a)b|k(x)|v(y|#c|SC_NULL|QV_NULL|<QV_SPACE>|"
                  "a<QV_TOKEN>b|sc_null|-1|a-1|-10|\xd6|a\xd6 b|\t|a\tb|x\r\n|\xc3\xa9t\xc3\xa9|bad1|lower|ok|0",
                  '|');
        switch (below(5)) {
        case 0:
        case 1:
            return letters(1 + below(8)) + (chance(30) ? " " + letters(2) : "");
        case 2:
            return pick(odd);
        case 3: {
            std::vector<size_t> sizes = {1015, 1016, 1022, 1023, 1024, 1025, 2100};
            if (room)
                sizes.insert(sizes.end(), {room, room + 1});
            return letters(pick(sizes));
        }
        default:
            return letters(1 + below(3)) + pick(odd) + letters(1 + below(3));
        }
    }
    std::string name() {
        static const std::vector<std::string> names =
            split("1|2|3|4|5|7|9|12|31|32|0|01|32767|32768|n1|lab|a_b|x-2|a-1|-1|-10|a b|a;b||a/b|a.b|Q|" +
                      std::string(300, 'n'),
                  '|');
        return pick(names);
    }
    std::string table(const Model &m) {
        std::vector<std::string> tabs = {CFG, PREV, HOST, VIEW, "sys/m"};
        for (const std::string &h : m.tree.inst.at(HOST))
            tabs.push_back(std::string(HOST) + "/" + h + "/port");
        return pick(tabs);
    }
    // An existing instance mostly, anything else now and then.
    std::string instance(const Model &m, bool templates = true) {
        std::vector<std::string> all;
        for (auto &[tab, names] : m.tree.inst)
            for (const std::string &n : names)
                all.push_back(tab + "/" + n);
        if (all.empty() || chance(20))
            return pick(std::vector<std::string>{"sys/m", "sys/m/host@@@serial", templates ? "sys/m/host/-1" : "sys",
                                                 "sys/m/cfg/1/Name", "sys/m/host/99", "sys/m/cfg/1", "sys/m/host/1"});
        return pick(all);
    }
    std::vector<std::string> kv_for(const std::string &inst) {
        std::vector<std::string> kv;
        for (const std::string &f : fields_of(inst))
            if (chance(70) || kv.empty())
                kv.insert(kv.end(), {chance(5) ? "Nope" : f, value()});
        return kv;
    }
};

// ---- the steps: how they are made, what the model says, what the daemon does ----

struct Op {
    const char *name;
    int weight;
    void (*make)(Gen &, const Model &, Step &);
    Expect (*model)(Model &, const Step &);
    Expect (*daemon)(Device &, const Step &);
    bool check_all; // compare every read afterwards
};

void no_args(Gen &, const Model &, Step &) {}

const Op OPS[] = {
    {"flat-set", 8,
     [](Gen &g, const Model &, Step &s) {
         s.a = g.pick(FLAT_KEYS);
         s.b = s.a == "M_MTU" || s.a == "M_DNS" ? g.letters(1 + g.below(6)) + (g.chance(50) ? "," + g.letters(3) : "")
                                                : g.value(4094 - s.a.size());
     },
     [](Model &m, const Step &s) { return done(m.flat_set(s.a, s.b)); },
     [](Device &, const Step &s) { return done(tarvi_set(c(s.a), c(s.b)) == 0); }, false},
    {"flat-get", 4, [](Gen &g, const Model &, Step &s) { s.a = g.pick(FLAT_KEYS); },
     [](Model &m, const Step &s) { return read(m.flat(s.a)); },
     [](Device &d, const Step &s) { return read(d.get(tarvi_get, s.a)); }, false},
    {"commit", 6, no_args, [](Model &m, const Step &) { return done(m.commit()); },
     [](Device &, const Step &) { return done(tarvi_commit() == 0); }, false},
    // While a commit waits for confirmation, reloads and restores are refused.
    {"flat-reload", 2, no_args,
     [](Model &m, const Step &) { return m.waits() ? done(false) : (m.reload_flat(true), Expect()); },
     [](Device &, const Step &) { return done(tarvi_reload() == 0); }, true},
    {"reload-default", 1, no_args,
     [](Model &m, const Step &) { return m.waits() ? done(false) : (m.reload_flat(false), Expect()); },
     [](Device &, const Step &) { return done(tarvi_reload_default() == 0); }, true},
    // A front end reloads the tree after a restore.
    {"restore-default", 1, no_args,
     [](Model &m, const Step &) { return m.waits() ? done(false) : (m.restore(), Expect()); },
     [](Device &, const Step &) { return done(tarvi_restore_default() == 0 && tarvi_sc_reload() == 0); }, true},
    // A factory default set, or removed for an empty value.
    {"factory", 3,
     [](Gen &g, const Model &, Step &s) {
         s.a = g.pick(std::vector<std::string>{"M_A", "M_MTU", FONLY});
         s.b = g.chance(30) ? "" : g.letters(1 + g.below(9));
     },
     [](Model &m, const Step &s) {
         s.b.empty() ? void(m.factory.erase(s.a)) : void(m.factory[s.a] = s.b);
         return Expect();
     },
     [](Device &, const Step &s) {
         return done((s.b.empty() ? tarvi_dunset(c(s.a)) : tarvi_dset(c(s.a), c(s.b))) == 0);
     },
     false},
    {"tree-set", 14,
     [](Gen &g, const Model &m, Step &s) {
         std::vector<std::string> uris = m.nodes();
         uris.insert(uris.end(), {"sys/m", "sys/m/cfg/1", "sys/m/none"});
         s.a = g.pick(uris);
         s.b = g.value();
     },
     [](Model &m, const Step &s) { return done(m.write(s.a, s.b, true)); },
     [](Device &, const Step &s) { return done(tarvi_sc_set(c(s.a), c(s.b)) == 0); }, false},
    {"tree-get", 5, [](Gen &g, const Model &m, Step &s) { s.a = g.pick(m.nodes()); },
     [](Model &m, const Step &s) { return read(m.value(s.a)); },
     [](Device &d, const Step &s) { return read(d.get(tarvi_sc_get, s.a)); }, false},
    {"inst-add", 6,
     [](Gen &g, const Model &m, Step &s) {
         s.a = g.table(m);
         s.b = g.name();
         s.n = static_cast<unsigned>(g.pick(std::vector<int>{0, 1, 3, 31, 40}));
     },
     [](Model &m, const Step &s) { return m.add(s.a, s.b, s.n); },
     [](Device &, const Step &s) {
         u_16 n = static_cast<u_16>(s.n);
         Expect e = done(tarvi_sc_me_add_inst(c(s.a), c(s.b), &n) == 0);
         e.number = n;
         return e;
     },
     false},
    {"inst-del", 4, [](Gen &g, const Model &m, Step &s) { s.a = g.instance(m); },
     [](Model &m, const Step &s) { return done(m.del(s.a)); },
     [](Device &, const Step &s) { return done(tarvi_sc_me_del_inst(c(s.a)) == 0); }, false},
    {"fields-get", 3,
     [](Gen &g, const Model &m, Step &s) {
         s.a = g.instance(m, false);
         s.kv = fields_of(s.a);
         if (g.chance(10))
             s.kv.push_back("Nope");
     },
     [](Model &m, const Step &s) { return m.fields_get(s.a, s.kv); },
     [](Device &d, const Step &s) { return d.fields_get(s); }, false},
    {"fields-set", 5,
     [](Gen &g, const Model &m, Step &s) {
         s.a = g.instance(m, false);
         s.kv = g.kv_for(s.a);
     },
     [](Model &m, const Step &s) { return done(m.fields_set(s.a, s.kv)); },
     [](Device &d, const Step &s) {
         size_t slash = s.a.rfind('/');
         return done(d.fields(s, true, [&](char **f, char **v) {
             return tarvi_sc_set_instance_fields(c(s.a.substr(0, slash)), c(s.a.substr(slash + 1)), f, v);
         }) == 0);
     },
     false},
    {"fields-add", 5,
     [](Gen &g, const Model &m, Step &s) {
         s.a = g.table(m);
         s.kv = g.kv_for(s.a + "/x");
     },
     [](Model &m, const Step &s) { return m.fields_add(s.a, s.kv); },
     [](Device &d, const Step &s) {
         char *name = nullptr;
         Expect e = done(d.fields(s, true, [&](char **f, char **v) {
             return tarvi_sc_add_instance_fields(c(s.a), f, v, &name);
         }) == 0);
         e.name = owned(0, &name).value_or("");
         return e;
     },
     false},
    {"prop-set", 4,
     [](Gen &g, const Model &, Step &s) {
         s.a = g.pick(PROPS);
         s.b = (g.chance(10) ? g.letters(92) : g.value()).substr(0, 92);
     },
     [](Model &m, const Step &s) { return done(m.prop_set(s.a, s.b)); },
     [](Device &, const Step &s) { return done(property_set(s.a.c_str(), s.b.c_str()) == 0); }, false},
    {"prop-get", 2, [](Gen &g, const Model &, Step &s) { s.a = g.pick(PROPS); },
     [](Model &m, const Step &s) { return read(m.props.count(s.a) ? Opt(m.props[s.a]) : Opt()); },
     [](Device &d, const Step &s) { return read(d.prop(s.a)); }, false},
    {"prop-reload", 1, no_args, [](Model &m, const Step &) { return m.props = m.start_props(), Expect(); },
     [](Device &, const Step &) { return done(property_reload() == 0); }, true},
    // The saved properties' folder taken away ("broken") or put back.
    {"persist", 1, [](Gen &g, const Model &m, Step &s) { s.b = m.persist_broken && g.chance(70) ? "fixed" : "broken"; },
     [](Model &m, const Step &s) { return m.persist_broken = s.b == "broken", Expect(); },
     [](Device &d, const Step &s) { return done(d.persist(s.b == "broken") == 0); }, false},
    {"tree-reload", 2, no_args, [](Model &m, const Step &) { return m.load_tree(m.flushed), Expect(); },
     [](Device &, const Step &) { return done(tarvi_sc_reload() == 0); }, true},
    {"tree-restore", 1, no_args,
     [](Model &m, const Step &) { return m.load_tree(m.flushed = Model::initial_tree()), Expect(); },
     [](Device &, const Step &) { return done(tarvi_sc_restore_default() == 0); }, true},
    // A clean restart, or a power cut ("cut").
    {"restart", 3, [](Gen &g, const Model &, Step &s) { s.b = g.chance(60) ? "cut" : ""; },
     [](Model &m, const Step &) { return m.boot(), Expect(); },
     [](Device &d, const Step &s) { return done(d.restart(s.b == "cut") == 0); }, true},
    {"check", 2, no_args, [](Model &, const Step &) { return Expect(); },
     [](Device &, const Step &) { return Expect(); }, true},
    // Commits that wait for confirmation (longer than any run: the timer is
    // tested on its own), confirmed, rolled back, or cut by a restart.
    {"commit-confirm", 3, no_args, [](Model &m, const Step &) { return done(m.commit(true)); },
     [](Device &, const Step &) { return done(tarvi_commit_confirmed(TARVI_CONFIRM_SECONDS_MAX) == 0); }, false},
    {"confirm", 2, no_args,
     [](Model &m, const Step &) {
         bool waited = m.waits();
         m.confirmed.reset();
         return done(waited);
     },
     [](Device &, const Step &) { return done(tarvi_confirm() == 0); }, false},
    {"rollback", 2, no_args, [](Model &m, const Step &) { return done(m.roll_back()); },
     [](Device &, const Step &) { return done(tarvi_rollback() == 0); }, true},
    {"commit-status", 1, no_args, [](Model &m, const Step &) { return read(m.waits() ? "waits" : "none"); },
     [](Device &, const Step &) {
         int left = -1, rc = tarvi_commit_status(&left);
         bool fits = rc == 1 ? left > 0 && left <= TARVI_CONFIRM_SECONDS_MAX : left == 0;
         return read(!fits ? "wrong" : rc == 1 ? "waits" : rc == 0 ? "none" : "failed");
     },
     false},
};
// Indexes in OPS.
constexpr int TREE_SET = 7, INST_ADD = 9, PERSIST = 17;

std::string describe(const Step &s) {
    std::string out = OPS[s.kind].name;
    for (const std::string *t : {&s.a, &s.b})
        if (!t->empty() || (t == &s.b && has(out, "-set")))
            out += " " + shown(*t);
    for (const std::string &t : s.kv)
        out += " " + shown(t);
    return s.kind == INST_ADD ? out + " #" + std::to_string(s.n) : out;
}

std::vector<Step> generate(unsigned seed, size_t count) {
    Gen g{std::mt19937(seed)};
    Model m;
    int total = 0;
    for (const Op &op : OPS)
        total += op.weight;
    std::vector<Step> steps;
    for (size_t i = 0; i < count; ++i) {
        Step s;
        for (int r = static_cast<int>(g.below(static_cast<size_t>(total))); r >= OPS[s.kind].weight; ++s.kind)
            r -= OPS[s.kind].weight;
        if (m.persist_broken && g.chance(30))
            s.kind = PERSIST;
        OPS[s.kind].make(g, m, s);
        OPS[s.kind].model(m, s);
        steps.push_back(s);
    }
    return steps;
}

// A step whose outcome differs from the model's, described; "" when alike.
std::string differ(const Expect &want, const Expect &have) {
    if (want.ok != have.ok)
        return want.ok ? "refused, but the model accepts it" : "accepted, but the model refuses it";
    for (size_t i = 0; want.ok && i < want.values.size(); ++i)
        if (i >= have.values.size() || want.values[i] != have.values[i])
            return "read " + shown(i < have.values.size() ? have.values[i] : Opt()) + ", want " + shown(want.values[i]);
    if (want.ok && (want.name != have.name || want.number != have.number))
        return "made " + shown(have.name) + " #" + std::to_string(have.number) + ", want " + shown(want.name) + " #" +
               std::to_string(want.number);
    return "";
}

// Runs `steps` on a fresh device. Returns the index of the first step that
// went wrong (steps.size() when none did) and what went wrong in *fault.
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
        Expect want = OPS[s.kind].model(m, s);
        *fault = differ(want, OPS[s.kind].daemon(dev, s));
        // A verification that outran the daemon's wait on a starved machine
        // refuses a good value; the value read back must then be unchanged.
        if (!fault->empty() && s.kind == TREE_SET && want.ok &&
            dev.daemon->stdout_text().find("we wait too long for ./" + s.a) != std::string::npos) {
            m = before;
            fault->clear();
        }
        if (fault->empty() && OPS[s.kind].check_all)
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

std::vector<Step> subset(const std::vector<Step> &steps, const std::vector<size_t> &keep) {
    std::vector<Step> sub;
    for (size_t i : keep)
        sub.push_back(steps[i]);
    return sub;
}

// Drops steps while the sequence still fails, within a time budget.
std::vector<size_t> shrink(const std::vector<Step> &steps, std::vector<size_t> keep) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(env_number("TARVI_MODEL_SHRINK_SECONDS", 120));
    for (size_t chunk = keep.size() / 2; chunk >= 1; chunk /= 2) {
        for (size_t at = 0; at < keep.size() && std::chrono::steady_clock::now() < until;) {
            std::vector<size_t> fewer(keep.begin(), keep.begin() + static_cast<long>(at));
            fewer.insert(fewer.end(), keep.begin() + static_cast<long>(std::min(at + chunk, keep.size())), keep.end());
            std::string fault;
            if (!fewer.empty() && run_steps(subset(steps, fewer), &fault) < fewer.size())
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
    std::stringstream only(getenv("TARVI_MODEL_KEEP") ? getenv("TARVI_MODEL_KEEP") : "");
    for (std::string n; std::getline(only, n, ',');)
        keep.push_back(std::stoul(n));
    for (size_t i = 0; only.str().empty() && i < steps.size(); ++i)
        keep.push_back(i);
    std::vector<Step> chosen = subset(steps, keep);
    std::string fault;
    size_t bad = run_steps(chosen, &fault);
    if (bad == chosen.size())
        return;
    std::string first = describe(chosen[bad]) + ": " + fault, list, text;
    keep.resize(bad + 1);
    keep = shrink(steps, keep);
    for (size_t i : keep) {
        list += (list.empty() ? "" : ",") + std::to_string(i);
        text += "  " + std::to_string(i) + ": " + describe(steps[i]) + "\n";
    }
    run_steps(subset(steps, keep), &fault);
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
    if (long seed = env_number("TARVI_MODEL_SEED", 0))
        return check_seed(static_cast<unsigned>(seed), count);
    long runs = env_number("TARVI_MODEL_RUNS", 0);
    unsigned base = runs ? static_cast<unsigned>(std::chrono::system_clock::now().time_since_epoch().count()) : 1;
    for (long r = 0; r < (runs ? runs : 3) && !HasFailure(); ++r) {
        if (runs)
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
        ASSERT_EQ(i % 3 ? 0 : -1, tarvi_sc_add_instance_fields(c(CFG), fields, values, &name)) << i;
        ASSERT_EQ(i % 3 ? "2" : "(none)", text_or_none(name)) << i;
        ASSERT_EQ(i % 3 ? 0 : -404, tarvi_sc_me_del_inst(c("sys/m/cfg/2"))) << i;
    }
    EXPECT_EQ(Names{"1"}, dev.instances(CFG));
    EXPECT_EQ("one,static;", dev.get(tarvi_get, "M_CFG"));
}
