#include "prop_tarvi.h"

#include <pthread.h>

#include "tarvid.h"

unsigned int prop_debug_level = 2;
const char *const prop_debug_name[7] = {"", "TEST! ", "FAIL! ", "WARN! ", "TRACE! ", "INFO! ", "LOUD! "};

namespace {
struct list prop_queue_list;
pthread_mutex_t prop_queue_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t prop_queue_condition = PTHREAD_COND_INITIALIZER;
int prop_queue_inited;
} // namespace

static struct req *_prop_tarvi_dequeue() {
    return req_queue_take(&prop_queue_list, &prop_queue_mutex, &prop_queue_condition);
}

// The property service itself is not part of this daemon yet: requests are
// taken off the queue and their connections closed without a reply.
static void *_prop_tarvi_thread(void *) {
    for (;;)
        req_drop(_prop_tarvi_dequeue());
    return nullptr;
}

int prop_tarvi_init() {
    list_init(&prop_queue_list);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, _prop_tarvi_thread, nullptr) != 0)
        return -1;
    pthread_detach(thread);
    prop_queue_inited = 1;
    return 0;
}

int prop_tarvi_enqueue(struct req *request) {
    if (!request || !prop_queue_inited)
        return -1;
    req_queue_put(request, &prop_queue_list, &prop_queue_mutex, &prop_queue_condition);
    return 0;
}
