// Operations of the tree service that the main thread calls.
#ifndef TARVI_EX_H
#define TARVI_EX_H

// Sets the tree debug level to `level` when it is a decimal number from 0 to
// 5 (anything else is ignored) and points *value at the level text. Returns
// 0, or -1 for a null level. Caller holds MutexConfig.
int config_sc_debug(char *level, char **value);

// Non-zero when the tree has changes not yet written to its files. Caller
// holds MutexConfig.
int config_sc_dirty();

// Writes the tree's changed modules into the working folder "/tmp/sc".
// Returns 0 or -1. Caller holds MutexConfig.
int config_sc_flush(int force);

#endif
