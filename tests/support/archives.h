// Tar archives built member by member, hostile ones included, and what tells
// whether unpacking one kept its promises.
#ifndef TARVI_TEST_ARCHIVES_H
#define TARVI_TEST_ARCHIVES_H

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

struct ArchiveMember {
    enum Type { File, Folder, Link, HardLink, Fifo, CharDev } type;
    std::string name;
    std::string data; // a file's bytes, or the target of a link or hard link
};

// A gzip-compressed pax archive of `members`, names and targets as given.
inline std::string make_archive(const std::vector<ArchiveMember> &members) {
    static const mode_t types[] = {AE_IFREG, AE_IFDIR, AE_IFLNK, AE_IFREG, AE_IFIFO, AE_IFCHR};
    struct archive *a = archive_write_new();
    archive_write_add_filter_gzip(a);
    archive_write_set_format_pax_restricted(a);
    archive_write_set_bytes_in_last_block(a, 1);
    std::string out;
    archive_write_open(
        a, &out, nullptr,
        [](struct archive *, void *to, const void *buf, size_t n) -> la_ssize_t {
            static_cast<std::string *>(to)->append(static_cast<const char *>(buf), n);
            return static_cast<la_ssize_t>(n);
        },
        nullptr);
    for (const ArchiveMember &m : members) {
        struct archive_entry *e = archive_entry_new();
        archive_entry_copy_pathname(e, m.name.c_str());
        archive_entry_set_filetype(e, types[m.type]);
        archive_entry_set_perm(e, m.type == ArchiveMember::Folder ? 0755 : 0644);
        archive_entry_set_rdev(e, makedev(1, 3));
        if (m.type == ArchiveMember::File)
            archive_entry_set_size(e, static_cast<la_int64_t>(m.data.size()));
        if (m.type == ArchiveMember::Link)
            archive_entry_copy_symlink(e, m.data.c_str());
        if (m.type == ArchiveMember::HardLink)
            archive_entry_copy_hardlink(e, m.data.c_str());
        archive_write_header(a, e);
        if (m.type == ArchiveMember::File)
            archive_write_data(a, m.data.data(), m.data.size());
        archive_entry_free(e);
    }
    archive_write_free(a); // closes it
    return out;
}

// Every object below `dir` (not following links) with its kind, permissions
// and contents (line breaks escaped) or link target, one line each in name
// order, but those whose path below `dir` begins with `skip` (when given);
// "(missing)" when `dir` is not there.
inline std::string folder_fingerprint(const std::string &dir, const std::string &skip = "") {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(dir, ec)))
        return "(missing)";
    std::vector<std::string> lines;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        struct stat st;
        std::string path = it->path().string(), line;
        if ((!skip.empty() && path.compare(dir.size(), skip.size(), skip) == 0) || lstat(path.c_str(), &st) != 0)
            continue;
        if (S_ISLNK(st.st_mode))
            line = "-> " + fs::read_symlink(it->path(), ec).string();
        std::ifstream in(S_ISREG(st.st_mode) ? path : "", std::ios::binary);
        for (auto c = std::istreambuf_iterator<char>(in); c != std::istreambuf_iterator<char>(); ++c)
            line += *c == '\n' ? std::string("\\n") : *c == '\\' ? std::string("\\\\") : std::string(1, *c);
        lines.push_back(path.substr(dir.size()) + " " + std::to_string(st.st_mode) + " " + line);
    }
    std::sort(lines.begin(), lines.end());
    std::string all;
    for (const std::string &l : lines)
        all += l + "\n";
    return all;
}

// The first symbolic link below `dir` that resolves outside it, or "" when
// every link stays inside (or cannot be resolved at all, as a loop).
inline std::string link_leaving(const std::string &dir) {
    namespace fs = std::filesystem;
    std::error_code ec, rc;
    fs::path top = fs::canonical(dir, ec);
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        fs::path to = it->is_symlink(rc) ? fs::weakly_canonical(it->path(), rc) : top;
        std::string rel = rc ? "." : to.lexically_relative(top).string();
        if (rel.empty() || rel.rfind("..", 0) == 0)
            return it->path().string() + " -> " + to.string();
    }
    return "";
}

#endif
