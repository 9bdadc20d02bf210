// Lays out a device in a sandbox so that a real tarvid starts on it.
#ifndef TARVI_TEST_DEVICE_H
#define TARVI_TEST_DEVICE_H

#include <string>

#include "scratch.h"

// Gives the device `defaults` (key=value lines) as its firmware defaults and
// creates the folders the daemon works in. Tests that only need a running
// daemon with some flat settings use this and nothing else, so they do not
// depend on how the storage backend keeps its files.
void lay_device(const ScratchRoot &root, const std::string &defaults);

#endif
