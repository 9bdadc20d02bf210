// A ConfigPack image read from flash or a file: the check, then the merge
// into the store. The first byte picks the role (firmware default, factory,
// user) and whether the harness seals the image with its checksum, so that
// mutated images also reach the merge. In the factory and user roles the
// image is first merged as the firmware default, as a reload does, so that
// its keys are defined when it comes again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fuzz_support.h"
#include "partition.h"
#include "tarvid_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_root();
    if (size < 1)
        return 0;
    uint8_t mode = data[0];
    std::vector<char> img(data + 1, data + size);
    size_t len = img.size();
    if ((mode & 4) && len >= CFGPACK_HEADER_SIZE && cfgpack_total(img.data()) <= len)
        cfgpack_set_cksum(img.data());
    fuzz_store_reset();
    if (partition_check_cfgpack_len(img.data(), len) == 0) {
        auto role = static_cast<enum cfgpack_reload_role>(mode % 3);
        std::vector<char> copy = img;
        if (role != FIRMWARE_DEFAULT_CFGPACK_RELOAD) {
            partition_reload_cfgpack(copy.data(), len, FIRMWARE_DEFAULT_CFGPACK_RELOAD);
            ContDefault = container_new("Not-Reset Default");
            if (!ContDefault)
                abort();
        }
        partition_reload_cfgpack(img.data(), len, role);
        // Every entry that was taken is read back whole.
        FILE *sink = fopen("/dev/null", "we");
        if (sink) {
            config_dump_store(sink);
            fclose(sink);
        }
    }
    fuzz_store_reset();
    fuzz_remove(PARTITION_SC_DIR);
    fuzz_remove(PARTITION_SC_RESTORE);
    return 0;
}
