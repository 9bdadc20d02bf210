// Extraction of the SC2.0 archive carried by an image or a backup: whatever
// the archive holds, nothing may appear outside the target folder.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "fuzz_support.h"
#include "paths.h"
#include "sc_archive.h"

namespace {

// The names in folder `dir`, not following links.
std::set<std::string> entries(const std::string &dir) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(dir, ec))
        names.insert(e.path().filename().string());
    return names;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string &root = fuzz_root();
    static const std::set<std::string> top = [&] {
        fuzz_remove("/arch");
        return entries(root);
    }();
    std::string box = tarvi_path("/arch");
    std::string out = box + "/out";
    std::error_code ec;
    std::filesystem::create_directories(out, ec);
    sc_archive_extract_mem(data, size, out.c_str());
    std::set<std::string> beside = entries(box);
    std::set<std::string> atTop = entries(root);
    atTop.erase("arch");
    if (beside != std::set<std::string>{"out"} || atTop != top) {
        fprintf(stderr, "archive extraction wrote outside its folder\n");
        abort();
    }
    fuzz_remove("/arch");
    return 0;
}
