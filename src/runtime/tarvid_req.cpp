#include "tarvid_req.h"

#include <cerrno>
#include <cstdlib>
#include <time.h>

#include "request.h"
#include "utility.h"

// The daemon never waits for a client beyond one socket timeout.
int req_reply_packed(struct req *request, const unsigned char *wire, int size) {
    int rc = -1;
    if (size > 0 && safe_write_mode(request->sock, wire, static_cast<size_t>(size), 0) == size)
        rc = 0;
    req_drop(request);
    return rc;
}

int req_reply(struct req *request) {
    unsigned char wire[TARVI_REQUEST_MAX_SIZE];
    return req_reply_packed(request, wire, request_encode(&request->request, wire));
}

void req_drop(struct req *request) {
    safe_close(request->sock);
    free(request);
}

// ---- queues ----

void req_queue_put(struct req *r, struct list *queue, pthread_mutex_t *mutex, pthread_cond_t *cond) {
    pthread_mutex_lock(mutex);
    list_add_tail(&r->next, queue);
    pthread_cond_signal(cond);
    pthread_mutex_unlock(mutex);
}

struct req *req_queue_take(struct list *queue, pthread_mutex_t *mutex, pthread_cond_t *cond) {
    return req_queue_take_for(queue, mutex, cond, -1);
}

struct req *req_queue_take_for(struct list *queue, pthread_mutex_t *mutex, pthread_cond_t *cond, int timeout_ms) {
    struct timespec until;
    if (timeout_ms >= 0) {
        clock_gettime(CLOCK_MONOTONIC, &until);
        until.tv_sec += timeout_ms / 1000;
        until.tv_nsec += (timeout_ms % 1000) * 1000000L;
        if (until.tv_nsec >= 1000000000L) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000000000L;
        }
    }
    pthread_mutex_lock(mutex);
    while (list_empty(queue)) {
        if (timeout_ms < 0) {
            pthread_cond_wait(cond, mutex);
        } else if (pthread_cond_timedwait(cond, mutex, &until) == ETIMEDOUT) {
            if (list_empty(queue)) {
                pthread_mutex_unlock(mutex);
                return nullptr;
            }
        }
    }
    struct list *first = queue->next;
    list_del(first);
    pthread_mutex_unlock(mutex);
    return list_entry(first, struct req, next);
}
