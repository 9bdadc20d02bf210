// Owners for what the C interfaces hand out (descriptors, streams, malloc'ed
// buffers), so that every early return releases it.
#ifndef TARVI_UNIQUE_H
#define TARVI_UNIQUE_H

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <memory>
#include <unistd.h>

// A file descriptor closed when the owner goes; -1 owns nothing.
class unique_fd {
  public:
    explicit unique_fd(int fd = -1) : fd_(fd) {}
    ~unique_fd() {
        if (fd_ >= 0)
            close(fd_);
    }
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

struct file_closer {
    void operator()(FILE *f) const { fclose(f); }
};
// A stdio stream closed when the owner goes (errors of that close are lost:
// writers that care close it themselves first).
using unique_file = std::unique_ptr<FILE, file_closer>;

struct free_deleter {
    void operator()(void *p) const { free(p); }
};
// A malloc'ed buffer freed when the owner goes.
using unique_buf = std::unique_ptr<char, free_deleter>;

struct dir_closer {
    void operator()(DIR *d) const { closedir(d); }
};
// A directory stream closed when the owner goes.
using unique_dir = std::unique_ptr<DIR, dir_closer>;

#endif
