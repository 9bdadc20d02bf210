#include "file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "list.h"
#include "log.h"
#include "md5.h"
#include "paths.h"
#include "tarvi-ex.h"
#include "tarvid_store.h"
#include "unique.h"

namespace {

const char CFG_DIR[] = "/usr/cfg";
const char DEFAULT_FILE[] = "/mnt/default.cfg";
const char USER_DIR[] = "/mnt/tarvi";
const char BACKUP_FILE[] = "/var/run/tarvi.bak";

// Line buffers grow in steps of this many bytes, so an entry's capacity is the
// smallest multiple of it that holds the line and its NUL.
constexpr int LINE_STEP = 16;

// Longest line taken from any of our files, terminator excluded (a buffer of
// 64 KiB). A longer line is read to its end and skipped whole: cutting it
// would store a value nobody wrote. Real lines are far shorter.
constexpr int LINE_MAX_CHARS = 64 * 1024 - 1;

// Bit of container::flag owned by this backend: the container is being
// replaced by a running reload.
constexpr uint32_t CONTAINER_SET_ASIDE = 2u;

// Offsets inside the backup header.
constexpr size_t HDR_VER = 0;
constexpr size_t HDR_FLAGS = 1;
constexpr size_t HDR_TAG = 2;
constexpr size_t HDR_CKSUM = 4;
constexpr size_t HDR_RESERVED = 20;
constexpr size_t HDR_RESERVED_LEN = 12;

struct ContainerDeleter {
    void operator()(struct container *c) const { container_free(c); }
};
using unique_container = std::unique_ptr<struct container, ContainerDeleter>;

// Entries linked through `sibling` that belong to no container; whatever is
// still on the list is freed with it.
class ConfigList {
  public:
    ConfigList() { list_init(&head_); }
    ~ConfigList() {
        list_for_each_safe(pos, &head_) {
            struct config *c = list_entry(pos, struct config, sibling);
            list_del(pos);
            config_free(c);
        }
    }
    ConfigList(const ConfigList &) = delete;
    ConfigList &operator=(const ConfigList &) = delete;
    struct list *head() {
        return &head_;
    }

  private:
    struct list head_;
};

// Containers linked through `next`, on no global list; freed with it.
class ContainerList {
  public:
    ContainerList() { list_init(&head_); }
    ~ContainerList() {
        list_for_each_safe(pos, &head_) {
            list_del(pos);
            container_free(list_entry(pos, struct container, next));
        }
    }
    ContainerList(const ContainerList &) = delete;
    ContainerList &operator=(const ContainerList &) = delete;
    struct list *head() {
        return &head_;
    }

  private:
    struct list head_;
};

// Opens `path` for reading when it is a regular file. Anything else (a
// folder, a FIFO that would block the daemon, a device) counts as unreadable.
unique_file open_regular(const char *path) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    FILE *f = nullptr;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        f = fdopen(fd, "rb");
    if (!f)
        close(fd);
    return unique_file(f);
}

// Creates or truncates the regular file `path` for writing and reading back.
// Anything else is refused rather than written into (a FIFO without a reader
// would block the daemon).
unique_file create_regular(const char *path) {
    int fd = open(path, O_RDWR | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    struct stat st;
    FILE *f = nullptr;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ftruncate(fd, 0) == 0)
        f = fdopen(fd, "w+b");
    if (!f)
        close(fd);
    return unique_file(f);
}

// Moves every link of `from` to the tail of `to`, keeping their order.
void list_move_all(struct list *from, struct list *to) {
    while (!list_empty(from)) {
        struct list *l = from->next;
        list_del(l);
        list_add_tail(l, to);
    }
}

} // namespace

// One line of `file` in a new buffer (the caller frees it), grown in steps of
// LINE_STEP bytes; *size receives the capacity. A line ends at a newline, a
// NUL or the end of the file; the terminator is not kept. Lines longer than
// LINE_MAX_CHARS are skipped. Returns null at the end of the file (*size 0) or
// when memory runs out (*size -1).
static char *malloc_line_from_file(FILE *file, int *size) {
    *size = 0;
    for (int ch = getc(file); ch != EOF; ch = getc(file)) {
        int cap = LINE_STEP;
        int len = 0;
        bool too_long = false;
        auto *buf = static_cast<char *>(malloc(static_cast<size_t>(cap)));
        if (!buf) {
            *size = -1;
            return nullptr;
        }
        for (; ch != EOF && ch != '\n' && ch != '\0'; ch = getc(file)) {
            if (too_long)
                continue;
            if (len + 1 == cap) { // keep room for the NUL
                if (cap > LINE_MAX_CHARS) {
                    too_long = true;
                    continue;
                }
                auto *grown = static_cast<char *>(realloc(buf, static_cast<size_t>(cap + LINE_STEP)));
                if (!grown) {
                    free(buf);
                    *size = -1;
                    return nullptr;
                }
                buf = grown;
                cap += LINE_STEP;
            }
            buf[len++] = static_cast<char>(ch);
        }
        if (!too_long) {
            buf[len] = '\0';
            *size = cap;
            return buf;
        }
        free(buf);
        if (ch == EOF)
            break;
    }
    return nullptr;
}

// Reads the "key=value" lines of `file` into new entries appended to `head`
// (no container, not hashed). Empty lines, lines beginning with '=' and lines
// without '=' are skipped. 0; -1 when the stream cannot be read; -2 when memory
// runs out. On failure nothing is appended.
static int read_config_lines(FILE *file, struct list *head) {
    ConfigList lines;
    for (;;) {
        int size;
        char *line = malloc_line_from_file(file, &size);
        if (!line) {
            if (size < 0)
                return -2;
            break;
        }
        char *eq = strchr(line, '=');
        if (!eq || eq == line) {
            free(line);
            continue;
        }
        auto *c = static_cast<struct config *>(malloc(sizeof(struct config)));
        if (!c) {
            free(line);
            return -2;
        }
        init_config(c);
        *eq = '\0';
        c->linebuf = line;
        c->linebufsz = static_cast<uint32_t>(size);
        c->key = line;
        c->value = eq + 1;
        list_add_tail(&c->sibling, lines.head());
    }
    if (ferror(file))
        return -1;
    list_move_all(lines.head(), head);
    return 0;
}

// Reads the text file `file` into new entries appended to `head` (not hashed).
// 0; -1 when it is no regular file or cannot be read; -2 when memory runs out.
static int reading_config(const char *file, struct list *head) {
    unique_file f = open_regular(file);
    if (!f)
        return -1;
    return read_config_lines(f.get(), head);
}

int file_read_config(const char *path, struct list *head) { return reading_config(path, head); }

namespace {

// An entry of a container that is written to storage (not a factory override,
// not a memory-only Runtime entry or notify placeholder).
bool is_stored_entry(const struct config *c) {
    return c && c->container && c->container != ContDefault && c->container != ContRuntime;
}

// The store's entry takes the line read from a file; the file's entry gets the
// old line, to be freed with it.
void swap_lines(struct config *store, struct config *read) {
    std::swap(store->linebuf, read->linebuf);
    std::swap(store->linebufsz, read->linebufsz);
    std::swap(store->key, read->key);
    std::swap(store->value, read->value);
}

// Lines read from a user or backup file override the stored entries of the
// same key; keys the store does not keep in a stored container are dropped.
void take_lines(struct list *lines) {
    list_for_each(pos, lines) {
        struct config *read = list_entry(pos, struct config, sibling);
        struct config *store = find_config(read->key);
        if (is_stored_entry(store))
            swap_lines(store, read);
    }
}

// Hands the change registrations of `from` over to `to`.
void adopt_notify(struct config *to, struct config *from) {
    if (to != from)
        list_move_all(&from->notify, &to->notify);
}

// Makes `entry` the one entry of its key in the table. Whatever showed the key
// before leaves the table and hands its change registrations over, so the
// tree keeps hearing of the key: an entry of the store being replaced or an
// earlier duplicate stays with its container, a memory-only entry (Runtime or
// notify placeholder) is freed, as the key now has a stored definition.
void hash_entry(struct config *entry) {
    struct list *bucket = &ConfigHashTable[hash_config(entry->key)];
    list_for_each_safe(pos, bucket) {
        struct config *old = list_entry(pos, struct config, next);
        if (strcmp(old->key, entry->key) != 0)
            continue;
        adopt_notify(entry, old);
        list_del_init(&old->next);
        if (!old->container || old->container == ContRuntime) {
            list_del(&old->sibling);
            config_free(old);
        }
    }
    list_add(&entry->next, bucket);
}

// find_config for the middle of a reload: entries of the containers being
// replaced do not count.
struct config *find_live_config(const char *key) {
    list_for_each(pos, &ConfigHashTable[hash_config(key)]) {
        struct config *c = list_entry(pos, struct config, next);
        if (strcmp(c->key, key) == 0 && !(c->container && (c->container->flag & CONTAINER_SET_ASIDE)))
            return c;
    }
    return nullptr;
}

struct config *find_in_container(struct container *cont, const char *key) {
    list_for_each(pos, &cont->config) {
        struct config *c = list_entry(pos, struct config, sibling);
        if (strcmp(c->key, key) == 0)
            return c;
    }
    return nullptr;
}

// Creates `dir` and its missing parents. 0 or -1.
int make_dirs(const std::string &dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    return ec ? -1 : 0;
}

// Makes a rename inside `dir` durable; a folder that cannot be synced is no
// reason to fail, the data itself is already on disk.
void sync_dir(const std::string &dir) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

// One "key=value" line. The format has no escape for a newline, so a value is
// written up to its first one: the rest would otherwise come back as a line of
// its own and could set another key.
int write_line(FILE *f, const struct config *c) {
    int vlen = static_cast<int>(strcspn(c->value, "\n"));
    return fprintf(f, "%s=%.*s\n", c->key, vlen, c->value) < 0 ? -1 : 0;
}

int write_entries(FILE *f, struct container *cont) {
    list_for_each(pos, &cont->config) {
        if (write_line(f, list_entry(pos, struct config, sibling)) < 0)
            return -1;
    }
    return 0;
}

// Flushes, syncs and closes `f`; 0, or -1 when any step failed.
int close_synced(unique_file &f) {
    bool ok = fflush(f.get()) == 0 && fsync(fileno(f.get())) == 0;
    if (fclose(f.release()) != 0)
        ok = false;
    return ok ? 0 : -1;
}

// Replaces the file `path` by the entries of `cont`: written to "<path>.1",
// synced, then renamed over `path`, so a reader sees the old or the new file,
// never a part.
int write_container_file(const std::string &path, struct container *cont) {
    std::string tmp = path + ".1";
    unique_file f(fopen(tmp.c_str(), "w"));
    if (!f)
        return -1;
    bool ok = write_entries(f.get(), cont) == 0;
    if (close_synced(f) < 0)
        ok = false;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return -1;
    }
    sync_dir(std::filesystem::path(path).parent_path().string());
    return 0;
}

int write_default_file() {
    std::string path = tarvi_path(DEFAULT_FILE);
    if (make_dirs(std::filesystem::path(path).parent_path().string()) < 0)
        return -1;
    return write_container_file(path, ContDefault);
}

std::string backup_path(const char *cfgFile) {
    return cfgFile && *cfgFile ? std::string(cfgFile) : tarvi_path(BACKUP_FILE);
}

// Starts the backup checksum: the header bytes it covers (ver, tag, reserved).
void backup_cksum_start(struct md5_ctx *ctx, const uint8_t *header) {
    md5_init(ctx);
    md5_update(ctx, header + HDR_VER, 1);
    md5_update(ctx, header + HDR_TAG, 2);
    md5_update(ctx, header + HDR_RESERVED, HDR_RESERVED_LEN);
}

// Adds the rest of `f` from its current position to the checksum. 0 or -1.
int backup_cksum_body(struct md5_ctx *ctx, FILE *f, uint8_t *piece, size_t piece_size) {
    size_t n;
    while ((n = fread(piece, 1, piece_size, f)) > 0)
        md5_update(ctx, piece, static_cast<unsigned>(n));
    return ferror(f) ? -1 : 0;
}

// The part of a reload that can fail: the new containers, the factory
// overrides when they are read for the first time, and the user lines per
// container. Nothing of it is visible until it is installed.
struct Generation {
    ContainerList containers;
    unique_container defaults;
    std::vector<std::unique_ptr<ConfigList>> user_lines;
};

void set_owner(struct container *cont) {
    list_for_each(pos, &cont->config) { list_entry(pos, struct config, sibling)->container = cont; }
}

bool is_cfg_name(const char *name) {
    const char *dot = strrchr(name, '.');
    return dot && strcmp(dot + 1, "cfg") == 0;
}

int read_generation(Generation &gen, int user) {
    std::string dir = tarvi_path(CFG_DIR);
    std::vector<std::string> names;
    {
        unique_dir d(opendir(dir.c_str()));
        if (!d)
            return -1;
        for (;;) {
            errno = 0;
            struct dirent *e = readdir(d.get());
            if (!e) {
                if (errno != 0)
                    return -1;
                break;
            }
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0 && is_cfg_name(e->d_name))
                names.emplace_back(e->d_name);
        }
    }
    // The listing order depends on the file system; sorted, the containers
    // (and which of two files wins a key both define) are the same everywhere.
    std::sort(names.begin(), names.end());

    for (const std::string &name : names) {
        std::string path = dir + "/" + name;
        struct stat st;
        if (stat(path.c_str(), &st) != 0)
            return -1;
        if (!S_ISREG(st.st_mode))
            continue;
        struct container *cont = container_new(name.c_str());
        if (!cont)
            return -1;
        list_add_tail(&cont->next, gen.containers.head());
        if (reading_config(path.c_str(), &cont->config) != 0)
            return -1;
        set_owner(cont);
    }

    if (!ContDefault) {
        gen.defaults.reset(container_new(DEFAULT_FILE));
        if (!gen.defaults)
            return -1;
        // A missing or unreadable override file just means no overrides.
        if (reading_config(tarvi_path(DEFAULT_FILE).c_str(), &gen.defaults->config) == -2)
            return -1;
        set_owner(gen.defaults.get());
    }

    if (user) {
        std::string user_dir = tarvi_path(USER_DIR);
        list_for_each(pos, gen.containers.head()) {
            struct container *cont = list_entry(pos, struct container, next);
            auto lines = std::make_unique<ConfigList>();
            int rc = reading_config((user_dir + "/" + cont->filename).c_str(), lines->head());
            // Out of memory must not look like a missing file: the next flush
            // would overwrite the user's values with defaults.
            if (rc == -2)
                return -1;
            if (rc < 0)
                cont->flag |= CONTAINER_CHANGED; // no user file yet: write one at the next flush
            gen.user_lines.push_back(std::move(lines));
        }
    }
    return 0;
}

// Replaces the store by `gen`. Nothing here allocates or fails.
void install_generation(Generation &gen) {
    if (gen.defaults)
        ContDefault = gen.defaults.release();

    // Factory overrides shown by the last reload are decided afresh below.
    list_for_each(pos, &ContDefault->config) { list_del_init(&list_entry(pos, struct config, sibling)->next); }

    // The replaced containers stay in the table until every key they showed
    // has a new entry that takes over its registrations.
    struct list old;
    list_init(&old);
    list_move_all(&ContList, &old);
    list_for_each(pos, &old) { list_entry(pos, struct container, next)->flag |= CONTAINER_SET_ASIDE; }
    list_move_all(gen.containers.head(), &ContList);

    list_for_each(cpos, &ContList) {
        struct container *cont = list_entry(cpos, struct container, next);
        list_for_each(pos, &cont->config) { hash_entry(list_entry(pos, struct config, sibling)); }
    }

    // A factory override changes the value of a known key, or shows its own
    // entry when no container defines the key.
    list_for_each(pos, &ContDefault->config) {
        struct config *d = list_entry(pos, struct config, sibling);
        struct config *found = find_live_config(d->key);
        if (found) {
            // On a failed regrowth the entry keeps its value; nothing to undo.
            (void)config_store_value(found, d->value, true);
            adopt_notify(found, d);
        } else {
            hash_entry(d);
        }
    }

    // What is left of the replaced store in the table goes with it.
    list_for_each_safe(pos, &old) {
        list_del(pos);
        container_free(list_entry(pos, struct container, next));
    }

    for (auto &lines : gen.user_lines)
        take_lines(lines->head());
}

} // namespace

int file_reload(int user) {
    try {
        Generation gen;
        if (read_generation(gen, user) < 0)
            return -1;
        install_generation(gen);
        return 0;
    } catch (const std::bad_alloc &) {
        return -1; // thrown only while reading, before the store was touched
    }
}

int file_flush(int force) {
    try {
        std::string dir = tarvi_path(USER_DIR);
        bool dir_ready = false;
        list_for_each(pos, &ContList) {
            struct container *cont = list_entry(pos, struct container, next);
            if (!force && !(cont->flag & CONTAINER_CHANGED))
                continue;
            // A fresh device has no user folder until its first commit.
            if (!dir_ready && make_dirs(dir) < 0)
                return -1;
            dir_ready = true;
            std::string path = dir + "/" + cont->filename;
            if (write_container_file(path, cont) < 0)
                return -1;
            tarvid_log(LOG_INFO, "%s provisioned", path.c_str());
            cont->flag &= ~CONTAINER_CHANGED;
        }
        return 0;
    } catch (const std::bad_alloc &) {
        return -1;
    }
}

int file_dset(const char *key, const char *value) {
    // Such a key or value would not read back as this one entry.
    if (!ContDefault || !key || !value || !*key || strpbrk(key, "=\n") || strchr(value, '\n'))
        return -1;
    try {
        struct config *d = find_in_container(ContDefault, key);
        if (d) {
            if (config_store_value(d, value, true) < 0)
                return -1;
        } else {
            d = config_new(key, value);
            if (!d)
                return -1;
            d->container = ContDefault;
            list_add_tail(&d->sibling, &ContDefault->config);
        }
        return write_default_file();
    } catch (const std::bad_alloc &) {
        return -1;
    }
}

int file_dunset(const char *key) {
    if (!ContDefault || !key)
        return -1;
    try {
        struct config *d = find_in_container(ContDefault, key);
        if (!d)
            return -1;
        list_del(&d->sibling);
        list_del(&d->next); // a no-op when the override was not shown
        config_free(d);
        return write_default_file();
    } catch (const std::bad_alloc &) {
        return -1;
    }
}

// A restore keeps no tree archive: once it has succeeded, the tree files of
// the configuration it replaced go.
static int file_restored(int rc) {
    if (rc == 0)
        config_sc_remove_etcfile();
    return rc;
}

int file_restore_default(int firmware) {
    (void)firmware;
    if (file_reload(0) < 0)
        return -1;
    return file_restored(file_flush(1));
}

int file_backup_cfgfile(const char *cfgFile) {
    try {
        std::string path = backup_path(cfgFile);
        unique_file f = create_regular(path.c_str());
        if (!f)
            return -1;

        uint8_t header[FILE_BACKUP_HEADER_SIZE] = {};
        header[HDR_VER] = FILE_BACKUP_VERSION;
        header[HDR_FLAGS] = 0;
        header[HDR_TAG] = 'K';
        header[HDR_TAG + 1] = 'Z';

        bool ok = fwrite(header, 1, sizeof header, f.get()) == sizeof header;
        list_for_each(pos, &ContList) {
            if (ok && write_entries(f.get(), list_entry(pos, struct container, next)) < 0)
                ok = false;
        }
        // The checksum covers what the file really holds, read back.
        struct md5_ctx ctx;
        uint8_t piece[16];
        backup_cksum_start(&ctx, header);
        ok = ok && fflush(f.get()) == 0 && fseek(f.get(), FILE_BACKUP_HEADER_SIZE, SEEK_SET) == 0 &&
             backup_cksum_body(&ctx, f.get(), piece, sizeof piece) == 0;
        md5_final(header + HDR_CKSUM, &ctx);
        ok = ok && fseek(f.get(), 0, SEEK_SET) == 0 && fwrite(header, 1, sizeof header, f.get()) == sizeof header;
        if (close_synced(f) < 0 || !ok) {
            unlink(path.c_str()); // no half backup that looks like one
            return -1;
        }
        return 0;
    } catch (const std::bad_alloc &) {
        return -1;
    }
}

int file_restore_cfgfile(const char *cfgFile) {
    try {
        std::string path = backup_path(cfgFile);
        unique_file f = open_regular(path.c_str());
        if (!f)
            return -1;
        uint8_t header[FILE_BACKUP_HEADER_SIZE];
        if (fread(header, 1, sizeof header, f.get()) != sizeof header)
            return -1;
        if (header[HDR_VER] != FILE_BACKUP_VERSION || header[HDR_TAG] != 'K' || header[HDR_TAG + 1] != 'Z')
            return -1;
        if (!(header[HDR_FLAGS] & FILE_BACKUP_FLAG_NO_CKSUM)) {
            struct md5_ctx ctx;
            uint8_t piece[4096];
            uint8_t digest[16];
            backup_cksum_start(&ctx, header);
            if (backup_cksum_body(&ctx, f.get(), piece, sizeof piece) < 0)
                return -1;
            md5_final(digest, &ctx);
            if (memcmp(digest, header + HDR_CKSUM, sizeof digest) != 0)
                return -1;
            if (fseek(f.get(), FILE_BACKUP_HEADER_SIZE, SEEK_SET) != 0)
                return -1;
        }
        ConfigList lines;
        if (read_config_lines(f.get(), lines.head()) != 0)
            return -1;
        f.reset();
        take_lines(lines.head());
    } catch (const std::bad_alloc &) {
        return -1;
    }
    return file_restored(file_flush(1));
}

int file_init(struct operator_table *op) {
    op->flush = file_flush;
    op->reload = file_reload;
    op->dset = file_dset;
    op->dunset = file_dunset;
    op->dump = nullptr;
    op->restore_default = file_restore_default;
    op->backup_cfgfile = file_backup_cfgfile;
    op->restore_cfgfile = file_restore_cfgfile;
    return 0;
}
