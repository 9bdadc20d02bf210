// A socket listening where the daemon's would be, under the current scratch
// root: a client call that must refuse before sending is checked not to
// connect at all.
#ifndef TARVI_TEST_LISTENER_H
#define TARVI_TEST_LISTENER_H

#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "paths.h"
#include "request.h"
#include "scratch.h"

class Listener {
  public:
    Listener() {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        std::string path = tarvi_path(TARVI_SOCKET_PATH);
        make_dirs(path.substr(0, path.rfind('/')));
        EXPECT_EQ(0, socket_path_bind(fd_, path.c_str()));
        EXPECT_EQ(0, listen(fd_, 8));
    }
    ~Listener() { close(fd_); }
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;
    bool contacted() const {
        int c = accept(fd_, nullptr, nullptr);
        if (c >= 0)
            close(c);
        return c >= 0;
    }

  private:
    int fd_;
};

#endif
