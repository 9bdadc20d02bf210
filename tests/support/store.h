// Helpers for tests that fill the flat store in-process.
#ifndef TARVI_TEST_STORE_H
#define TARVI_TEST_STORE_H

#include "tarvid_store.h"

// Frees everything the store holds, so each test starts empty and the
// sanitizer sees no leak.
inline void free_store() {
    list_for_each_safe(pos, &ContList) {
        list_del(pos);
        container_free(list_entry(pos, struct container, next));
    }
    if (ContDefault)
        container_free(ContDefault);
    if (ContRuntime)
        container_free(ContRuntime);
    ContDefault = ContRuntime = nullptr;
    for (auto &bucket : ConfigHashTable) { // notify placeholders belong to no container
        list_for_each_safe(pos, &bucket) {
            list_del(pos);
            config_free(list_entry(pos, struct config, next));
        }
    }
}

#endif
