// The access policy, through the real daemon: unprivileged clients (child
// processes that drop to other users) get exactly what their rights allow,
// a refused request changes nothing, and a policy that cannot be read, or
// none, keeps the socket as it was.
#include <cstring>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "daemon.h"
#include "device.h"
#include "libtarvi.h"
#include "peer.h"
#include "records.h"
#include "scratch.h"
#include "tarvi_cli.h"
#include "tarvid_access.h"

namespace {

// Whether this kernel (or emulator) tells a socket's peer groups; where it
// does not, the daemon goes by the group database instead. Asked in a
// process that has a group to tell: an emulator may answer an empty list
// right and fail on any other.
bool kernel_tells_peer_groups() {
    return run_as({65534, 65534, {4300}}, [] {
               int sv[2];
               if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
                   return "no";
               gid_t groups[64];
               socklen_t len = sizeof groups;
               bool told = getsockopt(sv[0], SOL_SOCKET, SO_PEERGROUPS, groups, &len) == 0 && len == sizeof(gid_t) &&
                           groups[0] == 4300;
               return told ? "yes" : "no";
           }) == "yes";
}

// A name of the system's user database for uid 65534, and a group of its
// group database other than root's: the daemon resolves names with the
// system's name service, not the sandbox's.
std::string user_name_of(uid_t uid) {
    struct passwd *pw = getpwuid(uid);
    return pw ? pw->pw_name : "";
}
bool some_group(std::string *name, gid_t *gid) {
    for (gid_t g : {100u, 1u, 2u, 3u}) {
        struct group *gr = getgrgid(g);
        if (gr) {
            *name = gr->gr_name;
            *gid = g;
            return true;
        }
    }
    return false;
}

int mode_of(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

// One request of `type` as the current process: "ok", "EPERM" or the errno's
// name of another failure.
std::string outcome(int type, const char *key, const char *value) {
    tarvi_request r = make_request(type, key, value);
    if (request_for_tarvi(&r) == 0)
        return "ok";
    return errno == EPERM ? "EPERM" : std::string("other:") + strerror(errno);
}

class Access : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "clients of other users are made by dropping from root";
        std::string fill;
        for (int i = 0; i < 300; ++i)
            fill += "acl.fill." + std::to_string(i) + "=" + std::string(20, 'v') + "\n";
        lay_device(root_, "acl.key=factory\n" + fill);
        // The sandbox must be reachable for other users, as /var/run is.
        chmod(root_.path().c_str(), 0755);
    }
    bool start(mode_t umask_while_starting = 022) {
        mode_t old = umask(umask_while_starting);
        daemon_ = std::make_unique<Daemon>(root_.path());
        bool up = daemon_->start();
        umask(old);
        return up;
    }
    void TearDown() override {
        if (daemon_) {
            daemon_->stop();
            EXPECT_EQ("", daemon_->sanitizer_report());
        }
    }
    std::string socket_path() const { return root_.at(TARVI_SOCKET_PATH); }

    ScratchRoot root_;
    std::unique_ptr<Daemon> daemon_;
};

TEST_F(Access, EveryPeerIsServedExactlyWhatItsRightsAllow) {
    std::string reader_name = user_name_of(65534), group_name;
    gid_t group = 0;
    ASSERT_TRUE(some_group(&group_name, &group)) << "no group in the system's database";
    // Names where the system has them, numbers otherwise.
    std::string reader_subject = reader_name.empty() ? "uid:65534" : "user:" + reader_name;
    root_.write(TARVI_ACCESS_PATH, "# front ends\n" + reader_subject +
                                       "  get, tree-get,prop-get\n"
                                       "gid:4243 get   # the writer's own group\n"
                                       "group:" +
                                       group_name + " set,commit\n\nuid:4244\tprop-set\n");
    ASSERT_TRUE(start()) << daemon_->stderr_text();
    EXPECT_EQ(0666, mode_of(socket_path()));

    bool groups_told = kernel_tells_peer_groups();
    struct {
        const char *name;
        peer who;
        unsigned rights;
    } peers[] = {
        {"reader", {65534, 65534, {}}, ACCESS_GET | ACCESS_TREE_GET | ACCESS_PROP_GET},
        {"stranger", {4242, 4242, {}}, 0},
        {"prop writer", {4244, 4244, {}}, ACCESS_PROP_SET},
        // Set and commit through a supplementary group, get through its own.
        {"writer", {4243, 4243, {group}}, ACCESS_GET | (groups_told ? ACCESS_SET | ACCESS_COMMIT : 0u)},
    };
    for (const auto &p : peers) {
        // Every request type the daemon decodes, with a key no request can do
        // harm with, one character each: 'P' refused for want of a right,
        // '.' served (whatever the answer).
        std::string expected;
        for (int type = 0; type <= TARVI_REQUEST_TYPE_COMMIT_STATUS; ++type) {
            unsigned needs = access_type_needs(static_cast<unsigned>(type));
            // A next page of no listing needs nothing; it is refused as such.
            bool allowed = type == TARVI_REQUEST_TYPE_LIST_NEXT || (needs & ~p.rights) == 0;
            expected += type == TARVI_REQUEST_TYPE_RESERVED ? '-' : allowed ? '.' : 'P';
        }
        EXPECT_EQ(expected, run_as(p.who,
                                   [] {
                                       std::string seen;
                                       for (int type = 0; type <= TARVI_REQUEST_TYPE_COMMIT_STATUS; ++type)
                                           seen += type == TARVI_REQUEST_TYPE_RESERVED        ? '-'
                                                   : outcome(type, "acl.key", "x") == "EPERM" ? 'P'
                                                                                              : '.';
                                       return seen;
                                   }))
            << p.name << ": type N is character N";
        // Nothing but the writer changes the setting.
        std::string value = p.rights & ACCESS_SET ? "x" : "factory";
        tarvi_request r = make_request(TARVI_REQUEST_TYPE_GET, "acl.key", nullptr);
        ASSERT_EQ(0, request_for_tarvi(&r));
        EXPECT_STREQ(value.c_str(), r.value) << p.name;
    }
    if (groups_told) {
        EXPECT_NE(std::string::npos, stored_text(root_).find("acl.key=x\n")) << "the writer's commit was answered";
    }

    // Service control is admin, other property writes are not.
    peer prop_writer = {4244, 4244, {}};
    EXPECT_EQ("ok EPERM", run_as(prop_writer, [] {
                  return outcome(TARVI_REQUEST_TYPE_PROP_SET, "acl.prop", "1") + " " +
                         outcome(TARVI_REQUEST_TYPE_PROP_SET, "ctl.start", "demo");
              }));

    // A listing's next pages need the listing's right: the reader's cursor
    // is of no use to the others.
    peer reader = {65534, 65534, {}};
    std::string cursor = run_as(reader, [] {
        tarvi_request r = make_request(TARVI_REQUEST_TYPE_CONFIG_LIST, "", nullptr);
        return request_for_tarvi(&r) == 0 && r.key ? std::string(r.key) : "<refused>";
    });
    ASSERT_GT(std::atol(cursor.c_str()), 0) << cursor;
    auto next_page = [&] { return outcome(TARVI_REQUEST_TYPE_LIST_NEXT, cursor.c_str(), nullptr); };
    EXPECT_EQ("EPERM", run_as(peers[1].who, next_page));
    EXPECT_EQ("EPERM", run_as(prop_writer, next_page));
    EXPECT_EQ("ok", run_as(reader, next_page));

    // Each refusal is logged with who asked for what.
    std::string pid_and_set =
        run_as(reader, [] { return std::to_string(getpid()) + " " + outcome(TARVI_REQUEST_TYPE_SET, "acl.key", "y"); });
    std::string pid = pid_and_set.substr(0, pid_and_set.find(' '));
    EXPECT_TRUE(daemon_->wait_stderr("Refused request type 2 from uid=65534 pid=" + pid +
                                     " : not permitted by the access policy !!"))
        << pid_and_set << daemon_->stderr_text();

    // The tool's word for it, and its exit status.
    auto tool = [&](const std::string &args) {
        return [this, args] {
            command_result c =
                run_command("TARVI_ROOT=" + root_.path() + " " + target_command(TARVI_CLI_PATH) + " " + args + " 2>&1");
            return std::to_string(c.status) + " " + c.out;
        };
    };
    EXPECT_EQ("0 x\n", run_as(peers[3].who, tool("get acl.key"))) << "allowed through its primary group";
    EXPECT_EQ("1 tarvi: tarvid's access policy does not allow the set to uid 65534\n",
              run_as(reader, tool("set acl.key y")));
    EXPECT_EQ("1 tarvi: tarvid's access policy does not allow the prop get to uid 4242\n",
              run_as(peers[1].who, tool("prop get acl.prop fallback")));
    EXPECT_EQ("0 1\n", run_as(reader, tool("prop get acl.prop")));
    EXPECT_TRUE(daemon_->running());
}

// One GET record on a connection of its own, with `len` bytes at `data` as
// its ancillary data of type `type` (SCM_CREDENTIALS, SCM_RIGHTS): "ok",
// "EPERM" (refused by the policy), or the errno's name of the send's failure.
std::string raw_get(int type, const void *data, size_t len) {
    tarvi_request r = make_request(TARVI_REQUEST_TYPE_GET, "acl.key", nullptr);
    unsigned char wire[TARVI_REQUEST_MAX_SIZE];
    int size = request_encode(&r, wire);
    if (size < 0 || len > 64)
        return "<no record>";
    int fd = raw_connect();
    if (fd < 0)
        return "<no connection>";
    union {
        char space[CMSG_SPACE(64)];
        struct cmsghdr align;
    } control = {};
    struct cmsghdr *c = &control.align;
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = type;
    c->cmsg_len = CMSG_LEN(len);
    memcpy(CMSG_DATA(c), data, len);
    struct iovec iov = {wire, static_cast<size_t>(size)};
    struct msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.space;
    msg.msg_controllen = CMSG_SPACE(len);
    std::string out;
    if (sendmsg(fd, &msg, MSG_NOSIGNAL) != size) {
        out = strerror(errno);
    } else {
        ssize_t got = read(fd, wire, sizeof wire);
        out = got <= 0 || request_decode(&r, wire, static_cast<int>(got)) != 0 ? "<no reply>"
              : r.status == 0                                                  ? "ok"
                                                                               : "EPERM";
    }
    close(fd);
    return out;
}

// A process that runs with a real and an effective uid of different rights
// is served what either gives (it can take either at will), and refused
// what neither does, logged under its effective uid; the ids a record comes
// with are only those the sender holds, and whatever else it passes along
// is dropped.
TEST_F(Access, APeerHoldsTheRightsOfEachOfItsIdsAndNoOthers) {
    root_.write(TARVI_ACCESS_PATH, "uid:65534 get\nuid:4244 prop-get\n");
    ASSERT_TRUE(start()) << daemon_->stderr_text();
    // "ok" for a request served, whatever its answer; "EPERM" for a refusal.
    auto served = [](int type, const char *key, const char *value) {
        std::string o = outcome(type, key, value);
        return o == "EPERM" ? o : "ok";
    };
    auto three = [served] {
        return std::to_string(getpid()) + " " + served(TARVI_REQUEST_TYPE_GET, "acl.key", nullptr) + " " +
               served(TARVI_REQUEST_TYPE_PROP_GET, "acl.prop", nullptr) + " " +
               served(TARVI_REQUEST_TYPE_SET, "acl.key", "y");
    };
    struct {
        peer who;
        const char *outcomes;
        uid_t logged;
    } cases[] = {
        {{65534, 65534, {}, 4244}, "ok ok EPERM", 4244},
        {{4244, 4244, {}, 65534}, "ok ok EPERM", 65534},
        {{4242, 4242, {}, 65534}, "ok EPERM EPERM", 65534},
        {{4242, 4242, {}}, "EPERM EPERM EPERM", 4242},
    };
    for (const auto &c : cases) {
        std::string seen = run_as(c.who, three);
        size_t space = seen.find(' ');
        ASSERT_NE(std::string::npos, space) << seen;
        EXPECT_EQ(c.outcomes, seen.substr(space + 1)) << "real uid " << c.who.uid << ", effective " << c.who.euid;
        EXPECT_TRUE(daemon_->wait_stderr("Refused request type 2 from uid=" + std::to_string(c.logged) +
                                         " pid=" + seen.substr(0, space)));
    }

    // Ids it does not hold: the kernel refuses the claim before we see it.
    EXPECT_EQ(strerror(EPERM), run_as({4242, 4242, {}}, [] {
                  struct ucred root = {getpid(), 0, 0};
                  return raw_get(SCM_CREDENTIALS, &root, sizeof root);
              }));
    // Descriptors passed along with records are served past and dropped:
    // the daemon holds no more of them after a hundred, once it has closed
    // the last connection (a leak would be four a record).
    int before = daemon_->usage_now().fds;
    EXPECT_EQ("ok", run_as({65534, 65534, {}}, [] {
                  int passed[4] = {0, 1, 2, 0};
                  std::string last;
                  for (int i = 0; i < 100; ++i)
                      last = raw_get(SCM_RIGHTS, passed, sizeof passed);
                  return last;
              }));
    EXPECT_TRUE(eventually([&] { return daemon_->usage_now().fds <= before; }))
        << daemon_->usage_now().fds << " descriptors, " << before << " before";
}

TEST_F(Access, AnUnreadablePolicyServesRootOnlyAndNamesTheLine) {
    root_.write(TARVI_ACCESS_PATH, "uid:65534 get\n# fine so far\nuid:65534 get,write\nuid:4242 all\n");
    // A socket any user could open, so that the refusal is the daemon's.
    ASSERT_TRUE(start(0)) << daemon_->stderr_text();
    EXPECT_TRUE(daemon_->wait_stderr("Access policy " + root_.at(TARVI_ACCESS_PATH) +
                                     " line 3 : unknown right \"write\", serving root only !!"));
    EXPECT_EQ(0777, mode_of(socket_path())) << "the socket keeps its mode";
    EXPECT_EQ("ok", outcome(TARVI_REQUEST_TYPE_GET, "acl.key", nullptr));
    for (uid_t uid : {65534u, 4242u})
        EXPECT_EQ("EPERM", run_as({uid, uid, {}}, [] { return outcome(TARVI_REQUEST_TYPE_GET, "acl.key", nullptr); }));
}

TEST_F(Access, WithoutAPolicyWhoeverCanConnectMayDoEverything) {
    ASSERT_TRUE(start(0)) << daemon_->stderr_text();
    EXPECT_EQ(0777, mode_of(socket_path()));
    EXPECT_EQ("ok ok ok", run_as({4242, 4242, {}}, [] {
                  return outcome(TARVI_REQUEST_TYPE_SET, "acl.key", "anyone") + " " +
                         outcome(TARVI_REQUEST_TYPE_COMMIT, nullptr, nullptr) + " " +
                         outcome(TARVI_REQUEST_TYPE_RELOAD, nullptr, nullptr);
              }));
    daemon_->stop();
    // With the usual umask only root can connect, as before.
    ASSERT_TRUE(start()) << daemon_->stderr_text();
    EXPECT_EQ(0755, mode_of(socket_path()));
    EXPECT_EQ("other:Permission denied",
              run_as({4242, 4242, {}}, [] { return outcome(TARVI_REQUEST_TYPE_GET, "acl.key", nullptr); }));
}

} // namespace
