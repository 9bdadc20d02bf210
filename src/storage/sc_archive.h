// The tree's working folder as a gzip-compressed tar archive, made and
// unpacked in-process. Members are named relative to the folder ("./...").
// Unpacking treats the archive as untrusted and is confined as a whole: the
// members go into a fresh private folder beside the target, which takes the
// target's place only once every member is in; a refused or failed archive
// leaves the target as it was and nothing behind. The calls take no lock and
// keep no state.
#ifndef TARVI_SC_ARCHIVE_H
#define TARVI_SC_ARCHIVE_H

#include <cstddef>
#include <string>
#include <vector>

// Bounds on what one archive may unpack to; the working folder lives in RAM.
// The byte bound is lowered further to half the room left on the target's
// file system, so that a small archive cannot fill the RAM disk.
#define SC_ARCHIVE_MAX_MEMBERS 10000
#define SC_ARCHIVE_MAX_BYTES (16u * 1024 * 1024)
// Longest member name and symbolic link target, in bytes: with the folder's
// own path the whole stays well below PATH_MAX.
#define SC_ARCHIVE_MAX_NAME 1024

// Archives the contents of folder `dir` (folders, regular files, symbolic
// links; other kinds are skipped) into the file `file`, replacing it.
// Returns 0, or -1 (logged) with no file left behind.
int sc_archive_create(const char *dir, const char *file);

// Replaces folder `dir` (created when missing) by the members of the archive
// file `file` / of the `len` bytes at `buf`. Refused, with `dir` untouched:
// absolute names and ".." components; a member reached through a symbolic
// link or a file; a name that changes kind (file, folder, link); symbolic
// links that are absolute or climb out of the folder; hard links to anything
// but a file the archive already holds, or with data; device nodes, FIFOs and
// sockets; names longer than SC_ARCHIVE_MAX_NAME; archives beyond the bounds
// above. Plain (uncompressed) tar is accepted too. Special permission bits
// and group and other write permission are dropped.
// Returns 0, or -1 with the reason in *why (when given) and logged.
int sc_archive_extract(const char *file, const char *dir, std::string *why = nullptr);
int sc_archive_extract_mem(const void *buf, size_t len, const char *dir, std::string *why = nullptr);

// Reads the whole archive at `buf` and applies every rule of the extraction
// into `dir` without writing anything. Returns 0 when the extraction would
// be accepted, or -1 with the reason in *why (when given); logs nothing.
int sc_archive_check_mem(const void *buf, size_t len, const char *dir, std::string *why = nullptr);

// The member names of the archive at `buf`, in archive order. Returns 0, or
// -1 when it cannot be read to its end.
int sc_archive_list(const void *buf, size_t len, std::vector<std::string> *names);

#endif
