// Internal steps of the client library that its tests reach; the calls
// themselves are declared in libtarvi.h.
#ifndef TARVI_LIBTARVI_PRIVATE_H
#define TARVI_LIBTARVI_PRIVATE_H

#include <cstdint>

#include "libtarvi.h"

// Which of the device's chips this is, read afresh from the hardware version
// word in "/dev/mem": 0 to 5 (model A, B, C, each revision E1 then E2), 3
// also for a chip it does not know, 0 when "/dev/mem" cannot be opened, 2 when
// it cannot be mapped.
int chipinfo();
// The version word (metal-fix bits clear) of chip `index`, or 0.
uint32_t chip_version_word(int index);

// One exchange of `type` carrying `key` and `value`; on 0, `reply` holds the
// daemon's answer.
int libtarvi_exchange(int type, char *key, char *value, tarvi_request *reply);

// One get exchange of request `type` (0, 1, 46, 53) for `key`: the keys the
// library answers itself are answered here; *value gets a malloc'ed copy of
// the reply's value or null. 0, or -1 for a failed exchange.
int libtarvi_get_common(int type, char *key, char **value);

#endif
