// Bytes that leave the process must not depend on the machine that made them:
// the device (32-bit ARM) and the host that builds its firmware (x86-64) pack
// the same records, images and partitions. The reference files were written
// on x86-64; the suite compares against them on every architecture it runs on.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "log.h"
#include "partition.h"
#include "records.h"
#include "scratch.h"
#include "unique.h"

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
