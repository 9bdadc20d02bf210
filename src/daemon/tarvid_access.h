// Who may do what: the access policy, read once at start from
// "/etc/tarvi/access.conf", and the check of each request against the
// credentials of the process that sent it.
//
// Without the file nothing is checked: whoever can open the socket may do
// everything. With it, the socket is opened to every local user and each
// request is checked before dispatch. Root and the daemon's own uid (its
// callback children) hold every right; another peer holds the union of the
// lines that name its uid, its primary gid or one of its supplementary
// groups. A file that cannot be used serves root and the daemon's uid only.
#ifndef TARVI_TARVID_ACCESS_H
#define TARVI_TARVID_ACCESS_H

#include <string>
#include <sys/socket.h>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "libtarvi.h"

#define TARVI_ACCESS_PATH "/etc/tarvi/access.conf"

// Rights, one bit each, with the names the file gives them.
enum access_right : unsigned {
    ACCESS_GET = 1u << 0,       // "get": flat reads and listings
    ACCESS_SET = 1u << 1,       // "set": flat writes in memory
    ACCESS_COMMIT = 1u << 2,    // "commit"
    ACCESS_TREE_GET = 1u << 3,  // "tree-get"
    ACCESS_TREE_SET = 1u << 4,  // "tree-set": values, instances, execute
    ACCESS_PROP_GET = 1u << 5,  // "prop-get"
    ACCESS_PROP_SET = 1u << 6,  // "prop-set", but for "ctl." names
    ACCESS_ADMIN = 1u << 7,     // "admin": every other request
    ACCESS_ALL = (1u << 8) - 1, // "all"
};

// A policy file as read.
struct access_policy {
    enum state_t { OFF, ON, ROOT_ONLY };
    state_t state = OFF;
    std::vector<std::pair<uid_t, unsigned>> uids; // rights by uid
    std::vector<std::pair<gid_t, unsigned>> gids; // rights by group
    // Rights that uids hold as members (by the group database) of the groups
    // above; for kernels that cannot tell a peer's supplementary groups.
    std::vector<std::pair<uid_t, unsigned>> members;
};

// The name service the policy resolves names with; tests bring their own.
struct access_names {
    bool (*user)(const char *name, uid_t *uid);
    bool (*group)(const char *name, gid_t *gid);
    // Appends the uids the group database lists as members of `gid`.
    void (*members)(gid_t gid, std::vector<uid_t> *uids);
};
// The system's name service (getpwnam, getgrnam, the members of getgrgid).
const access_names &access_system_names();

// Reads policy `text`. Returns 0 with *policy filled (state ON), or the
// number of the first line at fault (from 1) with *why saying what is wrong
// and *policy left as it was.
int access_policy_parse(const std::string &text, const access_names &names, access_policy *policy, std::string *why);

// The rights request `type` needs, from the one table of request types:
// types it does not name need ACCESS_ADMIN. Never 0. A next page gives a
// mark above ACCESS_ALL: it needs what its listing needed (access_needed).
unsigned access_type_needs(unsigned type);

// The rights `request` needs: its type's, where a property write of a
// "ctl." name (service control) needs ACCESS_ADMIN and a next page needs
// what the listing it continues needed (nothing for an unknown cursor,
// which is refused as such).
unsigned access_needed(const tarvi_request *request);

// The rights of a peer (not root) under `policy`. `groups`: its
// supplementary groups, or null when they cannot be known (the group
// database's members stand in for them).
unsigned access_rights(const access_policy &policy, uid_t uid, gid_t gid, const std::vector<gid_t> *groups);

// Daemon start-up: reads the policy file and logs what it found. Call once,
// before the socket is made and before any thread starts.
void access_load();

// True when the socket is to be opened to every local user: a policy was
// read whole.
bool access_open_socket();

// True when records are to come with their sender's ids: under a policy,
// or the "root only" of one that could not be used. The listening socket
// then asks for them (SO_PASSCRED), and its connections inherit that.
bool access_wants_ids();

// One read of up to `cap` bytes of connection `fd` (recv `flags`), as recv
// returns it, EINTR retried. The sender's ids that came with the bytes go to
// *sent, with *have set; a descriptor passed along is closed.
ssize_t access_recv(int fd, void *buf, size_t cap, int flags, struct ucred *sent, bool *have);

// Whether the request `request`, read from connection `fd`, may be served.
// `sent`: the ids the record came with (access_recv), or null. A peer holds
// the rights of the ids it sent (its real ones, unless it named others it
// holds) and those of the ids it connected with (SO_PEERCRED: its effective
// ones): every right either gives is one the process can take by switching
// between them. Logs a refusal with the peer's uid and pid and the request
// type.
bool access_permits(int fd, const tarvi_request *request, const struct ucred *sent);

#endif
