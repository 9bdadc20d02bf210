// MD5 message digest (RFC 1321), used for the checksums of configuration
// images and backup files. A context is plain memory owned by the caller; the
// calls take no lock and keep no state of their own.
#ifndef TARVI_MD5_H
#define TARVI_MD5_H

#include <cstdint>

struct md5_ctx {
    uint32_t count[2];  // number of bits hashed so far, low word first
    uint32_t state[4];  // registers A, B, C, D
    uint8_t buffer[64]; // bytes of the block not yet complete
    uint8_t hash[16];   // not used by the calls below; the digest goes to the caller
};

// Starts a new digest: bit count 0, registers at their initial values.
void md5_init(struct md5_ctx *context);

// Hashes `inputLen` more bytes from `buffer` (may be null when `inputLen` is 0).
void md5_update(struct md5_ctx *context, const void *buffer, unsigned int inputLen);

// Pads the message, writes the 16-byte digest to `digest` and wipes the
// context, which must be initialised again before further use.
void md5_final(void *digest, struct md5_ctx *context);

#endif
