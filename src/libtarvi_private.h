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

#endif
