// Client calls for flat settings, the device's login accounts and the
// serialised shell-command runner. Every call that talks to the daemon builds
// its own request record and makes one exchange, so calls may come from any
// number of threads.
#include "libtarvi_private.h"

#include <cerrno>
#include <crypt.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <unistd.h>

#include "paths.h"
#include "utility.h"

namespace {

// The public calls take `char *` keys for their callers' sake but never write
// through them; our own fixed key names are passed the same way.
char *fixed_key(const char *key) { return const_cast<char *>(key); }

int flat_call(int type, char *key, char *value) {
    tarvi_request reply;
    return libtarvi_exchange(type, key, value, &reply);
}

// ---- Keys answered by the library -------------------------------------------

// The hardware version word sits in the system controller, mapped from this
// physical window of "/dev/mem".
constexpr off_t CHIP_WINDOW_BASE = 0x7ffff000;
constexpr size_t CHIP_WINDOW_SIZE = 0x72000;
constexpr size_t CHIP_VERSION_OFFSET = 0x71000 + 4;
// Bits 12 to 15 of the version word carry the metal-fix level, which does not
// change what the chip is.
constexpr uint32_t CHIP_VERSION_MASK = ~0x0000f000u;

// The chips the device is built with: three models, each in revision E1 (even
// index) and E2 (odd index), identified by their version word with the
// metal-fix bits cleared. Index 3 also stands for a chip not in this table.
// This is the one place that knows the identifiers and the model names.
const uint32_t CHIP_IDS[6] = {
    0x01100000, // model A, E1
    0x01100001, // model A, E2
    0x01200000, // model B, E1
    0x01200001, // model B, E2
    0x01300000, // model C, E1
    0x01300001, // model C, E2
};
const char *const CHIP_MODEL_A = "TWX-A100";
const char *const CHIP_MODEL_B = "TWX-B200";
const char *const CHIP_MODEL_C = "TWX-C300";

constexpr int CHIP_UNKNOWN = 3;

char *get_ahbclk() { return dupstr(chipinfo() > 1 ? "61666666" : "50000000"); }

char *get_soc_id() {
    int chip = chipinfo();
    if (chip == 0 || chip == 1)
        return dupstr(CHIP_MODEL_A);
    if (chip == 4 || chip == 5)
        return dupstr(CHIP_MODEL_C);
    return dupstr(CHIP_MODEL_B);
}

char *get_musbhdrc_rev() {
    static const char *const revs[] = {"0", "1", "2"};
    int chip = chipinfo();
    return dupstr(chip >= 0 && chip <= 2 ? revs[chip] : "3");
}

char *get_pcm_ver() {
    int chip = chipinfo();
    return dupstr(chip == 0 ? "0" : chip == 1 ? "1" : "6");
}

// The daemon's value of `key`, or `fallback` when it has none or an empty one.
char *daemon_value_or(const char *key, const char *fallback) {
    char *value = nullptr;
    if (tarvi_nonblock_get(fixed_key(key), &value) == 0 && value && *value)
        return value;
    free(value);
    return dupstr(fallback);
}

char *get_slic_type() { return daemon_value_or("SLIC_TYPE", "3226"); }
char *get_voip_ch_num() { return daemon_value_or("VOIP_CH_NUM", "2"); }

struct special_key {
    const char *key;
    char *(*getValue)();
};

const special_key specialKeys[] = {
    {"AHBCLK", get_ahbclk},   {"soc_id", get_soc_id},       {"musbhdrc_rev", get_musbhdrc_rev},
    {"pcm_ver", get_pcm_ver}, {"slic_type", get_slic_type}, {"voip_ch_num", get_voip_ch_num},
};

// A getter of `key` (which only has to begin with the row's name), or null.
const special_key *special_key_of(const char *key) {
    for (const auto &row : specialKeys)
        if (strncmp(key, row.key, strlen(row.key)) == 0)
            return &row;
    return nullptr;
}

int get_common(int type, char *key, char **value) {
    if (!value)
        return libtarvi_fail(EINVAL);
    *value = nullptr;
    if (!key)
        return libtarvi_fail(EINVAL);
    if (const special_key *row = special_key_of(key)) {
        *value = row->getValue();
        return *value ? 0 : -1;
    }
    tarvi_request reply;
    if (libtarvi_exchange(type, key, nullptr, &reply) != 0)
        return -1;
    if (!reply.key)
        return libtarvi_fail(EPROTO);
    if (!reply.value)
        return 0;
    *value = dupstr(reply.value);
    return *value ? 0 : -1;
}

// ---- Accounts ----------------------------------------------------------------

struct privilege_key {
    const char *id;
    const char *passwd;
};

// The row number is the account's level.
const privilege_key privilegeKeys[] = {
    {"GUEST_NAME", "GUEST_PASSWD"},
    {"ADMIN_NAME", "ADMIN_PASSWD"},
    {"POWERUSER_NAME", "POWERUSER_PASSWD"},
};

// Frees a fetched secret after wiping it, so that no hash lingers in freed
// memory of the caller's process.
void free_secret(char *secret) {
    if (secret)
        explicit_bzero(secret, strlen(secret));
    free(secret);
}

struct secret_deleter {
    void operator()(char *p) const { free_secret(p); }
};
using secret_text = std::unique_ptr<char, secret_deleter>;

// The stored hash of account `level`, or null.
secret_text stored_hash(int level) {
    char *value = nullptr;
    if (tarvi_get(fixed_key(privilegeKeys[level].passwd), &value) != 0)
        return nullptr;
    return secret_text(value);
}

// crypt(3) with its work area on the heap and wiped afterwards; reentrant, so
// that account calls from several threads do not share crypt's static buffer.
// Returns a malloc'ed hash, or null when the method or salt is refused (crypt
// then returns a text beginning with '*').
secret_text hash_with(const char *phrase, const char *setting) {
    auto data = std::make_unique<crypt_data>();
    const char *hash = crypt_r(phrase, setting, data.get());
    secret_text result(hash && hash[0] != '*' ? strdup(hash) : nullptr);
    explicit_bzero(data.get(), sizeof *data);
    return result;
}

// Equal texts, compared without an early exit so that the time taken does not
// tell how much of a hash was right.
bool same_secret(const char *a, const char *b) {
    size_t la = strlen(a), lb = strlen(b);
    unsigned char diff = la != lb;
    for (size_t i = 0; i < la && i < lb; i++)
        diff = static_cast<unsigned char>(diff | (a[i] ^ b[i]));
    return diff == 0;
}

int set_and_commit(const char *key, char *value) {
    if (tarvi_set(fixed_key(key), value) != 0)
        return -1;
    return tarvi_commit();
}

int update_password(char *id, char *old_password, char *new_password, int salted) {
    if (!id || !old_password || !new_password)
        return -1;
    int level = tarvi_check_passwd(id, old_password, salted);
    if (level < 0)
        return -1;
    secret_text stored = stored_hash(level);
    if (!stored)
        return -1;
    secret_text hashed = hash_with(new_password, stored.get());
    if (!hashed)
        return -1;
    return set_and_commit(privilegeKeys[level].passwd, hashed.get()) == 0 ? 0 : -1;
}

// ---- Command runner ----------------------------------------------------------

constexpr key_t COMMAND_SEM_KEY = 2287;

// The command semaphore's id, created with the value 1 by whoever comes
// first; -1 after printing why not.
int command_semaphore() {
    int id = semget(COMMAND_SEM_KEY, 1, IPC_CREAT | IPC_EXCL | 0666);
    if (id >= 0) {
        if (semctl(id, 0, SETVAL, 1) < 0) {
            printf("semctl() set failed --- %s !!\n", strerror(errno));
            return -1;
        }
        return id;
    }
    if (errno == EEXIST)
        id = semget(COMMAND_SEM_KEY, 1, 0666);
    if (id < 0)
        printf("semget() failed --- %s !!\n", strerror(errno));
    return id;
}

int semaphore_step(int id, short delta) {
    struct sembuf op = {0, delta, SEM_UNDO};
    int rc;
    do
        rc = semop(id, &op, 1);
    while (rc < 0 && errno == EINTR);
    return rc;
}

} // namespace

int chipinfo() {
    std::string path = tarvi_path("/dev/mem");
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    // A regular file standing in for the memory device (a sandbox) must
    // reach the version word: touching a mapped page past its end would kill
    // the process with SIGBUS.
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        st.st_size < CHIP_WINDOW_BASE + static_cast<off_t>(CHIP_VERSION_OFFSET + sizeof(uint32_t))) {
        close(fd);
        return CHIP_UNKNOWN;
    }
    void *map = mmap(nullptr, CHIP_WINDOW_SIZE, PROT_READ, MAP_PRIVATE, fd, CHIP_WINDOW_BASE);
    if (map == MAP_FAILED) {
        fprintf(stderr, "Can not mmap() --- %s\n", strerror(errno));
        close(fd);
        return 2;
    }
    uint32_t version = *reinterpret_cast<const volatile uint32_t *>(static_cast<char *>(map) + CHIP_VERSION_OFFSET);
    version &= CHIP_VERSION_MASK;
    int index = CHIP_UNKNOWN;
    for (int i = 0; i < 6; i++)
        if (CHIP_IDS[i] == version)
            index = i;
    munmap(map, CHIP_WINDOW_SIZE);
    close(fd);
    return index;
}

uint32_t chip_version_word(int index) { return index >= 0 && index < 6 ? CHIP_IDS[index] : 0; }

int libtarvi_exchange(int type, char *key, char *value, tarvi_request *reply) {
    memset(reply, 0, sizeof *reply);
    reply->magic = TARVI_REQUEST_MAGIC;
    reply->type = static_cast<uint16_t>(type);
    reply->key = key;
    reply->value = value;
    return request_for_tarvi(reply);
}

int libtarvi_exchange_appended(int type, const char *key, const char *value, tarvi_request *reply) {
    if (libtarvi_exchange(type, const_cast<char *>(key), const_cast<char *>(value), reply) == 0)
        return 0;
    if (errno == EPROTO)
        errno = EOPNOTSUPP;
    return -1;
}

int libtarvi_get_common(int type, char *key, char **value) { return get_common(type, key, value); }

extern "C" {

int tarvi_get(char *key, char **value) { return get_common(TARVI_REQUEST_TYPE_GET, key, value); }
int tarvi_nonblock_get(char *key, char **value) { return get_common(TARVI_REQUEST_TYPE_NONBLOCK_GET, key, value); }
int tarvi_set(char *key, char *value) { return flat_call(TARVI_REQUEST_TYPE_SET, key, value); }
int tarvi_commit(void) { return flat_call(TARVI_REQUEST_TYPE_COMMIT, nullptr, nullptr); }
int tarvi_reload(void) { return flat_call(TARVI_REQUEST_TYPE_RELOAD, nullptr, nullptr); }
int tarvi_reload_default(void) { return flat_call(TARVI_REQUEST_TYPE_RELOAD_DEFAULT, nullptr, nullptr); }
int tarvi_restore_default(void) { return flat_call(TARVI_REQUEST_TYPE_RESTORE_DEFAULT, nullptr, nullptr); }
int tarvi_backup_cfgfile(char *filename) { return flat_call(TARVI_REQUEST_TYPE_BACKUP_CFGFILE, filename, nullptr); }
int tarvi_restore_cfgfile(char *filename) { return flat_call(TARVI_REQUEST_TYPE_RESTORE_CFGFILE, filename, nullptr); }
int tarvi_dset(char *key, char *value) { return flat_call(TARVI_REQUEST_TYPE_DSET, key, value); }
int tarvi_dunset(char *key) { return flat_call(TARVI_REQUEST_TYPE_DUNSET, key, nullptr); }
int tarvi_chroot(char *path) { return flat_call(TARVI_REQUEST_TYPE_CHROOT, path, nullptr); }

int tarvi_commit_confirmed(int seconds) {
    if (seconds < 1 || seconds > TARVI_CONFIRM_SECONDS_MAX)
        return libtarvi_fail(EINVAL);
    tarvi_request reply;
    return libtarvi_exchange_appended(TARVI_REQUEST_TYPE_COMMIT_CONFIRM, std::to_string(seconds).c_str(), nullptr,
                                      &reply);
}

int tarvi_confirm(void) {
    tarvi_request reply;
    return libtarvi_exchange_appended(TARVI_REQUEST_TYPE_CONFIRM, nullptr, nullptr, &reply);
}

int tarvi_rollback(void) {
    tarvi_request reply;
    return libtarvi_exchange_appended(TARVI_REQUEST_TYPE_ROLLBACK, nullptr, nullptr, &reply);
}

int tarvi_commit_status(int *seconds_left) {
    tarvi_request reply;
    if (libtarvi_exchange_appended(TARVI_REQUEST_TYPE_COMMIT_STATUS, nullptr, nullptr, &reply) != 0)
        return -1;
    unsigned long left = 0;
    if (reply.status > 1 || (reply.status == 1 && !util_decimal(reply.value, TARVI_CONFIRM_SECONDS_MAX, &left)))
        return libtarvi_fail(EPROTO);
    if (seconds_left)
        *seconds_left = static_cast<int>(left);
    return reply.status;
}

int tarvi_check_username(char *name) {
    if (!name)
        return libtarvi_fail(EINVAL);
    for (int level = 0; level < 3; level++) {
        char *value = nullptr;
        // A name that could not be read is not "no such account".
        if (tarvi_get(fixed_key(privilegeKeys[level].id), &value) != 0)
            return -1;
        bool match = value && strcmp(value, name) == 0;
        free(value);
        if (match)
            return level;
    }
    return libtarvi_fail(ESRCH);
}

int tarvi_update_username(char *old_name, char *new_name) {
    if (!old_name || !new_name)
        return libtarvi_fail(EINVAL);
    // Every name is read first: a name another account uses is refused, and
    // so is any rename whose check could not be made.
    int level = -1;
    for (int row = 0; row < 3; row++) {
        char *value = nullptr;
        if (tarvi_get(fixed_key(privilegeKeys[row].id), &value) != 0)
            return -1;
        bool is_old = value && strcmp(value, old_name) == 0;
        bool is_new = value && strcmp(value, new_name) == 0;
        free(value);
        if (is_old && level < 0)
            level = row;
        else if (is_new)
            return libtarvi_fail(EEXIST);
    }
    if (level < 0)
        return libtarvi_fail(ESRCH);
    return set_and_commit(privilegeKeys[level].id, new_name) == 0 ? level : -1;
}

int tarvi_check_passwd(char *id, char *password, int salted) {
    if (!id)
        return TARVI_PASSWD_NO_ACCOUNT;
    if (!password)
        return TARVI_PASSWD_NULL;
    int level = tarvi_check_username(id);
    if (level < 0)
        return TARVI_PASSWD_NO_ACCOUNT;
    secret_text stored = stored_hash(level);
    // An empty hash is no password: it must not let an empty "hash" in.
    if (!stored || !*stored)
        return TARVI_PASSWD_MISMATCH;
    if (salted)
        return same_secret(password, stored.get()) ? level : TARVI_PASSWD_MISMATCH;
    secret_text candidate = hash_with(password, stored.get());
    return candidate && same_secret(candidate.get(), stored.get()) ? level : TARVI_PASSWD_MISMATCH;
}

int tarvi_update_password(char *id, char *old_password, char *new_password) {
    return update_password(id, old_password, new_password, 0);
}

int tarvi_update_password2(char *id, char *old_password, char *new_password) {
    return update_password(id, old_password, new_password, 1);
}

int tarvi_system(const char *string) {
    int id = command_semaphore();
    if (id < 0)
        return -1;
    if (semaphore_step(id, -1) < 0) {
        printf("semop() get failed --- %s !!\n", strerror(errno));
        return -1;
    }
    nonrt_system(string);
    if (semaphore_step(id, 1) < 0) {
        printf("semop() put failed --- %s !!\n", strerror(errno));
        return -1;
    }
    return 0;
}

} // extern "C"
