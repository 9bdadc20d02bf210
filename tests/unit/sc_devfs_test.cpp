// File layer and cache buffer of the tree code.
#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

#include "sc_data.h"
#include "sc_devfs.h"
#include "scratch.h"

TEST(ScDevfs, OpenModesTransfersAndRemoval) {
    ScratchRoot root;
    std::string path = root.at("/f.bin");
    EXPECT_EQ(-1, sc_dev_openFile(path.c_str(), SC_FOM_OPEN_FOR_READ));
    EXPECT_EQ(-1, sc_dev_getFileSize(path.c_str()));
    EXPECT_EQ(0, sc_dev_fileExist(path.c_str()));
    EXPECT_EQ(0, sc_dev_removeFile(path.c_str()));

    sc_fh f = sc_dev_openFile(path.c_str(), SC_FOM_OPEN_FOR_WRITE);
    ASSERT_GE(f, 0);
    EXPECT_EQ(0, sc_dev_writeFile(f, "hello", 5));
    sc_dev_closeFile(f);
    f = sc_dev_openFile(path.c_str(), SC_FOM_OPEN_FOR_APPEND | SC_FOM_OPEN_FOR_WRITE);
    EXPECT_EQ(0, sc_dev_writeFile(f, " world", 6));
    sc_dev_closeFile(f);
    EXPECT_EQ(11, sc_dev_getFileSize(path.c_str()));

    // Read-write wins over append: writes land where the position is.
    f = sc_dev_openFile(path.c_str(), SC_FOM_OPEN_FOR_READ_WRITE | SC_FOM_OPEN_FOR_APPEND);
    EXPECT_EQ(1, sc_dev_seek(f, 6, SEEK_SET));
    EXPECT_EQ(0, sc_dev_writeFile(f, "W", 1));
    sc_dev_closeFile(f);
    EXPECT_EQ("hello World", root.read("/f.bin"));

    f = sc_dev_openFile(path.c_str(), SC_FOM_OPEN_FOR_READ);
    char buf[16] = {};
    EXPECT_EQ(0, sc_dev_readFile(f, buf, 5));
    EXPECT_STREQ("hello", buf);
    EXPECT_EQ(-1, sc_dev_readFile(f, buf, 10)); // only 6 left
    EXPECT_EQ(0, sc_dev_seek(f, -100, SEEK_SET));
    sc_dev_closeFile(f);

    EXPECT_EQ(-1, sc_dev_readFile(-1, buf, 1));
    EXPECT_EQ(-1, sc_dev_writeFile(-1, buf, 1));
    EXPECT_EQ(0, sc_dev_seek(-1, 0, SEEK_SET));
    sc_dev_closeFile(-1);

    EXPECT_EQ(1, sc_dev_fileExist(path.c_str()));
    EXPECT_EQ(0, sc_dev_removeFile(path.c_str()));
    EXPECT_FALSE(root.exists("/f.bin"));
    EXPECT_EQ(root.at("/tmp/sc/treetree.dat"), sc_dev_getObjTreeFileName());
    EXPECT_EQ(root.at("/tmp/sc/treetree.dat"), sc_dev_getWriteTreeFileName());
}

TEST(ScCache, BatchesSmallWritesAndPassesLargeOnes) {
    ScratchRoot root;
    std::string path = root.at("/cache.bin");
    u_8 storage[8];
    bfCacheBuffer_s cache{sc_dev_openFile(path.c_str(), SC_FOM_OPEN_FOR_WRITE), storage, sizeof storage, 0};
    ASSERT_GE(cache.fh, 0);
    EXPECT_TRUE(sc_CacheWriteBinData(&cache, "abcde", 5));
    EXPECT_EQ("", root.read("/cache.bin"));
    EXPECT_TRUE(sc_CacheWriteBinData(&cache, "fgh", 3)); // exactly fills the buffer
    EXPECT_EQ(8, cache.nPos);
    EXPECT_TRUE(sc_CacheWriteBinData(&cache, "i", 1)); // flushes first
    EXPECT_EQ("abcdefgh", root.read("/cache.bin"));
    EXPECT_TRUE(sc_CacheWriteBinData(&cache, "0123456789", 10)); // straight through after a flush
    EXPECT_EQ("abcdefghi0123456789", root.read("/cache.bin"));
    EXPECT_EQ(0, cache.nPos);
    EXPECT_TRUE(sc_CacheWriteBinData(&cache, "x", 0));
    EXPECT_TRUE(sc_CacheWriteBinData(&cache, "z", 1));
    EXPECT_TRUE(sc_CacheFlushToFile(&cache));
    EXPECT_TRUE(sc_CacheFlushToFile(&cache));
    EXPECT_EQ("abcdefghi0123456789z", root.read("/cache.bin"));
    sc_dev_closeFile(cache.fh);

    bfCacheBuffer_s closed{-1, storage, sizeof storage, 0};
    EXPECT_FALSE(sc_CacheWriteBinData(&closed, "a", 1));
    EXPECT_FALSE(sc_CacheFlushToFile(&closed));
    EXPECT_FALSE(sc_CacheWriteBinData(nullptr, "a", 1));
    bfCacheBuffer_s empty{cache.fh, nullptr, 0, 0};
    EXPECT_FALSE(sc_CacheWriteBinData(&empty, "a", 1));

    // Reading: never past the buffer's size.
    bfCacheBuffer_s in{-1, storage, sizeof storage, 0};
    char out[9] = {};
    EXPECT_TRUE(sc_CacheReadBinData(&in, out, 6));
    EXPECT_EQ(std::string("zbcdef"), std::string(out, 6)); // "z" was the last byte buffered
    EXPECT_FALSE(sc_CacheReadBinData(&in, out, 3));
    EXPECT_TRUE(sc_CacheReadBinData(&in, out, 2));
    EXPECT_EQ(8, in.nPos);
    EXPECT_TRUE(sc_CacheReadBinData(&in, out, 0));
}
