// Helpers of the tree code: the string and number rules its parsers and
// writers depend on, and its cache buffer.
#include <cstring>
#include <gtest/gtest.h>
#include <string>

#include "sc_data.h"
#include "sc_devfs.h"
#include "sc_memiface.h"
#include "sc_types.h"
#include "sc_utiliface.h"
#include "scratch.h"

namespace {

std::string trim(std::string s) {
    std::string buf = s;
    sc_util_trim(buf.data());
    return buf.c_str();
}

std::string replace_all(const char *s, const char *sub, const char *repl) {
    char *out = sc_util_replace_all(s, sub, repl);
    std::string r = out ? out : "(null)";
    SC_FREE(out);
    return r;
}

std::string cut(std::string s, char *(*fn)(char *)) {
    fn(s.data());
    return s.c_str();
}

} // namespace

TEST(ScUtil, TextHelpers) {
    // Trim removes only blank, tab, CR and LF at the ends.
    EXPECT_EQ("a b", trim(" \ta b\r\n"));
    EXPECT_EQ("a\vb", trim("a\vb"));
    EXPECT_EQ("\va", trim("\va "));
    EXPECT_EQ("", trim(" \t\r\n"));
    EXPECT_EQ("", trim(""));
    EXPECT_EQ(nullptr, sc_util_trim(nullptr));
    // A replacement that does not fit the buffer is refused, not cut.
    std::string big(SC_UTIL_STATIC_BUF_SIZE - 1, 'x');
    EXPECT_NE(nullptr, sc_util_replace(big.data(), "x", "y"));
    EXPECT_EQ(nullptr, sc_util_replace(big.data(), "x", "yy"));
    EXPECT_EQ(nullptr, sc_util_replace(nullptr, "x", "y"));
    // Replace-all does not rescan its replacement.
    EXPECT_EQ("a; b; ; c", replace_all("a;b;;c", ";", "; "));
    EXPECT_EQ("(;)", replace_all("(; )", "(; )", "(;)"));
    EXPECT_EQ("xaax", replace_all("xax", "a", "aa"));
    EXPECT_EQ("abc", replace_all("abc", nullptr, "z"));
    EXPECT_EQ("abc", replace_all("abc", "b", nullptr));
    EXPECT_EQ("abc", replace_all("abc", "", "z"));
    EXPECT_EQ("(null)", replace_all(nullptr, "a", "b"));
    // Counting includes overlapping occurrences.
    EXPECT_EQ(2, sc_util_strtok_str("./A/-1/B/-1", "-1"));
    EXPECT_EQ(3, sc_util_strtok_str("aaaa", "aa"));
    EXPECT_EQ(0, sc_util_strtok_str("abc", "x"));
    EXPECT_EQ(-1, sc_util_strtok_str("abc", nullptr));
    // Strncpy always ends at n.
    char buf[8];
    memset(buf, 'z', sizeof buf);
    sc_util_strncpy(buf, "abcdefgh", 4);
    EXPECT_STREQ("abcd", buf);
    sc_util_strncpy(buf, "ab", 6);
    EXPECT_STREQ("ab", buf);
    // Type names compare without case.
    EXPECT_EQ(0, sc_util_stricmp("DateTime", "datetime"));
    EXPECT_EQ(-1, sc_util_stricmp("abc", "abd"));
    EXPECT_EQ(1, sc_util_stricmp("b", "A"));
}

TEST(ScUtil, Numbers) {
    // Atoi saturates and ignores a plus.
    EXPECT_EQ(-42, sc_util_atoi("  -42x"));
    EXPECT_EQ(0, sc_util_atoi("+5"));
    EXPECT_EQ(17, sc_util_atoi("\t\n\v\f\r 17"));
    EXPECT_EQ(2147483647, sc_util_atoi("2147483647"));
    EXPECT_EQ(2147483647, sc_util_atoi("2147483648"));
    EXPECT_EQ(-2147483647 - 1, sc_util_atoi("-2147483648"));
    EXPECT_EQ(2147483647, sc_util_atoi("-2147483649"));
    EXPECT_EQ(2147483647, sc_util_atoi("99999999999999999999"));
    EXPECT_EQ(2147483647, sc_util_atoi("-21474836470"));
    EXPECT_EQ(0, sc_util_atoi(""));
    char buf[SC_UTIL_NUM_BUF_SIZE];
    EXPECT_STREQ("-17", sc_util_itoa(-17, buf));
    EXPECT_STREQ("0", sc_util_itoa(0, buf));
    EXPECT_STREQ("-2147483648", sc_util_itoa(-2147483647 - 1, buf));
    EXPECT_STREQ("4294967295", sc_util_utoa(4294967295u, buf));
}

TEST(ScUtil, PreviousDirectoryAndInstanceCutInPlace) {
    EXPECT_EQ("./A/B", cut("./A/B/C", sc_util_previous_directory));
    EXPECT_EQ(".", cut("./A", sc_util_previous_directory));
    EXPECT_EQ("a", cut("abc", sc_util_previous_directory));
    EXPECT_EQ("./A/-1/B/-1", cut("./A/-1/B/-1/C", sc_util_previous_inst));
    EXPECT_EQ("./A/-1", cut("./A/-1/B/C", sc_util_previous_inst));
    EXPECT_EQ("./A/-1", cut("./A/-1", sc_util_previous_inst));
    EXPECT_EQ(".", cut("./A/B", sc_util_previous_inst));
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
