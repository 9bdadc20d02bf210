// A fresh scratch folder per test, used as the device's root.
#ifndef TARVI_TEST_SCRATCH_H
#define TARVI_TEST_SCRATCH_H

#include <cstddef>
#include <string>

class ScratchRoot {
  public:
    // Creates a new folder under /tmp and makes it the process's device root;
    // with `length`, a folder nested below it whose path has that many
    // characters, or one more (a user's deep checkout or temporary folder).
    explicit ScratchRoot(size_t length = 0);
    ~ScratchRoot();
    ScratchRoot(const ScratchRoot &) = delete;
    ScratchRoot &operator=(const ScratchRoot &) = delete;

    const std::string &path() const { return path_; }
    // `rel` (an absolute device path such as "/usr/cfg/a.cfg") under the root.
    std::string at(const std::string &rel) const { return path_ + rel; }
    // Writes `content` to the device path `rel`, creating parent folders.
    void write(const std::string &rel, const std::string &content) const;
    // The whole content of the device path `rel`; empty when it is missing.
    std::string read(const std::string &rel) const;
    bool exists(const std::string &rel) const;

  private:
    std::string top_, path_;
};

// Creates `dir` and its parents.
void make_dirs(const std::string &dir);

// The whole content of the file at `path`; empty when it is missing.
std::string read_file(const std::string &path);

#endif
