#include "sc_archive.h"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>

#include "log.h"

namespace {

struct ReadCloser {
    void operator()(struct archive *a) const { archive_read_free(a); }
};
using unique_reader = std::unique_ptr<struct archive, ReadCloser>;

struct WriteCloser {
    void operator()(struct archive *a) const { archive_write_free(a); }
};
using unique_writer = std::unique_ptr<struct archive, WriteCloser>;

struct EntryFree {
    void operator()(struct archive_entry *e) const { archive_entry_free(e); }
};
using unique_entry = std::unique_ptr<struct archive_entry, EntryFree>;

// Opens a reader on the archive that `open` attaches: gzip or no filter, any
// tar dialect.
unique_reader open_reader(const std::function<int(struct archive *)> &open) {
    unique_reader a(archive_read_new());
    if (!a)
        return nullptr;
    archive_read_support_filter_gzip(a.get());
    archive_read_support_filter_none(a.get());
    archive_read_support_format_tar(a.get());
    archive_read_support_format_gnutar(a.get());
    if (open(a.get()) != ARCHIVE_OK)
        return nullptr;
    return a;
}

// A member name made plain: components split on '/', empty and "." ones
// dropped. False for an absolute name or one with a ".." component.
bool normalise(const char *name, std::string *out) {
    if (!name || name[0] == '/')
        return false;
    out->clear();
    const char *p = name;
    while (*p) {
        const char *end = strchr(p, '/');
        size_t n = end ? static_cast<size_t>(end - p) : strlen(p);
        std::string part(p, n);
        if (part == "..")
            return false;
        if (!part.empty() && part != ".") {
            if (!out->empty())
                out->push_back('/');
            out->append(part);
        }
        p += n;
        if (*p == '/')
            ++p;
    }
    return true;
}

// True when some leading folder of `path` is a symbolic link made earlier by
// the archive.
bool through_link(const std::string &path, const std::set<std::string> &links) {
    for (size_t at = path.find('/'); at != std::string::npos; at = path.find('/', at + 1)) {
        if (links.count(path.substr(0, at)))
            return true;
    }
    return false;
}

// Walks every member header, refusing what could write outside the folder.
// Returns an empty text when the archive may be unpacked.
std::string vet(struct archive *a) {
    std::set<std::string> links;
    uint64_t bytes = 0;
    unsigned members = 0;
    struct archive_entry *e;
    int rc;
    while ((rc = archive_read_next_header(a, &e)) == ARCHIVE_OK) {
        const char *name = archive_entry_pathname(e);
        std::string path, target;
        if (!normalise(name, &path))
            return std::string("member outside the folder: ") + (name ? name : "(no name)");
        if (through_link(path, links))
            return std::string("member behind a symbolic link: ") + name;
        const char *hard = archive_entry_hardlink(e);
        mode_t type = archive_entry_filetype(e);
        if (hard) {
            if (!normalise(hard, &target) || target.empty() || through_link(target, links))
                return std::string("hard link outside the folder: ") + name;
            if (archive_entry_size(e) > 0)
                return std::string("hard link with data: ") + name;
        } else if (type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK) {
            return std::string("member of a refused kind: ") + name;
        }
        if (type == AE_IFLNK && !hard)
            links.insert(path);
        else
            links.erase(path);
        int64_t size = archive_entry_size(e);
        bytes += size > 0 ? static_cast<uint64_t>(size) : 0;
        if (++members > SC_ARCHIVE_MAX_MEMBERS || bytes > SC_ARCHIVE_MAX_BYTES)
            return "archive too large";
    }
    if (rc != ARCHIVE_EOF)
        return std::string("unreadable archive: ") + (archive_error_string(a) ? archive_error_string(a) : "");
    return "";
}

// Removes everything inside `dir` (links themselves, never what they point
// at). False when something stays.
bool empty_folder(const std::string &dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    for (auto it = std::filesystem::directory_iterator(dir, ec); !ec && it != std::filesystem::directory_iterator();
         it.increment(ec)) {
        std::filesystem::remove_all(it->path(), ec);
        if (ec)
            return false;
    }
    return !ec;
}

bool copy_data(struct archive *in, struct archive *out) {
    const void *block;
    size_t size;
    la_int64_t offset;
    int rc;
    while ((rc = archive_read_data_block(in, &block, &size, &offset)) == ARCHIVE_OK) {
        if (archive_write_data_block(out, block, size, offset) != ARCHIVE_OK)
            return false;
    }
    return rc == ARCHIVE_EOF;
}

// Unpacks every member of an archive that `vet` accepted below `dir`.
std::string unpack(struct archive *a, const std::string &dir) {
    unique_writer disk(archive_write_disk_new());
    if (!disk)
        return "out of memory";
    // The names were vetted and the folder emptied, so nothing in it can be a
    // link the archive did not make; existing objects are replaced, never
    // written through.
    archive_write_disk_set_options(disk.get(), ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_UNLINK |
                                                   ARCHIVE_EXTRACT_SECURE_NODOTDOT);
    struct archive_entry *e;
    int rc;
    while ((rc = archive_read_next_header(a, &e)) == ARCHIVE_OK) {
        std::string path, target;
        normalise(archive_entry_pathname(e), &path);
        if (path.empty())
            continue; // the folder itself
        archive_entry_set_pathname(e, (dir + "/" + path).c_str());
        if (const char *hard = archive_entry_hardlink(e)) {
            normalise(hard, &target);
            archive_entry_set_hardlink(e, (dir + "/" + target).c_str());
        }
        archive_entry_set_uid(e, getuid());
        archive_entry_set_gid(e, getgid());
        if (archive_write_header(disk.get(), e) != ARCHIVE_OK ||
            (archive_entry_size(e) > 0 && !copy_data(a, disk.get())) ||
            archive_write_finish_entry(disk.get()) != ARCHIVE_OK)
            return std::string("can not unpack ") + path + ": " + archive_error_string(disk.get());
    }
    if (rc != ARCHIVE_EOF)
        return "unreadable archive";
    return archive_write_close(disk.get()) == ARCHIVE_OK ? "" : "can not finish unpacking";
}

int extract(const std::function<int(struct archive *)> &open, const char *what, const char *dir, std::string *why) {
    std::string reason;
    unique_reader a = open_reader(open);
    if (!a)
        reason = "can not open archive";
    else
        reason = vet(a.get());
    if (reason.empty()) {
        a = open_reader(open);
        if (!a)
            reason = "can not open archive";
        else if (!empty_folder(dir))
            reason = "can not empty the folder";
        else
            reason = unpack(a.get(), dir);
    }
    if (reason.empty())
        return 0;
    tarvid_log(LOG_ERR, "SC2.0 - Can not unpack %s into %s : %s !!", what, dir, reason.c_str());
    if (why)
        *why = reason;
    return -1;
}

// Adds `rel` (below `root`) and, for a folder, everything below it in name
// order. False when the archive could not be written.
bool add_tree(struct archive *out, const std::string &root, const std::string &rel) {
    std::string full = rel.empty() ? root : root + "/" + rel;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0)
        return true; // gone meanwhile
    unique_entry e(archive_entry_new());
    if (!e)
        return false;
    archive_entry_copy_stat(e.get(), &st);
    archive_entry_set_uid(e.get(), 0);
    archive_entry_set_gid(e.get(), 0);
    archive_entry_copy_pathname(e.get(), rel.empty() ? "./" : ("./" + rel).c_str());
    if (S_ISLNK(st.st_mode)) {
        char target[4096];
        ssize_t n = readlink(full.c_str(), target, sizeof target - 1);
        if (n < 0)
            return true;
        target[n] = '\0';
        archive_entry_copy_symlink(e.get(), target);
    } else if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        tarvid_log(LOG_WARNING, "SC2.0 - %s is no file or folder, not archived !!", full.c_str());
        return true;
    }
    int fd = -1;
    if (S_ISREG(st.st_mode) && (fd = open(full.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW)) < 0)
        return true;
    bool ok = archive_write_header(out, e.get()) == ARCHIVE_OK;
    if (fd >= 0) {
        char buf[16384];
        ssize_t n;
        off_t left = st.st_size; // the header announced this many bytes
        while (ok && left > 0 && (n = read(fd, buf, sizeof buf)) > 0) {
            size_t take = static_cast<size_t>(std::min<off_t>(n, left));
            ok = archive_write_data(out, buf, take) == static_cast<la_ssize_t>(take);
            left -= static_cast<off_t>(take);
        }
        close(fd);
    }
    if (!ok || !S_ISDIR(st.st_mode))
        return ok;
    std::vector<std::string> names;
    if (DIR *d = opendir(full.c_str())) {
        while (struct dirent *de = readdir(d)) {
            if (strcmp(de->d_name, ".") != 0 && strcmp(de->d_name, "..") != 0)
                names.emplace_back(de->d_name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    for (const std::string &n : names) {
        if (!add_tree(out, root, rel.empty() ? n : rel + "/" + n))
            return false;
    }
    return true;
}

} // namespace

int sc_archive_create(const char *dir, const char *file) {
    unique_writer a(archive_write_new());
    bool ok = a && archive_write_add_filter_gzip(a.get()) == ARCHIVE_OK &&
              archive_write_set_format_pax_restricted(a.get()) == ARCHIVE_OK &&
              archive_write_open_filename(a.get(), file) == ARCHIVE_OK;
    struct stat st;
    if (ok && (stat(dir, &st) != 0 || !S_ISDIR(st.st_mode)))
        ok = false;
    ok = ok && add_tree(a.get(), dir, "");
    if (a && archive_write_close(a.get()) != ARCHIVE_OK)
        ok = false;
    if (!ok) {
        tarvid_log(LOG_ERR, "SC2.0 - Can not archive %s into %s : %s !!", dir, file,
                   a && archive_error_string(a.get()) ? archive_error_string(a.get()) : strerror(errno));
        unlink(file);
        return -1;
    }
    return 0;
}

int sc_archive_extract(const char *file, const char *dir, std::string *why) {
    auto open = [file](struct archive *a) { return archive_read_open_filename(a, file, 16384); };
    return extract(open, file, dir, why);
}

int sc_archive_extract_mem(const void *buf, size_t len, const char *dir, std::string *why) {
    auto open = [buf, len](struct archive *a) { return archive_read_open_memory(a, buf, len); };
    return extract(open, "archive", dir, why);
}

int sc_archive_list(const void *buf, size_t len, std::vector<std::string> *names) {
    unique_reader a = open_reader([buf, len](struct archive *r) { return archive_read_open_memory(r, buf, len); });
    if (!a)
        return -1;
    struct archive_entry *e;
    int rc;
    while ((rc = archive_read_next_header(a.get(), &e)) == ARCHIVE_OK) {
        const char *name = archive_entry_pathname(e);
        names->emplace_back(name ? name : "");
    }
    return rc == ARCHIVE_EOF ? 0 : -1;
}
