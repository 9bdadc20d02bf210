// Value validators for configuration front ends. The calls themselves are
// declared in libtarvi.h; this module has no state.
#ifndef TARVI_VERIFY_H
#define TARVI_VERIFY_H

#include "libtarvi.h"

#endif
