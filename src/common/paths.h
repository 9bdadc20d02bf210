// Where the device's file system lives. Every absolute path the system fixes
// is built here: the root prefix (empty on the device) followed by the path.
#ifndef TARVI_PATHS_H
#define TARVI_PATHS_H

#include <climits>
#include <string>

// Size of a buffer that holds a device path of up to `device` bytes (its NUL
// included) under the root prefix. The device's own limits stay with the
// device path; the prefix, empty on the device, may take up to PATH_MAX bytes
// on a host without eating into them.
#define TARVI_PREFIXED_SIZE(device) (PATH_MAX + (device))

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
