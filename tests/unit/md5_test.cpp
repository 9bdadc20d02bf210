#include "md5.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string hex(const uint8_t digest[16]) {
    std::string out;
    char two[3];
    for (int i = 0; i < 16; ++i) {
        snprintf(two, sizeof two, "%02x", digest[i]);
        out += two;
    }
    return out;
}

std::string md5_hex(const std::string &data) {
    md5_ctx ctx;
    uint8_t digest[16];
    md5_init(&ctx);
    md5_update(&ctx, data.data(), static_cast<unsigned>(data.size()));
    md5_final(digest, &ctx);
    return hex(digest);
}

// Feeds `data` in pieces of the given sizes, cycling through them.
std::string md5_hex_pieces(const std::string &data, const std::vector<unsigned> &sizes) {
    md5_ctx ctx;
    uint8_t digest[16];
    md5_init(&ctx);
    size_t at = 0;
    for (size_t i = 0; at < data.size(); ++i) {
        unsigned n = sizes[i % sizes.size()];
        if (n > data.size() - at)
            n = static_cast<unsigned>(data.size() - at);
        md5_update(&ctx, data.data() + at, n);
        at += n;
    }
    md5_final(digest, &ctx);
    return hex(digest);
}

} // namespace

TEST(Md5, Rfc1321TestSuite) {
    EXPECT_EQ(md5_hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5_hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(md5_hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5_hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(md5_hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(md5_hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(md5_hex("1234567890123456789012345678901234567890123456789012345678901234567890123456789"
                      "0"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

// Message lengths around the padding boundaries (one or two final blocks);
// expected digests from the system's md5sum.
TEST(Md5, PaddingBoundaries) {
    EXPECT_EQ(md5_hex(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
    EXPECT_EQ(md5_hex(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
    EXPECT_EQ(md5_hex(std::string(63, 'a')), "b06521f39153d618550606be297466d5");
    EXPECT_EQ(md5_hex(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
    EXPECT_EQ(md5_hex(std::string(65, 'a')), "c743a45e0d2e6a95cb859adae0248435");
    EXPECT_EQ(md5_hex(std::string(128, 'a')), "e510683b3f5ffe4093d021808bc6ff70");
    EXPECT_EQ(md5_hex(std::string(1000000, 'a')), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(Md5, PiecesGiveTheSameDigest) {
    std::string data;
    for (int i = 0; i < 1000; ++i)
        data += static_cast<char>((i * 7 + 3) & 0xff);
    const std::string whole = "10046f077f2082ac19676b8079f1cb1a";
    ASSERT_EQ(md5_hex(data), whole);

    for (unsigned n : {1u, 55u, 56u, 63u, 64u, 65u})
        EXPECT_EQ(md5_hex_pieces(data, {n}), whole) << "pieces of " << n;
    EXPECT_EQ(md5_hex_pieces(data, {1, 55, 56, 63, 64, 65}), whole);
    EXPECT_EQ(md5_hex_pieces(data, {63, 1, 0, 65, 64}), whole);
}
