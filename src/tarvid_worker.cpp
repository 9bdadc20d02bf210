#include <cstdlib>

#include "tarvid.h"

// The tree is not served by this daemon yet: each request is taken off the
// queue and its connection closed without a reply, so the client fails at
// once instead of waiting for a timeout.
void *request_thread(void *) {
    for (;;)
        req_drop(req_queue_take(&ReqList, &MutexReqList, &ConditionReqList));
    return nullptr;
}

void *request_cb_thread(void *) {
    for (;;)
        req_drop(req_queue_take(&ReqCbList, &MutexCbReqList, &ConditionCbReqList));
    return nullptr;
}
