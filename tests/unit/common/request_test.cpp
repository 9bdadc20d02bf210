// The request record on the wire and the non-real-time shell; and bytes that
// leave the process, which must not depend on the machine that made them: the
// device (32-bit ARM) and the host that builds its firmware (x86-64) pack the
// same records, images and partitions. The reference files were written on
// x86-64; the suite compares against them on every architecture it runs on.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

#include "log.h"
#include "partition.h"
#include "paths.h"
#include "records.h"
#include "request.h"
#include "scratch.h"
#include "unique.h"
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

    // Shorter than the header, the value cut before its NUL, longer than any
    // record.
    for (int bad_size : {19, 0, size - 1, TARVI_REQUEST_MAX_SIZE + 1})
        EXPECT_EQ(-1, request_decode(&out, good.data(), bad_size)) << bad_size;
    // A reserve beyond the record, negative or oversized; a pointer field that
    // is neither 0 nor the marker; wrong magic, the reserved type, a type
    // beyond the table.
    const struct {
        size_t at, width;
        uint32_t v;
    } fields[] = {{8, 4, 12},          {8, 4, 0xffffffffu}, {8, 4, 0x80000000u}, {8, 4, 4097},
                  {12, 4, 0x12345679}, {16, 4, 1},          {0, 2, 0x2200},      {2, 2, TARVI_REQUEST_TYPE_RESERVED},
                  {2, 2, 0xffff}};
    for (const auto &f : fields) {
        std::vector<unsigned char> w = good;
        memcpy(&w[f.at], &f.v, f.width); // little-endian host, as above
        EXPECT_EQ(-1, request_decode(&out, w.data(), size)) << f.at << " " << f.v;
    }

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

    // A connection that the other end dropped before the record went out
    // fails with EPIPE; this process, whose SIGPIPE is not ignored, lives on.
    // Other descriptors are written as ever.
    int pair[2], pipe_fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair));
    ASSERT_EQ(0, pipe2(pipe_fds, O_CLOEXEC));
    close(pair[1]);
    errno = 0;
    EXPECT_EQ(-1, safe_write_mode(pair[0], "x", 1, 0));
    EXPECT_EQ(EPIPE, errno);
    EXPECT_EQ(1, safe_write_mode(pipe_fds[1], "y", 1, 0));
    for (int fd : {pair[0], pipe_fds[0], pipe_fds[1]})
        close(fd);
    EXPECT_EQ(before, open_fd_count());
}

TEST(Utility, NonRealTimeShell) {
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

namespace {

void quiet(int, const char *) {}

std::string fixture_path(const std::string &name) {
    return std::string(TARVI_SOURCE_DIR) + "/tests/fixtures/portable/" + name;
}

// Compares `made` with the reference file `name`; with TARVI_UPDATE_FIXTURES
// set, rewrites the reference instead (only ever on x86-64).
void expect_reference(const std::string &name, const std::string &made) {
    if (std::getenv("TARVI_UPDATE_FIXTURES")) {
        std::ofstream(fixture_path(name), std::ios::binary | std::ios::trunc) << made;
        return;
    }
    std::ifstream in(fixture_path(name), std::ios::binary);
    ASSERT_TRUE(in) << fixture_path(name);
    std::ostringstream ref;
    ref << in.rdbuf();
    ASSERT_EQ(ref.str().size(), made.size()) << name;
    for (size_t i = 0; i < made.size(); ++i)
        ASSERT_EQ(ref.str()[i], made[i]) << name << " differs first at byte " << i;
}

void append_record(std::string &out, tarvi_request r) {
    std::vector<unsigned char> wire = encode_request(r);
    ASSERT_FALSE(wire.empty());
    out.append(reinterpret_cast<const char *>(wire.data()), wire.size());
}

} // namespace

TEST(Portable, RequestRecordsPackToTheReferenceBytes) {
    std::string out;
    append_record(out, make_request(TARVI_REQUEST_TYPE_GET, "SYS_NAME", nullptr));
    append_record(out, make_request(TARVI_REQUEST_TYPE_COMMIT, nullptr, nullptr));
    tarvi_request set = make_request(TARVI_REQUEST_TYPE_SC_SET_INSTANCE_FIELDS, "sys.wan.1", "a<QV_TOKEN>b");
    set.status = -500;
    set.reservedLen = 5;
    memcpy(set.string, "\x01\x02\x03\x04\x05", 5);
    append_record(out, set);
    // A record filled to the last byte of its packing area.
    std::string key(TARVI_REQUEST_STRING_SIZE - 3, 'k');
    append_record(out, make_request(TARVI_REQUEST_TYPE_SET, key.c_str(), "v"));
    expect_reference("records.bin", out);

    // And the reference unpacks to the same fields here.
    tarvi_request back = {};
    const auto *wire = reinterpret_cast<const unsigned char *>(out.data());
    size_t first = TARVI_REQUEST_HEADER_SIZE + sizeof "SYS_NAME";
    ASSERT_EQ(0, request_decode(&back, wire, static_cast<int>(first)));
    EXPECT_STREQ("SYS_NAME", back.key);
    EXPECT_EQ(nullptr, back.value);
}

TEST(Portable, ImagesAndPartitionsMatchTheReferenceBytes) {
    ScratchRoot root;
    tarvi_log_set_sink(quiet);
    root.write("/system.cfg", "SYS_NAME=cpe\nWAN_MODE=dhcp\n");
    root.write("/wimax.cfg", "WIMAX_NSP_ID=0x000002\nWIMAX_FREQ=2500000\n");
    std::string sys = root.at("/system.cfg"), wimax = root.at("/wimax.cfg");
    const char *files[] = {sys.c_str(), wimax.c_str()};
    const uint32_t size = 2 * PARTITION_PAGE_SIZE;

    char *raw = nullptr;
    ASSERT_EQ(0, partition_pack_cfg_files(files, 2, size - 16, &raw));
    unique_buf img(raw);
    // A factory default written into the image in place, as tarvid does.
    ASSERT_EQ(0, cfgpack_set_default(img.get(), size - 16, "LOGIN_ADMIN", "admin"));
    ASSERT_EQ(0, partition_check_cfgpack_len(img.get(), size - 16));
    struct cfgpack_header h;
    cfgpack_read_header(img.get(), &h);
    expect_reference("image.bin", std::string(img.get(), h.totalLen));

    char tail[16];
    partition_make_tail(tail, 1, 0x01020304u);
    std::string part(size, '\0');
    ASSERT_EQ(0, partition_layout(img.get(), size, tail, part.data()));
    expect_reference("partition.bin", part);
}
