// The daemon's and the client's reading of a received request record: a
// record that unpacks has its texts inside its packing area, and packs again
// to a record that unpacks to the same texts.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "request.h"

namespace {

// The text at `p` ends (with its NUL) inside the packing area of `r`.
void check_inside(const tarvi_request &r, const char *p) {
    if (!p)
        return;
    const char *end = r.string + sizeof r.string;
    if (p < r.string || p >= end || !memchr(p, '\0', static_cast<size_t>(end - p)))
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_root();
    // A read never delivers more than the receive buffer; a few bytes beyond
    // a record still reach the length check.
    size_t len = size < TARVI_REQUEST_MAX_SIZE + 8 ? size : TARVI_REQUEST_MAX_SIZE + 8;
    std::vector<unsigned char> wire(data, data + len);
    tarvi_request r;
    memset(&r, 0xA5, sizeof r);
    if (request_decode(&r, wire.data(), static_cast<int>(len)) != 0)
        return 0;
    check_inside(r, r.key);
    check_inside(r, r.value);
    std::string key = r.key ? r.key : "<null>", value = r.value ? r.value : "<null>";

    unsigned char again[TARVI_REQUEST_MAX_SIZE];
    int n = request_encode(&r, again);
    if (n < 0)
        abort();
    tarvi_request back;
    if (request_decode(&back, again, n) != 0)
        abort();
    if (key != (back.key ? back.key : "<null>") || value != (back.value ? back.value : "<null>"))
        abort();
    return 0;
}
