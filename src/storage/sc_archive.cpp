#include "sc_archive.h"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>

#include "log.h"
#include "unique.h"

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

// True when a symbolic link at `path` (normalised) pointing at `target`
// resolves inside the folder, whatever the links it meets: the target is
// relative, and its ".." components all come first and climb no higher than
// the link's own folder. A ".." after another component could climb out
// through a link to "." and is refused.
bool link_stays_inside(const std::string &path, const char *target) {
    if (!target || !*target || target[0] == '/' || strlen(target) > SC_ARCHIVE_MAX_NAME)
        return false;
    size_t depth = static_cast<size_t>(std::count(path.begin(), path.end(), '/'));
    bool climbing = true;
    for (const char *p = target; *p;) {
        size_t n = strcspn(p, "/");
        std::string part(p, n);
        if (part == "..") {
            if (!climbing || depth == 0)
                return false;
            --depth;
        } else if (!part.empty() && part != ".") {
            climbing = false;
        }
        p += n;
        if (*p == '/')
            ++p;
    }
    return true;
}

enum class Kind { Folder, File, Link };

// Applies the rules to the members of one archive in order. It knows what
// each name already is, so that the archive as a whole, not only each
// member, stays inside the folder.
class Vetter {
  public:
    explicit Vetter(uint64_t maxBytes) : maxBytes_(maxBytes) {}

    // Admits member `e`: its normalised name in *path ("" for the folder
    // itself) and, for a hard link, the normalised name of its target in
    // *target. Returns an empty text, or the reason for refusing the archive.
    std::string admit(struct archive_entry *e, std::string *path, std::string *target) {
        const char *name = archive_entry_pathname(e);
        if (!normalise(name, path))
            return std::string("member outside the folder: ") + (name ? name : "(no name)");
        if (path->size() > SC_ARCHIVE_MAX_NAME)
            return "member name too long";
        int64_t size = archive_entry_size(e);
        bytes_ += size > 0 ? static_cast<uint64_t>(size) : 0;
        if (++members_ > SC_ARCHIVE_MAX_MEMBERS || bytes_ > maxBytes_)
            return "archive too large";
        for (size_t at = path->find('/'); at != std::string::npos; at = path->find('/', at + 1)) {
            auto it = kinds_.emplace(path->substr(0, at), Kind::Folder).first;
            if (it->second == Kind::Link)
                return std::string("member behind a symbolic link: ") + name;
            if (it->second == Kind::File)
                return std::string("member inside a file: ") + name;
        }
        Kind kind;
        const char *hard = archive_entry_hardlink(e);
        mode_t type = archive_entry_filetype(e);
        if (hard) {
            auto it = kinds_.end();
            if (normalise(hard, target))
                it = kinds_.find(*target);
            if (it == kinds_.end() || it->second != Kind::File || *target == *path)
                return std::string("hard link to no file of the archive: ") + name;
            if (size > 0)
                return std::string("hard link with data: ") + name;
            kind = Kind::File;
        } else if (type == AE_IFREG) {
            kind = Kind::File;
        } else if (type == AE_IFDIR) {
            kind = Kind::Folder;
        } else if (type == AE_IFLNK) {
            if (!link_stays_inside(*path, archive_entry_symlink(e)))
                return std::string("symbolic link out of the folder: ") + name;
            kind = Kind::Link;
        } else {
            return std::string("member of a refused kind: ") + name;
        }
        if (path->empty())
            return kind == Kind::Folder ? "" : "the folder itself is no folder";
        auto [it, fresh] = kinds_.emplace(*path, kind);
        if (!fresh && it->second != kind)
            return std::string("member changes kind: ") + name;
        return "";
    }

  private:
    std::map<std::string, Kind> kinds_;
    uint64_t maxBytes_;
    uint64_t bytes_ = 0;
    unsigned members_ = 0;
};

// The byte bound for an extraction into a folder on the file system of
// `near`: the fixed bound, or half the room left there when that is less.
uint64_t byte_bound(const std::string &near) {
    uint64_t bound = SC_ARCHIVE_MAX_BYTES;
    struct statvfs fs;
    if (statvfs(near.c_str(), &fs) == 0) {
        uint64_t room = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize / 2;
        bound = std::min(bound, room);
    }
    return bound;
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

// Reads every member of `a` through `vet`; with a `disk` writer, also writes
// each admitted member below the fresh folder `stage`. Returns an empty text,
// or the reason for refusing the archive.
std::string unpack(struct archive *a, Vetter &vet, struct archive *disk, const std::string &stage) {
    struct archive_entry *e;
    int rc;
    while ((rc = archive_read_next_header(a, &e)) == ARCHIVE_OK) {
        std::string path, target;
        std::string reason = vet.admit(e, &path, &target);
        if (!reason.empty())
            return reason;
        if (!disk || path.empty())
            continue; // the data is skipped by the next header
        archive_entry_set_pathname(e, (stage + "/" + path).c_str());
        if (archive_entry_hardlink(e))
            archive_entry_set_hardlink(e, (stage + "/" + target).c_str());
        archive_entry_set_uid(e, getuid());
        archive_entry_set_gid(e, getgid());
        // No set-id or sticky bits and no write for others; the daemon keeps
        // the right to rewrite what it unpacked.
        mode_t own = archive_entry_filetype(e) == AE_IFDIR ? S_IRWXU : (S_IRUSR | S_IWUSR);
        archive_entry_set_perm(e, static_cast<mode_t>((archive_entry_perm(e) & 0755) | own));
        if (archive_write_header(disk, e) != ARCHIVE_OK || (archive_entry_size(e) > 0 && !copy_data(a, disk)) ||
            archive_write_finish_entry(disk) != ARCHIVE_OK)
            return std::string("can not unpack ") + path + ": " +
                   (archive_error_string(disk) ? archive_error_string(disk) : "");
    }
    if (rc != ARCHIVE_EOF)
        return std::string("unreadable archive: ") + (archive_error_string(a) ? archive_error_string(a) : "");
    if (disk && archive_write_close(disk) != ARCHIVE_OK)
        return "can not finish unpacking";
    return "";
}

// Where an extraction into `dir` works: *target is `dir` with its folder
// resolved (so that the private folder lies on the same file system and no
// link in the path is met later), *parent that folder. False when `dir` names
// no folder that could be replaced.
bool place_of(const char *dir, std::string *parent, std::string *target) {
    if (!dir || !*dir)
        return false;
    std::filesystem::path p(dir);
    while (p.has_relative_path() && p.filename().empty())
        p = p.parent_path(); // trailing slashes
    std::string name = p.filename().string();
    if (name.empty() || name == "." || name == "..")
        return false;
    std::error_code ec;
    std::filesystem::path up = p.parent_path().empty() ? std::filesystem::path(".") : p.parent_path();
    std::filesystem::create_directories(up, ec);
    char *real = realpath(up.c_str(), nullptr);
    if (!real)
        return false;
    *parent = real;
    free(real);
    *target = (*parent == "/" ? "" : *parent) + "/" + name;
    return true;
}

// Puts the finished folder `stage` in the place of `target` and removes what
// was there. False (and `target` as it was) when it could not.
bool take_place(const std::string &stage, const std::string &target) {
    struct stat st;
    if (lstat(target.c_str(), &st) != 0) {
        chmod(stage.c_str(), 0755);
        return rename(stage.c_str(), target.c_str()) == 0;
    }
    if (!S_ISDIR(st.st_mode))
        return false;
    chmod(stage.c_str(), st.st_mode & 07777);
    std::error_code ec;
    if (renameat2(AT_FDCWD, stage.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0) {
        std::filesystem::remove_all(stage, ec);
        return true;
    }
    // A file system without the exchange: two renames.
    std::string old = stage + ".old";
    if (rename(target.c_str(), old.c_str()) != 0)
        return false;
    if (rename(stage.c_str(), target.c_str()) != 0) {
        rename(old.c_str(), target.c_str());
        return false;
    }
    std::filesystem::remove_all(old, ec);
    return true;
}

// Reads the whole archive that `open` attaches through the rules, writing
// nothing; `near` is a folder on the file system that would take it.
// Returns an empty text, or the reason for refusing the archive.
std::string check(const std::function<int(struct archive *)> &open, const std::string &near) {
    unique_reader a = open_reader(open);
    if (!a)
        return "can not open archive";
    Vetter vet(byte_bound(near));
    return unpack(a.get(), vet, nullptr, "");
}

// A new private folder beside `target` in `parent`; empty when it could not
// be made.
std::string make_stage(const std::string &parent, const std::string &target) {
    std::string tmpl = parent + "/." + std::filesystem::path(target).filename().string() + ".new.XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    return mkdtemp(name.data()) ? std::string(name.data()) : std::string();
}

// Writes every member into the private folder `stage` and, when all are in,
// puts it in the place of `target`. Returns an empty text or the reason.
std::string write_stage(const std::function<int(struct archive *)> &open, const std::string &parent,
                        const std::string &stage, const std::string &target) {
    unique_reader a = open_reader(open);
    unique_writer disk(archive_write_disk_new());
    if (!a || !disk)
        return "can not open archive";
    // Second wall behind the vetting: the writer itself refuses to go
    // through a link or up a "..". Absolute names cannot be refused by it,
    // as every name it gets lies in the private folder; the vetting refuses
    // absolute member names.
    archive_write_disk_set_options(disk.get(), ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_UNLINK |
                                                   ARCHIVE_EXTRACT_SECURE_SYMLINKS | ARCHIVE_EXTRACT_SECURE_NODOTDOT);
    // The rules again: the archive is read anew.
    Vetter vet(byte_bound(parent));
    std::string reason = unpack(a.get(), vet, disk.get(), stage);
    if (reason.empty() && !take_place(stage, target))
        reason = std::string("can not replace the folder: ") + strerror(errno);
    return reason;
}

int extract(const std::function<int(struct archive *)> &open, const char *what, const char *dir, std::string *why) {
    std::string reason, parent, target;
    // A refused archive is found out before anything is written.
    if (!place_of(dir, &parent, &target))
        reason = "no folder to unpack into";
    else
        reason = check(open, parent);
    if (reason.empty()) {
        std::string stage = make_stage(parent, target);
        if (stage.empty()) {
            reason = std::string("can not make a private folder: ") + strerror(errno);
        } else {
            reason = write_stage(open, parent, stage, target);
            std::error_code ec;
            std::filesystem::remove_all(stage, ec); // gone already on success
        }
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
    // A link in the archive's place is replaced, never written through.
    unlink(file);
    unique_fd fd(open(file, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
    bool ok = a && fd.get() >= 0 && archive_write_add_filter_gzip(a.get()) == ARCHIVE_OK &&
              archive_write_set_format_pax_restricted(a.get()) == ARCHIVE_OK &&
              archive_write_open_fd(a.get(), fd.get()) == ARCHIVE_OK;
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

int sc_archive_check_mem(const void *buf, size_t len, const char *dir, std::string *why) {
    auto open = [buf, len](struct archive *a) { return archive_read_open_memory(a, buf, len); };
    // The nearest folder that exists: the one whose file system takes the
    // members.
    std::filesystem::path near(dir ? dir : ".");
    std::error_code ec;
    while (near.has_relative_path() && !std::filesystem::is_directory(near, ec))
        near = near.parent_path();
    std::string reason = check(open, near.empty() ? std::string(".") : near.string());
    if (why)
        *why = reason;
    return reason.empty() ? 0 : -1;
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
