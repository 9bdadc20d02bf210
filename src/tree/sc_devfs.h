// File layer of the tree code: binary files addressed by a small handle.
// Paths are used as given, except the fixed tree file name, which lies under
// the device root.
#ifndef TARVI_SC_DEVFS_H
#define TARVI_SC_DEVFS_H

#include "libtarvi.h"

// An open file (a descriptor, opened close-on-exec); -1 when none is open.
typedef s_32 sc_fh;

enum sc_FileOpenMode {
    SC_FOM_OPEN_FOR_READ = 0,
    SC_FOM_OPEN_FOR_WRITE = 1,
    SC_FOM_OPEN_FOR_READ_WRITE = 2,
    SC_FOM_OPEN_FOR_APPEND = 8,
};

// Opens `fileName`: read-write if that bit is set, else append, else write
// (created or truncated), else read. Returns the handle or -1.
sc_fh sc_dev_openFile(const char *fileName, int mode);

// Closes `f`; -1 is ignored.
void sc_dev_closeFile(sc_fh f);

// Transfer exactly the requested count: 0, or -1 on a short transfer, an
// error or handle -1.
int sc_dev_readFile(sc_fh f, void *buffer, s_32 nReadSize);
int sc_dev_writeFile(sc_fh f, const void *buffer, s_32 nWriteSize);

// Size of the file in bytes, -1 when it cannot be opened.
s_32 sc_dev_getFileSize(const char *fileName);

// 1 when the file opens for reading, else 0.
int sc_dev_fileExist(const char *fileName);

// 0 when the file was removed or did not exist, -1 when removal failed.
int sc_dev_removeFile(const char *fileName);

// Moves the file position (origin SEEK_SET, SEEK_CUR or SEEK_END): 1 on
// success, 0 on failure or for handle -1.
int sc_dev_seek(sc_fh f, s_32 offset, int origin_pos);

// The tree file "/tmp/sc/treetree.dat" under the device root. The text lives
// in a static buffer that the next call rewrites.
const char *sc_dev_getObjTreeFileName();
const char *sc_dev_getWriteTreeFileName();

// Nothing to clean up yet; traces its call.
void sc_dev_Clearup_File();

#endif
