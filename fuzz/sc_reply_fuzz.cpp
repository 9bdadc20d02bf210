// The client's reading of a tree call's reply: the received record as the
// exchange unpacks it, then each decoder of the result convention.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "libtarvi_private.h"
#include "request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_root();
    size_t len = size < TARVI_REQUEST_MAX_SIZE ? size : TARVI_REQUEST_MAX_SIZE;
    std::vector<unsigned char> wire(data, data + len);
    tarvi_request reply;
    if (request_decode(&reply, wire.data(), static_cast<int>(len)) != 0 || reply.status < 0)
        return 0;
    std::string rest;
    int rc = sc_reply_result(&reply, &rest);
    if (rc > 0)
        abort();
    int raw = 0;
    std::string raw_rest;
    if (sc_reply_number(&reply, &raw, &raw_rest) != (reply.key && reply.value) || (raw > 0 ? -raw : raw) != rc)
        abort();
    int i = 0;
    unsigned int u = 0;
    u_16 h = 0;
    char *text = nullptr;
    if (sc_reply_int(&reply, &i) != rc || sc_reply_uint(&reply, &u) != rc || sc_reply_u16(&reply, &h) != rc)
        abort();
    int trc = sc_reply_text(&reply, &text);
    if (trc != rc && !(trc == -1 && rc == 0))
        abort();
    if (text && rest != text)
        abort();
    free(text);
    return 0;
}
