// The text-file backend's reading of a "key=value" file (firmware defaults,
// factory overrides, user files): every entry it makes holds a key and a
// value that end inside its own buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "file.h"
#include "fuzz_support.h"
#include "paths.h"
#include "tarvid_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_root();
    fuzz_write("/mnt/tarvi/fuzz", data, size);
    struct list head;
    list_init(&head);
    file_read_config(tarvi_path("/mnt/tarvi/fuzz").c_str(), &head);
    list_for_each_safe(pos, &head) {
        struct config *c = list_entry(pos, struct config, sibling);
        const char *end = c->linebuf + c->linebufsz;
        if (c->key < c->linebuf || c->key >= end || !memchr(c->key, '\0', static_cast<size_t>(end - c->key)) ||
            c->value < c->linebuf || c->value >= end || !memchr(c->value, '\0', static_cast<size_t>(end - c->value)))
            abort();
        list_del(pos);
        config_free(c);
    }
    return 0;
}
