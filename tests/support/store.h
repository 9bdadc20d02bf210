// Helpers for tests (and fuzz targets) that fill the flat store in-process.
#ifndef TARVI_TEST_STORE_H
#define TARVI_TEST_STORE_H

#include "tarvid_store.h"

// Frees everything the store holds, so each test starts empty and the
// sanitizer sees no leak. A store never set up is left alone.
inline void free_store() {
    if (ContList.next) {
        list_for_each_safe(pos, &ContList) {
            list_del(pos);
            container_free(list_entry(pos, struct container, next));
        }
    }
    for (struct container **c : {&ContDefault, &ContRuntime}) {
        if (*c)
            container_free(*c);
        *c = nullptr;
    }
    for (auto &bucket : ConfigHashTable) { // notify placeholders belong to no container
        if (!bucket.next)
            continue;
        list_for_each_safe(pos, &bucket) {
            list_del(pos);
            config_free(list_entry(pos, struct config, next));
        }
    }
}

#endif
