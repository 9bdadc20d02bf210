// Commits that wait for confirmation, on the sample device through the tool:
// whatever ends the wait other than a confirmation (a roll back, the
// deadline, a crash) leaves the settings and the tree of the last confirmed
// commit, in memory and after a restart.
#include <csignal>
#include <gtest/gtest.h>
#include <string>

#include "command.h"
#include "tarvi_cli.h"
#include "tree_device.h"

namespace {

::testing::AssertionResult has(const std::string &text, const std::string &part) {
    if (text.find(part) != std::string::npos)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "'" << part << "' not in '" << text << "'";
}

class ConfirmedCommit : public SampleDeviceTest {
  protected:
    // A setting and a new instance of a table.
    void change(const std::string &name, const std::string &instance) {
        ASSERT_EQ(0, tarvi("set SYS_NAME " + name).status);
        ASSERT_EQ(0, tarvi("sc add sys/network/v6config " + instance).status);
    }
    std::string state() { return tarvi("get SYS_NAME").out + tarvi("sc names sys/network/v6config").out; }
    std::string status() { return tarvi("commit --status").out; }
    // The daemon killed, as by a crash, and started again.
    void crash_and_start() {
        daemon_->signal(SIGKILL);
        daemon_->stop();
        daemon_ = start_tree_daemon(root_);
        ASSERT_TRUE(daemon_);
    }
};

const char NONE[] = "no commit waits for confirmation\n";

} // namespace

TEST_F(ConfirmedCommit, AnythingButAConfirmationGoesBackToTheLastConfirmedCommit) {
    EXPECT_EQ(NONE, status());
    for (const char *args : {"confirm", "rollback"})
        EXPECT_EQ(std::string("1 |tarvi: ") + NONE, run_text(tarvi(args))) << args;
    for (const char *args : {"commit --confirm 0", "commit --confirm 86401", "commit --confirm 5s", "commit --status 1",
                             "commit --now", "confirm 5"})
        EXPECT_EQ(2, tarvi(args).status) << args;

    change("confirmed", "5");
    ASSERT_EQ(0, tarvi("commit").status);
    const std::string confirmed = state();
    ASSERT_TRUE(has(confirmed, "confirmed\n1\n2\n5\n"));

    // Rolled back on request, tree included; until then whatever would
    // replace the configuration is refused, and says why.
    change("waiting", "6");
    ASSERT_EQ(0, tarvi("commit --confirm 600").status);
    EXPECT_TRUE(has(status(), "a commit waits for confirmation: "));
    for (const char *args :
         {"commit", "commit --confirm 5", "reload", "reload-default", "restore-default", "sc commit"}) {
        tool_result r = tarvi(args);
        EXPECT_EQ(1, r.status) << args;
        EXPECT_TRUE(has(r.err, "a commit waits for confirmation")) << args;
    }
    EXPECT_TRUE(has(state(), "waiting\n1\n2\n5\n6\n"));
    EXPECT_EQ(0, tarvi("rollback").status);
    EXPECT_EQ(confirmed, state());
    EXPECT_EQ(NONE, status());

    // Not confirmed in time.
    change("late", "7");
    ASSERT_EQ(0, tarvi("commit --confirm 1").status);
    EXPECT_TRUE(eventually([&] { return status() == NONE; }, 60000));
    EXPECT_EQ(confirmed, state());
    EXPECT_TRUE(daemon_->wait_stderr("Not confirmed within 1 seconds"));

    // A crash while it waits: the next start loads the confirmed commit.
    change("crashed", "8");
    ASSERT_EQ(0, tarvi("commit --confirm 600").status);
    crash_and_start();
    EXPECT_EQ(confirmed, state());
    EXPECT_EQ(NONE, status());

    // Confirmed: kept through a crash, and the next commit goes on from it.
    change("kept", "9");
    ASSERT_EQ(0, tarvi("commit --confirm 600").status);
    EXPECT_EQ(0, tarvi("confirm").status);
    EXPECT_EQ(NONE, status());
    const std::string kept = state();
    ASSERT_TRUE(has(kept, "kept\n1\n2\n5\n9\n"));
    crash_and_start();
    EXPECT_EQ(kept, state());
    change("next", "10");
    ASSERT_EQ(0, tarvi("commit").status);
    crash_and_start();
    EXPECT_TRUE(has(state(), "next\n1\n2\n5\n9\n10\n"));
}
