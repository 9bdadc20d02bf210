// Where the device's file system lives. Every absolute path the system fixes
// is built here: the root prefix (empty on the device) followed by the path.
#ifndef TARVI_PATHS_H
#define TARVI_PATHS_H

#include <string>

// The root prefix: the build's TARVI_ROOT, or on a host build the TARVI_ROOT
// environment variable read at first use. Never null.
const char *tarvi_root();

// Replaces the root prefix; for tests that lay a device into a scratch folder.
void tarvi_set_root(const char *root);

// `abs` (an absolute device path) under the root prefix.
std::string tarvi_path(const char *abs);

// Fixed device paths.
#define TARVI_SOCKET_PATH "/var/run/tarvi.socket"
#define TARVID_PID_PATH "/var/run/tarvid.pid"

#endif
