#include "sc_data.h"

#include <cstring>

namespace {

bool usable(const struct bfCacheBuffer_s *cache) {
    return cache && cache->buffer && cache->nBufSize >= 1 && cache->nPos >= 0 && cache->nPos <= cache->nBufSize;
}

} // namespace

bool sc_CacheFlushToFile(struct bfCacheBuffer_s *cache) {
    if (!usable(cache) || cache->fh == -1)
        return false;
    if (cache->nPos == 0)
        return true;
    if (sc_dev_writeFile(cache->fh, cache->buffer, cache->nPos) != 0)
        return false;
    cache->nPos = 0;
    return true;
}

bool sc_CacheWriteBinData(struct bfCacheBuffer_s *cache, const void *data, s_32 nDataLen) {
    if (!usable(cache) || !data || cache->fh == -1)
        return false;
    if (nDataLen < 1)
        return true;
    if (nDataLen > cache->nBufSize - cache->nPos && !sc_CacheFlushToFile(cache))
        return false;
    if (nDataLen >= cache->nBufSize)
        return sc_dev_writeFile(cache->fh, data, nDataLen) == 0;
    memcpy(cache->buffer + cache->nPos, data, static_cast<size_t>(nDataLen));
    cache->nPos += nDataLen;
    return true;
}

bool sc_CacheReadBinData(struct bfCacheBuffer_s *cache, void *data, s_32 nDataLen) {
    if (nDataLen < 1)
        return true;
    if (!usable(cache) || !data || nDataLen > cache->nBufSize - cache->nPos)
        return false;
    memcpy(data, cache->buffer + cache->nPos, static_cast<size_t>(nDataLen));
    cache->nPos += nDataLen;
    return true;
}
