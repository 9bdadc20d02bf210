// Profile and tree files, line by line through the tree loader, and the key
// bindings of their Data fields. The first byte picks the module (a dotted
// "cwmp" module or a slash one) and whether tree files are read; the rest up
// to the first NUL byte is the profile, after it the tree file.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "sc_tree.h"
#include "sc_tree_key.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_root();
    if (size < 1)
        return 0;
    uint8_t mode = data[0];
    std::string profile, tree;
    fuzz_split(data + 1, size - 1, &profile, &tree);
    std::string module = (mode & 1) ? "cwmp_igd" : "sys";
    fuzz_write(("/usr/sc/profile0/" + module + ".profile").c_str(), profile.data(), profile.size());
    fuzz_write(("/tmp/sc/tree0/" + module + ".tree").c_str(), tree.data(), tree.size());

    // The first line alone as a binding.
    std::string first = profile.substr(0, profile.find('\n'));
    TarviKeyType *key = nullptr;
    if (sc_parseDataKey(first.c_str(), &key) == 0)
        sc_freeTarviKey(key);

    fuzz_load_tree((mode & 2) ? 1 : 0);
    fuzz_remove("/usr/sc");
    fuzz_remove("/tmp/sc");
    return 0;
}
