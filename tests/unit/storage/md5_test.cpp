#include "md5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// The digest of `data` fed in pieces of the given sizes, cycling through
// them; in one piece when none are given.
std::string md5_hex(const std::string &data, const std::vector<unsigned> &sizes = {}) {
    md5_ctx ctx;
    uint8_t digest[16];
    md5_init(&ctx);
    for (size_t i = 0, at = 0; at < data.size() || (i == 0 && data.empty()); ++i) {
        size_t n = std::min<size_t>(sizes.empty() ? data.size() : sizes[i % sizes.size()], data.size() - at);
        md5_update(&ctx, data.data() + at, static_cast<unsigned>(n));
        at += n;
    }
    md5_final(digest, &ctx);
    std::string out;
    char two[3];
    for (uint8_t b : digest) {
        snprintf(two, sizeof two, "%02x", b);
        out += two;
    }
    return out;
}

} // namespace

// The RFC 1321 test suite, then message lengths around the padding
// boundaries (one or two final blocks), digests from the system's md5sum.
TEST(Md5, KnownDigestsWholeAndInPieces) {
    const std::pair<std::string, const char *> known[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
        {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
        {std::string(63, 'a'), "b06521f39153d618550606be297466d5"},
        {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
        {std::string(65, 'a'), "c743a45e0d2e6a95cb859adae0248435"},
        {std::string(128, 'a'), "e510683b3f5ffe4093d021808bc6ff70"},
        {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"},
    };
    for (const auto &[data, digest] : known)
        EXPECT_EQ(digest, md5_hex(data)) << data.size() << " bytes";

    // The same digest whatever pieces the message comes in.
    std::string data;
    for (int i = 0; i < 1000; ++i)
        data += static_cast<char>((i * 7 + 3) & 0xff);
    const std::string whole = "10046f077f2082ac19676b8079f1cb1a";
    ASSERT_EQ(md5_hex(data), whole);
    for (const std::vector<unsigned> &sizes : std::vector<std::vector<unsigned>>{
             {1}, {55}, {56}, {63}, {64}, {65}, {1, 55, 56, 63, 64, 65}, {63, 1, 0, 65, 64}})
        EXPECT_EQ(md5_hex(data, sizes), whole) << "pieces of " << sizes[0];
}
