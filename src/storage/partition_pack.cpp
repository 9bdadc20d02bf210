// The ConfigPack image: encoding, validity check and building from the store.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "file.h"
#include "log.h"
#include "md5.h"
#include "partition.h"
#include "paths.h"
#include "tarvid_store.h"

// Header field offsets.
namespace {
constexpr size_t H_VER = 0;
constexpr size_t H_FLAGS = 1;
constexpr size_t H_TAG = 2;
constexpr size_t H_TOTAL = 4;
constexpr size_t H_ENTRY = 8;
constexpr size_t H_PAYLOAD = 12;
constexpr size_t H_CKSUM = 16;
constexpr size_t H_CONTNUM = 32;
constexpr size_t H_CONFNUM = 34;

uint16_t get16(const char *p) {
    const auto *u = reinterpret_cast<const unsigned char *>(p);
    return static_cast<uint16_t>(u[0] | (u[1] << 8));
}

void put16(char *p, uint16_t v) {
    p[0] = static_cast<char>(v & 0xff);
    p[1] = static_cast<char>(v >> 8);
}

// Bytes a config takes in an image of the given form.
uint64_t config_line_len(const struct config *c, unsigned compact) {
    uint64_t text = strlen(c->key) + strlen(c->value);
    if (compact)
        return text + 3;
    // The whole line buffer; never less than the key and value it holds.
    return c->linebufsz > text + 2 ? c->linebufsz : text + 2;
}
} // namespace

uint32_t cfgpack_get32(const char *p) {
    const auto *u = reinterpret_cast<const unsigned char *>(p);
    return static_cast<uint32_t>(u[0]) | static_cast<uint32_t>(u[1]) << 8 | static_cast<uint32_t>(u[2]) << 16 |
           static_cast<uint32_t>(u[3]) << 24;
}

uint32_t cfgpack_total(const char *img) { return cfgpack_get32(img + H_TOTAL); }
uint32_t cfgpack_entries(const char *img) { return cfgpack_get32(img + H_ENTRY) / CFGPACK_ENTRY_SIZE; }

void cfgpack_put32(char *p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

void cfgpack_read_header(const char *img, struct cfgpack_header *h) {
    h->ver = static_cast<uint8_t>(img[H_VER]);
    h->flags = static_cast<uint8_t>(img[H_FLAGS]);
    h->tag[0] = img[H_TAG];
    h->tag[1] = img[H_TAG + 1];
    h->totalLen = cfgpack_total(img);
    h->entryLen = cfgpack_get32(img + H_ENTRY);
    h->payloadLen = cfgpack_get32(img + H_PAYLOAD);
    memcpy(h->cksum, img + H_CKSUM, sizeof h->cksum);
    h->contNum = get16(img + H_CONTNUM);
    h->confNum = get16(img + H_CONFNUM);
}

void cfgpack_write_header(char *img, const struct cfgpack_header *h) {
    memset(img, 0, CFGPACK_HEADER_SIZE);
    img[H_VER] = static_cast<char>(h->ver);
    img[H_FLAGS] = static_cast<char>(h->flags);
    img[H_TAG] = h->tag[0];
    img[H_TAG + 1] = h->tag[1];
    cfgpack_put32(img + H_TOTAL, h->totalLen);
    cfgpack_put32(img + H_ENTRY, h->entryLen);
    cfgpack_put32(img + H_PAYLOAD, h->payloadLen);
    memcpy(img + H_CKSUM, h->cksum, sizeof h->cksum);
    put16(img + H_CONTNUM, h->contNum);
    put16(img + H_CONFNUM, h->confNum);
}

void cfgpack_read_entry(const char *img, uint32_t i, struct cfgpack_entry *e) {
    const char *p = img + CFGPACK_HEADER_SIZE + static_cast<size_t>(i) * CFGPACK_ENTRY_SIZE;
    e->type = static_cast<uint8_t>(p[0]);
    e->subtype = static_cast<uint8_t>(p[1]);
    e->offset = cfgpack_get32(p + 4);
    e->len = cfgpack_get32(p + 8);
}

void cfgpack_write_entry(char *img, uint32_t i, const struct cfgpack_entry *e) {
    char *p = img + CFGPACK_HEADER_SIZE + static_cast<size_t>(i) * CFGPACK_ENTRY_SIZE;
    p[0] = static_cast<char>(e->type);
    p[1] = static_cast<char>(e->subtype);
    p[2] = p[3] = 0;
    cfgpack_put32(p + 4, e->offset);
    cfgpack_put32(p + 8, e->len);
}

const char *cfgpack_entry_data(const char *img, size_t imgLen, const struct cfgpack_entry *e) {
    uint64_t start = CFGPACK_HEADER_SIZE + static_cast<uint64_t>(cfgpack_get32(img + H_ENTRY)) + e->offset;
    return start + e->len <= imgLen ? img + start : nullptr;
}

bool cfgpack_config_line(const char *img, size_t imgLen, const struct cfgpack_entry *e, const char **key,
                         const char **value) {
    const char *line = cfgpack_entry_data(img, imgLen, e);
    if (!line)
        return false;
    const char *knul = static_cast<const char *>(memchr(line, '\0', e->len));
    if (!knul)
        return false;
    size_t rest = e->len - static_cast<size_t>(knul + 1 - line);
    if (!memchr(knul + 1, '\0', rest))
        return false;
    *key = line;
    *value = knul + 1;
    return true;
}

void cfgpack_set_cksum(char *img) {
    uint32_t total = cfgpack_total(img);
    struct md5_ctx ctx;
    memset(img + H_CKSUM, 0, 16);
    md5_init(&ctx);
    md5_update(&ctx, img, total);
    md5_final(img + H_CKSUM, &ctx);
}

int partition_check_cfgpack(char *cfgPack) {
    struct cfgpack_header h;
    cfgpack_read_header(cfgPack, &h);
    if (h.ver != CFGPACK_VERSION) {
        tarvid_log(LOG_INFO, "Check - CFG Header : Version is incorrect !!");
        return -1;
    }
    if (h.tag[0] != 'K' || h.tag[1] != 'Z') {
        tarvid_log(LOG_INFO, "Check - CFG Header : Tag is incorrect !!");
        return -1;
    }
    // Summed wide: a wrapped 32-bit sum must not pass for the total.
    if (static_cast<uint64_t>(h.totalLen) != static_cast<uint64_t>(h.entryLen) + h.payloadLen + CFGPACK_HEADER_SIZE) {
        tarvid_log(LOG_INFO, "Check - CFG Header : Part size is incorrect : %u =\\= %d + %u + %u !!", h.totalLen,
                   CFGPACK_HEADER_SIZE, h.entryLen, h.payloadLen);
        return -1;
    }
    uint32_t entries = h.entryLen / CFGPACK_ENTRY_SIZE;
    if (h.entryLen % CFGPACK_ENTRY_SIZE != 0 || static_cast<uint32_t>(h.contNum) + h.confNum > entries) {
        tarvid_log(LOG_INFO, "Check - CFG Header : Entry length is incorrect : %u =\\= (%u + %u) * %d !!", h.entryLen,
                   h.contNum, h.confNum, CFGPACK_ENTRY_SIZE);
        return -1;
    }

    uint8_t saved[16], digest[16];
    memcpy(saved, cfgPack + H_CKSUM, sizeof saved);
    memset(cfgPack + H_CKSUM, 0, sizeof saved);
    struct md5_ctx ctx;
    md5_init(&ctx);
    md5_update(&ctx, cfgPack, h.totalLen);
    md5_final(digest, &ctx);
    memcpy(cfgPack + H_CKSUM, saved, sizeof saved);
    if (memcmp(digest, saved, sizeof digest) != 0) {
        tarvid_log(LOG_INFO, "Check - CFG Header : Checksum is incorrect  !!");
        return -1;
    }

    uint64_t expected = 0;
    uint32_t conts = 0, confs = 0;
    struct cfgpack_entry prev = {};
    for (uint32_t i = 0; i < entries; ++i) {
        struct cfgpack_entry e;
        cfgpack_read_entry(cfgPack, i, &e);
        if (e.type == ENTRY_CONTAINER || e.type == ENTRY_SC2_CONTAINER)
            ++conts;
        else if (e.type == ENTRY_CONFIG)
            ++confs;
        else if (e.type != ENTRY_CHECKPOINT)
            tarvid_log(LOG_INFO, "Check - CFG Entry[%u] : Type is unknown : %d !!", i, e.type);
        if (e.offset != expected) {
            if (i == 0)
                tarvid_log(LOG_INFO, "Check - CFG Entry[%u] : Offset is incorrect : %u =\\= %llu !!", i, e.offset,
                           static_cast<unsigned long long>(expected));
            else
                tarvid_log(LOG_INFO, "Check - CFG Entry[%u] : Offset is incorrect : %u =\\= %llu (%u + %u) !!", i,
                           e.offset, static_cast<unsigned long long>(expected), prev.offset, prev.len);
            return -1;
        }
        expected += e.len;
        prev = e;
    }
    if (conts != h.contNum) {
        tarvid_log(LOG_INFO, "Check - CFG Header : Container number is incorrect : %u =\\= %u !!", conts, h.contNum);
        return -1;
    }
    if (confs != h.confNum) {
        tarvid_log(LOG_INFO, "Check - CFG Header : Config number is incorrect : %u =\\= %u !!", confs, h.confNum);
        return -1;
    }
    if (expected != h.payloadLen) {
        tarvid_log(LOG_INFO, "Check - CFG Header : Payload length is incorrect : %llu =\\= %u !!",
                   static_cast<unsigned long long>(expected), h.payloadLen);
        return -1;
    }
    return 0;
}

int partition_check_cfgpack_len(char *cfgPack, size_t len) {
    if (!cfgPack || len < CFGPACK_HEADER_SIZE) {
        tarvid_log(LOG_INFO, "Check - CFG Header : Image is shorter than its header : %zu bytes !!", len);
        return -1;
    }
    uint32_t total = cfgpack_total(cfgPack);
    if (total > len) {
        tarvid_log(LOG_INFO, "Check - CFG Header : Image length %u is over the %zu bytes read !!", total, len);
        return -1;
    }
    return partition_check_cfgpack(cfgPack);
}

// Header for `conts` in the given form; the totals are summed wide and
// reported through *total so that an oversized store cannot wrap into a
// small image. Counts beyond 16 bits make the image too large as well.
static void pack_header(struct list *conts, unsigned compact, uint32_t scSize, struct cfgpack_header *h,
                        uint64_t *total) {
    uint64_t contNum = 0, confNum = 0, contBytes = 0, confBytes = 0;
    list_for_each(cpos, conts) {
        struct container *cont = list_entry(cpos, struct container, next);
        ++contNum;
        contBytes += strlen(cont->filename) + 1;
        list_for_each(pos, &cont->config) {
            ++confNum;
            confBytes += config_line_len(list_entry(pos, struct config, sibling), compact);
        }
    }
    if (scSize)
        ++contNum;
    uint64_t payload = contBytes + confBytes + scSize;
    uint64_t entryLen = CFGPACK_ENTRY_SIZE * (contNum + confNum);
    *total = CFGPACK_HEADER_SIZE + entryLen + payload;
    if (contNum > UINT16_MAX || confNum > UINT16_MAX)
        *total = UINT64_MAX;
    memset(h, 0, sizeof *h);
    h->ver = CFGPACK_VERSION;
    h->tag[0] = 'K';
    h->tag[1] = 'Z';
    h->totalLen = static_cast<uint32_t>(*total);
    h->entryLen = static_cast<uint32_t>(entryLen);
    h->payloadLen = static_cast<uint32_t>(payload);
    h->contNum = static_cast<uint16_t>(contNum);
    h->confNum = static_cast<uint16_t>(confNum);
}

extern uint32_t partitionSCSize;
extern uint32_t partitionSize;

int partition_make_cfgpack_header(unsigned int compact, struct cfgpack_header *header) {
    uint64_t total;
    pack_header(&ContList, compact, partitionSCSize, header, &total);
    return 0;
}

// Copies the archive file into the SC2.0 entry's bytes; false when it cannot
// be opened or holds fewer bytes than announced.
static bool read_scpack(const char *path, char *dst, uint32_t size) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        tarvid_log(LOG_ERR, "Can not open %s!", path);
        return false;
    }
    uint32_t got = 0;
    while (got < size) {
        ssize_t n = read(fd, dst + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<uint32_t>(n);
    }
    close(fd);
    if (got != size) {
        tarvid_log(LOG_ERR, "%s:%d read size is not match partitionSCSize=%u", "partition_make_cfgpack", __LINE__,
                   size);
        return false;
    }
    return true;
}

int partition_pack_containers(struct list *conts, const char *scPath, uint32_t scSize, uint32_t size, char **cfgPack) {
    *cfgPack = nullptr;
    char *img = static_cast<char *>(calloc(1, size));
    if (!img) {
        tarvid_log(LOG_ERR, "Make - Can not malloc %u bytes !!", size);
        return -1;
    }
    struct cfgpack_header h;
    uint64_t total;
    unsigned compact = 0;
    pack_header(conts, 0, scSize, &h, &total);
    if (total > size) {
        tarvid_log(LOG_WARNING, "Make - Packed size (%llu bytes) is over %u bytes, try compacting !!",
                   static_cast<unsigned long long>(total), size);
        compact = 1;
        pack_header(conts, 1, scSize, &h, &total);
        if (total > size) {
            tarvid_log(LOG_CRIT, "Make - Compacked size (%llu bytes) is still over %u bytes !!",
                       static_cast<unsigned long long>(total), size);
            free(img);
            return -1;
        }
    }
    cfgpack_write_header(img, &h);

    char *payload = img + CFGPACK_HEADER_SIZE + h.entryLen;
    uint32_t cursor = 0, idx = 0;
    list_for_each(cpos, conts) {
        struct container *cont = list_entry(cpos, struct container, next);
        uint32_t nlen = static_cast<uint32_t>(strlen(cont->filename)) + 1;
        struct cfgpack_entry e = {ENTRY_CONTAINER, NORMAL_CONTAINER, cursor, nlen};
        cfgpack_write_entry(img, idx++, &e);
        memcpy(payload + cursor, cont->filename, nlen);
        cursor += nlen;
        list_for_each(pos, &cont->config) {
            struct config *c = list_entry(pos, struct config, sibling);
            uint32_t len = static_cast<uint32_t>(config_line_len(c, compact));
            e = {ENTRY_CONFIG, 0, cursor, len};
            cfgpack_write_entry(img, idx++, &e);
            // Key, NUL, value, NUL; the spare bytes stay zero. The line is
            // written from its parts, since an entry's value does not always
            // sit right after its key in its own buffer.
            size_t klen = strlen(c->key), vlen = strlen(c->value);
            memcpy(payload + cursor, c->key, klen + 1);
            memcpy(payload + cursor + klen + 1, c->value, vlen + 1);
            cursor += len;
        }
    }
    if (scSize) {
        struct cfgpack_entry e = {ENTRY_SC2_CONTAINER, BIN_CONTAINER, cursor, scSize};
        if (!read_scpack(scPath, payload + cursor, scSize)) {
            e.subtype = DUMMY_CONTAINER;
            memset(payload + cursor, 0, scSize);
        }
        tarvid_log(LOG_INFO, "Update - SC2.0 Length =%u", scSize);
        cfgpack_write_entry(img, idx, &e);
    }
    cfgpack_set_cksum(img);
    *cfgPack = img;
    return 0;
}

int partition_make_cfgpack(char **cfgPack) {
    std::string sc = tarvi_path(PARTITION_SC_BACK);
    return partition_pack_containers(&ContList, sc.c_str(), partitionSCSize, partitionSize - PARTITION_TAIL_SIZE,
                                     cfgPack);
}

// ---- editing the Not-Reset Default run ----

namespace {

// Finds `key` in the Not-Reset Default runs: *tEntry = index of the run's
// container entry (of the last run when the key is absent, -1 without any
// run), *fEntry = index of the key's entry or -1.
void find_default(const char *img, const char *key, long *tEntry, long *fEntry) {
    size_t len = cfgpack_total(img);
    uint32_t n = cfgpack_entries(img);
    *tEntry = *fEntry = -1;
    for (uint32_t i = 0; i < n; ++i) {
        struct cfgpack_entry e;
        cfgpack_read_entry(img, i, &e);
        if (e.type != ENTRY_CONTAINER || e.subtype != DEFAULT_CONTAINER)
            continue;
        *tEntry = i;
        for (uint32_t j = i + 1; j < n; ++j) {
            cfgpack_read_entry(img, j, &e);
            if (e.type != ENTRY_CONFIG)
                break;
            const char *k, *v;
            if (cfgpack_config_line(img, len, &e, &k, &v) && strcmp(k, key) == 0) {
                *fEntry = j;
                return;
            }
        }
    }
}

// Moves the offsets of the entries from index `from` on by `delta`. Entries
// are laid out in table order, so these are exactly the ones whose bytes
// follow the edited line.
void shift_offsets(char *img, uint32_t from, int64_t delta) {
    uint32_t n = cfgpack_entries(img);
    for (uint32_t i = from; i < n; ++i) {
        char *p = img + CFGPACK_HEADER_SIZE + static_cast<size_t>(i) * CFGPACK_ENTRY_SIZE + 4;
        cfgpack_put32(p, static_cast<uint32_t>(cfgpack_get32(p) + delta));
    }
}

} // namespace

int cfgpack_set_default(char *img, size_t cap, const char *key, const char *value) {
    size_t len = cfgpack_total(img);
    long tEntry, fEntry;
    find_default(img, key, &tEntry, &fEntry);
    const int64_t lineLen = static_cast<int64_t>(strlen(key) + strlen(value) + 3);
    int64_t extraNum, extraOffset, shiftOffset, shiftLen;
    struct cfgpack_entry t = {}, f = {};
    if (fEntry >= 0) {
        cfgpack_read_entry(img, static_cast<uint32_t>(fEntry), &f);
        const char *k, *v;
        if (cfgpack_config_line(img, len, &f, &k, &v) && strcmp(v, value) == 0)
            return 1;
        extraNum = 0;
        extraOffset = fEntry + 1;
        shiftOffset = static_cast<int64_t>(f.offset) + f.len;
        shiftLen = lineLen - f.len;
    } else if (tEntry >= 0) {
        cfgpack_read_entry(img, static_cast<uint32_t>(tEntry), &t);
        fEntry = tEntry + 1;
        extraNum = 1;
        extraOffset = tEntry + 1;
        shiftOffset = static_cast<int64_t>(t.offset) + t.len;
        shiftLen = lineLen;
    } else {
        tEntry = 0;
        fEntry = 1;
        extraNum = 2;
        extraOffset = 0;
        shiftOffset = 0;
        shiftLen = lineLen;
    }
    tarvid_log(LOG_INFO, "Dset - tEntry = %ld, fEntry = %ld", tEntry, fEntry);
    tarvid_log(LOG_INFO,
               "Dset - extraEntryOffset = %lld, extraEntryNum = %lld, shiftPayloadOffset = %lld, shiftPayloadLen =%lld",
               static_cast<long long>(extraOffset), static_cast<long long>(extraNum),
               static_cast<long long>(shiftOffset), static_cast<long long>(shiftLen));
    const int64_t limit = static_cast<int64_t>(cap);
    int64_t newTotal = static_cast<int64_t>(len) + shiftLen + CFGPACK_ENTRY_SIZE * extraNum;
    if (newTotal > limit) {
        tarvid_log(LOG_CRIT, "Dset - Packed size (%lld bytes) is over %lld bytes, abort it !!",
                   static_cast<long long>(newTotal), static_cast<long long>(limit));
        return -1;
    }

    struct cfgpack_header h;
    cfgpack_read_header(img, &h);
    if (extraNum > 0) {
        size_t from = CFGPACK_HEADER_SIZE + static_cast<size_t>(extraOffset) * CFGPACK_ENTRY_SIZE;
        uint32_t grow = static_cast<uint32_t>(extraNum) * CFGPACK_ENTRY_SIZE;
        memmove(img + from + grow, img + from, h.totalLen - from);
        h.totalLen += grow;
        h.entryLen += grow;
        if (extraNum == 2) {
            t = {ENTRY_CONTAINER, DEFAULT_CONTAINER, 0, 0};
            cfgpack_write_entry(img, static_cast<uint32_t>(tEntry), &t);
            ++h.contNum;
        }
        f = {ENTRY_CONFIG, 0, t.offset + t.len, static_cast<uint32_t>(lineLen)};
        ++h.confNum;
    } else {
        f.len = static_cast<uint32_t>(lineLen);
    }
    cfgpack_write_entry(img, static_cast<uint32_t>(fEntry), &f);

    char *payload = img + CFGPACK_HEADER_SIZE + h.entryLen;
    if (shiftLen != 0) {
        memmove(payload + shiftOffset + shiftLen, payload + shiftOffset,
                static_cast<size_t>(h.payloadLen - shiftOffset));
        h.totalLen = static_cast<uint32_t>(h.totalLen + shiftLen);
        h.payloadLen = static_cast<uint32_t>(h.payloadLen + shiftLen);
    }
    cfgpack_write_header(img, &h);
    if (shiftLen != 0)
        shift_offsets(img, static_cast<uint32_t>(fEntry) + 1, shiftLen);
    // Key, NUL, value, NUL, and a zero for the one further byte, so that no
    // stale bytes of moved entries linger in it.
    size_t klen = strlen(key), vlen = strlen(value);
    memcpy(payload + f.offset, key, klen + 1);
    memcpy(payload + f.offset + klen + 1, value, vlen + 1);
    payload[f.offset + klen + vlen + 2] = '\0';
    cfgpack_set_cksum(img);
    return 0;
}

int cfgpack_unset_default(char *img, const char *key) {
    long tEntry, fEntry;
    find_default(img, key, &tEntry, &fEntry);
    if (fEntry < 0)
        return 1;
    struct cfgpack_entry f;
    cfgpack_read_entry(img, static_cast<uint32_t>(fEntry), &f);
    struct cfgpack_header h;
    cfgpack_read_header(img, &h);
    size_t from = CFGPACK_HEADER_SIZE + static_cast<size_t>(fEntry + 1) * CFGPACK_ENTRY_SIZE;
    memmove(img + from - CFGPACK_ENTRY_SIZE, img + from, h.totalLen - from);
    h.totalLen -= CFGPACK_ENTRY_SIZE;
    h.entryLen -= CFGPACK_ENTRY_SIZE;
    --h.confNum;
    char *payload = img + CFGPACK_HEADER_SIZE + h.entryLen;
    uint64_t end = static_cast<uint64_t>(f.offset) + f.len;
    memmove(payload + f.offset, payload + end, static_cast<size_t>(h.payloadLen - end));
    h.totalLen -= f.len;
    h.payloadLen -= f.len;
    cfgpack_write_header(img, &h);
    shift_offsets(img, static_cast<uint32_t>(fEntry), -static_cast<int64_t>(f.len));
    cfgpack_set_cksum(img);
    return 0;
}

// ---- images and partitions for the firmware build and for tests ----

void partition_make_tail(char *tail, int user, uint32_t serial) {
    memset(tail, user ? 0x5A : 0xFF, 8);
    cfgpack_put32(tail + 8, user ? PARTITION_TAIL_MAGIC : 0xFFFFFFFFu);
    cfgpack_put32(tail + 12, user ? serial : 0xFFFFFFFFu);
}

int partition_layout(const char *img, uint32_t size, const char *tail, char *out) {
    uint32_t total = img ? cfgpack_total(img) : 0;
    if (size < PARTITION_TAIL_SIZE || total > size - PARTITION_TAIL_SIZE)
        return -1;
    memset(out, 0xFF, size);
    if (img)
        memcpy(out, img, total);
    memcpy(out + size - PARTITION_TAIL_SIZE, tail, PARTITION_TAIL_SIZE);
    return 0;
}

int partition_pack_cfg_files(const char *const *files, int count, uint32_t size, char **cfgPack) {
    *cfgPack = nullptr;
    struct list conts;
    list_init(&conts);
    int rc = 0;
    for (int i = 0; i < count && rc == 0; ++i) {
        const char *slash = strrchr(files[i], '/');
        struct container *cont = container_new(slash ? slash + 1 : files[i]);
        if (!cont) {
            rc = -1;
            break;
        }
        list_add_tail(&cont->next, &conts);
        if (file_read_config(files[i], &cont->config) != 0) {
            tarvid_log(LOG_ERR, "Make - Can not read %s !!", files[i]);
            rc = -1;
        }
    }
    if (rc == 0)
        rc = partition_pack_containers(&conts, nullptr, 0, size, cfgPack);
    list_for_each_safe(pos, &conts) {
        list_del(pos);
        container_free(list_entry(pos, struct container, next));
    }
    return rc;
}
