// The tree folder's archive: made and read against the system tar, and
// unpacked from hostile archives, listed and random, without anything
// outside the folder changing.
#include "sc_archive.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "archives.h"
#include "command.h"
#include "log.h"
#include "scratch.h"

namespace {

using M = ArchiveMember;

void quiet(int, const char *) {}

class ScArchive : public ::testing::Test {
  protected:
    void SetUp() override {
        tarvi_log_set_sink(quiet);
        root.write("/outside/keep", "outside\n");
        root.write("/outside/sub/inner", "inner\n");
        std::filesystem::create_symlink("keep", root.at("/outside/link"));
        reset_folder();
        canary = everything_but_the_folder();
    }
    void TearDown() override { tarvi_log_set_sink(nullptr); }

    void reset_folder() const {
        std::filesystem::remove_all(root.at("/box/sc"));
        root.write("/box/sc/old", "old\n");
    }
    // The whole scratch root but the folder the archives go to: it must stay
    // byte for byte as it was, with nothing added beside the folder.
    std::string everything_but_the_folder() const { return folder_fingerprint(root.path(), "/box/sc/"); }
    // What went wrong when unpacking `members`, or "" when every promise
    // held: the outside unchanged; a refused archive leaves the folder as it
    // was; no link in the folder leads out of it.
    std::string violation(const std::vector<M> &members, std::string *why = nullptr, int *result = nullptr) const {
        reset_folder();
        std::string before = folder_fingerprint(root.at("/box/sc"));
        std::string arch = make_archive(members);
        int rc = sc_archive_extract_mem(arch.data(), arch.size(), root.at("/box/sc").c_str(), why);
        std::string checked;
        int dry = sc_archive_check_mem(arch.data(), arch.size(), root.at("/box/sc").c_str(), &checked);
        if (result)
            *result = rc;
        if (everything_but_the_folder() != canary)
            return "something outside the folder changed";
        if (rc != dry)
            return "the check and the extraction disagree: " + checked;
        if (rc != 0 && folder_fingerprint(root.at("/box/sc")) != before)
            return "a refused archive changed the folder";
        std::string leaving = link_leaving(root.at("/box/sc"));
        return leaving.empty() ? "" : "a link leads out: " + leaving;
    }
    int extract_file(const std::string &rel, std::string *why = nullptr) const {
        return sc_archive_extract(root.at(rel).c_str(), root.at("/box/sc").c_str(), why);
    }
    void sh(const std::string &cmd) const { ASSERT_EQ(0, system(("cd " + root.path() + " && " + cmd).c_str())) << cmd; }

    ScratchRoot root;
    std::string canary;
};

std::string describe(const std::vector<M> &members) {
    static const char *const names[] = {"file", "folder", "link", "hardlink", "fifo", "chardev"};
    std::string text;
    for (const M &m : members)
        text += std::string("  ") + names[m.type] + " '" + m.name + "' '" + m.data.substr(0, 40) + "'\n";
    return text;
}

} // namespace

TEST_F(ScArchive, RoundTripsWithTheSystemTar) {
    root.write("/src/tree0/sys", "a\n");
    root.write("/src/tree1/oma", std::string(100000, 'x'));
    sh("ln -s tree0/sys src/link && ln -s ../tree0/sys src/tree1/up && mkdir src/empty");
    ASSERT_EQ(0, sc_archive_create(root.at("/src").c_str(), root.at("/ours.tar.gz").c_str()));
    // Members are relative to the folder, as the system tar makes them.
    EXPECT_EQ("./\n./empty/\n./link\n./tree0/\n./tree0/sys\n./tree1/\n./tree1/oma\n./tree1/up\n",
              run_command("cd " + root.path() + " && tar -tzf ours.tar.gz").out);
    sh("mkdir out && tar -xzf ours.tar.gz -C out && diff -r src out");

    // An archive of the system tar replaces the folder, hard links included;
    // set-id bits and write permission for others are not kept.
    sh("ln src/tree0/sys src/tree1/same && chmod 6777 src/tree1/oma && tar -czf theirs.tar.gz -C src .");
    ASSERT_EQ(0, extract_file("/theirs.tar.gz"));
    EXPECT_FALSE(root.exists("/box/sc/old"));
    sh("diff -r src box/sc");
    struct stat a, b;
    ASSERT_EQ(0, stat(root.at("/box/sc/tree0/sys").c_str(), &a));
    ASSERT_EQ(0, stat(root.at("/box/sc/tree1/same").c_str(), &b));
    EXPECT_EQ(a.st_ino, b.st_ino);
    ASSERT_EQ(0, stat(root.at("/box/sc/tree1/oma").c_str(), &b));
    EXPECT_EQ(0755u, b.st_mode & 07777);
    // Plain tar is taken too, into a folder that is not there yet.
    sh("tar -cf plain.tar -C src tree0");
    ASSERT_EQ(0, sc_archive_extract(root.at("/plain.tar").c_str(), root.at("/new/sc").c_str()));
    EXPECT_EQ("a\n", root.read("/new/sc/tree0/sys"));
}

TEST_F(ScArchive, HostileArchivesAreRefusedAsAWhole) {
    const std::string out = root.at("/outside");
    std::vector<M> many;
    for (int i = 0; i <= SC_ARCHIVE_MAX_MEMBERS; ++i)
        many.push_back({M::File, "f" + std::to_string(i), ""});
    struct Row {
        const char *what;
        std::vector<M> members;
        const char *reason;
    } rows[] = {
        {"link out, folder of its name, member in it",
         {{M::Link, "./esc", out}, {M::Folder, "./esc", ""}, {M::File, "./esc/pwned", "x"}},
         "symbolic link out of the folder: ./esc"},
        {"link in, then a folder of its name",
         {{M::Folder, "sub", ""}, {M::Link, "esc", "sub"}, {M::Folder, "esc", ""}, {M::File, "esc/pwned", "x"}},
         "member changes kind: esc"},
        {"folder, then a link of its name", {{M::Folder, "d", ""}, {M::Link, "d", "."}}, "member changes kind: d"},
        {"implicit folder, then a link of its name", {{M::File, "a/b", ""}, {M::Link, "a", "."}}, "changes kind: a"},
        {"file, then a folder of its name", {{M::File, "f", ""}, {M::Folder, "f", ""}}, "changes kind: f"},
        {"member inside a file", {{M::File, "f", ""}, {M::File, "f/x", ""}}, "member inside a file: f/x"},
        {"member through a link in", {{M::Link, "l", "."}, {M::File, "l/x", ""}}, "behind a symbolic link: l/x"},
        {"link chain out", {{M::Link, "a", "b"}, {M::Link, "b", "../outside"}}, "symbolic link out of the folder: b"},
        {"climb after a link to the folder", {{M::Link, "up", "."}, {M::Link, "x", "up/../outside"}}, "out of the"},
        {"climb above the folder from below", {{M::Link, "t/l", "../../outside"}}, "symbolic link out"},
        {"link to the parent", {{M::Link, "p", ".."}}, "symbolic link out"},
        {"link to the root", {{M::Link, "r", "/"}}, "symbolic link out"},
        {"empty link", {{M::Link, "e", ""}}, "symbolic link out"},
        {"hard link out", {{M::HardLink, "h", "../outside/keep"}}, "hard link to no file"},
        {"hard link to an absolute name", {{M::HardLink, "h", out + "/keep"}}, "hard link to no file"},
        {"hard link to a later member", {{M::HardLink, "h", "later"}, {M::File, "later", ""}}, "hard link to no file"},
        {"hard link through a link", {{M::File, "f", ""}, {M::Link, "l", "."}, {M::HardLink, "h", "l/f"}}, "no file"},
        {"hard link to a link", {{M::Link, "l", "."}, {M::HardLink, "h", "l"}}, "hard link to no file"},
        {"hard link to itself", {{M::File, "h", ""}, {M::HardLink, "h", "h"}}, "hard link to no file"},
        {"dot-dot name", {{M::File, "../x", "x"}}, "member outside the folder: ../x"},
        {"dot-dot inside a name", {{M::File, "a/../../x", "x"}}, "member outside the folder"},
        {"absolute name", {{M::File, out + "/new", "x"}}, "member outside the folder: /"},
        {"the folder itself as a link", {{M::Link, "./", "."}}, "the folder itself is no folder"},
        {"FIFO", {{M::Fifo, "p", ""}}, "member of a refused kind: p"},
        {"device node", {{M::CharDev, "null", ""}}, "member of a refused kind: null"},
        {"long name", {{M::File, std::string(SC_ARCHIVE_MAX_NAME + 1, 'n'), ""}}, "member name too long"},
        {"long link target", {{M::Link, "l", std::string(SC_ARCHIVE_MAX_NAME + 1, 'n')}}, "symbolic link out"},
        {"expansion beyond the byte bound",
         {{M::File, "big", std::string(SC_ARCHIVE_MAX_BYTES + 1, '\0')}},
         "too large"},
        {"too many members", many, "archive too large"},
    };
    for (const Row &row : rows) {
        std::string why;
        EXPECT_EQ("", violation(row.members, &why)) << row.what;
        EXPECT_NE(std::string::npos, why.find(row.reason)) << row.what << ": " << why;
    }
}

// Archives of random members, names and link targets: whatever is accepted or
// refused, the promises of `violation` hold. TARVI_TEST_SEED replays a run.
TEST_F(ScArchive, RandomArchivesNeverReachOutside) {
    const char *env = getenv("TARVI_TEST_SEED");
    const unsigned seed = env ? static_cast<unsigned>(strtoul(env, nullptr, 10)) : 2107u;
    std::minstd_rand rng(seed);
    auto pick = [&rng](const std::vector<std::string> &from) { return from[rng() % from.size()]; };
    // Every other round draws from tame names and targets only, so that
    // accepted archives are exercised as well as refused ones.
    const std::vector<std::string> tame = {"a", "b", "c"}, wild = {"a", "b", "..", ".", "", "outside", "keep"};
    const std::vector<std::string> tameTargets = {".", "a", "a/b", "../a", "b"};
    const std::vector<std::string> wildTargets = {"..",      "../outside", "../../", "/",      root.at("/outside"),
                                                  "b/../..", "c/..",       "./a",    "a/../.."};
    int accepted = 0;
    for (int round = 0; round < 300; ++round) {
        bool wildRound = round % 2;
        auto name = [&] {
            std::string n = wildRound && rng() % 8 == 0 ? "/" : (rng() % 2 ? "./" : "");
            for (size_t i = 0, count = 1 + rng() % 3; i < count; ++i)
                n += (i ? "/" : "") + pick(wildRound && rng() % 2 ? wild : tame);
            return n;
        };
        std::vector<M> members;
        for (size_t i = 0, count = 1 + rng() % 8; i < count; ++i) {
            auto type = static_cast<M::Type>(rng() % (wildRound ? 6 : 4));
            std::string target = pick(wildRound && rng() % 2 ? wildTargets : tameTargets);
            members.push_back({type, name(), type == M::Link ? target : type == M::HardLink ? name() : "data"});
        }
        int rc = -1;
        if (violation(members, nullptr, &rc).empty()) {
            accepted += rc == 0;
            continue;
        }
        // The shortest archive that still fails, one member dropped at a time.
        for (size_t i = 0; i < members.size();) {
            std::vector<M> fewer = members;
            fewer.erase(fewer.begin() + static_cast<long>(i));
            if (!violation(fewer).empty())
                members = fewer;
            else
                ++i;
        }
        FAIL() << "seed " << seed << ", round " << round << ": " << violation(members) << "\n" << describe(members);
    }
    // Both outcomes are exercised.
    EXPECT_GT(accepted, 30);
    EXPECT_LT(accepted, 270);
}
