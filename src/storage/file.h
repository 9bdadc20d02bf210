// Text-file storage backend: defaults from the ".cfg" files of the firmware
// folder "/usr/cfg" (one container per file), factory overrides from
// "/mnt/default.cfg", user values from one file per container in "/mnt/tarvi",
// backups as one text file behind a checksummed 32-byte header. Every file
// holds "key=value" lines.
//
// All operations rebuild or read the flat store, so the caller holds
// MutexConfig. Each returns 0 on success and -1 on failure.
#ifndef TARVI_FILE_H
#define TARVI_FILE_H

#include "backend.h"
#include "list.h"

// Fills `op` with the operations below (`dump` stays empty). Returns 0.
int file_init(struct operator_table *op);

// Writes the user file of every container changed since the last flush (of
// every container when `force` != 0), each through "<name>.1" and a rename;
// creates "/mnt/tarvi" when it is missing. Stops at the first failure, leaving
// the containers not yet written flagged as changed.
int file_flush(int force);

// Rebuilds the store from the ".cfg" files and the factory overrides, and with
// `user` != 0 also from the user files. On failure the store is unchanged.
int file_reload(int user);

// Sets or adds a factory override and rewrites "/mnt/default.cfg"; the visible
// value changes at the next reload. Keys that are empty or hold '=' or a
// newline, and values that hold a newline, are refused.
int file_dset(const char *key, const char *value);

// Removes a factory override and rewrites "/mnt/default.cfg".
int file_dunset(const char *key);

// Reloads the defaults (without user files) and writes them into every user
// file. `firmware` is not used.
int file_restore_default(int firmware);

// Writes the store to the file `cfgFile` (used as given; null or empty means
// "/var/run/tarvi.bak").
int file_backup_cfgfile(const char *cfgFile);

// Takes the values of a backup file into the store's known keys and writes
// every user file. Refuses a file whose header or checksum is wrong (unless the
// header's flags say the checksum is not to be checked).
int file_restore_cfgfile(const char *cfgFile);

// Reads the "key=value" lines of the text file `path`, as this backend reads
// every file, into new entries appended to `head` (linked through
// config::sibling; no container, not hashed; the caller frees them). Returns
// 0; -1 when it is no regular file or cannot be read; -2 when memory runs out.
int file_read_config(const char *path, struct list *head);

// Backup file header: ver (1), flags, "KZ", 16-byte MD5, 12 reserved bytes.
#define FILE_BACKUP_HEADER_SIZE 32
#define FILE_BACKUP_VERSION 1
// Header flag: restore without checking the checksum.
#define FILE_BACKUP_FLAG_NO_CKSUM 1

#endif
