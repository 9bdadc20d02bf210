/**
 * @file libtarvi.h
 * libtarvi: the client interface of the tarvi configuration daemon.
 *
 * Every call that talks to the daemon opens one connection to its local
 * socket "/var/run/tarvi.socket", sends one tarvi_request record, reads one
 * reply record and closes; calls may run in several threads at once. The
 * header is plain C99 and C++; every call has C linkage. Link with -ltarvi
 * (pkg-config libtarvi, or the CMake target tarvi::tarvi).
 *
 * Ownership: a string returned through a `char **` argument is a malloc'ed
 * copy that the caller frees with free(); buffers passed in are the caller's
 * and are never kept by the library.
 *
 * Why a call failed: the results stay as documented at each call; after a
 * call that asks the daemon has returned its failure result, errno tells
 * whether the daemon was reached:
 * - TARVI_EREFUSED: the daemon answered and refused (its log says why), or,
 *   for the tree calls, answered with a failure code;
 * - EPERM: the daemon's access policy (its file "/etc/tarvi/access.conf")
 *   does not give the calling user the right to the request;
 * - ENOENT: there is no socket at its path (the daemon is not running);
 * - ECONNREFUSED: the socket is there but nobody accepts on it (the daemon
 *   has died);
 * - EACCES: the caller may not use the socket;
 * - ETIMEDOUT: the daemon did not answer within the socket timeout (only with
 *   libtarvi_rw_block cleared);
 * - EPROTO: the daemon closed the connection without a reply it could decode;
 * - EINVAL: the call refused its arguments without asking the daemon.
 * TARVI_DAEMON_UNREACHABLE(errno) is true for the four "not reached" cases.
 * A call that succeeds may change errno.
 */
#ifndef LIBTARVI_H
#define LIBTARVI_H

#include <errno.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Fixed-width integer names used by the tree code and its callbacks. */
typedef int8_t s_8;    /**< signed 8 bits */
typedef uint8_t u_8;   /**< unsigned 8 bits */
typedef int16_t s_16;  /**< signed 16 bits */
typedef uint16_t u_16; /**< unsigned 16 bits */
typedef int32_t s_32;  /**< signed 32 bits */
typedef uint32_t u_32; /**< unsigned 32 bits */

/** errno after a call the daemon answered with a failure. */
#define TARVI_EREFUSED EREMOTEIO
/** True when errno `e`, after a failed call, says the daemon was not reached. */
#define TARVI_DAEMON_UNREACHABLE(e) ((e) == ENOENT || (e) == ECONNREFUSED || (e) == EACCES || (e) == ETIMEDOUT)

/** What every record's `magic` holds. */
#define TARVI_REQUEST_MAGIC 0x2287
/** Size of the packing area of a record. */
#define TARVI_REQUEST_STRING_SIZE 4096
/** Fixed header of the wire form: magic, type, status, reservedLen, key, value. */
#define TARVI_REQUEST_HEADER_SIZE 20
/** Largest record on the wire (and in memory on the 32-bit device). */
#define TARVI_REQUEST_MAX_SIZE (TARVI_REQUEST_HEADER_SIZE + TARVI_REQUEST_STRING_SIZE)
/** What a non-null pointer field holds on the wire. */
#define TARVI_REQUEST_POINTER_MARKER 0x12345678u

/** Request types: what a record asks the daemon to do. */
enum tarvi_request_type {
    TARVI_REQUEST_TYPE_GET = 0,
    TARVI_REQUEST_TYPE_NONBLOCK_GET = 1,
    TARVI_REQUEST_TYPE_SET = 2,
    TARVI_REQUEST_TYPE_COMMIT = 3,
    TARVI_REQUEST_TYPE_RELOAD = 4,
    TARVI_REQUEST_TYPE_RELOAD_DEFAULT = 5,
    TARVI_REQUEST_TYPE_RESTORE_DEFAULT = 6,
    TARVI_REQUEST_TYPE_BACKUP_CFGFILE = 7,
    TARVI_REQUEST_TYPE_RESTORE_CFGFILE = 8,
    TARVI_REQUEST_TYPE_DUMP = 9,
    TARVI_REQUEST_TYPE_DSET = 10,
    TARVI_REQUEST_TYPE_DUNSET = 11,
    TARVI_REQUEST_TYPE_CHROOT = 12,
    TARVI_REQUEST_TYPE_PROP_SET = 13,
    TARVI_REQUEST_TYPE_PROP_GET = 14,
    TARVI_REQUEST_TYPE_PROP_RELOAD = 15,
    TARVI_REQUEST_TYPE_PROP_DEBUG = 16,
    TARVI_REQUEST_TYPE_PROP_CTRLSTOP_SIGNAL = 17,
    TARVI_REQUEST_TYPE_PROP_TEST = 18,
    TARVI_REQUEST_TYPE_SC_GET = 19,
    TARVI_REQUEST_TYPE_SC_SET = 20,
    TARVI_REQUEST_TYPE_SC_COMMIT = 21,
    TARVI_REQUEST_TYPE_SC_RELOAD = 22,
    TARVI_REQUEST_TYPE_SC_STAGE_RELOAD = 23,
    TARVI_REQUEST_TYPE_SC_RELOAD_DEFAULT = 24,
    TARVI_REQUEST_TYPE_SC_RESTORE_DEFAULT = 25,
    TARVI_REQUEST_TYPE_SC_IS_EXIST = 26,
    TARVI_REQUEST_TYPE_SC_DEBUG = 27,
    TARVI_REQUEST_TYPE_SC_TEST_ME = 28,
    TARVI_REQUEST_TYPE_SC_TEST_SET = 29,
    TARVI_REQUEST_TYPE_SC_TEST_GET = 30,
    TARVI_REQUEST_TYPE_SC_GET_TREE_START = 31,
    TARVI_REQUEST_TYPE_SC_GET_TREE_NEXT = 32,
    TARVI_REQUEST_TYPE_SC_GET_DTYPE = 33,
    TARVI_REQUEST_TYPE_SC_GET_LIMIT = 34,
    TARVI_REQUEST_TYPE_SC_GET_ATTR = 35,
    TARVI_REQUEST_TYPE_SC_GET_UINT = 36,
    TARVI_REQUEST_TYPE_SC_GET_INT = 37,
    TARVI_REQUEST_TYPE_SC_EXE = 38,
    TARVI_REQUEST_TYPE_SC_ME_ADD_INST = 39,
    TARVI_REQUEST_TYPE_SC_ME_DEL_INST = 40,
    TARVI_REQUEST_TYPE_SC_ME_QUERY_INT_NUM = 41,
    TARVI_REQUEST_TYPE_SC_QUERY_INT_NAME = 42,
    TARVI_REQUEST_TYPE_SC_QUERY_LAST_NAME = 43,
    TARVI_REQUEST_TYPE_SC_QUERY_INT_NUM = 44,
    TARVI_REQUEST_TYPE_SC_CB_SET = 45,
    TARVI_REQUEST_TYPE_SC_CB_GET = 46,
    TARVI_REQUEST_TYPE_SC_CB_GET_UINT = 47,
    TARVI_REQUEST_TYPE_SC_CB_GET_INT = 48,
    TARVI_REQUEST_TYPE_SC_CB_EXE = 49,
    TARVI_REQUEST_TYPE_SC_CB_ME_ADD_INST = 50,
    TARVI_REQUEST_TYPE_SC_CB_ME_DEL_INST = 51,
    TARVI_REQUEST_TYPE_CB_SET = 52,
    TARVI_REQUEST_TYPE_CB_GET = 53,
    TARVI_REQUEST_TYPE_SC_GET_INSTANCE_FIELDS_BY_NUM = 54,
    TARVI_REQUEST_TYPE_SC_GET_INSTANCE_FIELDS = 55,
    TARVI_REQUEST_TYPE_SC_ADD_INSTANCE_FIELDS = 56,
    TARVI_REQUEST_TYPE_SC_SET_INSTANCE_FIELDS = 57,
    TARVI_REQUEST_TYPE_RESERVED = 58, /**< never valid: older peers refuse it */
    /* Types appended later; a daemon that predates them closes the
     * connection without a reply, which the calls report as EOPNOTSUPP. */
    TARVI_REQUEST_TYPE_CONFIG_LIST = 59,    /**< key: prefix; first page of the flat store */
    TARVI_REQUEST_TYPE_PROP_LIST = 60,      /**< key: prefix; first page of the properties */
    TARVI_REQUEST_TYPE_SC_LIST = 61,        /**< key: URI (empty: whole tree); first page of the subtree */
    TARVI_REQUEST_TYPE_LIST_NEXT = 62,      /**< key: cursor; the next page of a listing */
    TARVI_REQUEST_TYPE_IMPORT = 63,         /**< key: "UPLOAD put" or "UPLOAD apply"; value: text */
    TARVI_REQUEST_TYPE_COMMIT_CONFIRM = 64, /**< key: seconds; a commit that waits for confirmation */
    TARVI_REQUEST_TYPE_CONFIRM = 65,        /**< the waiting commit becomes the saved configuration */
    TARVI_REQUEST_TYPE_ROLLBACK = 66,       /**< the waiting commit is dropped */
    TARVI_REQUEST_TYPE_COMMIT_STATUS = 67   /**< status 1 and value: seconds left, or status 0 */
};

/**
 * One request or reply. In memory `key` and `value` point at texts (usually
 * inside `string`) or are null. The wire form is fixed-width and built by the
 * library: 20 header bytes (magic, type, status, reservedLen, then the two
 * pointer fields as 4-byte 0 or TARVI_REQUEST_POINTER_MARKER) followed by the
 * used part of `string`, in host byte order. On the 32-bit device the record
 * is exactly TARVI_REQUEST_MAX_SIZE bytes in memory too.
 */
typedef struct tarvi_request {
    uint16_t magic;                         /**< always TARVI_REQUEST_MAGIC */
    uint16_t type;                          /**< a tarvi_request_type, 0 to 57 or 59 to 63 */
    int32_t status;                         /**< set by the daemon in the reply; negative is failure */
    int32_t reservedLen;                    /**< bytes at the start of `string` carried untouched */
    char *key;                              /**< the key text, or null */
    char *value;                            /**< the value text, or null */
    char string[TARVI_REQUEST_STRING_SIZE]; /**< packing area of the texts */
} tarvi_request;

/**
 * While non-zero (the default), the library's socket reads and writes keep
 * waiting after each 8-second timeout; set it to 0 to give up after the first.
 */
extern int libtarvi_rw_block;

/**
 * Performs one request-reply exchange with the daemon: packs `request` (a
 * record the caller owns, with key and value pointing at the caller's texts),
 * sends it and reads the reply into the same record.
 *
 * @return 0 when a reply arrived, unpacked and carries status >= 0; then
 *         `request` holds the reply, with key and value pointing into
 *         request->string (valid as long as the record). -1 otherwise, with
 *         errno telling why (see the top of this file): daemon not reached,
 *         texts that do not fit (EINVAL), I/O failure, malformed reply
 *         (EPROTO) or negative reply (TARVI_EREFUSED, or EPERM for a
 *         refusal of the access policy, and `request` holds the reply).
 */
int request_for_tarvi(tarvi_request *request);

/* ---- Flat configuration ------------------------------------------------ */

/*
 * Results are 0 on success and -1 on failure (daemon not running, a request
 * that cannot be packed, a refused request or a negative reply status).
 */

/**
 * Reads the setting `key` (sends TARVI_REQUEST_TYPE_GET).
 *
 * A few keys ("AHBCLK", "soc_id", "musbhdrc_rev", "pcm_ver", "slic_type",
 * "voip_ch_num", and longer keys that begin with one of them) are answered by
 * the library itself without asking the daemon.
 *
 * *value receives a malloc'ed copy of the value, which the caller frees;
 * null on failure and when the daemon does not know the key.
 * @return 0, or -1.
 */
int tarvi_get(char *key, char **value);
/**
 * As tarvi_get, sent as TARVI_REQUEST_TYPE_NONBLOCK_GET, which the daemon
 * answers as a get. *value is the caller's to free.
 */
int tarvi_nonblock_get(char *key, char **value);
/**
 * Sets the setting `key` to `value` in the daemon's memory
 * (TARVI_REQUEST_TYPE_SET); tarvi_commit makes it persistent.
 * @return 0, or -1.
 */
int tarvi_set(char *key, char *value);
/**
 * Writes every changed persistent setting (and the configuration tree) to
 * storage (TARVI_REQUEST_TYPE_COMMIT).
 * @return 0, or -1 when the daemon could not write the configuration.
 */
int tarvi_commit(void);
/**
 * Rebuilds the settings from the defaults and the saved configuration,
 * dropping uncommitted changes (TARVI_REQUEST_TYPE_RELOAD).
 * @return 0, or -1.
 */
int tarvi_reload(void);
/**
 * Rebuilds the settings from the defaults only; nothing is written
 * (TARVI_REQUEST_TYPE_RELOAD_DEFAULT).
 * @return 0, or -1.
 */
int tarvi_reload_default(void);
/**
 * Drops the saved configuration: the device starts from its defaults
 * (TARVI_REQUEST_TYPE_RESTORE_DEFAULT).
 * @return 0, or -1.
 */
int tarvi_restore_default(void);
/**
 * Makes the daemon write the saved configuration to `filename`, a path on
 * the daemon's side (TARVI_REQUEST_TYPE_BACKUP_CFGFILE).
 * @return 0, or -1.
 */
int tarvi_backup_cfgfile(char *filename);
/**
 * Makes the daemon check the backup file `filename` (a path on the daemon's
 * side) and take it as the saved configuration
 * (TARVI_REQUEST_TYPE_RESTORE_CFGFILE).
 * @return 0, or -1 when the file is missing or not a valid image.
 */
int tarvi_restore_cfgfile(char *filename);
/**
 * Sets a factory default: `key` = `value`, kept across a restore to defaults
 * (TARVI_REQUEST_TYPE_DSET).
 * @return 0, or -1.
 */
int tarvi_dset(char *key, char *value);
/**
 * Removes the factory default `key` (TARVI_REQUEST_TYPE_DUNSET).
 * @return 0, or -1.
 */
int tarvi_dunset(char *key);
/**
 * Makes the daemon change its root folder to `path`
 * (TARVI_REQUEST_TYPE_CHROOT).
 * @return 0, or -1.
 */
int tarvi_chroot(char *path);

/* ---- Commits that wait for confirmation --------------------------------- */

/*
 * A change made from far away can cut the device off from whoever made it.
 * tarvi_commit_confirmed commits as tarvi_commit does, but the device keeps
 * the last confirmed configuration as the one it starts with: unless
 * tarvi_confirm arrives within `seconds`, the daemon rolls the settings and
 * the tree back to it, in memory and in storage, and logs that. A restart or
 * power cut before the confirmation has the same effect. While a commit
 * waits, commits, reloads and restores are refused (errno TARVI_EREFUSED);
 * settings may still be changed, and a roll back drops those changes too.
 * The longest wait is TARVI_CONFIRM_SECONDS_MAX. A daemon that predates these
 * calls leaves them at -1 with errno EOPNOTSUPP.
 */
#define TARVI_CONFIRM_SECONDS_MAX 86400 /**< a day */

/**
 * Commits everything, whether changed or not, as a commit that waits for
 * confirmation (TARVI_REQUEST_TYPE_COMMIT_CONFIRM).
 * @return 0; -1 with errno EINVAL for `seconds` outside 1 to
 *         TARVI_CONFIRM_SECONDS_MAX, TARVI_EREFUSED when a commit already
 *         waits or the write failed (nothing then waits).
 */
int tarvi_commit_confirmed(int seconds);
/**
 * Makes the waiting commit the saved configuration (TARVI_REQUEST_TYPE_CONFIRM).
 * @return 0; -1 with errno TARVI_EREFUSED when no commit waits, or the
 *         confirmation could not be written (the commit then still waits).
 */
int tarvi_confirm(void);
/**
 * Drops the waiting commit at once: back to the last confirmed configuration
 * (TARVI_REQUEST_TYPE_ROLLBACK). The tree is rebuilt when one is loaded.
 * @return 0; -1 with errno TARVI_EREFUSED when no commit waits.
 */
int tarvi_rollback(void);
/**
 * Whether a commit waits for confirmation (TARVI_REQUEST_TYPE_COMMIT_STATUS);
 * *seconds_left (when given) receives the whole seconds left, rounded up, or
 * 0 when none waits.
 * @return 1 when a commit waits, 0 when none does, -1 on failure.
 */
int tarvi_commit_status(int *seconds_left);

/* ---- Listings, export and import ---------------------------------------- */

/*
 * A listing is a snapshot the daemon takes at once under its lock; the
 * library fetches it page by page and hands it back as one malloc'ed block:
 * the array and every text it points at, freed together with one free() of
 * the array. A daemon that does not know the request leaves the call at -1
 * with errno EOPNOTSUPP ("daemon does not support this request"); a listing
 * the daemon dropped before it was fetched whole (it keeps 8 at a time, and
 * each for 30 s after its last page was asked for) gives -1 with ESTALE.
 */

/** One flat setting of tarvi_config_list. */
typedef struct tarvi_config_entry {
    char *key;       /**< the key */
    char *value;     /**< its value */
    char *container; /**< the container that holds it; "" for a key only the tree registered */
    int runtime;     /**< 1 when no commit stores it (Runtime, factory-only, or no container) */
    int changed;     /**< 1 when it differs from what the last commit or reload left */
} tarvi_config_entry;

/**
 * Lists every flat setting whose key begins with `prefix` (null or "" for
 * all), sorted by key (TARVI_REQUEST_TYPE_CONFIG_LIST). *entries: one
 * malloc'ed block (array and texts) the caller frees with free(), null when
 * the list is empty; *count: the number of entries.
 * @return 0, or -1 (errno as at the top of this file, EOPNOTSUPP, ESTALE).
 */
int tarvi_config_list(const char *prefix, tarvi_config_entry **entries, size_t *count);

/** One property of property_list. */
typedef struct tarvi_prop_entry {
    char *name;  /**< the name */
    char *value; /**< its value */
} tarvi_prop_entry;

/**
 * Lists every property whose name begins with `prefix` (null or "" for
 * all), sorted by name (TARVI_REQUEST_TYPE_PROP_LIST). *entries and *count
 * as for tarvi_config_list.
 * @return 0, or -1.
 */
int property_list(const char *prefix, tarvi_prop_entry **entries, size_t *count);

/** One node of tarvi_sc_list. */
typedef struct tarvi_sc_node {
    char *uri;    /**< stored form, "./sys/wan/mtu" */
    u_16 dtype;   /**< data type bits */
    u_16 attr;    /**< access attribute bits */
    char *limit;  /**< the value limit, or null */
    char *value;  /**< the stored value, read without running callbacks, or null */
    int instance; /**< 1 for an instance of a table (a sibling of the "-1" template) */
} tarvi_sc_node;

/**
 * Lists the subtree of `uri` (slashed or dotted; null or "" for the whole
 * tree), parents before their children, table templates left out
 * (TARVI_REQUEST_TYPE_SC_LIST). *nodes and *count as for tarvi_config_list.
 * @return 0; -404 when `uri` does not exist; -1.
 */
int tarvi_sc_list(const char *uri, tarvi_sc_node **nodes, size_t *count);

/** What an import entry changes. */
enum tarvi_import_kind {
    TARVI_IMPORT_FLAT = 0,     /**< flat setting `name` = `value` */
    TARVI_IMPORT_INSTANCE = 1, /**< instance `name` ("table/NAME") made when missing; `value` unused */
    TARVI_IMPORT_SC_VALUE = 2  /**< tree node `name` = `value` */
};

/** One change of tarvi_import. */
typedef struct tarvi_import_entry {
    int kind;          /**< a tarvi_import_kind */
    const char *name;  /**< flat key, instance URI or node URI */
    const char *value; /**< the value (null: empty) */
} tarvi_import_entry;

/**
 * Applies `count` entries as a whole (TARVI_REQUEST_TYPE_IMPORT): the daemon
 * checks every entry first (key and value limits, nodes that exist or lie in
 * an instance the entries make, the nodes' verify callbacks) and then makes
 * the instances and writes the values in order, or changes nothing. Nothing
 * is committed. On a refusal *refusal (when given) receives a malloc'ed text
 * "entry N (NAME): REASON", N counted from 1, that the caller frees.
 * @return 0; -1 with errno TARVI_EREFUSED when an entry was refused,
 *         otherwise as at the top of this file (EOPNOTSUPP for an older
 *         daemon, EINVAL for a null entry name).
 */
int tarvi_import(const tarvi_import_entry *entries, size_t count, char **refusal);

/* ---- Accounts ---------------------------------------------------------- */

/* Account levels, as the account calls return them. */
#define TARVI_ACCOUNT_GUEST 0     /**< account level of the guest */
#define TARVI_ACCOUNT_ADMIN 1     /**< account level of the administrator */
#define TARVI_ACCOUNT_POWERUSER 2 /**< account level of the power user */
/* Failures of tarvi_check_passwd. */
#define TARVI_PASSWD_MISMATCH (-2)   /**< wrong password, or none stored */
#define TARVI_PASSWD_NO_ACCOUNT (-3) /**< null or unknown login name */
#define TARVI_PASSWD_NULL (-4)       /**< null password */

/**
 * The account level (TARVI_ACCOUNT_*) whose login name is `name`, the first
 * in level order; asks the daemon for the three login names.
 * @return the level, or -1: errno ESRCH when no account has that name,
 *         otherwise the daemon could not be asked (see the top of this file).
 */
int tarvi_check_username(char *name);
/**
 * Renames the account `old_name` to `new_name` and commits. Account names
 * stay unique: a name another account uses is refused and nothing changes.
 * @return the account's level, or -1: errno ESRCH when no account is named
 *         `old_name`, EEXIST when another account is named `new_name`,
 *         otherwise the names could not be read or the change could not be
 *         set or committed (see the top of this file).
 */
int tarvi_update_username(char *old_name, char *new_name);
/**
 * Checks the password `password` of the account named `id` against its
 * stored hash. With `salted` 0, `password` is the clear text, hashed here
 * with the stored hash's method and salt; otherwise it is compared as a hash.
 * @return the account's level when it matches; TARVI_PASSWD_MISMATCH,
 *         TARVI_PASSWD_NO_ACCOUNT or TARVI_PASSWD_NULL otherwise.
 */
int tarvi_check_passwd(char *id, char *password, int salted);
/**
 * Replaces the password of the account `id` after checking the old one in
 * clear text; the new one is hashed with the method and salt of the stored
 * hash, set and committed.
 * @return 0, or -1 when anything fails.
 */
int tarvi_update_password(char *id, char *old_password, char *new_password);
/**
 * As tarvi_update_password, with `old_password` given as the stored hash.
 * @return 0, or -1 when anything fails.
 */
int tarvi_update_password2(char *id, char *old_password, char *new_password);

/* ---- Shell commands ----------------------------------------------------- */

/**
 * Runs `string` with the shell, never at the same time as another command run
 * through this call by any process of the device (System V semaphore 2287).
 * @return 0 when the command was run (its exit status is not reported), -1
 *         when the semaphore could not be taken or given back.
 */
int tarvi_system(const char *string);

/* ---- System information ----------------------------------------------- */

/* These read the system directly; none of them asks the daemon except
 * tarvi_get_sys_name and tarvi_get_vpn_client_connection. */

/**
 * Busy share of the processor, measured over half a second (the call
 * sleeps that long).
 * @return 0 to 100, or -1.
 */
int tarvi_get_cpu_usage(void);
/**
 * Used share of memory (neither free nor buffers).
 * @return 0 to 100, or -1.
 */
int tarvi_get_mem_usage(void);
/**
 * The system uptime split into hours, minutes and seconds, stored through
 * the three pointers.
 * @return 0.
 */
int tarvi_get_uptime(int *uphours, int *upminutes, int *upseconds);
/**
 * The local time as "Sun Dec  6 09:52:28 2026", written into the caller's
 * buffer `sys_time` of at least 26 bytes.
 * @return 0.
 */
int tarvi_get_sys_time(char *sys_time);
/** Size of the buffer tarvi_get_sys_name fills; longer names are cut. */
#define TARVI_SYS_NAME_SIZE 256
/**
 * The system name (setting "SYS_NAME", or "WiMAX CPE Configuration Manager"
 * when it has no value), written into the caller's buffer `sys_name` of
 * TARVI_SYS_NAME_SIZE bytes.
 * @return 0.
 */
int tarvi_get_sys_name(char *sys_name);
/** Size of the buffers the two VPN list calls fill. */
#define TARVI_VPN_LIST_SIZE 2048
/**
 * Live PPTP (`type` 0) or L2TP (`type` non-zero) server sessions, from the
 * login records, as "pid,user,host,address,login time,seconds;" entries in
 * the caller's buffer `string` of TARVI_VPN_LIST_SIZE bytes.
 */
void tarvi_get_vpn_server_connection(char *string, int type);
/**
 * For each VPN client profile 1..value of the setting `key_number`: "0;"
 * when it is down, "1,peer,local,mtu;" when its PPP link is up, according to
 * the status text held by the setting `key_status`; written into the
 * caller's buffer `string` of TARVI_VPN_LIST_SIZE bytes, which is left
 * untouched when `key_number` has no value. `key_index` is not used.
 */
void tarvi_get_vpn_client_connection(char *string, char *key_index, char *key_number, char *key_status);

/* ---- Configuration tree ------------------------------------------------ */

/*
 * URIs are slash-separated ("sys/wan/mtu") or dotted
 * ("InternetGatewayDevice.Time.Enable"), without a leading "./". Calls that
 * decode a result number return it when it is 0 or negative and negated when
 * it is positive: -404 for a node that does not exist, -414 for a URI longer
 * than 255 characters, -1 for any other failure (daemon not reachable, a
 * URI of 512 bytes or more). Outputs are written only on 0. Strings handed
 * back are malloc'ed copies that the caller frees.
 */

/** Size of the buffers the tree calls build their requests in. */
#define TARVI_SC_REQUEST_BUF_SIZE 512

/**
 * Reads the value of node `uri` (request 19), after its convert and get
 * callbacks. *value: a copy, or null when the node has no value or does not
 * exist.
 * @return 0, or -1 when the exchange failed (*value null).
 */
int tarvi_sc_get(char *uri, char **value);
/**
 * Writes `value` into node `uri` (request 20) after its verify callback
 * accepted it, running its set and convert callbacks.
 * @return 0 when the value was written; -404 when node `uri` does not
 *         exist; -1 when the write was refused (verify, or a value the node
 *         cannot keep) or the exchange failed.
 */
int tarvi_sc_set(char *uri, char *value);
/** Builds the tree anew with the saved values (request 22). Returns 0 or -1. */
int tarvi_sc_reload(void);
/**
 * Builds stage `stage` of the tree (request 23): "0" starts a new tree from
 * stage 0's files, "1" adds stage 1's. Returns 0 or -1.
 */
int tarvi_sc_stage_reload(char *stage);
/** Builds the tree anew from its declarations only (request 24). Returns 0 or -1. */
int tarvi_sc_reload_default(void);
/**
 * *exist: 200 when node `uri` exists, 404 when not (request 26); 0 when the
 * daemon sent no answer.
 * @return 0, or -1 when the exchange failed (*exist 0).
 */
int tarvi_sc_is_exist(char *uri, int *exist);
/** *value: the value of node `uri` as a decimal number (request 37). */
int tarvi_sc_get_int(char *uri, int *value);
/** *value: the value of node `uri` as an unsigned number (request 36); -1 for a negative one. */
int tarvi_sc_get_uint(char *uri, unsigned int *value);
/** *dtype: the data type bits of node `uri` (request 33). */
int tarvi_sc_get_dtype(char *uri, u_16 *dtype);
/** *attr: the access attribute bits of node `uri` (request 35). */
int tarvi_sc_get_attr(char *uri, u_16 *attr);
/** *limit: a copy of the value limit text of node `uri`, or null when it has none (request 34). */
int tarvi_sc_get_limit(char *uri, char **limit);
/**
 * Runs the execute callback of node `uri` (request 38). *result: a copy of
 * what it answered, or null for no answer.
 */
int tarvi_sc_exe(char *uri, char **result);

/** Management views of the tree, as tarvi_sc_get_tree_start takes them. */
typedef enum ME_TYPE {
    ME_SYS = 0,    /**< the device's own view, URIs beginning with "sys" */
    ME_OMA = 1,    /**< the OMA-DM view; URI "./" walks every OMA root */
    ME_CWMP = 2,   /**< the TR-069 view; URI "." walks "InternetGatewayDevice" */
    ME_CLI = 3,    /**< the command-line front end */
    ME_WEB = 4,    /**< the web front end */
    ME_DEFAULT = 5 /**< no particular view */
} ME_TYPE;

/**
 * Writes the tree's changes to its files and commits them with the flat
 * settings into flash (request 21).
 * @return 0 when the daemon answered, -1 when the exchange failed.
 */
int tarvi_sc_commit(void);
/**
 * Rebuilds the tree from its declarations and rewrites the tree files from
 * it (request 25); a commit then stores the defaults.
 * @return 0 when the daemon answered, -1 when the exchange failed.
 */
int tarvi_sc_restore_default(void);
/**
 * Starts a walk of view `type` over the subtree of `uri` (request 31);
 * `next_level` 1 leaves out the node collected last. A start discards what
 * an unfinished earlier walk left. *tree_id: the walk's id (1), or 0 when
 * nothing was collected.
 * @return 0; -1 for a URI that does not exist, an unknown view or a
 *         failed exchange.
 */
int tarvi_sc_get_tree_start(int type, int next_level, char *uri, int *tree_id);
/**
 * The next node of walk `tree_id` (request 32): *uri a copy of its URI
 * ("./..."), *dtype and *attr its type and attribute bits.
 * @return 101 when the node has children, 102 when not, 100 when the walk is
 *         done (*uri then holds an empty string; free it all the same); -1
 *         for a bad id or a failed exchange (*uri null, *dtype and *attr 0).
 */
int tarvi_sc_get_tree_next(int tree_id, char **uri, u_16 *dtype, u_16 *attr);
/**
 * Adds instance `me_name` under the table `uri` of a view (request 39). When
 * the view's instances stand for "sys" instances, a "sys" instance is added
 * too, numbered from *number (when given) on, and *number receives its
 * number. Pass a null `number` for none. A name holds letters, digits, '_'
 * and '-' but no "-1"; a table whose fields are numbered by their instance
 * takes plain numbers from 1 only.
 * @return 0; -404 when the instance exists or the table or its template is
 *         missing; -1 when the name is refused (nothing is added).
 */
int tarvi_sc_me_add_inst(char *uri, char *me_name, u_16 *number);
/**
 * Deletes the instance `uri` (request 40), and the "sys" instance it stands
 * for when it is a reference. Instances that a profile declares stay.
 * @return 0; -404 when it does not exist; -1 when it is no instance, or one
 *         that a profile declares (nothing is deleted).
 */
int tarvi_sc_me_del_inst(char *uri);
/**
 * *number: the number of instances of table `uri` (request 44).
 * @return 0; -404 when the table does not exist; -1.
 */
int tarvi_sc_query_inst_number(char *uri, u_16 *number);
/**
 * *number: the number of instances of the "sys" table that the reference
 * node `uri` of a management view points at (request 41).
 * @return 0; -404 when `uri` is not a reference; -1.
 */
int tarvi_sc_me_query_inst_number(char *uri, u_16 *number);
/**
 * *name: a copy of the name of the instance of table `uri` at position `nth`
 * (0 the first, in the tree's order; request 42).
 * @return 0; -1 when there is no such instance or the exchange failed.
 */
int tarvi_sc_query_inst_name(char *uri, u_16 nth, char **name);
/**
 * *name: a copy of the name of the last instance of table `uri` (request
 * 43), or null when it has none.
 * @return 0, or -1 when the exchange failed.
 */
int tarvi_sc_query_last_name(char *uri, char **name);
/**
 * Reads the fields `fields` (a null-terminated array of names) of instance
 * `name` of table `uri` (request 55) into `values` (an array of the same
 * length): a copy of each value, or the entry left as the caller preset it
 * for a field without value. Entries that receive a copy are overwritten, not
 * freed.
 * @return 0; -404 when a field does not exist; -1 when the request does not
 *         fit its 1024-byte buffer or the exchange failed.
 */
int tarvi_sc_get_instance_fields(char *uri, char *name, char *fields[], char *values[]);
/**
 * Writes the values `values` into the fields `fields` (null-terminated
 * arrays in the same order) of instance `name` of table `uri` (request 57);
 * blanks in values are kept; all fields are written, or none.
 * @return 0; -404 when a field does not exist; -1 when a value is refused
 *         (as tarvi_sc_set would, or one with a tab or line break).
 */
int tarvi_sc_set_instance_fields(char *uri, char *name, char *fields[], char *values[]);
/**
 * Adds the lowest numbered instance that table `uri` has not got, with the
 * fields `fields` set to `values` (request 56); *name: a copy of the new
 * instance's name. Blanks in values are kept.
 * @return 0; -404 when the table has no serial node; -1 when a value is
 *         refused (nothing is added).
 */
int tarvi_sc_add_instance_fields(char *uri, char *fields[], char *values[], char **name);
/**
 * As tarvi_sc_get_instance_fields for the instance at position `nth` of
 * table `uri` (as tarvi_sc_query_inst_name); *name: a copy of its name, which
 * the caller frees also on failure.
 * @return 0, or -1.
 */
int tarvi_sc_get_instance_fields_by_num(char *uri, u_16 nth, char *fields[], char *values[], char **name);
/** Deletes instance `name` of table `uri`, as tarvi_sc_me_del_inst on "uri/name". */
int tarvi_sc_del_instance_fields(char *uri, char *name);
/**
 * Sets the tree's log level to `level` ("0" to "5"; request 27). *value: a
 * copy of the level the daemon echoed.
 * @return 0, or -1 when the exchange failed.
 */
int tarvi_sc_debug(char *level, char **value);
/**
 * Runs a self-test. With mode "inst_f", the library itself adds, reads,
 * changes and deletes instances of "sys/network/v6config" through the
 * instance-field calls, prints every step on standard output and returns 0
 * when all gave what they should, else -1. The test's instances are deleted
 * again; fields bound to flat settings leave the test's values in those
 * settings. Any other mode (or null) asks the daemon to test every instance
 * (request 28), which answers in its log; 0 when it answered, else -1.
 */
int tarvi_sc_test_me(char *mode);
/** Runs the daemon's set self-test (request 29); results in its log. Returns 0 or -1. */
int tarvi_sc_test_set(void);
/** Runs the daemon's get self-test (request 30); results in its log. Returns 0 or -1. */
int tarvi_sc_test_get(void);

/*
 * The calls below are for callback functions, which run while the daemon's
 * ordinary tree worker waits for them: they are served by its callback
 * worker instead.
 */

/** As tarvi_sc_set, from a callback (request 45). */
int tarvi_sc_cb_set(char *uri, char *value);
/**
 * As tarvi_sc_get, from a callback (request 46); the keys tarvi_get answers
 * itself are answered the same way.
 */
int tarvi_sc_cb_get(char *uri, char **value);
/** As tarvi_sc_get_uint, from a callback (request 47). */
int tarvi_sc_cb_get_uint(char *uri, unsigned int *value);
/** As tarvi_sc_get_int, from a callback (request 48). */
int tarvi_sc_cb_get_int(char *uri, int *value);
/** As tarvi_sc_exe, from a callback (request 49). */
int tarvi_sc_cb_exe(char *uri, char **result);
/**
 * Adds an instance numbered *number (which must be given) under `uri` for
 * management view `me_name` (request 50); *number receives the number the
 * daemon chose.
 */
int tarvi_sc_cb_me_add_inst(char *uri, char *me_name, u_16 *number);
/** Deletes the instance at `uri`, from a callback (request 51). */
int tarvi_sc_cb_me_del_inst(char *uri);
/**
 * Sets the flat setting `key` from a callback (request 52), typically the
 * output key it was given. Returns 0 or -1.
 */
int tarvi_cb_set(char *key, char *value);
/**
 * Reads the flat setting `key` from a callback (request 53), typically the
 * input key it was given; as tarvi_get otherwise.
 */
int tarvi_cb_get(char *key, char **value);

/* ---- Value validators --------------------------------------------------- */

/*
 * Each validator returns 0 when `value` is acceptable and -1 otherwise (a
 * null value included), printing a one-line reason on standard output. Each
 * judges the whole value: one that only begins or ends well is refused. Only
 * verify_string_size and verify_ascii_exclude_comma accept characters that a
 * shell acts on (free text): quote such values before they reach a shell.
 * `start` and `end` are bounds where the validator uses them and are ignored
 * elsewhere. None of them asks the daemon or keeps `value`.
 */

/**
 * Matches `value` against the extended regular expression `pattern`; on a
 * mismatch prints a line naming `title`.
 * @return 0 on a match, -1 otherwise (also for a null value or a bad
 *         pattern).
 */
int do_verify(const char *pattern, const char *value, const char *title);
/**
 * Splits `in_buf` at `split` (runs of separators count once) into one
 * malloc'ed buffer of NUL-ended fields, one after another, stored in
 * *out_buf; the caller frees it.
 * @return the number of fields, or -1 (and a null *out_buf).
 */
int split_string(char *in_buf, char **out_buf, char split);
/** A non-negative decimal number, with an optional fraction ("12", "0.5"). */
int verify_positive_number(char *value, int start, int end);
/** A decimal number with an optional leading "-" and fraction. */
int verify_number(char *value, int start, int end);
/** An integer from `start` to `end`, both included. */
int verify_range(char *value, int start, int end);
/** A port or a port range "a:b", each 0 to 65535 (`start` and `end` are
 * ignored). */
int verify_portrange(char *value, int start, int end);
/** A text of `start` to `end` characters without control characters (no
 * line breaks or tabs). */
int verify_string_size(char *value, int start, int end);
/** A dotted IPv4 address, each field 0 to 255. */
int verify_ip_address(char *value, int start, int end);
/** A dotted IPv4 netmask: ones, then only zeros. */
int verify_netmask(char *value, int start, int end);
/** A MAC address "xx:xx:xx:xx:xx:xx" in hex digits, not all zeros. */
int verify_mac_address(char *value, int start, int end);
/** Letters, digits and "_" only. */
int verify_normal_word(char *value, int start, int end);
/** Printable ASCII of `start` to `end` characters (the comma is accepted). */
int verify_ascii_exclude_comma(char *value, int start, int end);
/** Letters and digits only. */
int verify_password(char *value, int start, int end);
/** 3 to 16 letters, digits or "_". */
int verify_username(char *value, int start, int end);
/** An URL: optional "scheme://", a host, an optional ":port", then a path
 * beginning with "/" of letters, digits and "-._~%/:@+,=?#" only (nothing a
 * shell acts on). */
int verify_url(char *value, int start, int end);
/** A dotted name of at least two labels of letters, digits, "-" and "_",
 * each starting with a letter or digit. */
int verify_domain(char *value, int start, int end);
/** A domain name: dotted labels of letters, digits, "-" and "_", each
 * starting with a letter or digit. */
int verify_domain2(char *value, int start, int end);
/** An IPv4 address, an address with "/bits", or a range "a-b" of two
 * addresses. */
int verify_cidr(char *value, int start, int end);
/** A time "hh:mm:ss" (hours 0 to 23). */
int verify_time(char *value, int start, int end);
/** A date "dd-mm-yyyy", year 2008 to 3000. */
int verify_date(char *value, int start, int end);
/** Hex digits only. */
int verify_hex_text(char *value, int start, int end);

/* ---- Properties --------------------------------------------------------- */

/** Longest property name, in characters (without the NUL). */
#define PROPERTY_KEY_MAX 31
/** Longest property value, in characters (without the NUL). */
#define PROPERTY_VALUE_MAX 91

/**
 * Reads property `key` from the daemon (request 14) into `value`, which holds
 * at least PROPERTY_VALUE_MAX + 1 bytes owned by the caller. When the daemon
 * does not have it (or cannot be reached) `value` gets `default_value`, or the
 * empty text when that is null, cut to PROPERTY_VALUE_MAX characters.
 * Returns the length placed in `value`, or -1 (nothing sent, errno EINVAL)
 * for a null `key` or `value` or a name longer than PROPERTY_KEY_MAX. After a
 * length, errno is 0 when the daemon answered (with or without a value),
 * EPERM when its access policy refused the read, and tells why otherwise, as
 * after a failed call.
 */
int property_get(const char *key, char *value, const char *default_value);
/**
 * Sets property `key` to `in_value` (request 13; null is sent as the empty
 * text). Names beginning "ro." can be set once, "persist." ones are also
 * stored on flash, "ctl.start", "ctl.stop" and "ctl.restart" control the
 * service named by the value. Returns 0, or -1 when the name or value is too
 * long (nothing sent) or the daemon refused or could not be reached.
 */
int property_set(const char *key, const char *in_value);
/**
 * Makes the daemon drop its properties and services and load them again from
 * its rc, property and persistent files (request 15). Returns 0 or -1.
 */
int property_reload(void);
/**
 * Sets the property service's debug level to `key`, a decimal text 0 to 6
 * (request 16; larger levels are ignored and still succeed). `in_value` is
 * sent along (null as the empty text). Returns 0 or -1.
 */
int property_debug(char *key, char *in_value);
/**
 * Runs the property self-test command `key` with argument `in_value` (null:
 * empty). Commands beginning "UT" (unit tests, selected by the argument:
 * "all", "set", "get", "perform", "normal", "ro", "persist", "stress") and
 * "NULL" run in the calling process and reach the daemon through the calls
 * above; others ("DUMP", "system_func", "exec_func", "svc") run in the daemon
 * (request 18). Returns 0, or -1 for an over-long name or value, a failed
 * unit test or a failed exchange. Results are written to the system log.
 */
int property_test(char *key, char *in_value);

#ifdef __cplusplus
}
#endif

#endif /* LIBTARVI_H */
