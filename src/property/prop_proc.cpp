#include "prop_proc.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "unique.h"

namespace {

const char PROC_DIR[] = "/proc";
// A command line is read up to this many bytes: enough for a program path
// and its first arguments, which is what a service is found by.
constexpr size_t CMDLINE_MAX = 4096;

// The whole small file at `path` (at most `max` bytes), or empty; *known
// false when it could not be opened for another reason than its absence.
std::string read_small(const std::string &path, size_t max, bool *known = nullptr) {
    unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        if (known)
            *known = errno == ENOENT || errno == ESRCH;
        return {};
    }
    std::string text(max, '\0');
    size_t got = 0;
    while (got < max) {
        ssize_t n = read(fd.get(), &text[got], max - got);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    text.resize(got);
    return text;
}

std::string proc_path(pid_t pid, const char *file) {
    return std::string(PROC_DIR) + "/" + std::to_string(static_cast<long>(pid)) + "/" + file;
}

} // namespace

int prop_proc_read(pid_t pid, struct prop_proc_t *out) {
    if (pid <= 0)
        return PROP_PROC_NONE;
    bool known = true;
    std::string stat = read_small(proc_path(pid, "stat"), 1024, &known);
    if (!known)
        return PROP_PROC_UNKNOWN;
    // The command name may hold blanks and parentheses: the fields start
    // after the last ')'.
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos || paren + 2 >= stat.size())
        return PROP_PROC_NONE;
    const char *p = stat.c_str() + paren + 2;
    // state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt
    // utime stime cutime cstime priority nice threads itrealvalue starttime
    char state = *p;
    unsigned long long fields[19] = {};
    const char *q = p + 1;
    for (unsigned long long &field : fields) {
        char *end = nullptr;
        field = strtoull(q, &end, 10);
        if (end == q)
            return PROP_PROC_NONE;
        q = end;
    }
    out->pid = pid;
    out->state = state;
    out->pgrp = static_cast<pid_t>(fields[1]);
    out->start = fields[18];
    return 0;
}

bool prop_proc_alive(const struct prop_proc_t *p) {
    struct prop_proc_t now;
    int rc = p ? prop_proc_read(p->pid, &now) : PROP_PROC_NONE;
    if (rc == PROP_PROC_UNKNOWN)
        return true;
    return rc == 0 && now.start == p->start && now.state != 'Z' && now.state != 'X';
}

int prop_proc_list(pid_t pgrp, const char *text, std::vector<struct prop_proc_t> *out) {
    out->clear();
    bool by_text = text && *text;
    if (pgrp <= 0 && !by_text)
        return PROP_PROC_NONE;
    unique_dir dir(opendir(PROC_DIR));
    if (!dir)
        return PROP_PROC_UNKNOWN;
    pid_t self = getpid();
    bool unknown = false;
    size_t in_group = 0;
    while (struct dirent *entry = readdir(dir.get())) {
        char *end = nullptr;
        long pid = strtol(entry->d_name, &end, 10);
        if (*end || pid <= 0 || pid == self)
            continue;
        struct prop_proc_t p;
        int rc = prop_proc_read(static_cast<pid_t>(pid), &p);
        unknown |= rc == PROP_PROC_UNKNOWN;
        if (rc != 0 || p.state == 'Z' || p.state == 'X')
            continue;
        if (pgrp > 0 && p.pgrp == pgrp) {
            out->insert(out->begin() + static_cast<long>(in_group++), p);
            continue;
        }
        if (!by_text)
            continue;
        std::string cmdline = read_small(proc_path(p.pid, "cmdline"), CMDLINE_MAX);
        for (char &c : cmdline)
            if (c == '\0')
                c = ' ';
        if (cmdline.find(text) != std::string::npos)
            out->push_back(p);
    }
    if (!out->empty())
        return 0;
    return unknown ? PROP_PROC_UNKNOWN : PROP_PROC_NONE;
}

int prop_proc_find(pid_t pgrp, const char *text, struct prop_proc_t *out) {
    std::vector<struct prop_proc_t> found;
    int rc = prop_proc_list(pgrp, text, &found);
    if (rc == 0)
        *out = found.front();
    return rc;
}
