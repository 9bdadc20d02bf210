// Callback and notify files, read into a small fixed tree. The input up to
// its first NUL byte is the module's ".cb" file, the rest its ".notify"
// file.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_support.h"

namespace {

// A table, a bound key, a reference and plain leaves for the lines to name.
const char PROFILE[] = "sys;A:R,G:R;node;;\n"
                       "sys/wan;A:R,G:R;node;;\n"
                       "sys/wan/mode;A:RW,G:RW;string;dhcp|static;v(dhcp)\n"
                       "sys/wan/mtu;A:RW,G:RW;uint;576-1500;k(WAN_MTU)\n"
                       "sys/wan/alias;A:R,G:R;string;;r(sys/wan/mode)\n"
                       "sys/line;A:R,G:R;node;;\n"
                       "sys/line/-1;A:RW,G:RW;node;;\n"
                       "sys/line/-1/codec;A:RW,G:RW;string;;v(g711)\n";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_root();
    std::string cb, notify;
    fuzz_split(data, size, &cb, &notify);
    fuzz_write("/usr/sc/profile0/sys.profile", PROFILE, strlen(PROFILE));
    fuzz_write("/usr/sc/cb0/sys.cb", cb.data(), cb.size());
    fuzz_write("/usr/sc/notify0/sys.notify", notify.data(), notify.size());
    fuzz_load_tree(0);
    fuzz_remove("/usr/sc");
    return 0;
}
