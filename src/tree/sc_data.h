// Cache buffer: batches small binary writes to a file in caller-provided
// storage, and reads back from such storage.
#ifndef TARVI_SC_DATA_H
#define TARVI_SC_DATA_H

#include "libtarvi.h"
#include "sc_devfs.h"

struct bfCacheBuffer_s {
    sc_fh fh;      // file written to
    u_8 *buffer;   // caller-provided storage
    s_32 nBufSize; // its size
    s_32 nPos;     // bytes buffered, or the read position
};

// Appends `nDataLen` bytes, flushing first when they do not fit behind nPos;
// data of nBufSize bytes or more goes straight to the file. True on success
// and for a length below 1; false for an unusable cache or a failed write.
bool sc_CacheWriteBinData(struct bfCacheBuffer_s *cache, const void *data, s_32 nDataLen);

// Writes the buffered bytes and resets nPos. True on success or when nothing
// is buffered; false for an unusable cache or a failed write.
bool sc_CacheFlushToFile(struct bfCacheBuffer_s *cache);

// Copies `nDataLen` bytes from the buffer at nPos and advances nPos. True on
// success and for a length below 1; false when the request goes past nBufSize
// (or the cache is unusable).
bool sc_CacheReadBinData(struct bfCacheBuffer_s *cache, void *data, s_32 nDataLen);

#endif
