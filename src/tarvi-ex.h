// Operations of the tree service that the main thread calls.
#ifndef TARVI_EX_H
#define TARVI_EX_H

// Sets the tree debug level to `level` when it is a decimal number from 0 to
// 5 (anything else is ignored) and points *value at the level text. Returns
// 0, or -1 for a null level. Caller holds MutexConfig.
int config_sc_debug(char *level, char **value);

#endif
