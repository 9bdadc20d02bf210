// Empties the flat store that a unit test filled: the Runtime container with
// its entries, then any notification placeholders left in the hash table.
#ifndef TARVI_TEST_FLAT_STORE_H
#define TARVI_TEST_FLAT_STORE_H

#include "tarvid_store.h"

inline void flat_store_clear() {
    container_free(ContRuntime);
    ContRuntime = nullptr;
    for (auto &bucket : ConfigHashTable) {
        list_for_each_safe(pos, &bucket) {
            list_del(pos);
            config_free(list_entry(pos, struct config, next));
        }
    }
}

#endif
