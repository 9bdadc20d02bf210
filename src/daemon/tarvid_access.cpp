#include "tarvid_access.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ancillary.h"
#include "listing.h"
#include "log.h"
#include "paths.h"
#include "tarvid_cursor.h"
#include "unique.h"
#include "utility.h"

// Older C libraries lack the name; the number is the same on every Linux
// architecture.
#ifndef SO_PEERGROUPS
#define SO_PEERGROUPS 59
#endif

namespace {

// Needs of a next-page request until its cursor is looked up: the rights of
// the listing it continues. Not a right of the file.
constexpr unsigned ACCESS_AS_LISTING = 1u << 8;

struct type_needs {
    unsigned type;
    unsigned needs;
};

// The rights each request type needs. A type without a row (unknown,
// reserved, or appended to the protocol without one) needs admin.
constexpr type_needs TYPE_NEEDS[] = {
    {TARVI_REQUEST_TYPE_GET, ACCESS_GET},
    {TARVI_REQUEST_TYPE_NONBLOCK_GET, ACCESS_GET},
    {TARVI_REQUEST_TYPE_CONFIG_LIST, ACCESS_GET},
    {TARVI_REQUEST_TYPE_COMMIT_STATUS, ACCESS_GET},
    {TARVI_REQUEST_TYPE_SET, ACCESS_SET},
    {TARVI_REQUEST_TYPE_COMMIT, ACCESS_COMMIT},
    {TARVI_REQUEST_TYPE_SC_COMMIT, ACCESS_COMMIT},
    {TARVI_REQUEST_TYPE_COMMIT_CONFIRM, ACCESS_COMMIT},
    {TARVI_REQUEST_TYPE_CONFIRM, ACCESS_COMMIT},
    {TARVI_REQUEST_TYPE_ROLLBACK, ACCESS_COMMIT},
    {TARVI_REQUEST_TYPE_SC_GET, ACCESS_TREE_GET},
    {TARVI_REQUEST_TYPE_SC_IS_EXIST, ACCESS_TREE_GET},
    {TARVI_REQUEST_TYPE_SC_GET_TREE_START, ACCESS_TREE_GET},
    {TARVI_REQUEST_TYPE_SC_GET_TREE_NEXT, ACCESS_TREE_GET},
    {TARVI_REQUEST_TYPE_SC_GET_DTYPE, ACCESS_TREE_GET},
    {TARVI_REQUEST_TYPE_SC_GET_LIMIT, ACCESS_TREE_GET},
    {TARVI_REQUEST_TYPE_SC_GET_ATTR, ACCESS_TREE_GET},
    {TARVI_REQUEST_TYPE_SC_GET_UINT, ACCESS_TREE_GET},
    {TARVI_REQUEST_TYPE_SC_GET_INT, ACCESS_TREE_GET},
    {TARVI_REQUEST_TYPE_SC_ME_QUERY_INT_NUM, ACCESS_TREE_GET},
    {TARVI_REQUEST_TYPE_SC_QUERY_INT_NAME, ACCESS_TREE_GET},
    {TARVI_REQUEST_TYPE_SC_QUERY_LAST_NAME, ACCESS_TREE_GET},
    {TARVI_REQUEST_TYPE_SC_QUERY_INT_NUM, ACCESS_TREE_GET},
    {TARVI_REQUEST_TYPE_SC_GET_INSTANCE_FIELDS_BY_NUM, ACCESS_TREE_GET},
    {TARVI_REQUEST_TYPE_SC_GET_INSTANCE_FIELDS, ACCESS_TREE_GET},
    {TARVI_REQUEST_TYPE_SC_LIST, ACCESS_TREE_GET},
    {TARVI_REQUEST_TYPE_SC_SET, ACCESS_TREE_SET},
    {TARVI_REQUEST_TYPE_SC_EXE, ACCESS_TREE_SET},
    {TARVI_REQUEST_TYPE_SC_ME_ADD_INST, ACCESS_TREE_SET},
    {TARVI_REQUEST_TYPE_SC_ME_DEL_INST, ACCESS_TREE_SET},
    {TARVI_REQUEST_TYPE_SC_ADD_INSTANCE_FIELDS, ACCESS_TREE_SET},
    {TARVI_REQUEST_TYPE_SC_SET_INSTANCE_FIELDS, ACCESS_TREE_SET},
    {TARVI_REQUEST_TYPE_PROP_GET, ACCESS_PROP_GET},
    {TARVI_REQUEST_TYPE_PROP_LIST, ACCESS_PROP_GET},
    {TARVI_REQUEST_TYPE_PROP_SET, ACCESS_PROP_SET},
    // An import changes flat settings, instances and tree values at once.
    {TARVI_REQUEST_TYPE_IMPORT, ACCESS_SET | ACCESS_TREE_SET},
    {TARVI_REQUEST_TYPE_LIST_NEXT, ACCESS_AS_LISTING},
    // Admin, spelt out: reloads, restores, backups, factory edits,
    // change-root, debug levels, self-tests, property reload. The callback
    // side (45 to 53) is served beside a tree request that waits for its
    // callback child; only the daemon's own children have a use for it.
    {TARVI_REQUEST_TYPE_RELOAD, ACCESS_ADMIN},
    {TARVI_REQUEST_TYPE_RELOAD_DEFAULT, ACCESS_ADMIN},
    {TARVI_REQUEST_TYPE_RESTORE_DEFAULT, ACCESS_ADMIN},
    {TARVI_REQUEST_TYPE_BACKUP_CFGFILE, ACCESS_ADMIN},
    {TARVI_REQUEST_TYPE_RESTORE_CFGFILE, ACCESS_ADMIN},
    {TARVI_REQUEST_TYPE_DSET, ACCESS_ADMIN},
    {TARVI_REQUEST_TYPE_DUNSET, ACCESS_ADMIN},
    {TARVI_REQUEST_TYPE_CHROOT, ACCESS_ADMIN},
};

// Looked up per request, so built at compile time (a row for a type beyond
// the array does not compile).
constexpr std::array<unsigned short, 256> needs_by_type() {
    std::array<unsigned short, 256> t{};
    for (auto &needs : t)
        needs = ACCESS_ADMIN;
    for (const type_needs &row : TYPE_NEEDS)
        t.at(row.type) = static_cast<unsigned short>(row.needs);
    return t;
}
constexpr std::array<unsigned short, 256> NEEDS = needs_by_type();

constexpr struct {
    const char *name;
    unsigned right;
} RIGHT_NAMES[] = {
    {"get", ACCESS_GET},           {"set", ACCESS_SET},           {"commit", ACCESS_COMMIT},
    {"tree-get", ACCESS_TREE_GET}, {"tree-set", ACCESS_TREE_SET}, {"prop-get", ACCESS_PROP_GET},
    {"prop-set", ACCESS_PROP_SET}, {"admin", ACCESS_ADMIN},       {"all", ACCESS_ALL},
};

// A policy file longer than this is refused whole: a policy names a few
// front ends, and the daemon reads it into memory.
constexpr size_t ACCESS_FILE_MAX = 64 * 1024;
constexpr size_t ACCESS_LINE_MAX = 1024;

const char BLANKS[] = " \t";

std::string trim(const std::string &s) {
    size_t b = s.find_first_not_of(BLANKS);
    if (b == std::string::npos)
        return "";
    return s.substr(b, s.find_last_not_of(BLANKS) - b + 1);
}

// A uid or gid in decimal: digits only, below the "no id" value (uid_t -1).
bool parse_id(const std::string &text, unsigned *id) {
    unsigned long v = 0;
    if (!util_decimal(text.c_str(), 0xfffffffeUL, &v))
        return false;
    *id = static_cast<unsigned>(v);
    return true;
}

template <typename Id> void add_rights(std::vector<std::pair<Id, unsigned>> *list, Id id, unsigned rights) {
    for (auto &entry : *list)
        if (entry.first == id) {
            entry.second |= rights;
            return;
        }
    list->push_back({id, rights});
}

template <typename Id> unsigned rights_of(const std::vector<std::pair<Id, unsigned>> &list, Id id) {
    for (const auto &entry : list)
        if (entry.first == id)
            return entry.second;
    return 0;
}

// One line without its comment: "SUBJECT RIGHTS". Fills the policy, or
// says in *why what is wrong.
bool parse_line(const std::string &line, const access_names &names, access_policy *p, std::string *why) {
    size_t cut = line.find_first_of(BLANKS);
    std::string subject = line.substr(0, cut);
    std::string list = cut == std::string::npos ? "" : trim(line.substr(cut));
    if (list.empty()) {
        *why = "no rights after \"" + subject + "\"";
        return false;
    }
    unsigned rights = 0;
    for (size_t at = 0;;) {
        size_t comma = list.find(',', at);
        std::string word = trim(list.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
        unsigned right = 0;
        for (const auto &r : RIGHT_NAMES)
            if (word == r.name)
                right = r.right;
        if (!right) {
            *why = "unknown right \"" + word + "\"";
            return false;
        }
        rights |= right;
        if (comma == std::string::npos)
            break;
        at = comma + 1;
    }

    size_t colon = subject.find(':');
    std::string kind = subject.substr(0, colon), arg = colon == std::string::npos ? "" : subject.substr(colon + 1);
    unsigned id = 0;
    if (kind == "uid" || kind == "gid") {
        if (colon == std::string::npos || !parse_id(arg, &id)) {
            *why = "\"" + subject + "\" is not " + kind + ":NUMBER";
            return false;
        }
    } else if (kind == "user" || kind == "group") {
        bool found = false;
        if (!arg.empty()) {
            if (kind == "user") {
                uid_t uid = 0;
                found = names.user(arg.c_str(), &uid);
                id = uid;
            } else {
                gid_t gid = 0;
                found = names.group(arg.c_str(), &gid);
                id = gid;
            }
        }
        if (!found) {
            *why = "no " + kind + " named \"" + arg + "\"";
            return false;
        }
        kind = kind == "user" ? "uid" : "gid";
    } else {
        *why = "\"" + subject + "\" is not uid:N, user:NAME, gid:N or group:NAME";
        return false;
    }
    if (kind == "uid")
        add_rights(&p->uids, static_cast<uid_t>(id), rights);
    else
        add_rights(&p->gids, static_cast<gid_t>(id), rights);
    return true;
}

// ---- the system's name service ----

// `lookup` (getpwnam_r, getgrnam_r or getgrgid_r) of `key`, with a buffer
// that grows until the entry fits, up to 1 MiB (a group of many members).
template <typename Key, typename Entry>
bool nss_lookup(int (*lookup)(Key, Entry *, char *, size_t, Entry **), Key key, Entry *entry, std::vector<char> *buf) {
    buf->resize(4096);
    for (;;) {
        Entry *result = nullptr;
        int rc = lookup(key, entry, buf->data(), buf->size(), &result);
        if (rc == 0)
            return result != nullptr;
        if (rc != ERANGE || buf->size() >= (1u << 20))
            return false;
        buf->resize(buf->size() * 2);
    }
}

bool system_user(const char *name, uid_t *uid) {
    struct passwd pw;
    std::vector<char> buf;
    if (!nss_lookup(getpwnam_r, name, &pw, &buf))
        return false;
    *uid = pw.pw_uid;
    return true;
}

bool system_group(const char *name, gid_t *gid) {
    struct group gr;
    std::vector<char> buf;
    if (!nss_lookup(getgrnam_r, name, &gr, &buf))
        return false;
    *gid = gr.gr_gid;
    return true;
}

void system_members(gid_t gid, std::vector<uid_t> *uids) {
    struct group gr;
    std::vector<char> buf;
    if (!nss_lookup(getgrgid_r, gid, &gr, &buf))
        return;
    for (char **m = gr.gr_mem; m && *m; ++m) {
        uid_t uid;
        if (system_user(*m, &uid))
            uids->push_back(uid);
    }
}

const access_names SYSTEM_NAMES = {system_user, system_group, system_members};

// ---- the daemon's policy ----

access_policy policy;
uid_t daemon_uid;

// The peer's supplementary groups into *groups; false when the kernel cannot
// tell them (before Linux 4.13, or an emulator that does not pass it on).
bool peer_groups(int fd, std::vector<gid_t> *groups) {
    // Most users are in a few groups; the kernel says how many more it has.
    groups->resize(32);
    for (int tries = 0; tries < 2; ++tries) {
        auto len = static_cast<socklen_t>(groups->size() * sizeof(gid_t));
        if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups->data(), &len) == 0) {
            groups->resize(len / sizeof(gid_t));
            return true;
        }
        if (errno != ERANGE || len / sizeof(gid_t) > NGROUPS_MAX)
            return false;
        groups->resize(len / sizeof(gid_t));
    }
    return false;
}

} // namespace

const access_names &access_system_names() { return SYSTEM_NAMES; }

int access_policy_parse(const std::string &text, const access_names &names, access_policy *out, std::string *why) {
    access_policy p;
    p.state = access_policy::ON;
    int number = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        ++number;
        if (line.size() > ACCESS_LINE_MAX) {
            *why = "longer than " + std::to_string(ACCESS_LINE_MAX) + " bytes";
            return number;
        }
        if (line.find('\0') != std::string::npos) {
            *why = "a NUL byte";
            return number;
        }
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        line = trim(line.substr(0, line.find('#')));
        if (!line.empty() && !parse_line(line, names, &p, why))
            return number;
    }
    for (const auto &g : p.gids) {
        std::vector<uid_t> uids;
        names.members(g.first, &uids);
        for (uid_t uid : uids)
            add_rights(&p.members, uid, g.second);
    }
    *out = std::move(p);
    return 0;
}

unsigned access_type_needs(unsigned type) {
    return type < NEEDS.size() ? NEEDS[type] : static_cast<unsigned>(ACCESS_ADMIN);
}

unsigned access_needed(const tarvi_request *q) {
    if (q->type == TARVI_REQUEST_TYPE_LIST_NEXT) {
        long id = listing_cursor_of(q->key);
        int type = id > 0 ? cursor_type(static_cast<unsigned>(id)) : -1;
        return type < 0 ? 0 : access_type_needs(static_cast<unsigned>(type)) & ACCESS_ALL;
    }
    // Service control goes through properties: "ctl.start", "ctl.stop".
    if (q->type == TARVI_REQUEST_TYPE_PROP_SET && q->key && strncmp(q->key, "ctl.", 4) == 0)
        return ACCESS_ADMIN;
    return access_type_needs(q->type);
}

unsigned access_rights(const access_policy &p, uid_t uid, gid_t gid, const std::vector<gid_t> *groups) {
    unsigned rights = rights_of(p.uids, uid) | rights_of(p.gids, gid);
    if (!groups)
        return rights | rights_of(p.members, uid);
    for (gid_t g : *groups)
        rights |= rights_of(p.gids, g);
    return rights;
}

void access_load() {
    daemon_uid = geteuid();
    policy = access_policy();
    std::string path = tarvi_path(TARVI_ACCESS_PATH);
    unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0 && errno == ENOENT)
        return; // no policy: the socket's mode decides, as it always has
    policy.state = access_policy::ROOT_ONLY;
    struct stat st;
    const char *fault = nullptr;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0)
        fault = strerror(errno);
    else if (!S_ISREG(st.st_mode))
        fault = "not a regular file";
    else if (static_cast<unsigned long long>(st.st_size) > ACCESS_FILE_MAX)
        fault = "larger than 64 KiB";
    // Whoever may write the file may give himself every right.
    else if ((st.st_uid != 0 && st.st_uid != daemon_uid) || (st.st_mode & (S_IWGRP | S_IWOTH)))
        fault = "writable by others than root";
    std::string text;
    if (!fault) {
        text.resize(static_cast<size_t>(st.st_size));
        ssize_t got = read(fd.get(), text.data(), text.size());
        if (got != static_cast<ssize_t>(text.size()))
            fault = got < 0 ? strerror(errno) : "changed while read";
    }
    if (fault) {
        tarvid_log(LOG_ERR, "Can't read access policy %s : %s, serving root only !!", path.c_str(), fault);
        return;
    }
    std::string why;
    int line = access_policy_parse(text, access_system_names(), &policy, &why);
    if (line != 0) {
        tarvid_log(LOG_ERR, "Access policy %s line %d : %s, serving root only !!", path.c_str(), line, why.c_str());
        return;
    }
    tarvid_log(LOG_INFO, "Access policy %s : %zu uid and %zu group rules, socket open to local users", path.c_str(),
               policy.uids.size(), policy.gids.size());
}

bool access_open_socket() { return policy.state == access_policy::ON; }

bool access_wants_ids() { return policy.state != access_policy::OFF; }

ssize_t access_recv(int fd, void *buf, size_t cap, int flags, struct ucred *sent, bool *have) {
    // Room for the ids only: descriptors that a peer passes along find none
    // and are dropped by the kernel; any that came are closed below.
    union {
        char space[CMSG_SPACE(sizeof(struct ucred))];
        struct cmsghdr align;
    } control;
    struct msghdr msg;
    *have = false;
    ssize_t n = recv_ancillary(fd, buf, cap, flags, control.space, sizeof control.space, &msg);
    if (n < 0)
        return n;
    for (struct cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET)
            continue;
        if (c->cmsg_type == SCM_CREDENTIALS && c->cmsg_len == CMSG_LEN(sizeof(struct ucred))) {
            memcpy(sent, CMSG_DATA(c), sizeof *sent);
            *have = true;
        } else if (c->cmsg_type == SCM_RIGHTS) {
            size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; ++i) {
                int passed;
                memcpy(&passed, CMSG_DATA(c) + i * sizeof(int), sizeof passed);
                close(passed);
            }
        }
    }
    return n;
}

namespace {

// The peer's rights as `uid` with primary group `gid`. Its supplementary
// groups, asked for at most once per request into *groups, only when those
// two do not give `needs`.
unsigned rights_as(int fd, uid_t uid, gid_t gid, unsigned needs, std::vector<gid_t> *groups, int *known) {
    unsigned rights = access_rights(policy, uid, gid, groups);
    if ((rights & needs) == needs || policy.gids.empty())
        return rights;
    if (*known < 0)
        *known = peer_groups(fd, groups) ? 1 : 0;
    return access_rights(policy, uid, gid, *known ? groups : nullptr);
}

} // namespace

bool access_permits(int fd, const tarvi_request *request, const struct ucred *sent) {
    if (policy.state == access_policy::OFF)
        return true;
    unsigned needs = access_needed(request);
    // Root's and the daemon's own ids (its callback children) hold every
    // right; the ids that came with the record are tried first, since most
    // peers have no others and they cost no system call.
    std::vector<gid_t> groups;
    int known = -1; // groups not asked for yet
    if (sent && (sent->uid == 0 || sent->uid == daemon_uid ||
                 (rights_as(fd, sent->uid, sent->gid, needs, &groups, &known) & needs) == needs))
        return true;
    struct ucred cred = {};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) {
        tarvid_log(LOG_WARNING, "Refused request type %d : can't get peer credentials : %s !!", request->type,
                   strerror(errno));
        return false;
    }
    if (cred.uid == 0 || cred.uid == daemon_uid)
        return true;
    if (!(sent && sent->uid == cred.uid && sent->gid == cred.gid) &&
        (rights_as(fd, cred.uid, cred.gid, needs, &groups, &known) & needs) == needs)
        return true;
    tarvid_log(LOG_WARNING, "Refused request type %d from uid=%d pid=%d : not permitted by the access policy !!",
               request->type, static_cast<int>(cred.uid), static_cast<int>(cred.pid));
    return false;
}
