// The property service's request queue and thread.
#ifndef TARVI_PROP_TARVI_H
#define TARVI_PROP_TARVI_H

struct req;

// Property debug level (0..6) and the label of each level.
extern unsigned int prop_debug_level;
extern const char *const prop_debug_name[7];
#define PROP_DEBUG_TRACE 4

// Prepares the queue and starts the property thread. Returns 0, or -1 when
// the thread cannot be started.
int prop_tarvi_init();

// Appends `request` to the property queue; ownership passes to the queue only
// on success. Returns 0, or -1 for a null request or an unprepared queue.
int prop_tarvi_enqueue(struct req *request);

#endif
