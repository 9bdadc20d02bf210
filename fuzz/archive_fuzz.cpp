// Extraction of the SC2.0 archive carried by an image or a backup. Whatever
// the archive holds: a canary folder, and everything else outside the target,
// stays byte for byte as it was; nothing is left beside the target; a refused
// archive leaves the target as it was; no link in the target leads out of it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "archives.h"
#include "fuzz_support.h"
#include "paths.h"
#include "sc_archive.h"

namespace {

[[noreturn]] void broken(const char *promise) {
    fprintf(stderr, "archive extraction broke its promise: %s\n", promise);
    abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string &root = fuzz_root();
    std::string box = tarvi_path("/arch");
    std::string out = box + "/out";
    static const std::string canary = [&] {
        fuzz_remove("/canary");
        fuzz_write("/canary/keep", "canary\n", 7);
        fuzz_write("/canary/sub/inner", "inner\n", 6);
        std::error_code ec;
        std::filesystem::create_symlink("keep", tarvi_path("/canary/link"), ec);
        return folder_fingerprint(root, "/arch");
    }();
    fuzz_remove("/arch");
    fuzz_write("/arch/out/old", "old\n", 4);
    std::string before = folder_fingerprint(out);

    int rc = sc_archive_extract_mem(data, size, out.c_str());

    if (folder_fingerprint(root, "/arch") != canary)
        broken("something outside the folder changed");
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(box, ec)) {
        if (e.path().filename() != "out")
            broken("something was left beside the folder");
    }
    if (rc != 0 && folder_fingerprint(out) != before)
        broken("a refused archive changed the folder");
    if (!link_leaving(out).empty())
        broken("a link leads out of the folder");
    return 0;
}
