/*
 * libtarvi: the client interface of the tarvi configuration daemon.
 *
 * Every call opens one connection to the daemon's local socket, sends one
 * tarvi_request record, reads one reply record and closes. The header is
 * plain C99 and C++; every call has C linkage.
 */
#ifndef LIBTARVI_H
#define LIBTARVI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Fixed-width integer names used by the tree code and its callbacks. */
typedef int8_t s_8;
typedef uint8_t u_8;
typedef int16_t s_16;
typedef uint16_t u_16;
typedef int32_t s_32;
typedef uint32_t u_32;

#define TARVI_REQUEST_MAGIC 0x2287
/* Size of the packing area of a record. */
#define TARVI_REQUEST_STRING_SIZE 4096
/* Fixed header of the wire form: magic, type, status, reservedLen, key, value. */
#define TARVI_REQUEST_HEADER_SIZE 20
/* Largest record on the wire (and in memory on the 32-bit device). */
#define TARVI_REQUEST_MAX_SIZE (TARVI_REQUEST_HEADER_SIZE + TARVI_REQUEST_STRING_SIZE)
/* What a non-null pointer field holds on the wire. */
#define TARVI_REQUEST_POINTER_MARKER 0x12345678u

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
    TARVI_REQUEST_TYPE_RESERVED = 58
};

/*
 * One request or reply. In memory `key` and `value` point at texts (usually
 * inside `string`) or are null. The wire form is fixed-width and built by the
 * library: 20 header bytes (magic, type, status, reservedLen, then the two
 * pointer fields as 4-byte 0 or TARVI_REQUEST_POINTER_MARKER) followed by the
 * used part of `string`, in host byte order. On the 32-bit device the record
 * is exactly TARVI_REQUEST_MAX_SIZE bytes in memory too.
 */
typedef struct tarvi_request {
    uint16_t magic;
    uint16_t type;
    int32_t status;
    int32_t reservedLen;
    char *key;
    char *value;
    char string[TARVI_REQUEST_STRING_SIZE];
} tarvi_request;

/*
 * While non-zero (the default), the library's socket reads and writes keep
 * waiting after each 8-second timeout; set it to 0 to give up after the first.
 */
extern int libtarvi_rw_block;

/*
 * Performs one request-reply exchange with the daemon. Returns 0 when a reply
 * arrived, unpacked and carries status >= 0; then `request` holds the reply
 * with key and value pointing into request->string. Returns -1 otherwise
 * (daemon not running, I/O failure, malformed or negative reply).
 */
int request_for_tarvi(tarvi_request *request);

#ifdef __cplusplus
}
#endif

#endif /* LIBTARVI_H */
