// Request records as a client fills them, for tests and benchmarks.
#ifndef TARVI_TEST_RECORDS_H
#define TARVI_TEST_RECORDS_H

#include <cstdint>
#include <vector>

#include "libtarvi.h"
#include "request.h"

// A record of `type` carrying `key` and `value` (either may be null), with no
// reserved bytes. The texts are not copied: they must outlive the record.
inline tarvi_request make_request(int type, const char *key, const char *value) {
    tarvi_request r = {};
    r.magic = TARVI_REQUEST_MAGIC;
    r.type = static_cast<uint16_t>(type);
    r.key = const_cast<char *>(key);
    r.value = const_cast<char *>(value);
    return r;
}

// The wire bytes of `r` (empty when it does not pack).
inline std::vector<unsigned char> encode_request(tarvi_request r) {
    std::vector<unsigned char> wire(TARVI_REQUEST_MAX_SIZE);
    int n = request_encode(&r, wire.data());
    wire.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return wire;
}

#endif
