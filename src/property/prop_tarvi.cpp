#include "prop_tarvi.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

#include "prop_api.h"
#include "prop_core.h"
#include "prop_db.h"
#include "prop_debug.h"
#include "prop_test.h"
#include "request.h"
#include "tarvid_child.h"
#include "tarvid_cursor.h"
#include "tarvid_req.h"
#include "utility.h"

namespace {
struct list prop_queue_list;
pthread_mutex_t prop_queue_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t prop_queue_condition; // on the monotonic clock: the thread waits with timeouts
int prop_queue_inited;
pthread_t prop_pthread;

// The self-test runs on this thread: it reaches the core directly, with the
// same checks the library calls make.
int local_get(const char *key, char *value, const char *default_value) {
    return _property_get_with(key, value, default_value, prop_core_get);
}
int local_set(const char *key, const char *value) { return _property_set_with(key, value, prop_core_set); }
int local_detach(pid_t pid) { return tarvid_child_watch(pid, nullptr); }
const prop_test_ops daemon_test_ops = {local_set, local_get, prop_core_dump, local_detach};

} // namespace

// The next request, or null when `timeout_ms` (-1: none) passes first.
static struct req *_prop_tarvi_dequeue(int timeout_ms) {
    if (!prop_queue_inited)
        return nullptr;
    return req_queue_take_for(&prop_queue_list, &prop_queue_mutex, &prop_queue_condition, timeout_ms);
}

// Packs `request` as the reply and writes it on `sock`: a reply that is too
// large goes back as a failed get without a value.
static void _prop_tarvi_reply(const int sock, tarvi_request *request) {
    unsigned char wire[TARVI_REQUEST_MAX_SIZE];
    int size = request_encode(request, wire);
    if (size < 0 && request->type == TARVI_REQUEST_TYPE_PROP_GET) {
        request->value = nullptr;
        request->status = -1;
        size = request_encode(request, wire);
    }
    if (size > 0)
        safe_write_mode(sock, wire, static_cast<size_t>(size), 0);
}

// The answer to a set whose trigger commands ran on after it returned.
static void _prop_tarvi_reply_later(void *cookie) {
    auto *r = static_cast<struct req *>(cookie);
    _prop_tarvi_reply(r->sock, &r->request);
    req_drop(r);
}

// A set is answered once its trigger commands have run, or when the engine
// stops waiting for them; the thread serves others meanwhile. True when the
// answer comes later (the engine keeps the request until then); false when
// the caller answers now.
static bool _prop_tarvi_set(struct req *r) {
    tarvi_request *q = &r->request;
    int later = 0;
    q->status = prop_core_set_then(q->key, q->value, _prop_tarvi_reply_later, r, &later);
    return later != 0;
}

int _prop_tarvi_request_handle(const int sock, tarvi_request *request) {
    char buffer[PROP_VALUE_SIZE];
    switch (request->type) {
    case TARVI_REQUEST_TYPE_PROP_SET:
        request->status = prop_core_set(request->key, request->value);
        break;
    case TARVI_REQUEST_TYPE_PROP_GET:
        request->status = request->key ? prop_core_get(request->key, buffer) : -1;
        // A failed lookup sends no value at all rather than stale bytes.
        request->value = request->status == 0 ? buffer : nullptr;
        break;
    case TARVI_REQUEST_TYPE_PROP_RELOAD:
        request->status = prop_core_init();
        request->key = request->value = nullptr;
        break;
    case TARVI_REQUEST_TYPE_PROP_DEBUG:
        // Without a level there is nothing to set (atoi would make it 0).
        request->status = request->key ? prop_debug_set(static_cast<unsigned int>(util_atoi(request->key))) : -1;
        request->key = request->value = nullptr;
        break;
    case TARVI_REQUEST_TYPE_PROP_TEST:
        request->status = prop_test_func(request->key, request->value);
        request->value = nullptr;
        break;
    default:
        return 0;
    }
    _prop_tarvi_reply(sock, request);
    return 0;
}

static void *_prop_tarvi_thread(void *) {
    // Loaded here, so that nothing else runs the engine meanwhile.
    prop_core_init();
    for (;;) {
        struct req *r = _prop_tarvi_dequeue(prop_core_tick());
        if (!r)
            continue;
        tarvi_request *q = &r->request;
        PROP_LOG(PROP_DEBUG_TRACE, "Get the action. type:%d pid:%d sock:%d \n", q->type, r->child_pid, r->sock);
        switch (q->type) {
        case TARVI_REQUEST_TYPE_PROP_CTRLSTOP_SIGNAL:
            prop_core_notify_ctrl(r->child_pid);
            free(r);
            break;
        case TARVI_REQUEST_TYPE_PROP_SET:
            if (!_prop_tarvi_set(r)) {
                _prop_tarvi_reply(r->sock, q);
                req_drop(r);
            }
            break;
        case TARVI_REQUEST_TYPE_PROP_GET:
        case TARVI_REQUEST_TYPE_PROP_RELOAD:
        case TARVI_REQUEST_TYPE_PROP_DEBUG:
        case TARVI_REQUEST_TYPE_PROP_TEST:
            _prop_tarvi_request_handle(r->sock, q);
            req_drop(r);
            break;
        case TARVI_REQUEST_TYPE_PROP_LIST:
            // The store is this thread's alone: the snapshot is consistent.
            cursor_reply_listing(r, prop_db_list_text(q->key));
            break;
        default:
            if (r->sock >= 0)
                req_drop(r);
            else
                free(r);
            break;
        }
    }
    return nullptr;
}

void prop_tarvi_child_exit_handle(pid_t pid, int) {
    PROP_LOG(PROP_DEBUG_TRACE, "Get the pid:%d \n", static_cast<int>(pid));
    auto *r = static_cast<struct req *>(calloc(1, sizeof(struct req)));
    if (!r) {
        PROP_LOG(PROP_DEBUG_FAIL, "Can't malloc!!\n");
        return;
    }
    list_init(&r->next);
    r->sock = -1;
    r->child_pid = static_cast<int>(pid);
    r->request.magic = TARVI_REQUEST_MAGIC;
    r->request.type = TARVI_REQUEST_TYPE_PROP_CTRLSTOP_SIGNAL;
    if (prop_tarvi_enqueue(r) != 0) {
        PROP_LOG(PROP_DEBUG_FAIL, "Can't enque!!\n");
        free(r);
    }
}

int prop_tarvi_init() {
    list_init(&prop_queue_list);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&prop_queue_condition, &attr);
    pthread_condattr_destroy(&attr);
    prop_queue_inited = 1;
    prop_test_set_ops(&daemon_test_ops);
    prop_core_exit_handler = prop_tarvi_child_exit_handle;
    prop_core_set_background(1);
    int rc = pthread_create(&prop_pthread, nullptr, _prop_tarvi_thread, nullptr);
    if (rc != 0) {
        prop_queue_inited = 0;
        PROP_LOG(PROP_DEBUG_FAIL, "Can't create thread. %s !!\n", strerror(rc));
        return -1;
    }
    pthread_detach(prop_pthread);
    return 0;
}

int prop_tarvi_enqueue(struct req *request) {
    if (!request || !prop_queue_inited)
        return -1;
    PROP_LOG(PROP_DEBUG_TRACE, "TARVI Property arrive!\n");
    req_queue_put(request, &prop_queue_list, &prop_queue_mutex, &prop_queue_condition);
    return 0;
}
