// The tree's working folder as a gzip-compressed tar archive, made and
// unpacked in-process. Members are named relative to the folder ("./...").
// Unpacking treats the archive as untrusted: it writes nothing outside the
// target folder. The calls take no lock and keep no state.
#ifndef TARVI_SC_ARCHIVE_H
#define TARVI_SC_ARCHIVE_H

#include <cstddef>
#include <string>
#include <vector>

// Bounds on what one archive may unpack to; the working folder lives in RAM.
#define SC_ARCHIVE_MAX_MEMBERS 10000
#define SC_ARCHIVE_MAX_BYTES (32u * 1024 * 1024)

// Archives the contents of folder `dir` (folders, regular files, symbolic
// links; other kinds are skipped) into the file `file`, replacing it.
// Returns 0, or -1 (logged) with no file left behind.
int sc_archive_create(const char *dir, const char *file);

// Replaces the contents of folder `dir` (created when missing) by the members
// of the archive file `file` / of the `len` bytes at `buf`. Every member is
// checked before anything is touched: absolute names, ".." components,
// members reached through a symbolic link of the archive, device nodes,
// FIFOs, sockets and hard links with data refuse the whole archive, and so do
// archives beyond the bounds above. Plain (uncompressed) tar is accepted too.
// Returns 0, or -1 with the reason in *why (when given) and logged.
int sc_archive_extract(const char *file, const char *dir, std::string *why = nullptr);
int sc_archive_extract_mem(const void *buf, size_t len, const char *dir, std::string *why = nullptr);

// The member names of the archive at `buf`, in archive order. Returns 0, or
// -1 when it cannot be read to its end.
int sc_archive_list(const void *buf, size_t len, std::vector<std::string> *names);

#endif
