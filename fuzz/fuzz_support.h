// What every fuzz target shares: a scratch device root of its own, quiet
// logs, no child processes, and the resets that keep each input independent
// of the ones before it.
#ifndef TARVI_FUZZ_SUPPORT_H
#define TARVI_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>

// Makes (at the first call) this process's scratch root, sets it as the root
// prefix and silences the logs. Returns the root folder.
const std::string &fuzz_root();

// Writes `len` bytes to the device path `abs` under the root, creating its
// folders.
void fuzz_write(const char *abs, const void *data, size_t len);

// Removes the device path `abs` under the root, with everything below it.
void fuzz_remove(const char *abs);

// Frees every container and entry of the flat store and starts it afresh.
void fuzz_store_reset();

// Loads the daemon's one tree from the files laid out (the tree files too
// when `with_trees`) on an empty store, then frees the tree and the store.
void fuzz_load_tree(int with_trees);

// Splits an input at its first NUL byte: `first` before it, `second` after it
// (empty when there is none).
void fuzz_split(const uint8_t *data, size_t size, std::string *first, std::string *second);

#endif
