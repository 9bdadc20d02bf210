// Internal steps of the client library that its tests reach; the calls
// themselves are declared in libtarvi.h.
#ifndef TARVI_LIBTARVI_PRIVATE_H
#define TARVI_LIBTARVI_PRIVATE_H

#include <cerrno>
#include <cstdint>
#include <string>

#include "libtarvi.h"

// Which of the device's chips this is, read afresh from the hardware version
// word in "/dev/mem": 0 to 5 (model A, B, C, each revision E1 then E2), 3
// also for a chip it does not know, 0 when "/dev/mem" cannot be opened, 2 when
// it cannot be mapped.
int chipinfo();
// The version word (metal-fix bits clear) of chip `index`, or 0.
uint32_t chip_version_word(int index);

// The failure result -1 of a call, with errno = `err`: EINVAL for arguments
// refused before asking the daemon, EPROTO for a reply without what it must
// carry, TARVI_EREFUSED for a failure the daemon answered.
inline int libtarvi_fail(int err) {
    errno = err;
    return -1;
}

// One exchange of `type` carrying `key` and `value`; on 0, `reply` holds the
// daemon's answer.
int libtarvi_exchange(int type, char *key, char *value, tarvi_request *reply);

// As libtarvi_exchange for a request type appended to the protocol, which an
// older daemon answers by closing without a reply: errno EOPNOTSUPP then.
int libtarvi_exchange_appended(int type, const char *key, const char *value, tarvi_request *reply);

// One get exchange of request `type` (0, 1, 46, 53) for `key`: the keys the
// library answers itself are answered here; *value gets a malloc'ed copy of
// the reply's value or null. 0, or -1 for a failed exchange.
int libtarvi_get_common(int type, char *key, char **value);

// The instance-field self-test of tarvi_sc_test_me("inst_f"): adds, reads,
// changes and deletes instances of "sys/network/v6config" through the field
// calls and prints each step. 0 when every step gave what it should, else -1.
int libtarvi_sc_test_inst_fields();

// Decoders of the tree calls' replies (`reply` as an exchange left it); the
// replies begin with a result number. sc_reply_result gives the result with
// positive codes negated, -1 when the reply has no key, value or number; on
// 0, *rest (when given) gets the text after the number and one blank. On a
// failure errno is EPROTO (nothing to decode) or TARVI_EREFUSED. The
// others add, on 0, the number after the result (decimal int, decimal
// unsigned, octal u_16; *value is left alone when there is none) or a
// malloc'ed copy of the text after it (null when empty).
int sc_reply_result(const tarvi_request *reply, std::string *rest);
// The result number as the daemon sent it (-1 when there is none) and *rest
// as above; false when the reply has no key or value. For replies whose
// positive codes are not failures (the walk).
bool sc_reply_number(const tarvi_request *reply, int *result, std::string *rest);
int sc_reply_int(const tarvi_request *reply, int *value);
int sc_reply_uint(const tarvi_request *reply, unsigned int *value);
int sc_reply_u16(const tarvi_request *reply, u_16 *value);
int sc_reply_text(const tarvi_request *reply, char **out);

#endif
