#include "sc_debug.h"

u_32 DebugLevel = 0;
