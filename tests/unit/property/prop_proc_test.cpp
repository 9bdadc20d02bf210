// The process look-ups the service engine decides by: a process is found by
// its group and by its command line, is alive only while it runs under its
// own start time, and a table that cannot be read tells nothing (rather
// than "gone", which would start a service a second time).
#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "prop_proc.h"
#include "utility.h"

namespace {

TEST(PropProc, FoundByGroupAndCommandLineAliveUntilReaped) {
    pid_t child;
    ASSERT_EQ(0, nonrt_spawn_group("exec sleep 30.5", &child));
    struct prop_proc_t p = {};
    for (int i = 0; i < 500 && prop_proc_find(0, "sleep 30.5", &p) != 0; ++i)
        usleep(10000);
    EXPECT_EQ(child, p.pid);
    struct prop_proc_t by_group = {};
    ASSERT_EQ(0, prop_proc_find(child, "", &by_group));
    EXPECT_EQ(child, by_group.pid);
    EXPECT_EQ(child, by_group.pgrp);
    EXPECT_TRUE(prop_proc_alive(&p));
    struct prop_proc_t later = p;
    later.start += 1; // the same id given to a later process
    EXPECT_FALSE(prop_proc_alive(&later));

    kill(child, SIGKILL);
    for (int i = 0; i < 500 && prop_proc_alive(&p); ++i)
        usleep(10000);
    EXPECT_FALSE(prop_proc_alive(&p)) << "a zombie is not alive";
    waitpid(child, nullptr, 0);
    EXPECT_EQ(PROP_PROC_NONE, prop_proc_read(child, &later));
    EXPECT_EQ(PROP_PROC_NONE, prop_proc_find(child, "sleep 30.5", &later));

    // Out of descriptors: nobody can tell.
    std::vector<int> fds;
    for (int fd; (fd = dup(0)) >= 0;)
        fds.push_back(fd);
    struct prop_proc_t self = {getppid(), 0, 0, 0};
    int read_rc = prop_proc_read(self.pid, &later);
    bool alive = prop_proc_alive(&self);
    int find_rc = prop_proc_find(0, "no such program", &later);
    for (int fd : fds)
        close(fd);
    EXPECT_EQ(PROP_PROC_UNKNOWN, read_rc);
    EXPECT_TRUE(alive);
    EXPECT_EQ(PROP_PROC_UNKNOWN, find_rc);
}

} // namespace
