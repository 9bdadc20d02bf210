// What the main thread and the storage backend ask of the tree: its debug
// level, whether it has changed, and writing it into its files.
#ifndef TARVI_EX_H
#define TARVI_EX_H

// Sets the tree debug level to `level` when it is a decimal number from 0 to
// 5 (anything else is ignored) and points *value at the level text. Returns
// 0, or -1 for a null level. Caller holds MutexConfig.
int config_sc_debug(char *level, char **value);

// Non-zero when the tree has changes not yet written to its files, or files
// written by a flush that no commit has packed yet (config_sc_packed); 0
// without a tree. Caller holds MutexConfig.
int config_sc_dirty();

// Writes the tree into its tree files in the working folder "/tmp/sc":
// `force` 0 the changed modules, 1 every module; other values, or no tree,
// do nothing. Returns 0, or -1 when a module could not be written. Caller
// holds MutexConfig.
int config_sc_flush(int force);

// Called by the backend once an image holding the working folder is written:
// the tree files are then in flash. Caller holds MutexConfig.
void config_sc_packed();

// Empties the two tree working folders ("/tmp/sc/tree0" and "/tmp/sc/tree1").
// Called by the backend once a restore whose image carries no tree archive
// has succeeded. Caller holds MutexConfig.
void config_sc_remove_etcfile();

#endif
