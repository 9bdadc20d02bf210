// The record that carries a call from the daemon to the callback host.
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <vector>

#include "sc_cbrun.h"

namespace {

TEST(CallbackRecord, RoundTripsAndRefusesEveryMalformedRecord) {
    sc_cbrun_request r;
    r.direction = 1;
    r.debug = 3;
    r.kill_after_ms = 2000;
    r.so = "libcbtest.so";
    r.fun = "cbt_convert";
    r.uri = "sys/cbt/converted";
    r.ikey = "IPC00000";
    r.okey = "IPC00001";
    unsigned char buf[SC_CBRUN_REQUEST_MAX + 16];
    size_t n = sc_cbrun_pack(r, buf, sizeof buf);
    ASSERT_GT(n, 0u);
    sc_cbrun_request back;
    ASSERT_TRUE(sc_cbrun_unpack(buf, n, &back));
    EXPECT_EQ(sc_cbrun_pack(back, buf + 0, sizeof buf), n);
    EXPECT_EQ(r.uri, back.uri);
    EXPECT_EQ(1, back.direction);
    EXPECT_EQ(2000, back.kill_after_ms);

    // Every shorter record lacks a string or its end; a longer one has bytes
    // after the last string.
    for (size_t len = 0; len < n; ++len)
        EXPECT_FALSE(sc_cbrun_unpack(buf, len, &back)) << len;
    buf[n] = 'x';
    EXPECT_FALSE(sc_cbrun_unpack(buf, n + 1, &back));
    // Too long to send, or a string that would end early on the far side.
    r.uri.assign(SC_CBRUN_REQUEST_MAX, 'u');
    EXPECT_EQ(0u, sc_cbrun_pack(r, buf, sizeof buf));
    r.uri = std::string("sys\0cbt", 7);
    EXPECT_EQ(0u, sc_cbrun_pack(r, buf, sizeof buf));
    EXPECT_FALSE(sc_cbrun_unpack(buf, sizeof buf, &back)) << "longer than a record may be";

    // Random bytes: refused, or read back into exactly the bytes given.
    std::mt19937 rng(28);
    std::vector<unsigned char> junk(64);
    for (int i = 0; i < 20000; ++i) {
        size_t len = rng() % junk.size();
        for (auto &b : junk)
            b = static_cast<unsigned char>(rng() % 4 == 0 ? 0 : rng());
        if (!sc_cbrun_unpack(junk.data(), len, &back))
            continue;
        ASSERT_EQ(len, sc_cbrun_pack(back, buf, sizeof buf));
        ASSERT_EQ(0, memcmp(buf, junk.data(), len));
    }
}

} // namespace
