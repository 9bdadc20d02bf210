// Partition storage backend and the ConfigPack image format.
//
// The flat store persists as a checksummed binary image (header, entry table,
// payload; all integers little-endian), written alternately into two user
// partitions under rising serial numbers, above a factory image and the
// firmware default file. A partition ends in a 16-byte tail that carries the
// serial number of its image.
//
// Every call that reads or rebuilds the store must be made with MutexConfig
// held (or before the daemon's threads exist).
#ifndef TARVI_PARTITION_H
#define TARVI_PARTITION_H

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "backend.h"
#include "list.h"
#include "paths.h"

#define CFGPACK_VERSION 2
#define CFGPACK_HEADER_SIZE 128
#define CFGPACK_ENTRY_SIZE 12
#define PARTITION_TAIL_SIZE 16
#define PARTITION_PAGE_SIZE 8192
#define PARTITION_DEFAULT_SIZE 262144u
#define PARTITION_TAIL_MAGIC 0x84149961u
// The magic of a user image that waits for confirmation. It differs from
// PARTITION_TAIL_MAGIC in one byte only (0xE1 for 0x61, a superset of its
// bits), so that the confirming write changes a single byte of the partition.
// Whatever does not read PARTITION_TAIL_MAGIC takes the partition for empty.
#define PARTITION_TAIL_MAGIC_PENDING 0x841499E1u
#define PARTITION_NO_SERIAL 0xFFFFFFFFu

// Fixed device paths of the backend.
#define PARTITION_LABEL_DIR "/dev/disk/by-partlabel"
#define PARTITION_PROC_PARTITIONS "/proc/partitions"
#define PARTITION_FIRMWARE_DEFAULT "/usr/cfg/default.bin"
#define PARTITION_SC_DIR "/tmp/sc"
#define PARTITION_SC_BACK "/tmp/sc2_back.tar.gz"
#define PARTITION_SC_RESTORE "/tmp/sc2_restore.tar.gz"
#define PARTITION_DUMP_DIR "/mnt/tarvi"
// A partition's path on the device ("/dev/disk/by-partlabel/LABEL") is kept
// in 64 bytes; the buffers hold it under the root prefix.
#define PARTITION_DEVICE_PATH_SIZE 64
#define PARTITION_PATH_SIZE TARVI_PREFIXED_SIZE(PARTITION_DEVICE_PATH_SIZE)

enum cfgpack_entry_type {
    ENTRY_CONTAINER = 0,
    ENTRY_CONFIG = 1,
    ENTRY_SC2_CONTAINER = 2,
    ENTRY_CHECKPOINT = 255,
    MAXIMUM_ENTRY_TYPE = 255,
};

enum cfgpack_entry_container_subtype {
    NORMAL_CONTAINER = 0,
    DEFAULT_CONTAINER = 1,
    BIN_CONTAINER = 2,
    DUMMY_CONTAINER = 3,
    MAXIMUM_CONTAINER_SUBTYPE = 255,
};

enum cfgpack_reload_role {
    FIRMWARE_DEFAULT_CFGPACK_RELOAD = 0,
    FACTORY_CFGPACK_RELOAD = 1,
    USER_CFGPACK_RELOAD = 2,
};

// The numbers of an image header; encoded to and from its 128 bytes by the
// calls below, never copied as a struct.
struct cfgpack_header {
    uint8_t ver;
    uint8_t flags;
    char tag[2];
    uint32_t totalLen;
    uint32_t entryLen;
    uint32_t payloadLen;
    uint8_t cksum[16];
    uint16_t contNum;
    uint16_t confNum;
};

// One record of the entry table, decoded.
struct cfgpack_entry {
    uint8_t type;
    uint8_t subtype;
    uint32_t offset; // from the start of the payload
    uint32_t len;
};

// ---- image format ----

uint32_t cfgpack_get32(const char *p);
void cfgpack_put32(char *p, uint32_t v);

// The total length and the number of table entries that the header of an
// image (at least 128 bytes) states.
uint32_t cfgpack_total(const char *img);
uint32_t cfgpack_entries(const char *img);

// Decodes / encodes the header at the start of an image of at least 128 bytes.
void cfgpack_read_header(const char *img, struct cfgpack_header *h);
void cfgpack_write_header(char *img, const struct cfgpack_header *h);

// Decodes / encodes entry `i` of an image whose table holds more than `i`
// records. The caller checked that bound.
void cfgpack_read_entry(const char *img, uint32_t i, struct cfgpack_entry *e);
void cfgpack_write_entry(char *img, uint32_t i, const struct cfgpack_entry *e);

// The bytes of entry `e` inside an image of `imgLen` bytes, or null when they
// would run past it.
const char *cfgpack_entry_data(const char *img, size_t imgLen, const struct cfgpack_entry *e);

// Key and value of a config entry of a checked image of `imgLen` bytes: true
// when the entry's bytes lie inside the payload and hold a NUL-terminated key
// and a NUL-terminated value within its `len`. *key and *value point into the
// image.
bool cfgpack_config_line(const char *img, size_t imgLen, const struct cfgpack_entry *e, const char **key,
                         const char **value);

// Sets the checksum of an image whose header is already complete.
void cfgpack_set_cksum(char *img);

// 0 when the image in the buffer is valid, -1 (one message logged) when not.
// The buffer must hold the header's `totalLen` bytes; it is unchanged
// afterwards.
int partition_check_cfgpack(char *cfgPack);

// As above for a buffer of `len` bytes: an image longer than the buffer, or a
// buffer shorter than a header, is refused before any checksum is computed.
int partition_check_cfgpack_len(char *cfgPack, size_t len);

// Fills *header for the containers on ContList (and partitionSCSize) in
// normal (compact = 0) or compact form. Returns 0.
int partition_make_cfgpack_header(unsigned int compact, struct cfgpack_header *header);

// Builds an image of ContList (and of the SC2.0 archive file when
// partitionSCSize is set) in a new buffer of partitionSize - 16 bytes; the
// caller frees *cfgPack. Returns 0, or -1 with *cfgPack null when memory is
// short or the image does not fit.
int partition_make_cfgpack(char **cfgPack);

// As partition_make_cfgpack for any list of containers (linked through
// container::next), with an optional archive of `scSize` bytes read from the
// file `scPath`, into a new buffer of `size` bytes (at least 128) that the
// caller frees. Returns 0, or -1 with *cfgPack null.
int partition_pack_containers(struct list *conts, const char *scPath, uint32_t scSize, uint32_t size, char **cfgPack);

// Sets `key` to `value` in the Not-Reset Default run of the valid image in
// `img`, a buffer of `cap` bytes, in place: the entry's line is replaced, or a
// new entry opens the run, or a run is made at the front of the image. The
// checksum is renewed. Returns 0, 1 when the key already holds that value
// (nothing changed), -1 when the image would outgrow `cap` (unchanged).
int cfgpack_set_default(char *img, size_t cap, const char *key, const char *value);

// Removes `key` from the Not-Reset Default run of the valid image in `img`;
// the run's container entry stays. Returns 0, or 1 when the key is absent.
int cfgpack_unset_default(char *img, const char *key);

// Builds a firmware default image from the text files `files[0..count-1]`:
// one container per file, named by its file name, with the file's key=value
// lines in order. The new buffer of `size` bytes is the caller's to free.
// Returns 0, or -1 (logged) with *cfgPack null.
int partition_pack_cfg_files(const char *const *files, int count, uint32_t size, char **cfgPack);

// The 16-byte tail of a user partition holding serial number `serial`
// (user != 0), or of the factory partition (sixteen 0xFF bytes).
void partition_make_tail(char *tail, int user, uint32_t serial);

// Lays out a whole partition of `size` bytes (a multiple of the page size) in
// `out`: the image `img` (null for none) at the start, 0xFF up to the tail,
// then `tail`. Returns 0, or -1 when the image does not fit before the tail.
int partition_layout(const char *img, uint32_t size, const char *tail, char *out);

// ---- backend ----

// Merges an image of `imgLen` bytes that passed partition_check_cfgpack_len
// into the store in `role` (the factory role fills ContDefault, which must
// exist). Returns 0, or -1 when memory runs out or the image's SC2.0 archive
// cannot be taken.
int partition_reload_cfgpack(char *cfgPack, size_t imgLen, enum cfgpack_reload_role role);

// Fills the eight slots of `op`, then probes the partitions by label and reads
// the user serial numbers (module state is reset first, as at start).
// Returns 0, or -1 when the probe or a tail read failed; the slots stay filled.
int partition_init(struct operator_table *op);

int partition_flush(int force);
int partition_reload(int user);
int partition_dset(const char *key, const char *value);
int partition_dunset(const char *key);
int partition_dump(void);
int partition_restore_default(int firmware);
int partition_backup_cfgfile(const char *cfgFile);
int partition_restore_cfgfile(const char *cfgFile);

// ---- commits that wait for confirmation ----
//
// partition_flush_pending writes the store (always, changed or not) into the
// user partition a commit would take, under the next serial number, but with
// the pending magic in its tail, which goes first: until confirmed, no reader
// (this one after a restart or power cut included) loads that image, and the
// last confirmed image stays where it was. partition_confirm turns the
// pending magic into the user magic (one byte of the last page; the image is
// read and checked first), after which the image is the newest like any
// other. partition_rollback forgets the pending image, which nothing loads,
// and reloads the store from the last confirmed images; the flash is not
// written. Each returns 0 or -1; flush_pending refuses while an image waits,
// confirm and rollback when none does.
int partition_flush_pending(void);
int partition_confirm(void);
int partition_rollback(void);
// Index of the user partition whose image waits for confirmation, or -1.
int partition_pending_index(void);

// Size in bytes of each configuration partition, and the serial numbers of
// the two user images (PARTITION_NO_SERIAL: none), as the backend sees them.
uint32_t partition_size(void);
uint32_t partition_serial(int idx);
// Index (0 or 1) of the user partition last loaded or written.
int partition_current_index(void);

// Test seam under the partition writer: every write to a partition goes
// through `fn` (null restores write(2)).
typedef ssize_t (*partition_write_fn)(int fd, const void *buf, size_t count);
void partition_set_write_hook(partition_write_fn fn);

#endif
