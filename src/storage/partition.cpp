// Partition backend: probe, read, reload, commit with read-back, factory
// edits, backup and restore.
#include "partition.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "log.h"
#include "paths.h"
#include "sc_archive.h"
#include "tarvi-ex.h"
#include "tarvid_store.h"
#include "unique.h"
#include "utility.h"

uint32_t partitionSize = PARTITION_DEFAULT_SIZE;
uint32_t partitionBlockSize = 131072;
char mtdFactoryConfig[PARTITION_PATH_SIZE];
char mtdUserConfig[2][PARTITION_PATH_SIZE];
uint32_t partitionSerialNo[2] = {PARTITION_NO_SERIAL, PARTITION_NO_SERIAL};
uint32_t partitionMaxSerialNo;
int partitionConfigPackIdx;
uint32_t partitionSCSize;

namespace {

struct list BackupContList = {&BackupContList, &BackupContList};
struct container *BackupContDefault;

// Bit of container::flag owned by this backend: set aside by a running reload.
constexpr uint32_t CONTAINER_SET_ASIDE = 2u;

// Sizes a probed partition may have: whole pages, at least two of them (one
// for data, one for the tail), and no more than a configuration partition
// could sensibly be; anything else keeps the default size.
constexpr uint32_t PARTITION_MIN_SIZE = 2 * PARTITION_PAGE_SIZE;
constexpr uint32_t PARTITION_MAX_SIZE = 64u * 1024 * 1024;

const char *const LABELS[3] = {"FactoryConfig", "ConfigPack1", "ConfigPack2"};

partition_write_fn write_hook;

// The user image that waits for confirmation: its partition (-1: none) and
// serial number. Held in memory only: after a restart nothing waits, and the
// image, which no reader takes, is overwritten by the next commit.
int pendingIdx = -1;
uint32_t pendingSerial;

// Whether the running or last reload replaced the tree folder by an archive.
bool reloadTookArchive;

// A user partition held an image that waited for confirmation when the
// backend started: the tree folder may hold that commit's tree files.
bool unconfirmedAtStart;

// Writes go through the test seam.
bool write_all(int fd, const char *buf, size_t count) {
    return transfer_all(buf, count,
                        [fd](const char *b, size_t n) { return write_hook ? write_hook(fd, b, n) : write(fd, b, n); });
}

bool read_all(int fd, char *buf, size_t count) {
    return transfer_all(buf, count, [fd](char *b, size_t n) { return read(fd, b, n); });
}

bool is_partition_path(const char *path) {
    if (!*path)
        return false;
    return strcmp(path, mtdFactoryConfig) == 0 || strcmp(path, mtdUserConfig[0]) == 0 ||
           strcmp(path, mtdUserConfig[1]) == 0;
}

} // namespace

// ---- probe and initialisation ----

// The size in KiB of kernel device `name` from a /proc/partitions line: the
// third blank-separated field when the fourth is exactly `name`. -1 when the
// line is not about that device.
static long long proc_partitions_size(const char *line, const char *name) {
    char fields[4][64];
    int n = 0;
    const char *p = line;
    while (n < 4) {
        while (*p == ' ')
            ++p;
        size_t len = strcspn(p, " \n");
        if (len == 0 || len >= sizeof fields[0])
            break;
        memcpy(fields[n], p, len);
        fields[n++][len] = '\0';
        p += len;
    }
    if (n < 4 || strcmp(fields[3], name) != 0)
        return -1;
    long long kib = 0;
    for (const char *d = fields[2]; *d; ++d) {
        if (*d < '0' || *d > '9' || kib > PARTITION_MAX_SIZE)
            return 0;
        kib = kib * 10 + (*d - '0');
    }
    return kib;
}

static int partition_partlabel_probe(void) {
    std::string dir = tarvi_path(PARTITION_LABEL_DIR);
    DIR *d = opendir(dir.c_str());
    if (!d) {
        tarvid_log(LOG_ERR, "Init - Can not open %s for reading !! error:%s", dir.c_str(), strerror(errno));
        return -1;
    }
    bool found[3] = {false, false, false};
    char *paths[3] = {mtdFactoryConfig, mtdUserConfig[0], mtdUserConfig[1]};
    while (struct dirent *de = readdir(d)) {
        if (de->d_name[0] == '.')
            continue;
        for (int i = 0; i < 3; ++i) {
            if (strcmp(de->d_name, LABELS[i]) != 0)
                continue;
            // The device's limit holds for the path on the device; the
            // sandbox root in front of it has room of its own.
            std::string device = std::string(PARTITION_LABEL_DIR) + "/" + de->d_name;
            std::string path = dir + "/" + de->d_name;
            if (device.size() >= PARTITION_DEVICE_PATH_SIZE || path.size() >= PARTITION_PATH_SIZE) {
                tarvid_log(LOG_ERR, "Init - Path of %s is too long !!", LABELS[i]);
                continue;
            }
            memcpy(paths[i], path.c_str(), path.size() + 1);
            char target[PARTITION_PATH_SIZE];
            ssize_t n = readlink(path.c_str(), target, sizeof target);
            if (n >= 1 && static_cast<size_t>(n) < sizeof target) {
                target[n] = '\0';
                found[i] = true;
                tarvid_log(LOG_INFO, "Init - Found %s: %s", LABELS[i], target);
            }
        }
    }
    if (!found[0] || !found[1] || !found[2]) {
        tarvid_log(LOG_ERR, "Init - Can not find files factory_file:%d usr_file_1:%d  usr_file_2:%d !!", found[0],
                   found[1], found[2]);
        closedir(d);
        return -1;
    }
    if (closedir(d) != 0) {
        tarvid_log(LOG_ERR, "Init - Can not close %s !!", dir.c_str());
        return -1;
    }

    std::string proc = tarvi_path(PARTITION_PROC_PARTITIONS);
    FILE *f = fopen(proc.c_str(), "re");
    if (!f) {
        tarvid_log(LOG_ERR, "Init - Can not open %s for reading !! ", proc.c_str());
        tarvid_log(LOG_INFO, "Init - Can not find FactoryConfig size, use default one : %dK !!",
                   PARTITION_DEFAULT_SIZE / 1024);
        return -1;
    }
    char target[PARTITION_PATH_SIZE];
    ssize_t n = readlink(mtdFactoryConfig, target, sizeof target - 1);
    if (n < 0) {
        fclose(f);
        tarvid_log(LOG_ERR, "Init - Can not readlink %s for reading !! ", mtdFactoryConfig);
        tarvid_log(LOG_INFO, "Init - Can not find FactoryConfig size, use default one : %dK !!",
                   PARTITION_DEFAULT_SIZE / 1024);
        return -1;
    }
    target[n] = '\0';
    const char *slash = strrchr(target, '/');
    const char *name = slash ? slash + 1 : target;

    char line[64];
    long long kib = -1;
    while (kib < 0 && fgets(line, sizeof line, f)) {
        kib = proc_partitions_size(line, name);
        // A line longer than one read: skip its rest.
        while (!strchr(line, '\n') && !feof(f) && fgets(line, sizeof line, f)) {
        }
    }
    fclose(f);
    uint64_t bytes = kib > 0 ? static_cast<uint64_t>(kib) * 1024 : 0;
    if (kib <= 0 || bytes % PARTITION_PAGE_SIZE != 0 || bytes < PARTITION_MIN_SIZE || bytes > PARTITION_MAX_SIZE) {
        tarvid_log(LOG_INFO, "Init - Can not find FactoryConfig size, use default one : %lldK !!",
                   kib < 0 ? static_cast<long long>(PARTITION_DEFAULT_SIZE / 1024) : kib);
        return -1;
    }
    tarvid_log(LOG_INFO, "Init - Found FactoryConfig size: %lldK", kib);
    partitionSize = static_cast<uint32_t>(bytes);
    partitionBlockSize = 512;
    return 0;
}

int partition_init(struct operator_table *op) {
    op->flush = partition_flush;
    op->reload = partition_reload;
    op->dset = partition_dset;
    op->dunset = partition_dunset;
    op->dump = partition_dump;
    op->restore_default = partition_restore_default;
    op->backup_cfgfile = partition_backup_cfgfile;
    op->restore_cfgfile = partition_restore_cfgfile;
    op->flush_pending = partition_flush_pending;
    op->confirm = partition_confirm;
    op->rollback = partition_rollback;

    partitionSize = PARTITION_DEFAULT_SIZE;
    partitionBlockSize = 131072;
    mtdFactoryConfig[0] = mtdUserConfig[0][0] = mtdUserConfig[1][0] = '\0';
    partitionSerialNo[0] = partitionSerialNo[1] = PARTITION_NO_SERIAL;
    partitionMaxSerialNo = 0;
    partitionConfigPackIdx = 0;
    partitionSCSize = 0;
    pendingIdx = -1;
    unconfirmedAtStart = false;

    if (partition_partlabel_probe() < 0) {
        tarvid_log(LOG_ERR, "Init - Can not probe partlabel configuration files! : %s", strerror(errno));
        return -1;
    }
    tarvid_log(LOG_INFO, "Init - Partition size is %u bytes, partition block size is %u bytes", partitionSize,
               partitionBlockSize);
    for (int i = 0; i < 2; ++i) {
        unique_fd fd(open(mtdUserConfig[i], O_RDWR | O_SYNC | O_CLOEXEC));
        if (fd.get() < 0) {
            tarvid_log(LOG_ERR, "Init - Can not open %s for ConfigPack%d : %s !!", mtdUserConfig[i], i + 1,
                       strerror(errno));
            return -1;
        }
        if (lseek(fd.get(), partitionSize - PARTITION_TAIL_SIZE, SEEK_SET) < 0) {
            tarvid_log(LOG_ERR, "Init - Can not seek to tail of %s for ConfigPack%d : %s !!", mtdUserConfig[i], i + 1,
                       strerror(errno));
            return -1;
        }
        char tail[PARTITION_TAIL_SIZE];
        if (!read_all(fd.get(), tail, sizeof tail)) {
            tarvid_log(LOG_ERR, "Init - Can not read tail of %s for ConfigPack%d : %s !!", mtdUserConfig[i], i + 1,
                       strerror(errno));
            return -1;
        }
        uint32_t serial = cfgpack_get32(tail + 12);
        if (cfgpack_get32(tail + 8) == PARTITION_TAIL_MAGIC && serial != PARTITION_NO_SERIAL) {
            partitionSerialNo[i] = serial;
            tarvid_log(LOG_INFO, "Init - ConfigPack%d has serialNo %u", i + 1, serial);
            partitionMaxSerialNo = std::max(partitionMaxSerialNo, serial);
        } else if (cfgpack_get32(tail + 8) == PARTITION_TAIL_MAGIC_PENDING) {
            tarvid_log(LOG_WARNING, "Init - ConfigPack%d holds serialNo %u that was never confirmed, it is not loaded",
                       i + 1, serial);
            unconfirmedAtStart = true;
        }
    }
    return 0;
}

uint32_t partition_size(void) { return partitionSize; }
uint32_t partition_serial(int idx) { return partitionSerialNo[idx & 1]; }
int partition_current_index(void) { return partitionConfigPackIdx; }
int partition_pending_index(void) { return pendingIdx; }
void partition_set_write_hook(partition_write_fn fn) { write_hook = fn; }

// ---- reading ----

// Reads an image from a file or a partition into a new buffer (the caller
// frees it) of partitionSize - 16 bytes for a partition and of the file's
// size otherwise; *len receives the bytes read. Null on failure.
static char *partition_read_cfgpack(const char *cfgFile, size_t *len) {
    if (!cfgFile || !*cfgFile) {
        tarvid_log(LOG_INFO, "Read - No ConfigPack specified !!");
        return nullptr;
    }
    struct stat st;
    if (stat(cfgFile, &st) != 0) {
        tarvid_log(LOG_INFO, "Read - ConfigPack (%s) : stats error : %s  !!", cfgFile, strerror(errno));
        return nullptr;
    }
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode) && !S_ISCHR(st.st_mode)) {
        tarvid_log(LOG_INFO, "Read - ConfigPack (%s) : not a file or device !!", cfgFile);
        return nullptr;
    }
    uint64_t max = partitionSize - PARTITION_TAIL_SIZE;
    // Devices report no size; a partition is read up to its tail.
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (size == 0 || !S_ISREG(st.st_mode) || is_partition_path(cfgFile))
        size = max;
    if (size < CFGPACK_HEADER_SIZE || size > max) {
        tarvid_log(LOG_INFO, "Read - ConfigPack (%s) : too small or too large : %llu bytes !!", cfgFile,
                   static_cast<unsigned long long>(size));
        return nullptr;
    }
    unique_fd fd(open(cfgFile, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) {
        tarvid_log(LOG_ERR, "Read - ConfigPack (%s) : can not open for reading : %s !!", cfgFile, strerror(errno));
        return nullptr;
    }
    // Bounded by the 32-bit partition size above, so it fits a size_t.
    size_t count = static_cast<size_t>(size);
    unique_buf buf(static_cast<char *>(malloc(count)));
    if (!buf) {
        tarvid_log(LOG_ERR, "Read - ConfigPack (%s) : Can not malloc %llu bytes !!", cfgFile,
                   static_cast<unsigned long long>(size));
        return nullptr;
    }
    if (!read_all(fd.get(), buf.get(), count)) {
        tarvid_log(LOG_ERR, "Read - ConfigPack (%s) : can not read %llu bytes : %s !!", cfgFile,
                   static_cast<unsigned long long>(size), strerror(errno));
        return nullptr;
    }
    *len = count;
    return buf.release();
}

// ---- SC2.0 archive ----

static void partition_make_scpack(void) {
    partitionSCSize = 0;
    std::string back = tarvi_path(PARTITION_SC_BACK);
    sc_archive_create(tarvi_path(PARTITION_SC_DIR).c_str(), back.c_str());
    struct stat st;
    if (stat(back.c_str(), &st) != 0) {
        tarvid_log(LOG_ERR, "Read - SC2.0 back file (%s) : stats error : %s  !!", back.c_str(), strerror(errno));
        return;
    }
    partitionSCSize = st.st_size > UINT32_MAX ? 0 : static_cast<uint32_t>(st.st_size);
}

// Replaces the working folder by the archive taken out of a loaded image. An
// archive that is refused leaves the folder as it is and, like a failed
// unpacking command, does not fail the caller.
static int partition_update_scpack(void) {
    std::string restore = tarvi_path(PARTITION_SC_RESTORE);
    struct stat st;
    if (stat(restore.c_str(), &st) != 0) {
        tarvid_log(LOG_INFO, "Read - ConfigPack (%s) : %s  !!", restore.c_str(), strerror(errno));
        return -1;
    }
    sc_archive_extract(restore.c_str(), tarvi_path(PARTITION_SC_DIR).c_str());
    return 0;
}

// ---- the factory image's spare copy ----

// The factory image is rewritten in place, so an edit cut short (power lost,
// daemon killed) would leave no valid image, and the factory settings would be
// gone for good. A second copy is therefore kept at the middle of the
// partition, where images small enough for it do not reach. An edited image
// carries in its header (in bytes the check does not read, covered by the
// checksum) the checksum of the image it was edited from. The copy is only
// ever the image at the start, the edit on its way there, or the image
// before while the edit is on its way; reading takes the copy when the image
// at the start is damaged or when the copy is that image's successor, and
// drops any other copy, so that no older state can come back.
constexpr uint32_t CFGPACK_PARENT_AT = 36;
constexpr uint32_t CFGPACK_CKSUM_AT = 16;

static uint32_t factory_spare_at(void) { return partitionSize / 2 / PARTITION_PAGE_SIZE * PARTITION_PAGE_SIZE; }

// Bytes of whole pages an image of `total` bytes is written in.
static uint64_t pages_of(uint32_t total) {
    return (static_cast<uint64_t>(total) + PARTITION_PAGE_SIZE - 1) / PARTITION_PAGE_SIZE * PARTITION_PAGE_SIZE;
}

// An image at the start that stays clear of the spare copy's pages.
static bool factory_spare_clear(uint32_t total) { return pages_of(total) <= factory_spare_at(); }

// An image small enough to have a spare copy.
static bool factory_spare_fits(uint32_t total) {
    uint32_t at = factory_spare_at();
    return at > 0 && factory_spare_clear(total) && at + pages_of(total) <= partitionSize - PARTITION_PAGE_SIZE;
}

// Makes the factory partition hold `len` bytes at `at` in whole pages (0xFF
// after the bytes), written and read back unless they are there already.
// Returns 0, or -1.
static int factory_write_pages(uint32_t at, const char *bytes, uint32_t len) {
    std::vector<char> pages(static_cast<size_t>(pages_of(len)), static_cast<char>(0xFF)), back(pages.size());
    memcpy(pages.data(), bytes, len);
    unique_fd fd(open(mtdFactoryConfig, O_RDWR | O_SYNC | O_CLOEXEC));
    auto holds = [&] {
        return lseek(fd.get(), at, SEEK_SET) >= 0 && read_all(fd.get(), back.data(), back.size()) && back == pages;
    };
    if (fd.get() >= 0 && holds())
        return 0;
    if (fd.get() < 0 || lseek(fd.get(), at, SEEK_SET) < 0 || !write_all(fd.get(), pages.data(), pages.size()) ||
        !holds()) {
        tarvid_log(LOG_ERR, "Write - Can not write the spare Factory ConfigPack on %s !!", mtdFactoryConfig);
        return -1;
    }
    return 0;
}

// Makes the spare copy hold the valid image `img`, or, with a null `img`,
// hold no image. Returns 0, or -1.
static int factory_put_spare(const char *img) {
    if (!img) {
        const char erased[CFGPACK_HEADER_SIZE] = {};
        return factory_write_pages(factory_spare_at(), erased, sizeof erased);
    }
    return factory_write_pages(factory_spare_at(), img, cfgpack_total(img));
}

// True when the bytes at `img` (at least a header) start a valid image; no
// message for bytes that do not even look like one, as the erased spare.
static bool factory_valid_at(char *img, size_t len) {
    return len >= CFGPACK_HEADER_SIZE && img[0] == CFGPACK_VERSION && img[2] == 'K' && img[3] == 'Z' &&
           partition_check_cfgpack_len(img, len) == 0;
}

static int partition_write_cfgpack(const char *cfgPack, const char *mtdFile, const char *tail, bool tailFirst = false);

static int factory_write_image(const char *img) {
    char tail[PARTITION_TAIL_SIZE];
    partition_make_tail(tail, 0, 0);
    return partition_write_cfgpack(img, mtdFactoryConfig, tail);
}

// partition_read_cfgpack of the factory partition, choosing between the
// image at its start and the spare copy. The copy is taken when the image is
// damaged, or when it is the image's successor (an edit cut short before it
// reached the start); it is then also written over the start. A copy that is
// neither the image nor its successor is stale and is dropped.
static char *partition_read_factory(size_t *len) {
    unique_buf img(partition_read_cfgpack(mtdFactoryConfig, len));
    if (!img)
        return nullptr;
    uint32_t at = factory_spare_at();
    bool image = partition_check_cfgpack_len(img.get(), *len) == 0;
    char *spare = img.get() + at;
    // An image that reaches the copy's place has no copy: what lies there is
    // its own bytes.
    if ((image && !factory_spare_clear(cfgpack_total(img.get()))) || *len <= at || !factory_valid_at(spare, *len - at))
        return img.release();
    bool same = image && memcmp(spare + CFGPACK_CKSUM_AT, img.get() + CFGPACK_CKSUM_AT, 16) == 0;
    bool successor = image && !same && memcmp(spare + CFGPACK_PARENT_AT, img.get() + CFGPACK_CKSUM_AT, 16) == 0;
    if (image && !successor) {
        if (!same) {
            tarvid_log(LOG_WARNING, "Read - Spare Factory ConfigPack is stale, drop it !!");
            factory_put_spare(nullptr);
        }
        return img.release();
    }
    tarvid_log(LOG_ERR, image ? "Read - Factory ConfigPack was cut short, its newer spare copy is used !!"
                              : "Read - Factory ConfigPack is invalid, its spare copy is used !!");
    memmove(img.get(), spare, *len - at);
    *len -= at;
    if (factory_write_image(img.get()) == 0)
        tarvid_log(LOG_INFO, "Read - Factory ConfigPack was restored from its spare copy on %s", mtdFactoryConfig);
    return img.release();
}

// ---- merging an image into the store ----

namespace {

const char *container_name(const struct config *c) { return c->container ? c->container->filename : "(none)"; }

struct config *find_in_container(struct container *cont, const char *key) {
    list_for_each(pos, &cont->config) {
        struct config *c = list_entry(pos, struct config, sibling);
        if (strcmp(c->key, key) == 0)
            return c;
    }
    return nullptr;
}

// A new entry holding the `len` bytes of `line` (key, NUL, value, NUL,
// spare), appended to `target`; hashed at the head of its bucket when `hash`.
struct config *new_entry(struct container *target, const char *line, uint32_t len, bool hash, uint32_t j) {
    auto *c = static_cast<struct config *>(malloc(sizeof(struct config)));
    if (!c) {
        tarvid_log(LOG_ERR, "Reload - Can not malloc %zu bytes for config (%s) at entry[%u] : abort it !!",
                   sizeof(struct config), line, j);
        return nullptr;
    }
    init_config(c);
    c->linebuf = static_cast<char *>(malloc(len));
    if (!c->linebuf) {
        tarvid_log(LOG_ERR, "Reload - Can not malloc %u bytes linebuf for config (%s) at entry[%u] : abort it !!", len,
                   line, j);
        free(c);
        return nullptr;
    }
    memcpy(c->linebuf, line, len);
    c->linebufsz = len;
    c->key = c->linebuf;
    c->value = c->linebuf + strlen(c->key) + 1;
    c->container = target;
    list_add_tail(&c->sibling, &target->config);
    if (hash)
        list_add(&c->next, &ConfigHashTable[hash_config(c->key)]);
    return c;
}

// Gives an entry the line of an image (same key).
bool overwrite_entry(struct config *c, const char *line, uint32_t len, uint32_t j) {
    if (c->linebufsz < len) {
        char *buf = static_cast<char *>(malloc(len));
        if (!buf) {
            tarvid_log(LOG_ERR, "Reload - Can't malloc %u bytes linebuf for config entry[%u] : %s !!", len, j, line);
            return false;
        }
        free(c->linebuf);
        c->linebuf = buf;
        c->linebufsz = len;
    }
    memcpy(c->linebuf, line, len);
    c->key = c->linebuf;
    c->value = c->linebuf + strlen(c->key) + 1;
    return true;
}

// Whether `c` is an entry that a commit writes or a reload rebuilds: not a
// Runtime entry nor a notification placeholder, which live in memory only.
bool is_stored(const struct config *c) { return c && c->container && c->container != ContRuntime; }

// Takes one config entry of an image into `target` in the given role. A key
// that only a Runtime entry or a placeholder holds counts as undefined: the
// image's line must land in a container that the next commit writes.
int merge_config(struct container *target, const char *line, uint32_t len, enum cfgpack_reload_role role, uint32_t j) {
    struct config *found = find_config(line);
    bool defined = is_stored(found) && !(found->container->flag & CONTAINER_SET_ASIDE);
    if (role == FIRMWARE_DEFAULT_CFGPACK_RELOAD) {
        if (defined)
            tarvid_log(LOG_WARNING,
                       "Reload - Redefinition of config (%s) at entry[%u] in %s, previously defined in %s !!", line, j,
                       target->filename, container_name(found));
        return new_entry(target, line, len, true, j) ? 0 : -1;
    }
    if (role == FACTORY_CFGPACK_RELOAD && target == ContDefault) {
        if (defined) {
            tarvid_log(LOG_WARNING,
                       "Reload - Redefinition of config (%s) at entry[%u] in %s, previously defined in %s !!", line, j,
                       target->filename, container_name(found));
            if (!overwrite_entry(found, line, len, j))
                return -1;
            return new_entry(target, line, len, false, j) ? 0 : -1;
        }
        return new_entry(target, line, len, true, j) ? 0 : -1;
    }
    if (defined)
        return overwrite_entry(found, line, len, j) ? 0 : -1;
    tarvid_log(LOG_WARNING,
               "Reload - No definition for config entry[%u] : %s in %s, maybe firmware version is changed !!", j, line,
               target->filename);
    if (struct config *own = find_in_container(target, line))
        return overwrite_entry(own, line, len, j) ? 0 : -1;
    return new_entry(target, line, len, false, j) ? 0 : -1;
}

// Writes the archive of an image's SC2.0 entry to the restore file and
// unpacks it into the working folder.
int merge_scpack(const char *bytes, uint32_t len) {
    std::string path = tarvi_path(PARTITION_SC_RESTORE);
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    unique_fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (fd.get() < 0) {
        tarvid_log(LOG_ERR, "Reload - CFGFILE (%s) : Can not open for writing : %s !!", path.c_str(), strerror(errno));
        return -1;
    }
    if (!write_all(fd.get(), bytes, len)) {
        tarvid_log(LOG_ERR, "Reload - CFGFILE (%s) : Can not fwrite %u bytes : %s !!", path.c_str(), len,
                   strerror(errno));
        return -1;
    }
    tarvid_log(LOG_INFO, "Reload - CFGFILE (%s) : ConfigPack was backed up !!", path.c_str());
    fsync(fd.get());
    if (partition_update_scpack() < 0) {
        tarvid_log(LOG_ERR, "Reload - CFGFILE (%s) : Can not update SC2.0 !!", path.c_str());
        return -1;
    }
    tarvid_log(LOG_INFO, "Reload - CFGFILE (%s) : reload SC2.0 Done, Length=%u!!", path.c_str(), len);
    reloadTookArchive = true;
    return 0;
}

} // namespace

// Entries whose bytes lie outside the payload or hold no key and value are
// skipped with a warning: the check does not look inside the payload.
int partition_reload_cfgpack(char *cfgPack, size_t imgLen, enum cfgpack_reload_role role) {
    uint32_t n = cfgpack_entries(cfgPack);
    struct container *target = nullptr; // of the current run of config entries
    for (uint32_t i = 0; i < n; ++i) {
        struct cfgpack_entry e;
        cfgpack_read_entry(cfgPack, i, &e);
        const char *bytes = cfgpack_entry_data(cfgPack, imgLen, &e);
        if (e.type == ENTRY_CONFIG) {
            if (!target)
                continue;
            const char *key, *value;
            if (!cfgpack_config_line(cfgPack, imgLen, &e, &key, &value)) {
                tarvid_log(LOG_WARNING, "Reload - Config entry[%u] is malformed, skip it !!", i);
                continue;
            }
            if (merge_config(target, key, e.len, role, i) < 0)
                return -1;
            continue;
        }
        target = nullptr;
        if (e.type == ENTRY_CONTAINER && e.subtype == DEFAULT_CONTAINER) {
            if (role != FACTORY_CFGPACK_RELOAD)
                tarvid_log(LOG_WARNING, "Reload - Non Factory ConfigPack has Not-Reset Default Configuration  !!");
            else
                target = ContDefault;
        } else if (e.type == ENTRY_CONTAINER) {
            const char *name = bytes;
            if (!name || e.len == 0 || !memchr(name, '\0', e.len)) {
                tarvid_log(LOG_WARNING, "Reload - Container entry[%u] is malformed, skip it and its configs !!", i);
                continue;
            }
            target = find_container(name);
            if (!target) {
                target = container_new(name);
                if (!target) {
                    tarvid_log(LOG_ERR,
                               "Reload - Can not malloc %u bytes for container (%s) at entry[%u] , abort it !!", e.len,
                               name, i);
                    return -1;
                }
                list_add_tail(&target->next, &ContList);
            }
        } else if (e.type == ENTRY_SC2_CONTAINER && e.subtype == BIN_CONTAINER) {
            if (!bytes) {
                tarvid_log(LOG_WARNING, "Reload - SC2.0 entry[%u] runs past the image, skip it !!", i);
                continue;
            }
            if (merge_scpack(bytes, e.len) < 0)
                return -1;
        }
    }
    return 0;
}

// ---- reload ----

namespace {

// Hands every change registration of `from` over to `to`.
void move_notify(struct config *from, struct config *to) {
    while (!list_empty(&from->notify)) {
        struct list *l = from->notify.next;
        list_del(l);
        list_add_tail(l, &to->notify);
    }
}

// Frees a container of a replaced store. Change registrations of its entries
// go to whatever entry now shows the key, so the tree keeps hearing of it.
void free_set_aside(struct container *cont) {
    list_for_each_safe(pos, &cont->config) {
        struct config *c = list_entry(pos, struct config, sibling);
        list_del_init(&c->next);
        if (!list_empty(&c->notify)) {
            if (struct config *live = find_config(c->key))
                move_notify(c, live);
        }
        list_del(&c->sibling);
        config_free(c);
    }
    free(cont);
}

// A notify placeholder or a Runtime entry whose key now has a stored entry,
// which hides it, hands its registrations over and goes.
void absorb_placeholders() {
    for (auto &bucket : ConfigHashTable) {
        list_for_each_safe(pos, &bucket) {
            struct config *p = list_entry(pos, struct config, next);
            if (is_stored(p))
                continue;
            struct config *live = nullptr;
            list_for_each(q, &bucket) {
                struct config *c = list_entry(q, struct config, next);
                if (is_stored(c) && strcmp(c->key, p->key) == 0) {
                    live = c;
                    break;
                }
            }
            if (!live)
                continue;
            move_notify(p, live);
            list_del(&p->next);
            if (p->container)
                list_del(&p->sibling);
            config_free(p);
        }
    }
}

void move_containers(struct list *from, struct list *to, uint32_t set, uint32_t clear) {
    while (!list_empty(from)) {
        struct list *l = from->next;
        struct container *cont = list_entry(l, struct container, next);
        cont->flag = (cont->flag | set) & ~clear;
        list_del(l);
        list_add_tail(l, to);
    }
}

} // namespace

static void config_free_backup(void) {
    if (BackupContDefault)
        free_set_aside(BackupContDefault);
    BackupContDefault = nullptr;
    while (!list_empty(&BackupContList)) {
        struct list *l = BackupContList.next;
        list_del(l);
        free_set_aside(list_entry(l, struct container, next));
    }
    absorb_placeholders();
}

static void config_recover(void) {
    struct container *half = ContDefault;
    ContDefault = BackupContDefault;
    if (ContDefault)
        ContDefault->flag &= ~CONTAINER_SET_ASIDE;
    BackupContDefault = half;
    struct list built;
    list_init(&built);
    move_containers(&ContList, &built, 0, 0);
    move_containers(&BackupContList, &ContList, 0, CONTAINER_SET_ASIDE);
    move_containers(&built, &BackupContList, 0, 0);
    config_free_backup();
}

static int reload_layers(int user) {
    BackupContDefault = ContDefault;
    if (BackupContDefault)
        BackupContDefault->flag |= CONTAINER_SET_ASIDE;
    ContDefault = nullptr;
    move_containers(&ContList, &BackupContList, CONTAINER_SET_ASIDE, 0);

    size_t len = 0;
    std::string fw = tarvi_path(PARTITION_FIRMWARE_DEFAULT);
    unique_buf img(partition_read_cfgpack(fw.c_str(), &len));
    if (!img) {
        tarvid_log(LOG_ERR, "Reload - Can not retrieve Firmware Default ConfigPack !!");
        config_recover();
        return -1;
    }
    if (partition_check_cfgpack_len(img.get(), len) < 0) {
        tarvid_log(LOG_ERR, "Reload - Firmware Default ConfigPack is invalid !!");
        config_recover();
        return -1;
    }
    if (partition_reload_cfgpack(img.get(), len, FIRMWARE_DEFAULT_CFGPACK_RELOAD) < 0) {
        tarvid_log(LOG_ERR, "Reload - Can not reload Firmware Default ConfigPack !!");
        config_recover();
        return -1;
    }
    tarvid_log(LOG_INFO, "Reload - Firmware Default ConfigPack was reloaded");

    ContDefault = container_new("Not-Reset Default");
    if (!ContDefault) {
        tarvid_log(LOG_ERR, "Reload - Can not malloc for Not-Reset Default container !!");
        config_recover();
        return -1;
    }

    img.reset(partition_read_factory(&len));
    if (!img) {
        tarvid_log(LOG_ERR, "Reload - Can not retrieve Factory ConfigPack  !!");
        config_free_backup();
        return 0;
    }
    if (partition_check_cfgpack_len(img.get(), len) < 0) {
        tarvid_log(LOG_ERR, "Reload - Factory ConfigPack is invalid !!");
        if (!user) {
            config_free_backup();
            return 0;
        }
    } else if (partition_reload_cfgpack(img.get(), len, FACTORY_CFGPACK_RELOAD) < 0) {
        tarvid_log(LOG_ERR, "Reload - Can not reload Factory ConfigPack !!");
        if (!user) {
            config_recover();
            return -1;
        }
    } else {
        tarvid_log(LOG_INFO, "Reload - Factory ConfigPack was reloaded");
        if (!user) {
            config_free_backup();
            return 0;
        }
    }

    for (;;) {
        if (partitionSerialNo[0] == PARTITION_NO_SERIAL && partitionSerialNo[1] == PARTITION_NO_SERIAL) {
            tarvid_log(LOG_INFO, "Reload - No valid User ConfigPack !!");
            config_free_backup();
            return 0;
        }
        int idx;
        if (partitionSerialNo[0] == PARTITION_NO_SERIAL)
            idx = 1;
        else if (partitionSerialNo[1] == PARTITION_NO_SERIAL)
            idx = 0;
        else
            idx = partitionSerialNo[0] > partitionSerialNo[1] ? 0 : 1;
        uint32_t serial = partitionSerialNo[idx];
        img.reset(partition_read_cfgpack(mtdUserConfig[idx], &len));
        if (!img || partition_check_cfgpack_len(img.get(), len) < 0) {
            if (!img)
                tarvid_log(LOG_ERR, "Reload - Can not retrieve ConfigPack%d with serialNo %u  !!", idx + 1, serial);
            tarvid_log(LOG_ERR,
                       "Reload - ConfigPack%d with serialNo %u is invalid, invalidate its serialNo temporarily !!",
                       idx + 1, serial);
            partitionSerialNo[idx] = PARTITION_NO_SERIAL;
            continue;
        }
        if (partition_reload_cfgpack(img.get(), len, USER_CFGPACK_RELOAD) < 0) {
            tarvid_log(LOG_ERR, "Reload - Can not reload ConfigPack%d with serialNo %u  !!", idx + 1, serial);
            config_recover();
            return -1;
        }
        tarvid_log(LOG_INFO, "Reload - ConfigPack%d with serialNo %u was reloaded", idx + 1, serial);
        partitionConfigPackIdx = idx;
        config_free_backup();
        return 0;
    }
}

int partition_reload(int user) {
    reloadTookArchive = false;
    int rc = reload_layers(user);
    // The tree of a commit that was never confirmed goes with it, as after a
    // roll back, unless the images loaded brought a tree of their own.
    if (rc == 0 && user && unconfirmedAtStart) {
        unconfirmedAtStart = false;
        if (!reloadTookArchive) {
            tarvid_log(LOG_WARNING, "Reload - Tree files of the unconfirmed ConfigPack are dropped");
            config_sc_remove_etcfile();
        }
    }
    return rc;
}

// ---- dump ----

int partition_dump(void) {
    std::string dir = tarvi_path(PARTITION_DUMP_DIR);
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    std::vector<struct container *> conts;
    list_for_each(pos, &ContList) { conts.push_back(list_entry(pos, struct container, next)); }
    if (ContDefault)
        conts.push_back(ContDefault);
    if (ContRuntime)
        conts.push_back(ContRuntime);
    for (struct container *cont : conts) {
        // Container names come from images: only a plain file name is used.
        const char *name = cont->filename;
        if (!*name || strchr(name, '/') || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
            tarvid_log(LOG_ERR, "Dump - Container name (%s) is no file name, not dumped !!", name);
            continue;
        }
        std::string path = dir + "/" + name;
        FILE *f = fopen(path.c_str(), "we");
        if (!f) {
            tarvid_log(LOG_ERR, "Can not fopen %s for writing : %s !!", path.c_str(), strerror(errno));
            return -1;
        }
        list_for_each(pos, &cont->config) {
            struct config *c = list_entry(pos, struct config, sibling);
            fprintf(f, "%s=%s\n", c->key, c->value);
        }
        fclose(f);
    }
    return 0;
}

// ---- writing ----

namespace {

// Writes one page at `at`; false (logged) on failure.
bool put_page(int fd, uint32_t at, const char *page, const char *mtdFile) {
    if (lseek(fd, at, SEEK_SET) < 0) {
        bool last = at + PARTITION_PAGE_SIZE == partitionSize;
        tarvid_log(LOG_ERR,
                   last ? "Write - Can not seek to tail of %s : %s !!" : "Write - Can not seek to start of %s : %s !!",
                   mtdFile, strerror(errno));
        return false;
    }
    if (!write_all(fd, page, PARTITION_PAGE_SIZE)) {
        tarvid_log(LOG_ERR, "Write - Can not write 0x%.8x - 0x%.8x on %s : %s !!", at, at + PARTITION_PAGE_SIZE,
                   mtdFile, strerror(errno));
        return false;
    }
    return true;
}

// Reads the page at `at` back into `back` and compares its first `n` bytes
// with `want` and, when `tail` is given, its last 16 bytes with the tail.
// False (logged) on a short read or any difference.
bool page_reads_back(int fd, uint32_t at, std::vector<char> &back, const char *want, uint32_t n, const char *tail,
                     const char *mtdFile) {
    uint32_t count = tail ? PARTITION_PAGE_SIZE : n;
    if (lseek(fd, at, SEEK_SET) < 0 || !read_all(fd, back.data(), count)) {
        tarvid_log(LOG_ERR, "Write - Can not read 0x%.8x - 0x%.8x on %s : %s !!", at, at + PARTITION_PAGE_SIZE, mtdFile,
                   strerror(errno));
        return false;
    }
    if (memcmp(back.data(), want, n) != 0 ||
        (tail && memcmp(back.data() + PARTITION_PAGE_SIZE - PARTITION_TAIL_SIZE, tail, PARTITION_TAIL_SIZE) != 0)) {
        tarvid_log(LOG_ERR, "Write - Flash data not match at 0x%.8x - 0x%.8x on %s : %s !!", at,
                   at + PARTITION_PAGE_SIZE, mtdFile, strerror(errno));
        return false;
    }
    return true;
}

} // namespace

// Writes an image page by page and the last page with the tail, then reads
// everything back. The tail normally goes last, so a partition shows its new
// serial number only once its image is complete; with `tailFirst` it goes
// first, so that a tail which marks the partition as not to be loaded is in
// place before any of the old image is overwritten.
static int partition_write_cfgpack(const char *cfgPack, const char *mtdFile, const char *tail, bool tailFirst) {
    uint32_t total = cfgpack_total(cfgPack);
    if (total <= 127 || total >= partitionSize - PARTITION_TAIL_SIZE) {
        tarvid_log(LOG_INFO, "Write - ConfigPack is too small or too large : %u bytes !!", total);
        return -1;
    }
    unique_fd fd(open(mtdFile, O_RDWR | O_SYNC | O_CLOEXEC));
    if (fd.get() < 0) {
        tarvid_log(LOG_ERR, "Write - Can not open %s : %s !!", mtdFile, strerror(errno));
        return -1;
    }
    const uint32_t pages = partitionSize / PARTITION_PAGE_SIZE;
    const uint32_t lastAt = partitionSize - PARTITION_PAGE_SIZE;
    const uint32_t leftN = total > lastAt ? total - lastAt : 0;
    std::vector<char> last(PARTITION_PAGE_SIZE, static_cast<char>(0xFF));
    memcpy(last.data(), cfgPack + lastAt, leftN);
    memcpy(last.data() + PARTITION_PAGE_SIZE - PARTITION_TAIL_SIZE, tail, PARTITION_TAIL_SIZE);
    if (tailFirst && !put_page(fd.get(), lastAt, last.data(), mtdFile))
        return -1;
    std::vector<char> page(PARTITION_PAGE_SIZE);
    for (uint32_t p = 0; p + 1 < pages && p * PARTITION_PAGE_SIZE < total; ++p) {
        uint32_t at = p * PARTITION_PAGE_SIZE;
        uint32_t n = std::min<uint32_t>(PARTITION_PAGE_SIZE, total - at);
        const char *src = cfgPack + at;
        if (n < PARTITION_PAGE_SIZE) {
            std::fill(page.begin(), page.end(), static_cast<char>(0xFF));
            memcpy(page.data(), src, n);
            src = page.data();
        }
        if (!put_page(fd.get(), at, src, mtdFile))
            return -1;
    }
    if (!tailFirst && !put_page(fd.get(), lastAt, last.data(), mtdFile))
        return -1;

    for (uint32_t p = 0; p + 1 < pages && p * PARTITION_PAGE_SIZE < total; ++p) {
        uint32_t at = p * PARTITION_PAGE_SIZE;
        if (!page_reads_back(fd.get(), at, page, cfgPack + at, std::min<uint32_t>(PARTITION_PAGE_SIZE, total - at),
                             nullptr, mtdFile))
            return -1;
    }
    return page_reads_back(fd.get(), lastAt, page, last.data(), leftN, tail, mtdFile) ? 0 : -1;
}

// True (logged) when an image waits for confirmation: nothing else may be
// committed until it is confirmed or rolled back.
static bool refuse_while_pending(const char *op) {
    if (pendingIdx < 0)
        return false;
    tarvid_log(LOG_ERR, "%s - ConfigPack%d with serialNo %u waits for confirmation, confirm or roll it back first !!",
               op, pendingIdx + 1, pendingSerial);
    return true;
}

// Commits an image to the user partition not loaded or written last, under
// the next serial number. A pending image (`pending`) carries the pending
// magic and leaves the serial numbers alone until it is confirmed.
static int partition_update_cfgpack(const char *cfgPack, bool pending = false) {
    if (refuse_while_pending("Update"))
        return -1;
    int idx = (partitionConfigPackIdx + 1) % 2;
    const char *target = mtdUserConfig[idx];
    uint32_t serial = partitionMaxSerialNo + 1;
    // The highest number means "no image": a commit under it would be lost.
    if (serial == PARTITION_NO_SERIAL) {
        tarvid_log(LOG_CRIT, "Update - Serial numbers are exhausted on %s for ConfigPack%d !!", target, idx + 1);
        return -1;
    }
    char tail[PARTITION_TAIL_SIZE];
    partition_make_tail(tail, 1, serial);
    if (pending)
        cfgpack_put32(tail + 8, PARTITION_TAIL_MAGIC_PENDING);
    if (partition_write_cfgpack(cfgPack, target, tail, pending) < 0) {
        tarvid_log(LOG_INFO, "Update - Can not update ConfigPack on %s for ConfigPack%d with serialNo %u", target,
                   idx + 1, serial);
        return -1;
    }
    if (pending) {
        tarvid_log(LOG_INFO,
                   "Update - ConfigPack was written on %s for ConfigPack%d with serialNo %u, waiting for confirmation",
                   target, idx + 1, serial);
        pendingIdx = idx;
        pendingSerial = serial;
        return 0;
    }
    tarvid_log(LOG_INFO, "Update - ConfigPack was updated on %s for ConfigPack%d with serialNo %u", target, idx + 1,
               serial);
    partitionMaxSerialNo = serial;
    partitionSerialNo[idx] = serial;
    partitionConfigPackIdx = idx;
    return 0;
}

// The commit behind partition_flush and partition_flush_pending.
static int flush_store(int force, bool pending) {
    if (refuse_while_pending("Flush"))
        return -1;
    bool changed = false;
    list_for_each(pos, &ContList) {
        if (list_entry(pos, struct container, next)->flag & CONTAINER_CHANGED)
            changed = true;
    }
    if (!changed)
        changed = config_sc_dirty() != 0;
    if (!changed && !force)
        return 0;
    config_sc_flush(0);
    partition_make_scpack();
    char *raw = nullptr;
    if (partition_make_cfgpack(&raw) < 0) {
        tarvid_log(LOG_ERR, "Flush - Can not make ConfigPack  !!");
        return -1;
    }
    unique_buf img(raw);
    if (partition_update_cfgpack(img.get(), pending) < 0) {
        tarvid_log(LOG_ERR, "Flush - Can not update ConfigPack !!");
        return -1;
    }
    partitionSCSize = 0;
    config_sc_packed();
    list_for_each(pos, &ContList) { list_entry(pos, struct container, next)->flag &= ~CONTAINER_CHANGED; }
    return 0;
}

int partition_flush(int force) { return flush_store(force, false); }

int partition_flush_pending(void) { return flush_store(1, true); }

// Writes the last page of the waiting image's partition again as it is, but
// for the tail's magic, from `from` to `to`: one byte. 1 when the tail is not
// the waiting image's under `from` (nothing written), 0 when written and read
// back, -1 (logged) when the write failed.
static int retag_waiting_tail(uint32_t from, uint32_t to) {
    const char *target = mtdUserConfig[pendingIdx];
    char was[PARTITION_TAIL_SIZE], now[PARTITION_TAIL_SIZE];
    partition_make_tail(now, 1, pendingSerial);
    memcpy(was, now, sizeof was);
    cfgpack_put32(was + 8, from);
    cfgpack_put32(now + 8, to);
    const uint32_t lastAt = partitionSize - PARTITION_PAGE_SIZE;
    const uint32_t tailAt = PARTITION_PAGE_SIZE - PARTITION_TAIL_SIZE;
    unique_fd fd(open(target, O_RDWR | O_SYNC | O_CLOEXEC));
    std::vector<char> page(PARTITION_PAGE_SIZE), back(PARTITION_PAGE_SIZE);
    if (fd.get() < 0 || lseek(fd.get(), lastAt, SEEK_SET) < 0 || !read_all(fd.get(), page.data(), page.size()) ||
        memcmp(page.data() + tailAt, was, sizeof was) != 0)
        return 1;
    memcpy(page.data() + tailAt, now, sizeof now);
    if (!put_page(fd.get(), lastAt, page.data(), target) ||
        !page_reads_back(fd.get(), lastAt, back, page.data(), PARTITION_PAGE_SIZE, nullptr, target))
        return -1;
    return 0;
}

int partition_confirm(void) {
    if (pendingIdx < 0) {
        tarvid_log(LOG_ERR, "Confirm - No ConfigPack waits for confirmation !!");
        return -1;
    }
    const int idx = pendingIdx;
    const char *target = mtdUserConfig[idx];
    // The image must still be whole: a confirmed image is loaded without a
    // second chance.
    size_t len = 0;
    unique_buf img(partition_read_cfgpack(target, &len));
    if (!img || partition_check_cfgpack_len(img.get(), len) < 0) {
        tarvid_log(LOG_ERR, "Confirm - ConfigPack%d with serialNo %u is unreadable or invalid, not confirmed !!",
                   idx + 1, pendingSerial);
        return -1;
    }
    int rc = retag_waiting_tail(PARTITION_TAIL_MAGIC_PENDING, PARTITION_TAIL_MAGIC);
    if (rc != 0) {
        tarvid_log(LOG_ERR,
                   rc > 0 ? "Confirm - ConfigPack%d with serialNo %u on %s no longer waits for confirmation !!"
                          : "Confirm - Can not confirm ConfigPack%d with serialNo %u on %s !!",
                   idx + 1, pendingSerial, target);
        return -1;
    }
    tarvid_log(LOG_INFO, "Confirm - ConfigPack%d with serialNo %u was confirmed", idx + 1, pendingSerial);
    partitionMaxSerialNo = pendingSerial;
    partitionSerialNo[idx] = pendingSerial;
    partitionConfigPackIdx = idx;
    pendingIdx = -1;
    return 0;
}

int partition_rollback(void) {
    if (pendingIdx < 0) {
        tarvid_log(LOG_ERR, "Rollback - No ConfigPack waits for confirmation !!");
        return -1;
    }
    tarvid_log(LOG_INFO, "Rollback - ConfigPack%d with serialNo %u is dropped, back to the last confirmed ConfigPack",
               pendingIdx + 1, pendingSerial);
    // A confirmation whose write failed may have changed the byte all the
    // same: it is changed back, or the next start would load the image.
    if (int rc = retag_waiting_tail(PARTITION_TAIL_MAGIC, PARTITION_TAIL_MAGIC_PENDING); rc <= 0)
        tarvid_log(
            rc == 0 ? LOG_WARNING : LOG_ERR,
            rc == 0 ? "Rollback - ConfigPack%d was marked confirmed by a failed confirmation, mark taken back"
                    : "Rollback - ConfigPack%d was marked confirmed by a failed confirmation, can not take it back !!",
            pendingIdx + 1);
    pendingIdx = -1;
    // The serial numbers never counted the pending image, so the reload takes
    // the last confirmed one, as a restart would.
    if (partition_reload(1) < 0) {
        tarvid_log(LOG_ERR, "Rollback - Can not reload the last confirmed ConfigPack !!");
        return -1;
    }
    // Without an archive in the images loaded, the tree folder holds what the
    // dropped commit wrote there.
    if (!reloadTookArchive)
        config_sc_remove_etcfile();
    return 0;
}

// ---- factory editor ----

namespace {

// The factory image read into a buffer of partitionSize - 16 bytes, so that
// it can grow in place. Empty on failure.
std::vector<char> read_factory(size_t *len) {
    std::vector<char> out;
    unique_buf img(partition_read_factory(len));
    if (img) {
        out.assign(partitionSize - PARTITION_TAIL_SIZE, 0);
        memcpy(out.data(), img.get(), *len);
    }
    return out;
}

// Checksums the edited factory image, makes sure it is still valid, and writes
// it with the factory tail, so that a cut anywhere leaves the image before or
// the new one (see the spare copy above). `old` is the valid image before the
// edit, or empty when there was none. An edit where neither image has room
// for a spare copy, or where the old one reaches the copy's place, could lose
// both: it is refused.
int write_factory(char *img, const std::vector<char> &old, const char *op) {
    if (old.empty())
        memset(img + CFGPACK_PARENT_AT, 0, 16);
    else
        memcpy(img + CFGPACK_PARENT_AT, old.data() + CFGPACK_CKSUM_AT, 16);
    cfgpack_set_cksum(img);
    if (partition_check_cfgpack(img) < 0)
        return -1;
    uint32_t total = cfgpack_total(img);
    const char *before = old.empty() ? nullptr : old.data();
    if (factory_spare_fits(total) && (!before || factory_spare_clear(cfgpack_total(before)))) {
        // The copy first: until the image is complete the copy is its
        // successor, and a reader takes it.
        if (factory_put_spare(img) < 0)
            return -1;
        if (factory_write_image(img) == 0)
            return 0;
        if (before && factory_spare_fits(cfgpack_total(before)))
            factory_put_spare(before); // the edit failed: not the new image
        return -1;
    }
    if (before && factory_spare_fits(cfgpack_total(before)) && factory_spare_clear(total)) {
        // The image before stays in the copy until the new one is complete.
        if (factory_put_spare(before) < 0 || factory_write_image(img) < 0)
            return -1;
        factory_put_spare(nullptr);
        return 0;
    }
    tarvid_log(LOG_CRIT, "%s - Factory ConfigPack of %u bytes leaves no room for its spare copy, abort it !!", op,
               total);
    return -1;
}

// The valid image at the start of `buf`, copied before an edit changes it.
std::vector<char> image_before(const char *img) { return std::vector<char>(img, img + cfgpack_total(img)); }

} // namespace

int partition_dset(const char *key, const char *value) {
    size_t len = 0;
    std::vector<char> buf = read_factory(&len);
    if (buf.empty()) {
        tarvid_log(LOG_INFO, "Dset - Can not retrieve Factory ConfigPack !!");
        return -1;
    }
    char *img = buf.data();
    std::vector<char> old;
    if (partition_check_cfgpack_len(img, len) == 0) {
        old = image_before(img);
    } else {
        tarvid_log(LOG_ERR, "Dset - Factory ConfigPack is invalid !!");
        struct cfgpack_header h = {};
        h.ver = CFGPACK_VERSION;
        h.tag[0] = 'K';
        h.tag[1] = 'Z';
        h.totalLen = CFGPACK_HEADER_SIZE;
        cfgpack_write_header(img, &h);
        len = CFGPACK_HEADER_SIZE;
    }
    int rc = cfgpack_set_default(img, buf.size(), key, value);
    if (rc == 1) {
        tarvid_log(LOG_INFO,
                   "Dset - There is already a Config (%s) with same Value (%s) of Factory ConfigPack, no need to "
                   "set it",
                   key, value);
        return 0;
    }
    if (rc < 0)
        return -1;
    if (write_factory(img, old, "Dset") < 0) {
        tarvid_log(LOG_INFO, "Dset - Can not write Factory ConfigPack on %s !!", mtdFactoryConfig);
        return -1;
    }
    tarvid_log(LOG_INFO, "Dset - Config (%s) was set to Factory ConfigPack, need to reload to take effect", key);
    return 0;
}

int partition_dunset(const char *key) {
    size_t len = 0;
    std::vector<char> buf = read_factory(&len);
    if (buf.empty()) {
        tarvid_log(LOG_INFO, "Dunset - Can not retrieve Factory ConfigPack !!");
        return 0;
    }
    char *img = buf.data();
    if (partition_check_cfgpack_len(img, len) < 0)
        return 0;
    std::vector<char> old = image_before(img);
    if (cfgpack_unset_default(img, key) == 1) {
        tarvid_log(LOG_INFO, "Dunset - There is no Config (%s) of Factory ConfigPack, no need to unset it", key);
        return 0;
    }
    if (write_factory(img, old, "Dunset") < 0) {
        tarvid_log(LOG_INFO, "Dunset - Can not write Factory ConfigPack on %s !!", mtdFactoryConfig);
        return -1;
    }
    tarvid_log(LOG_INFO, "Dunset - Config (%s) was unset from Factory ConfigPack, need to reload to take it effect",
               key);
    return 0;
}

// ---- backup and restore ----

namespace {

// Where a backup to `cfgFile` is written: the file a link leads to, so that
// the link keeps working. An existing object that is no regular file (a
// device) is written in place; anything else under a temporary name in the
// same folder, renamed over it once complete, so that a backup that fails
// leaves an older one as it was. Returns the descriptor (or -1) and sets
// *temp to the temporary name, empty when writing in place.
int open_backup(const char *cfgFile, std::string *target, std::string *temp) {
    temp->clear();
    *target = cfgFile;
    struct stat st;
    if (stat(cfgFile, &st) == 0 && !S_ISREG(st.st_mode))
        return open(cfgFile, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0644);
    if (char *real = realpath(cfgFile, nullptr)) {
        *target = real;
        free(real);
    }
    std::filesystem::path p(*target);
    std::string tmpl = (p.parent_path() / ("." + p.filename().string() + ".XXXXXX")).string();
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) {
        *temp = name.data();
        fchmod(fd, 0644);
    }
    return fd;
}

// Checks, before a restore commits a checked image of `len` bytes, what the
// loader will take from it: every container entry names its container, every
// config entry of a run holds its key and value, every tree archive passes
// the rules of an extraction into the working folder. *archive tells whether
// the image carries a tree archive. Returns an empty text, or why the image
// is refused.
std::string vet_image(const char *img, size_t len, bool *archive) {
    *archive = false;
    bool inRun = false;
    for (uint32_t i = 0, n = cfgpack_entries(img); i < n; ++i) {
        struct cfgpack_entry e;
        cfgpack_read_entry(img, i, &e);
        const char *bytes = cfgpack_entry_data(img, len, &e);
        const char *key, *value;
        if (e.type == ENTRY_CONFIG) {
            if (inRun && !cfgpack_config_line(img, len, &e, &key, &value))
                return "Config entry[" + std::to_string(i) + "] is malformed";
            continue;
        }
        inRun = e.type == ENTRY_CONTAINER;
        if (inRun && e.subtype != DEFAULT_CONTAINER && (!bytes || e.len == 0 || !memchr(bytes, '\0', e.len)))
            return "Container entry[" + std::to_string(i) + "] is malformed";
        if (e.type == ENTRY_SC2_CONTAINER && e.subtype == BIN_CONTAINER) {
            std::string why = "runs past the image";
            if (!bytes || sc_archive_check_mem(bytes, e.len, tarvi_path(PARTITION_SC_DIR).c_str(), &why) < 0)
                return "SC2.0 archive is refused : " + why;
            *archive = true;
        }
    }
    return "";
}

} // namespace

int partition_backup_cfgfile(const char *cfgFile) {
    if (!cfgFile) {
        tarvid_log(LOG_INFO, "Backup - No CFGFILE specified !!");
        return -1;
    }
    partition_make_scpack();
    char *raw = nullptr;
    if (partition_make_cfgpack(&raw) < 0) {
        tarvid_log(LOG_INFO, "Backup - CFGFILE (%s) : Can not make ConfigPack  !!", cfgFile);
        partitionSCSize = 0;
        return -1;
    }
    unique_buf img(raw);
    partitionSCSize = 0;
    std::string target, temp;
    unique_fd fd(open_backup(cfgFile, &target, &temp));
    if (fd.get() < 0) {
        tarvid_log(LOG_ERR, "Backup - CFGFILE (%s) : Can not open for writing : %s !!", cfgFile, strerror(errno));
        return -1;
    }
    uint32_t total = cfgpack_total(img.get());
    if (!write_all(fd.get(), img.get(), total) || fsync(fd.get()) != 0 ||
        (!temp.empty() && rename(temp.c_str(), target.c_str()) != 0)) {
        tarvid_log(LOG_ERR, "Backup - CFGFILE (%s) : Can not fwrite %u bytes : %s !!", cfgFile, total, strerror(errno));
        if (!temp.empty())
            unlink(temp.c_str());
        return -1;
    }
    tarvid_log(LOG_INFO, "Backup - CFGFILE (%s) : ConfigPack was backed up !!", cfgFile);
    sync();
    return 0;
}

// Nothing in the store, the partitions or the tree folders changes until the
// image has been read, checked and vetted whole; only then is it committed
// and loaded.
int partition_restore_cfgfile(const char *cfgFile) {
    if (!cfgFile) {
        tarvid_log(LOG_INFO, "Restore - No target specified !!");
        return -1;
    }
    size_t len = 0;
    bool factory = strcmp(cfgFile, mtdFactoryConfig) == 0;
    unique_buf img(factory ? partition_read_factory(&len) : partition_read_cfgpack(cfgFile, &len));
    if (!img) {
        tarvid_log(LOG_INFO, "Restore -  CFGFILE (%s) : Can not retrieve ConfigPack !!", cfgFile);
        return -1;
    }
    if (partition_check_cfgpack_len(img.get(), len) < 0) {
        tarvid_log(LOG_INFO, "Restore -  CFGFILE (%s) : ConfigPack is invalid  !!", cfgFile);
        return -1;
    }
    bool archive = false;
    std::string refused = vet_image(img.get(), len, &archive);
    if (!refused.empty()) {
        tarvid_log(LOG_INFO, "Restore -  CFGFILE (%s) : %s !!", cfgFile, refused.c_str());
        tarvid_log(LOG_INFO, "Restore -  CFGFILE (%s) : ConfigPack is invalid  !!", cfgFile);
        return -1;
    }
    if (partition_update_cfgpack(img.get()) < 0) {
        tarvid_log(LOG_INFO, "Restore - CFGFILE (%s) : Can not update ConfigPack !!", cfgFile);
        return -1;
    }
    tarvid_log(LOG_INFO, "Restore  - CFGFILE (%s) : ConfigPack was updated, need to reload to take effect", cfgFile);
    img.reset();
    if (partition_reload(1) < 0) {
        tarvid_log(LOG_INFO, "Restore  - CFGFILE (%s) : Can not reload ConfigPack !!", cfgFile);
        return -1;
    }
    // An image with a tree archive replaced the working folder as it was
    // loaded; without one, the tree files of the configuration it replaced
    // go.
    if (!archive)
        config_sc_remove_etcfile();
    tarvid_log(LOG_INFO, "Restore - CFGFILE (%s) : ConfigPack was reloaded", cfgFile);
    return 0;
}

int partition_restore_default(int firmware) {
    if (firmware)
        return partition_restore_cfgfile(tarvi_path(PARTITION_FIRMWARE_DEFAULT).c_str());
    // Copied: the restore's reload may not touch the path it was given.
    std::string factory = mtdFactoryConfig;
    return partition_restore_cfgfile(factory.c_str());
}
