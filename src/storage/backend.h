// The table through which the daemon reaches its persistent storage. The
// daemon zeroes one table, hands it to the backend's initialiser, and then
// only calls the slots; any slot may be empty. Every operation returns 0 on
// success and a negative value on failure. All but `dump` are called from the
// main thread with MutexConfig held.
#ifndef TARVI_BACKEND_H
#define TARVI_BACKEND_H

struct operator_table {
    int (*flush)(int force);                         // write the store to storage
    int (*reload)(int user);                         // rebuild the store: 1 defaults + user, 0 defaults
    int (*dset)(const char *key, const char *value); // set a factory default
    int (*dunset)(const char *key);                  // remove a factory default
    int (*dump)(void);                               // write the store out for inspection
    int (*restore_default)(int firmware);            // back to the defaults
    int (*backup_cfgfile)(const char *cfgFile);      // saved configuration to a file
    int (*restore_cfgfile)(const char *cfgFile);     // a file becomes the saved configuration
    // Commits that wait for confirmation; a backend without them leaves
    // these empty, and such commits are refused.
    int (*flush_pending)(void); // write the store, but load the old until confirmed
    int (*confirm)(void);       // the pending write becomes the saved configuration
    int (*rollback)(void);      // the pending write is dropped, the store reloaded
};

// Fills `op` with the backend chosen at build time and prepares its storage.
// The result is informational only.
int tarvid_backend_init(struct operator_table *op);

#endif
