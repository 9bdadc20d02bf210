// Commits that wait for confirmation. A commit made with a deadline is
// written so that the device still starts with the configuration before it;
// a confirmation before the deadline makes it the saved one, and otherwise
// (or on request) the daemon rolls the store and the tree back to the last
// confirmed configuration. The backend keeps the marking on storage (so a
// restart or power cut rolls back by itself); this module keeps the deadline
// and its timer.
#ifndef TARVID_CONFIRM_H
#define TARVID_CONFIRM_H

#include "libtarvi.h"

// The timer thread: rolls back a commit whose time has run out, for ever.
void *confirm_timer_thread(void *);

// Serves TARVI_REQUEST_TYPE_COMMIT_CONFIRM, CONFIRM, ROLLBACK and
// COMMIT_STATUS into q->status (and q->value for the status, pointing at
// `text`, which must outlive the reply).
void confirm_serve(tarvi_request *q, char *text, size_t size);

// True (logged) when a commit waits for confirmation and a request of `type`
// would replace the stored or loaded configuration: commits, reloads and
// restores wait until the commit is confirmed or rolled back.
bool confirm_refuses(int type);

#endif
