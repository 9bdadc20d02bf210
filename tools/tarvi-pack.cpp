// tarvi-pack: builds, lays out, shows and checks configuration images.
//
//   tarvi-pack build -o FILE [--size N] a.cfg b.cfg ...
//   tarvi-pack factory -o FILE [--size N] [--default KEY=VALUE ...] [a.cfg ...]
//   tarvi-pack partition --size N [--serial S | --factory] IMAGE -o FILE
//   tarvi-pack show FILE
//   tarvi-pack check FILE
//   tarvi-pack extract-sc FILE DIR
//
// Exit status: 0 success (a valid image for check), 1 failure or an invalid
// image, 2 usage error.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "log.h"
#include "partition.h"
#include "sc_archive.h"

namespace {

const char USAGE[] = "usage: tarvi-pack build -o FILE [--size N] a.cfg ...\n"
                     "       tarvi-pack factory -o FILE [--size N] [--default KEY=VALUE ...] [a.cfg ...]\n"
                     "       tarvi-pack partition --size N [--serial S | --factory] IMAGE -o FILE\n"
                     "       tarvi-pack show FILE\n"
                     "       tarvi-pack check FILE\n"
                     "       tarvi-pack extract-sc FILE DIR\n";

// Messages of the image code: kept for `show`, echoed for the other commands.
std::vector<std::string> messages;
bool echo_messages = true;
void collect(int prio, const char *msg) {
    messages.emplace_back(msg);
    if (echo_messages && prio <= LOG_WARNING)
        fprintf(stderr, "%s\n", msg);
}

int usage() {
    fputs(USAGE, stderr);
    return 2;
}

bool parse_u32(const char *s, uint32_t *out) {
    char *end;
    errno = 0;
    unsigned long long v = strtoull(s, &end, 0);
    if (!*s || *end || errno || v > UINT32_MAX || s[0] == '-')
        return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

bool read_file(const char *path, std::vector<char> *out) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

int write_file(const std::string &path, const char *data, size_t len) {
    FILE *f = fopen(path.c_str(), "wb");
    bool ok = f && fwrite(data, 1, len, f) == len;
    // Closed exactly once, whatever failed; a failed close loses data too.
    if (f && fclose(f) != 0)
        ok = false;
    if (!ok) {
        fprintf(stderr, "tarvi-pack: can not write %s: %s\n", path.c_str(), strerror(errno));
        return 1;
    }
    return 0;
}

// A file read as an image: a whole partition (its size in pages, ending in a
// tail) gives the image before its tail.
struct Loaded {
    std::vector<char> bytes;
    size_t imageLen = 0;
    bool partition = false;
};

bool looks_like_partition(const std::vector<char> &b) {
    if (b.size() < 2 * PARTITION_PAGE_SIZE || b.size() % PARTITION_PAGE_SIZE != 0)
        return false;
    const char *tail = b.data() + b.size() - PARTITION_TAIL_SIZE;
    uint32_t magic = cfgpack_get32(tail + 8);
    return magic == PARTITION_TAIL_MAGIC || magic == PARTITION_TAIL_MAGIC_PENDING || magic == 0xFFFFFFFFu;
}

bool load(const char *path, Loaded *l) {
    if (!read_file(path, &l->bytes)) {
        fprintf(stderr, "tarvi-pack: can not read %s: %s\n", path, strerror(errno));
        return false;
    }
    l->partition = looks_like_partition(l->bytes);
    l->imageLen = l->partition ? l->bytes.size() - PARTITION_TAIL_SIZE : l->bytes.size();
    return true;
}

bool valid(Loaded &l) { return partition_check_cfgpack_len(l.bytes.data(), l.imageLen) == 0; }

// Options shared by build and factory.
struct BuildArgs {
    std::string out;
    uint32_t size = PARTITION_DEFAULT_SIZE;
    std::vector<const char *> files;
    std::vector<std::string> defaults;
};

int parse_build(int argc, char **argv, bool factory, BuildArgs *a) {
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-o" && i + 1 < argc)
            a->out = argv[++i];
        else if (arg == "--size" && i + 1 < argc) {
            if (!parse_u32(argv[++i], &a->size) || a->size < 2 * PARTITION_PAGE_SIZE)
                return usage();
        } else if (factory && arg == "--default" && i + 1 < argc)
            a->defaults.emplace_back(argv[++i]);
        else if (!arg.empty() && arg[0] == '-')
            return usage();
        else
            a->files.push_back(argv[i]);
    }
    if (a->out.empty() || (!factory && a->files.empty()))
        return usage();
    return 0;
}

int cmd_build(int argc, char **argv, bool factory) {
    BuildArgs a;
    if (int rc = parse_build(argc, argv, factory, &a))
        return rc;
    uint32_t cap = a.size - PARTITION_TAIL_SIZE;
    char *img = nullptr;
    if (partition_pack_cfg_files(a.files.data(), static_cast<int>(a.files.size()), cap, &img) < 0)
        return 1;
    int rc = 0;
    for (const std::string &kv : a.defaults) {
        size_t eq = kv.find('=');
        if (eq == 0 || eq == std::string::npos) {
            fprintf(stderr, "tarvi-pack: --default needs KEY=VALUE, not %s\n", kv.c_str());
            rc = 2;
            break;
        }
        if (cfgpack_set_default(img, cap, kv.substr(0, eq).c_str(), kv.substr(eq + 1).c_str()) < 0) {
            rc = 1;
            break;
        }
    }
    if (rc == 0)
        rc = write_file(a.out, img, cfgpack_get32(img + 4));
    free(img);
    return rc;
}

int cmd_partition(int argc, char **argv) {
    std::string out, image;
    uint32_t size = 0, serial = PARTITION_NO_SERIAL;
    bool factory = false, hasSerial = false;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-o" && i + 1 < argc)
            out = argv[++i];
        else if (arg == "--size" && i + 1 < argc) {
            if (!parse_u32(argv[++i], &size))
                return usage();
        } else if (arg == "--serial" && i + 1 < argc) {
            if (!parse_u32(argv[++i], &serial) || serial == PARTITION_NO_SERIAL)
                return usage();
            hasSerial = true;
        } else if (arg == "--factory")
            factory = true;
        else if (!arg.empty() && arg[0] != '-' && image.empty())
            image = arg;
        else
            return usage();
    }
    if (out.empty() || image.empty() || (factory && hasSerial))
        return usage();
    if (size < 2 * PARTITION_PAGE_SIZE || size % PARTITION_PAGE_SIZE != 0) {
        fprintf(stderr, "tarvi-pack: the size must be a multiple of %d bytes, at least two pages\n",
                PARTITION_PAGE_SIZE);
        return 2;
    }
    Loaded l;
    if (!load(image.c_str(), &l))
        return 1;
    if (!valid(l))
        return 1;
    if (cfgpack_get32(l.bytes.data() + 4) >= size - PARTITION_TAIL_SIZE) {
        fprintf(stderr, "tarvi-pack: the image does not fit a partition of %u bytes\n", size);
        return 1;
    }
    char tail[PARTITION_TAIL_SIZE];
    partition_make_tail(tail, hasSerial, serial);
    std::vector<char> part(size);
    partition_layout(l.bytes.data(), size, tail, part.data());
    return write_file(out, part.data(), part.size());
}

const char *type_name(const struct cfgpack_entry &e) {
    switch (e.type) {
    case ENTRY_CONTAINER:
        return e.subtype == DEFAULT_CONTAINER ? "default-container" : "container";
    case ENTRY_CONFIG:
        return "config";
    case ENTRY_SC2_CONTAINER:
        return e.subtype == BIN_CONTAINER ? "sc2-archive" : "sc2-dummy";
    case ENTRY_CHECKPOINT:
        return "checkpoint";
    default:
        return "unknown";
    }
}

// Finds the SC2.0 archive of a valid image.
bool find_archive(Loaded &l, const char **bytes, uint32_t *len) {
    const char *img = l.bytes.data();
    uint32_t n = cfgpack_get32(img + 8) / CFGPACK_ENTRY_SIZE;
    for (uint32_t i = 0; i < n; ++i) {
        struct cfgpack_entry e;
        cfgpack_read_entry(img, i, &e);
        const char *data = cfgpack_entry_data(img, l.imageLen, &e);
        if (e.type == ENTRY_SC2_CONTAINER && e.subtype == BIN_CONTAINER && data) {
            *bytes = data;
            *len = e.len;
            return true;
        }
    }
    return false;
}

int cmd_show(const char *path) {
    Loaded l;
    if (!load(path, &l))
        return 1;
    echo_messages = false;
    bool ok = valid(l);
    echo_messages = true;
    printf("file: %s (%zu bytes%s)\n", path, l.bytes.size(), l.partition ? ", a partition" : "");
    if (l.partition) {
        const char *tail = l.bytes.data() + l.bytes.size() - PARTITION_TAIL_SIZE;
        uint32_t magic = cfgpack_get32(tail + 8), serial = cfgpack_get32(tail + 12);
        if (magic == PARTITION_TAIL_MAGIC && serial != PARTITION_NO_SERIAL)
            printf("tail: user image, serialNo %u\n", serial);
        else if (magic == PARTITION_TAIL_MAGIC_PENDING)
            printf("tail: user image never confirmed, not loaded (serialNo %u)\n", serial);
        else
            printf("tail: no user image (magic 0x%08x, serialNo 0x%08x)\n", magic, serial);
    }
    if (l.imageLen < CFGPACK_HEADER_SIZE) {
        printf("validity: invalid: %s\n", messages.empty() ? "too short" : messages.back().c_str());
        return 1;
    }
    struct cfgpack_header h;
    cfgpack_read_header(l.bytes.data(), &h);
    printf("header: ver %u, tag \"%c%c\", totalLen %u, entryLen %u, payloadLen %u, contNum %u, confNum %u\n", h.ver,
           h.tag[0] >= 32 && h.tag[0] < 127 ? h.tag[0] : '?', h.tag[1] >= 32 && h.tag[1] < 127 ? h.tag[1] : '?',
           h.totalLen, h.entryLen, h.payloadLen, h.contNum, h.confNum);
    printf("cksum: ");
    for (uint8_t b : h.cksum)
        printf("%02x", b);
    printf("\n");
    if (!ok) {
        // The first failing check is the last message (type notices come first).
        printf("validity: invalid: %s\n", messages.empty() ? "" : messages.back().c_str());
        return 1;
    }
    const char *img = l.bytes.data();
    uint32_t n = h.entryLen / CFGPACK_ENTRY_SIZE;
    printf("entries:\n");
    for (uint32_t i = 0; i < n; ++i) {
        struct cfgpack_entry e;
        cfgpack_read_entry(img, i, &e);
        printf("  [%u] %s subtype %u offset %u len %u\n", i, type_name(e), e.subtype, e.offset, e.len);
    }
    printf("containers:\n");
    bool inRun = false;
    for (uint32_t i = 0; i < n; ++i) {
        struct cfgpack_entry e;
        cfgpack_read_entry(img, i, &e);
        const char *key, *value;
        if (e.type == ENTRY_CONTAINER) {
            const char *name = cfgpack_entry_data(img, l.imageLen, &e);
            inRun = true;
            if (e.subtype == DEFAULT_CONTAINER)
                printf("  [Not-Reset Default]\n");
            else if (name && e.len > 0 && memchr(name, '\0', e.len))
                printf("  [%s]\n", name);
            else
                printf("  [(malformed name)]\n");
        } else if (e.type == ENTRY_CONFIG && inRun) {
            if (cfgpack_config_line(img, l.imageLen, &e, &key, &value))
                printf("    %s=%s\n", key, value);
            else
                printf("    (malformed entry %u)\n", i);
        } else {
            inRun = false;
        }
    }
    const char *arch;
    uint32_t archLen;
    if (find_archive(l, &arch, &archLen)) {
        printf("sc2 archive: %u bytes\n", archLen);
        std::vector<std::string> names;
        if (sc_archive_list(arch, archLen, &names) < 0)
            printf("  (unreadable)\n");
        for (const std::string &name : names)
            printf("  %s\n", name.c_str());
    }
    printf("validity: valid\n");
    return 0;
}

int cmd_check(const char *path) {
    Loaded l;
    echo_messages = false;
    return load(path, &l) && valid(l) ? 0 : 1;
}

int cmd_extract(const char *path, const char *dir) {
    Loaded l;
    if (!load(path, &l) || !valid(l))
        return 1;
    const char *arch;
    uint32_t archLen;
    if (!find_archive(l, &arch, &archLen)) {
        fprintf(stderr, "tarvi-pack: %s holds no SC2.0 archive\n", path);
        return 1;
    }
    return sc_archive_extract_mem(arch, archLen, dir) == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    tarvi_log_set_sink(collect);
    if (argc < 2)
        return usage();
    std::string cmd = argv[1];
    if (cmd == "build")
        return cmd_build(argc, argv, false);
    if (cmd == "factory")
        return cmd_build(argc, argv, true);
    if (cmd == "partition")
        return cmd_partition(argc, argv);
    if (cmd == "show" && argc == 3)
        return cmd_show(argv[2]);
    if (cmd == "check" && argc == 3)
        return cmd_check(argv[2]);
    if (cmd == "extract-sc" && argc == 4)
        return cmd_extract(argv[2], argv[3]);
    if (cmd == "--help" || cmd == "-h") {
        fputs(USAGE, stdout);
        return 0;
    }
    return usage();
}
