#include "md5.h"

#include <cstring>

namespace {

// Per-round shift amounts and the additive constants floor(abs(sin(i + 1)) * 2^32).
constexpr unsigned SHIFT[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

constexpr uint32_t SINE[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

inline uint32_t rotate_left(uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }

// The message is little-endian whatever the host's byte order.
inline uint32_t load_le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

inline void store_le32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// Runs the four rounds over one 64-byte block.
void md5_transform(uint32_t state[4], const uint8_t block[64]) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = load_le32(block + 4 * i);

    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (unsigned i = 0; i < 64; ++i) {
        uint32_t f;
        unsigned k;
        switch (i / 16) {
        case 0: // F(b, c, d), words in order
            f = (b & c) | (~b & d);
            k = i;
            break;
        case 1: // G(b, c, d), words 1, 6, 11, ...
            f = (b & d) | (c & ~d);
            k = (5 * i + 1) % 16;
            break;
        case 2: // H(b, c, d), words 5, 8, 11, ...
            f = b ^ c ^ d;
            k = (3 * i + 5) % 16;
            break;
        default: // I(b, c, d), words 0, 7, 14, ...
            f = c ^ (b | ~d);
            k = (7 * i) % 16;
            break;
        }
        uint32_t sum = a + f + SINE[i] + x[k];
        a = d;
        d = c;
        c = b;
        b = b + rotate_left(sum, SHIFT[i / 16][i % 4]);
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

} // namespace

void md5_init(struct md5_ctx *context) {
    memset(context, 0, sizeof *context);
    context->state[0] = 0x67452301;
    context->state[1] = 0xefcdab89;
    context->state[2] = 0x98badcfe;
    context->state[3] = 0x10325476;
}

void md5_update(struct md5_ctx *context, const void *buffer, unsigned int inputLen) {
    const auto *input = static_cast<const uint8_t *>(buffer);
    unsigned int used = (context->count[0] >> 3) & 0x3f;

    // The bit count is 64 bits wide, kept as two words.
    uint32_t bits_low = inputLen << 3;
    context->count[0] += bits_low;
    if (context->count[0] < bits_low)
        ++context->count[1];
    context->count[1] += inputLen >> 29;

    unsigned int room = 64 - used;
    unsigned int i = 0;
    if (inputLen >= room) {
        memcpy(context->buffer + used, input, room);
        md5_transform(context->state, context->buffer);
        for (i = room; i + 64 <= inputLen; i += 64)
            md5_transform(context->state, input + i);
        used = 0;
    }
    if (inputLen > i)
        memcpy(context->buffer + used, input + i, inputLen - i);
}

void md5_final(void *digest, struct md5_ctx *context) {
    uint8_t length[8];
    store_le32(length, context->count[0]);
    store_le32(length + 4, context->count[1]);

    // One 0x80 byte, then zeros up to 56 bytes modulo 64, then the bit count.
    static const uint8_t padding[64] = {0x80};
    unsigned int used = (context->count[0] >> 3) & 0x3f;
    unsigned int pad = used < 56 ? 56 - used : 120 - used;
    md5_update(context, padding, pad);
    md5_update(context, length, sizeof length);

    auto *out = static_cast<uint8_t *>(digest);
    for (int i = 0; i < 4; ++i)
        store_le32(out + 4 * i, context->state[i]);
    memset(context, 0, sizeof *context);
}
