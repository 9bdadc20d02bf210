// Debug level of the tree code: 0 silent, from 1 failures, from 3 traces.
#ifndef TARVI_SC_DEBUG_H
#define TARVI_SC_DEBUG_H

#include "libtarvi.h"

extern u_32 DebugLevel;

// Highest level the tree code knows.
#define SC_DEBUG_LEVEL_MAX 5

#endif
