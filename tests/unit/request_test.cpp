// The request record on the wire and the shared I/O helpers.
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

#include "log_capture.h"
#include "paths.h"
#include "records.h"
#include "request.h"
#include "scratch.h"
#include "utility.h"

namespace {

void put32(std::vector<unsigned char> &w, size_t at, uint32_t v) { memcpy(&w[at], &v, 4); }

int open_fd_count() {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (readdir(d))
        ++n;
    closedir(d);
    return n;
}

} // namespace

TEST(RequestWire, LayoutIsFixedWidthWhateverThePointerSize) {
    tarvi_request r = make_request(TARVI_REQUEST_TYPE_SET, "abc", "xy");
    r.status = -5;
    r.reservedLen = 3;
    memcpy(r.string, "RRR", 3);
    std::vector<unsigned char> wire = encode_request(r);

    // Built byte by byte from the documented layout (little-endian host).
    const unsigned char expected[] = {0x87, 0x22, 2,    0,    0xfb, 0xff, 0xff, 0xff, 3,    0,
                                      0,    0,    0x78, 0x56, 0x34, 0x12, 0x78, 0x56, 0x34, 0x12,
                                      'R',  'R',  'R',  'a',  'b',  'c',  0,    'x',  'y',  0};
    ASSERT_EQ(wire.size(), sizeof expected);
    EXPECT_EQ(0, memcmp(wire.data(), expected, sizeof expected));

    tarvi_request back = {};
    ASSERT_EQ(0, request_decode(&back, wire.data(), static_cast<int>(wire.size())));
    EXPECT_STREQ("abc", back.key);
    EXPECT_STREQ("xy", back.value);
    EXPECT_EQ(-5, back.status);
    EXPECT_EQ(0, memcmp(back.string, "RRR", 3));
}

TEST(RequestWire, PackRefusesWhatDoesNotFitOrIsMalformedAndKeepsThePointers) {
    std::string k4095(4095, 'k'), k4096(4096, 'k');
    tarvi_request r = make_request(TARVI_REQUEST_TYPE_GET, k4095.c_str(), nullptr);
    EXPECT_EQ(TARVI_REQUEST_MAX_SIZE, pack_request(&r));

    r = make_request(TARVI_REQUEST_TYPE_GET, k4096.c_str(), nullptr);
    EXPECT_EQ(-1, pack_request(&r));
    EXPECT_EQ(k4096.c_str(), r.key);

    // Key and value with their NULs exactly fill the area after the reserve.
    std::string key(1000, 'a'), value(4096 - 10 - 1001 - 1, 'b');
    r = make_request(TARVI_REQUEST_TYPE_SET, key.c_str(), value.c_str());
    r.reservedLen = 10;
    EXPECT_EQ(TARVI_REQUEST_MAX_SIZE, pack_request(&r));

    std::string longer = value + "b";
    r = make_request(TARVI_REQUEST_TYPE_SET, key.c_str(), longer.c_str());
    r.reservedLen = 10;
    EXPECT_EQ(-1, pack_request(&r));
    EXPECT_EQ(key.c_str(), r.key);
    EXPECT_EQ(longer.c_str(), r.value);
    // The caller may fix the record and pack it again.
    r.value = const_cast<char *>(value.c_str());
    EXPECT_EQ(TARVI_REQUEST_MAX_SIZE, pack_request(&r));

    // Magic, type and reserve are checked too.
    r = make_request(TARVI_REQUEST_TYPE_RESERVED, "k", nullptr);
    EXPECT_EQ(-1, pack_request(&r));
    r = make_request(TARVI_REQUEST_TYPE_SC_SET_INSTANCE_FIELDS, "k", nullptr);
    EXPECT_EQ(22, pack_request(&r));
    r = make_request(TARVI_REQUEST_TYPE_GET, "k", nullptr);
    r.magic = 0x2288;
    EXPECT_EQ(-1, pack_request(&r));
    r = make_request(TARVI_REQUEST_TYPE_GET, "k", nullptr);
    r.reservedLen = -1;
    EXPECT_EQ(-1, pack_request(&r));
    r.reservedLen = TARVI_REQUEST_STRING_SIZE + 1;
    EXPECT_EQ(-1, pack_request(&r));
}

TEST(RequestWire, UnpackRefusesEveryMalformedRecord) {
    tarvi_request r = make_request(TARVI_REQUEST_TYPE_SET, "key", "value");
    std::vector<unsigned char> good = encode_request(r);
    int size = static_cast<int>(good.size());
    tarvi_request out;

    // Shorter than the header, and shorter than header + reserve.
    EXPECT_EQ(-1, request_decode(&out, good.data(), 19));
    EXPECT_EQ(-1, request_decode(&out, good.data(), 0));
    std::vector<unsigned char> w = good;
    put32(w, 8, 12);
    EXPECT_EQ(-1, request_decode(&out, w.data(), size));
    // Negative or oversized reserve.
    put32(w, 8, 0xffffffffu);
    EXPECT_EQ(-1, request_decode(&out, w.data(), size));
    put32(w, 8, 0x80000000u);
    EXPECT_EQ(-1, request_decode(&out, w.data(), size));
    put32(w, 8, 4097);
    EXPECT_EQ(-1, request_decode(&out, w.data(), size));
    // A pointer field that is neither 0 nor the marker.
    w = good;
    put32(w, 12, 0x12345679);
    EXPECT_EQ(-1, request_decode(&out, w.data(), size));
    w = good;
    put32(w, 16, 1);
    EXPECT_EQ(-1, request_decode(&out, w.data(), size));
    // The value cut before its NUL.
    EXPECT_EQ(-1, request_decode(&out, good.data(), size - 1));
    // Wrong magic, reserved type, a type beyond the table.
    w = good;
    w[0] = 0;
    EXPECT_EQ(-1, request_decode(&out, w.data(), size));
    w = good;
    w[2] = TARVI_REQUEST_TYPE_RESERVED;
    EXPECT_EQ(-1, request_decode(&out, w.data(), size));
    w[2] = 0xff;
    w[3] = 0xff;
    EXPECT_EQ(-1, request_decode(&out, w.data(), size));
    // Longer than any record.
    EXPECT_EQ(-1, request_decode(&out, good.data(), TARVI_REQUEST_MAX_SIZE + 1));

    ASSERT_EQ(0, request_decode(&out, good.data(), size));
    EXPECT_STREQ("key", out.key);
    EXPECT_STREQ("value", out.value);
}

TEST(RequestWire, NoTextIsSearchedBeyondTheReceivedBytes) {
    // A full-size record whose last text has no NUL in the area: the search
    // must stop at the end of the record.
    std::vector<unsigned char> w(TARVI_REQUEST_MAX_SIZE, 'z');
    tarvi_request r = make_request(TARVI_REQUEST_TYPE_GET, nullptr, nullptr);
    request_to_wire(&r, w.data(), TARVI_REQUEST_HEADER_SIZE);
    put32(w, 12, TARVI_REQUEST_POINTER_MARKER);
    tarvi_request out;
    EXPECT_EQ(-1, request_decode(&out, w.data(), TARVI_REQUEST_MAX_SIZE));
    w.back() = 0;
    ASSERT_EQ(0, request_decode(&out, w.data(), TARVI_REQUEST_MAX_SIZE));
    EXPECT_EQ(4095u, strlen(out.key));
}

// errno after a failed exchange tells a daemon that could not be reached
// from one that answered with a failure; no socket is left open either way.
// The root is deeper than a socket address can hold.
TEST(RequestClient, ErrnoSaysWhetherTheDaemonWasReached) {
    ScratchRoot root(200);
    int before = open_fd_count();
    auto exchange = [] {
        tarvi_request r = make_request(TARVI_REQUEST_TYPE_GET, "k", nullptr);
        errno = 0;
        return request_for_tarvi(&r) == 0 ? 0 : errno;
    };
    EXPECT_EQ(ENOENT, exchange());
    EXPECT_EQ(-1, connect_request());

    make_dirs(root.at("/var/run"));
    int server = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(0, socket_path_bind(server, tarvi_path(TARVI_SOCKET_PATH).c_str()));
    EXPECT_EQ(ECONNREFUSED, exchange());

    // A server that reads each request and answers with the statuses below
    // (INT32_MIN: closes without a reply).
    const int32_t answers[] = {INT32_MIN, -1, 0};
    ASSERT_EQ(0, listen(server, 5));
    std::thread peer([&] {
        for (int32_t status : answers) {
            int c = accept(server, nullptr, nullptr);
            unsigned char wire[TARVI_REQUEST_MAX_SIZE];
            tarvi_request q;
            if (c < 0 || request_decode(&q, wire, static_cast<int>(read(c, wire, sizeof wire))) != 0)
                break;
            q.status = status;
            int size = request_encode(&q, wire);
            if (status != INT32_MIN && write(c, wire, static_cast<size_t>(size)) != size)
                break;
            close(c);
        }
    });
    EXPECT_EQ(EPROTO, exchange());
    EXPECT_EQ(TARVI_EREFUSED, exchange());
    EXPECT_EQ(0, exchange());
    peer.join();
    close(server);
    EXPECT_EQ(before, open_fd_count());
}

TEST(Utility, SafeIoReportsFailuresWithTheLibraryPrefix) {
    LogCapture log;
    char buf[4];
    EXPECT_EQ(-1, safe_read(-1, buf, sizeof buf));
    EXPECT_EQ(-1, safe_write(-1, buf, sizeof buf));
    EXPECT_EQ(-1, safe_close(-1));
    std::string head = "[LIBTARVI][" + std::to_string(getpid()) + "] ";
    EXPECT_EQ(head + "read(-1) @ safe_read() failed : Bad file descriptor !!\n" + head +
                  "write(-1) @ safe_write() failed : Bad file descriptor !!\n" + head +
                  "close(-1) @ safe_close() failed : Bad file descriptor !!\n",
              log.all());
}

TEST(Utility, DupstrAndNonRealTimeShell) {
    char *copy = dupstr("value");
    ASSERT_NE(nullptr, copy);
    EXPECT_STREQ("value", copy);
    free(copy);
    EXPECT_EQ(nullptr, dupstr(nullptr));

    EXPECT_EQ(1, nonrt_system(nullptr));
    int status = nonrt_system("exit 3");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(3, WEXITSTATUS(status));
    // Even from a real-time caller, the shell runs with normal scheduling
    // (policy field 0, SCHED_OTHER).
    struct sched_param rt = {};
    rt.sched_priority = 1;
    bool realtime = sched_setscheduler(0, SCHED_RR, &rt) == 0;
    status = nonrt_system("test \"$(cut -d' ' -f41 /proc/self/stat)\" = 0");
    struct sched_param normal = {};
    if (realtime)
        sched_setscheduler(0, SCHED_OTHER, &normal);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "caller real-time: " << realtime;
}
