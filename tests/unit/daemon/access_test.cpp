// The access policy: the table of request types against the one the
// security page documents, and the policy file reader against a model of
// what each line grants, on seeded random files.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "log_capture.h"
#include "paths.h"
#include "records.h"
#include "scratch.h"
#include "tarvid_access.h"

namespace {

// The rights each row of the documented table gives (from its first
// column), by request type (from the numbers, and "N to M", that begin the
// items of its second column).
std::map<unsigned, unsigned> documented_needs() {
    std::ifstream in(std::string(TARVI_SOURCE_DIR) + "/docs/security.md");
    std::map<unsigned, unsigned> needs;
    bool in_table = false;
    const std::map<std::string, unsigned> names = {{"get", ACCESS_GET},           {"set", ACCESS_SET},
                                                   {"commit", ACCESS_COMMIT},     {"tree-get", ACCESS_TREE_GET},
                                                   {"tree-set", ACCESS_TREE_SET}, {"prop-get", ACCESS_PROP_GET},
                                                   {"prop-set", ACCESS_PROP_SET}, {"admin", ACCESS_ADMIN}};
    for (std::string line; std::getline(in, line);) {
        if (line == "| Right | Request types |") {
            in_table = true;
            continue;
        }
        if (!in_table || line.rfind("|---", 0) == 0)
            continue;
        if (line.empty() || line[0] != '|')
            break;
        size_t mid = line.find('|', 1);
        std::string right = line.substr(1, mid - 1), types = line.substr(mid + 1);
        unsigned mask = 0;
        for (size_t at = right.find('`'); at != std::string::npos; at = right.find('`', right.find('`', at + 1) + 1))
            mask |= names.at(right.substr(at + 1, right.find('`', at + 1) - at - 1));
        std::istringstream items(types);
        for (std::string item; std::getline(items, item, ',');) {
            unsigned first = 0, last = 0;
            int got = sscanf(item.c_str(), " %u to %u", &first, &last);
            if (got < 1 || !isdigit(static_cast<unsigned char>(item[item.find_first_not_of(' ')])))
                continue;
            if (got == 1)
                last = first;
            for (unsigned t = first; t <= last; ++t)
                EXPECT_TRUE(needs.emplace(t, mask).second) << "type " << t << " is in two rows";
        }
    }
    return needs;
}

TEST(AccessTable, EveryTypeNeedsTheRightsTheSecurityPageGives) {
    std::map<unsigned, unsigned> doc = documented_needs();
    ASSERT_GT(doc.size(), 60u) << "the table of docs/security.md was not found";
    for (unsigned type = 0; type < 256; ++type) {
        unsigned needs = access_type_needs(type);
        ASSERT_NE(0u, needs) << "type " << type << " needs no right";
        auto row = doc.find(type);
        if (row == doc.end()) {
            EXPECT_EQ(ACCESS_ADMIN, needs) << "type " << type << " is not documented, so it must need admin";
        } else if (row->second == 0) {
            // The next page: the rights of its listing, which the table
            // cannot know.
            EXPECT_EQ(TARVI_REQUEST_TYPE_LIST_NEXT, type);
            EXPECT_GT(needs, unsigned(ACCESS_ALL));
        } else {
            EXPECT_EQ(row->second, needs) << "type " << type;
        }
    }
    for (unsigned type : {256u, 4096u, 65535u})
        EXPECT_EQ(ACCESS_ADMIN, access_type_needs(type));

    // Service control goes through property writes of "ctl." names.
    struct {
        int type;
        const char *key;
        unsigned needs;
    } keyed[] = {{TARVI_REQUEST_TYPE_PROP_SET, "ctl.start", ACCESS_ADMIN},
                 {TARVI_REQUEST_TYPE_PROP_SET, "ctl.stop", ACCESS_ADMIN},
                 {TARVI_REQUEST_TYPE_PROP_SET, "persist.ctl.x", ACCESS_PROP_SET},
                 {TARVI_REQUEST_TYPE_PROP_SET, nullptr, ACCESS_PROP_SET},
                 {TARVI_REQUEST_TYPE_PROP_GET, "ctl.start", ACCESS_PROP_GET},
                 // Unknown cursors are answered as such by the listing code.
                 {TARVI_REQUEST_TYPE_LIST_NEXT, "12345", 0},
                 {TARVI_REQUEST_TYPE_LIST_NEXT, "junk", 0}};
    for (const auto &k : keyed) {
        tarvi_request r = make_request(k.type, k.key, nullptr);
        EXPECT_EQ(k.needs, access_needed(&r)) << k.type << " " << (k.key ? k.key : "(null)");
    }
}

// ---- the reader ----

// A name service of the test's own: users "www" (33) and "ops" (1000);
// groups "web" (70, members www and ops) and "adm" (4).
bool fake_user(const char *name, uid_t *uid) {
    if (!strcmp(name, "www"))
        *uid = 33;
    else if (!strcmp(name, "ops"))
        *uid = 1000;
    else
        return false;
    return true;
}
bool fake_group(const char *name, gid_t *gid) {
    if (!strcmp(name, "web"))
        *gid = 70;
    else if (!strcmp(name, "adm"))
        *gid = 4;
    else
        return false;
    return true;
}
void fake_members(gid_t gid, std::vector<uid_t> *uids) {
    if (gid == 70)
        *uids = {33, 1000};
}
const access_names FAKE = {fake_user, fake_group, fake_members};

const char *const RIGHTS[] = {"get", "set", "commit", "tree-get", "tree-set", "prop-get", "prop-set", "admin", "all"};
const unsigned RIGHT_BITS[] = {ACCESS_GET,      ACCESS_SET,      ACCESS_COMMIT, ACCESS_TREE_GET, ACCESS_TREE_SET,
                               ACCESS_PROP_GET, ACCESS_PROP_SET, ACCESS_ADMIN,  ACCESS_ALL};

// Subjects as written, and which id they name (uids below 1 << 20, gids
// above, in the model).
struct subject {
    const char *text;
    unsigned key;
};
const subject SUBJECTS[] = {{"uid:33", 33},
                            {"user:www", 33},
                            {"uid:1000", 1000},
                            {"user:ops", 1000},
                            {"uid:4294967294", 4294967294u},
                            {"gid:70", (1u << 20) + 70},
                            {"group:web", (1u << 20) + 70},
                            {"gid:4", (1u << 20) + 4},
                            {"group:adm", (1u << 20) + 4}};

// Lines that must stop the reader, whatever comes before or after them.
using namespace std::string_literals;
const std::string BROKEN[] = {
    "uid:33",               // no rights
    "uid:33 ",              // no rights, a blank after
    "uid:33 get,",          // an empty right
    "uid:33 ,get",          // an empty right
    "uid:33 get set",       // no comma
    "uid:33 read",          // unknown right
    "uid:33 GET",           // rights are lower case
    "uid:-1 get",           // no sign
    "uid:4294967295 get",   // the "no uid" value
    "uid:99999999999 get",  // out of range
    "uid: get",             // no number
    "uid:3x get",           // junk after the number
    "uid get",              // no colon
    "gid:0x10 get",         // decimal only
    "user:nobody-here get", // unknown user
    "group:wheel get",      // unknown group
    "user: get",            // empty name
    "login:www get",        // unknown subject kind
    "get uid:33",           // the wrong way round
    "uid:33 get\0,admin"s,  // a NUL byte
    "uid:33 get # \0"s,     // even in a comment
};

struct model {
    std::map<unsigned, unsigned> rights; // by model key
    int broken_line = 0;
};

// A random policy file and what it grants.
std::string random_policy(std::mt19937 &rng, model *m) {
    auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    std::string text;
    int lines = 1 + static_cast<int>(pick(12));
    for (int n = 1; n <= lines; ++n) {
        std::string line;
        switch (pick(10)) {
        case 0:
            line = pick(2) ? "" : "   \t";
            break;
        case 1:
            line = "# uid:0 all, a comment";
            break;
        case 2: {
            line = BROKEN[pick(std::size(BROKEN))];
            if (!m->broken_line)
                m->broken_line = n;
            break;
        }
        default: {
            const subject &s = SUBJECTS[pick(std::size(SUBJECTS))];
            unsigned mask = 0;
            std::string list;
            for (int k = 0, count = 1 + static_cast<int>(pick(3)); k < count; ++k) {
                size_t r = pick(std::size(RIGHTS));
                list += (k ? (pick(2) ? "," : " , ") : "") + std::string(RIGHTS[r]);
                mask |= RIGHT_BITS[r];
            }
            line = (pick(3) ? "" : "  ") + std::string(s.text) + (pick(2) ? " " : "\t ") + list;
            if (pick(4) == 0)
                line += "   # trailing comment";
            if (pick(4) == 0)
                line += "\r";
            if (!m->broken_line)
                m->rights[s.key] |= mask;
        }
        }
        text += line;
        if (n < lines || pick(2))
            text += "\n";
    }
    return text;
}

TEST(AccessPolicy, RandomFilesGrantTheUnionOfTheirLinesOrFailAtTheFirstBadOne) {
    std::mt19937 rng(20261208);
    for (int round = 0; round < 3000; ++round) {
        model m;
        std::string text = random_policy(rng, &m);
        access_policy p;
        p.state = access_policy::ROOT_ONLY;
        std::string why;
        int line = access_policy_parse(text, FAKE, &p, &why);
        std::string show = "seed round " + std::to_string(round) + ", file:\n" + text;
        ASSERT_EQ(m.broken_line, line) << why << "\n" << show;
        if (line) {
            EXPECT_FALSE(why.empty());
            EXPECT_EQ(access_policy::ROOT_ONLY, p.state) << "a failed read must leave the policy alone";
            continue;
        }
        ASSERT_EQ(access_policy::ON, p.state);
        auto has = [&](unsigned key) { return m.rights.count(key) ? m.rights[key] : 0u; };
        const unsigned web = (1u << 20) + 70, adm = (1u << 20) + 4;
        std::vector<gid_t> none, both = {4, 70};
        // By uid, by primary gid, by supplementary groups; the group
        // database's members only when the groups are not known.
        ASSERT_EQ(has(33), access_rights(p, 33, 9, &none)) << show;
        ASSERT_EQ(has(33) | has(web), access_rights(p, 33, 70, &none)) << show;
        ASSERT_EQ(has(1000) | has(adm) | has(web), access_rights(p, 1000, 9, &both)) << show;
        ASSERT_EQ(has(1000) | has(web), access_rights(p, 1000, 9, nullptr)) << show;
        ASSERT_EQ(has(4294967294u) | has(adm), access_rights(p, 4294967294u, 4, &none)) << show;
        ASSERT_EQ(0u, access_rights(p, 4242, 4242, nullptr)) << show;
    }
}

TEST(AccessPolicy, ALongLineIsNamedAndEmptyFilesGrantNothing) {
    access_policy p;
    std::string why;
    std::string text = "# fine\nuid:1 get\nuid:2 " + std::string(1100, 'x') + "\n";
    EXPECT_EQ(3, access_policy_parse(text, FAKE, &p, &why));
    EXPECT_EQ("longer than 1024 bytes", why);
    for (const char *empty : {"", "\n\n", "# only a comment"}) {
        ASSERT_EQ(0, access_policy_parse(empty, FAKE, &p, &why));
        EXPECT_EQ(access_policy::ON, p.state);
        EXPECT_EQ(0u, access_rights(p, 1, 1, nullptr));
    }
}

// What the daemon makes of the file itself: only a file that is there and
// usable opens the socket; any other stays at root only, with the reason.
TEST(AccessPolicy, TheDaemonUsesOnlyAFileOnlyRootCanWrite) {
    const std::string path = TARVI_ACCESS_PATH;
    struct {
        const char *what;
        std::function<void(const ScratchRoot &)> lay;
        bool open;
        const char *log;
    } cases[] = {
        {"no file", [](const ScratchRoot &) {}, false, ""},
        {"a good file", [&](const ScratchRoot &r) { r.write(path, "uid:33 get\n"); }, true, "1 uid and 0 group rules"},
        {"a bad line", [&](const ScratchRoot &r) { r.write(path, "uid:33 get\n\ngid:x get\n"); }, false,
         "line 3 : \"gid:x\" is not gid:NUMBER, serving root only"},
        {"a folder", [&](const ScratchRoot &r) { make_dirs(r.at(path)); }, false, ": not a regular file, serving"},
        {"too large", [&](const ScratchRoot &r) { r.write(path, std::string(65537, '#')); }, false,
         ": larger than 64 KiB, serving"},
        {"group-writable",
         [&](const ScratchRoot &r) {
             r.write(path, "uid:33 all\n");
             chmod(r.at(path).c_str(), 0664);
         },
         false, ": writable by others than root, serving"},
    };
    for (const auto &c : cases) {
        ScratchRoot root;
        c.lay(root);
        LogCapture log;
        access_load();
        EXPECT_EQ(c.open, access_open_socket()) << c.what;
        EXPECT_TRUE(*c.log ? log.has(c.log) : log.all().empty()) << c.what << ": " << log.all();
        tarvi_request get = make_request(TARVI_REQUEST_TYPE_GET, "k", nullptr);
        // No policy checks nobody, not even a descriptor that is no socket.
        EXPECT_EQ(std::string(c.what) == "no file", access_permits(-1, &get, nullptr)) << c.what;
    }
    ScratchRoot none;
    access_load(); // the process's policy back to none
}

} // namespace
