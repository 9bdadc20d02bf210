// The tree folder's archive, against archives made and read by the system tar.
#include "sc_archive.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "command.h"
#include "log.h"
#include "scratch.h"

namespace {

void quiet(int, const char *) {}

class ScArchive : public ::testing::Test {
  protected:
    void SetUp() override {
        tarvi_log_set_sink(quiet);
        root.write("/outside/keep", "outside\n");
        root.write("/sc/old", "old\n");
    }
    void TearDown() override { tarvi_log_set_sink(nullptr); }

    // Runs a shell command in the scratch folder.
    void sh(const std::string &cmd) const { ASSERT_EQ(0, system(("cd " + root.path() + " && " + cmd).c_str())) << cmd; }
    std::string sh_out(const std::string &cmd) const { return run_command("cd " + root.path() + " && " + cmd).out; }
    int extract(const std::string &rel, std::string *why = nullptr) const {
        return sc_archive_extract(root.at(rel).c_str(), root.at("/sc").c_str(), why);
    }
    // Nothing of the folder was touched and nothing landed outside it.
    void expect_refused(const std::string &rel, const std::string &reason) const {
        std::string why;
        EXPECT_EQ(-1, extract(rel, &why)) << rel;
        EXPECT_NE(std::string::npos, why.find(reason)) << rel << ": " << why;
        EXPECT_EQ("old\n", root.read("/sc/old")) << rel;
        std::vector<std::string> outside;
        for (auto &e : std::filesystem::directory_iterator(root.at("/outside")))
            outside.push_back(e.path().filename().string());
        EXPECT_EQ(std::vector<std::string>{"keep"}, outside) << rel;
        EXPECT_EQ("outside\n", root.read("/outside/keep"));
    }

    ScratchRoot root;
};

} // namespace

TEST_F(ScArchive, RoundTripsWithTheSystemTar) {
    root.write("/src/tree0/sys", "a\n");
    root.write("/src/tree1/oma", std::string(100000, 'x'));
    sh("ln -s tree0/sys src/link && mkdir src/empty");
    ASSERT_EQ(0, sc_archive_create(root.at("/src").c_str(), root.at("/ours.tar.gz").c_str()));
    // Members are relative to the folder, as the system tar makes them.
    EXPECT_EQ("./\n./empty/\n./link\n./tree0/\n./tree0/sys\n./tree1/\n./tree1/oma\n", sh_out("tar -tzf ours.tar.gz"));
    sh("mkdir out && tar -xzf ours.tar.gz -C out && diff -r src out");

    // An archive of the system tar unpacks into an emptied folder.
    sh("tar -czf theirs.tar.gz -C src .");
    ASSERT_EQ(0, extract("/theirs.tar.gz"));
    EXPECT_FALSE(root.exists("/sc/old"));
    sh("diff -r src sc");
    // Plain tar is taken as well.
    sh("tar -cf plain.tar -C src tree0");
    ASSERT_EQ(0, extract("/plain.tar"));
    EXPECT_EQ("a\n", root.read("/sc/tree0/sys"));
    EXPECT_FALSE(root.exists("/sc/tree1"));
}

TEST_F(ScArchive, RefusesMembersThatWouldLandOutsideTheFolder) {
    // "../" and absolute names, kept as they are with -P.
    sh("mkdir -p w && echo evil > w/evil && cd w && tar -czPf ../dotdot.tgz ../outside/keep ./evil");
    expect_refused("/dotdot.tgz", "member outside the folder: ../outside/keep");
    sh("tar -czPf abs.tgz " + root.at("/outside/keep"));
    expect_refused("/abs.tgz", "member outside the folder: /");
    // A link to the outside, then a member through it.
    sh("mkdir -p a b/link && ln -s ../outside a/link && echo x > b/link/new && tar -cf through.tar -C a link && "
       "tar -rf through.tar -C b link/new && gzip through.tar");
    expect_refused("/through.tar.gz", "member behind a symbolic link: link/new");
    // Device nodes and FIFOs.
    sh("tar -czf dev.tgz -C / dev/null");
    expect_refused("/dev.tgz", "member of a refused kind: dev/null");
    sh("mkfifo fifo && tar -czf fifo.tgz fifo");
    expect_refused("/fifo.tgz", "member of a refused kind: fifo");
    // Not an archive at all, or cut short.
    root.write("/junk.tgz", "this is no archive");
    expect_refused("/junk.tgz", "");
    sh("head -c 100 dotdot.tgz > short.tgz");
    expect_refused("/short.tgz", "");
    // A link that stays inside the folder is fine.
    sh("mkdir -p c/d && ln -s d c/inner && echo ok > c/d/f && tar -czf inner.tgz -C c .");
    ASSERT_EQ(0, extract("/inner.tgz"));
    EXPECT_EQ("ok\n", root.read("/sc/inner/f"));
}
