// MD5 message digest, computed without the cryptographic library.
//
// The compression step is fully unrolled and works on whole 64-byte blocks
// taken straight from the caller's data; only a partial block at the end of an
// update is kept in the context's buffer.
#include <cstring>

#include "hash.h"

namespace {

inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// Reads a little-endian word; memcpy lets the compiler emit one plain load.
inline uint32_t Load32(const uint8_t* p) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  uint32_t word;
  memcpy(&word, p, sizeof(word));
  return word;
#else
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
#endif
}

inline void Store32(uint8_t* p, uint32_t word) {
  p[0] = static_cast<uint8_t>(word);
  p[1] = static_cast<uint8_t>(word >> 8);
  p[2] = static_cast<uint8_t>(word >> 16);
  p[3] = static_cast<uint8_t>(word >> 24);
}

// The four auxiliary functions in forms that need fewer operations than the
// textbook ones; G is split into two independent additions in its step.
#define MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))

// The constant and the message word are added first: they do not depend on
// the previous step, so the processor can add them early.
#define STEP_F(a, b, c, d, x, s, k)    \
  a += (x) + static_cast<uint32_t>(k); \
  a += MD5_F(b, c, d);                 \
  a = Rotl(a, s) + (b)
#define STEP_G(a, b, c, d, x, s, k)    \
  a += (x) + static_cast<uint32_t>(k); \
  a += (~(d) & (c));                   \
  a += ((d) & (b));                    \
  a = Rotl(a, s) + (b)
#define STEP_H(a, b, c, d, x, s, k)    \
  a += (x) + static_cast<uint32_t>(k); \
  a += MD5_H(b, c, d);                 \
  a = Rotl(a, s) + (b)
#define STEP_I(a, b, c, d, x, s, k)    \
  a += (x) + static_cast<uint32_t>(k); \
  a += MD5_I(b, c, d);                 \
  a = Rotl(a, s) + (b)

// Compresses `blocks` consecutive 64-byte blocks into the state.
inline void Md5Blocks(uint32_t state[4], const uint8_t* data, size_t blocks) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (; blocks > 0; --blocks, data += 64) {
    const uint32_t x0 = Load32(data), x1 = Load32(data + 4), x2 = Load32(data + 8),
                   x3 = Load32(data + 12), x4 = Load32(data + 16), x5 = Load32(data + 20),
                   x6 = Load32(data + 24), x7 = Load32(data + 28), x8 = Load32(data + 32),
                   x9 = Load32(data + 36), x10 = Load32(data + 40), x11 = Load32(data + 44),
                   x12 = Load32(data + 48), x13 = Load32(data + 52), x14 = Load32(data + 56),
                   x15 = Load32(data + 60);
    const uint32_t aa = a, bb = b, cc = c, dd = d;

    STEP_F(a, b, c, d, x0, 7, 0xd76aa478);
    STEP_F(d, a, b, c, x1, 12, 0xe8c7b756);
    STEP_F(c, d, a, b, x2, 17, 0x242070db);
    STEP_F(b, c, d, a, x3, 22, 0xc1bdceee);
    STEP_F(a, b, c, d, x4, 7, 0xf57c0faf);
    STEP_F(d, a, b, c, x5, 12, 0x4787c62a);
    STEP_F(c, d, a, b, x6, 17, 0xa8304613);
    STEP_F(b, c, d, a, x7, 22, 0xfd469501);
    STEP_F(a, b, c, d, x8, 7, 0x698098d8);
    STEP_F(d, a, b, c, x9, 12, 0x8b44f7af);
    STEP_F(c, d, a, b, x10, 17, 0xffff5bb1);
    STEP_F(b, c, d, a, x11, 22, 0x895cd7be);
    STEP_F(a, b, c, d, x12, 7, 0x6b901122);
    STEP_F(d, a, b, c, x13, 12, 0xfd987193);
    STEP_F(c, d, a, b, x14, 17, 0xa679438e);
    STEP_F(b, c, d, a, x15, 22, 0x49b40821);

    STEP_G(a, b, c, d, x1, 5, 0xf61e2562);
    STEP_G(d, a, b, c, x6, 9, 0xc040b340);
    STEP_G(c, d, a, b, x11, 14, 0x265e5a51);
    STEP_G(b, c, d, a, x0, 20, 0xe9b6c7aa);
    STEP_G(a, b, c, d, x5, 5, 0xd62f105d);
    STEP_G(d, a, b, c, x10, 9, 0x02441453);
    STEP_G(c, d, a, b, x15, 14, 0xd8a1e681);
    STEP_G(b, c, d, a, x4, 20, 0xe7d3fbc8);
    STEP_G(a, b, c, d, x9, 5, 0x21e1cde6);
    STEP_G(d, a, b, c, x14, 9, 0xc33707d6);
    STEP_G(c, d, a, b, x3, 14, 0xf4d50d87);
    STEP_G(b, c, d, a, x8, 20, 0x455a14ed);
    STEP_G(a, b, c, d, x13, 5, 0xa9e3e905);
    STEP_G(d, a, b, c, x2, 9, 0xfcefa3f8);
    STEP_G(c, d, a, b, x7, 14, 0x676f02d9);
    STEP_G(b, c, d, a, x12, 20, 0x8d2a4c8a);

    STEP_H(a, b, c, d, x5, 4, 0xfffa3942);
    STEP_H(d, a, b, c, x8, 11, 0x8771f681);
    STEP_H(c, d, a, b, x11, 16, 0x6d9d6122);
    STEP_H(b, c, d, a, x14, 23, 0xfde5380c);
    STEP_H(a, b, c, d, x1, 4, 0xa4beea44);
    STEP_H(d, a, b, c, x4, 11, 0x4bdecfa9);
    STEP_H(c, d, a, b, x7, 16, 0xf6bb4b60);
    STEP_H(b, c, d, a, x10, 23, 0xbebfbc70);
    STEP_H(a, b, c, d, x13, 4, 0x289b7ec6);
    STEP_H(d, a, b, c, x0, 11, 0xeaa127fa);
    STEP_H(c, d, a, b, x3, 16, 0xd4ef3085);
    STEP_H(b, c, d, a, x6, 23, 0x04881d05);
    STEP_H(a, b, c, d, x9, 4, 0xd9d4d039);
    STEP_H(d, a, b, c, x12, 11, 0xe6db99e5);
    STEP_H(c, d, a, b, x15, 16, 0x1fa27cf8);
    STEP_H(b, c, d, a, x2, 23, 0xc4ac5665);

    STEP_I(a, b, c, d, x0, 6, 0xf4292244);
    STEP_I(d, a, b, c, x7, 10, 0x432aff97);
    STEP_I(c, d, a, b, x14, 15, 0xab9423a7);
    STEP_I(b, c, d, a, x5, 21, 0xfc93a039);
    STEP_I(a, b, c, d, x12, 6, 0x655b59c3);
    STEP_I(d, a, b, c, x3, 10, 0x8f0ccc92);
    STEP_I(c, d, a, b, x10, 15, 0xffeff47d);
    STEP_I(b, c, d, a, x1, 21, 0x85845dd1);
    STEP_I(a, b, c, d, x8, 6, 0x6fa87e4f);
    STEP_I(d, a, b, c, x15, 10, 0xfe2ce6e0);
    STEP_I(c, d, a, b, x6, 15, 0xa3014314);
    STEP_I(b, c, d, a, x13, 21, 0x4e0811a1);
    STEP_I(a, b, c, d, x4, 6, 0xf7537e82);
    STEP_I(d, a, b, c, x11, 10, 0xbd3af235);
    STEP_I(c, d, a, b, x2, 15, 0x2ad7d2bb);
    STEP_I(b, c, d, a, x9, 21, 0xeb86d391);

    a += aa;
    b += bb;
    c += cc;
    d += dd;
  }
  state[0] = a;
  state[1] = b;
  state[2] = c;
  state[3] = d;
}

}  // namespace

void md5_transform(uint32_t state[4], const uint8_t block[64]) { Md5Blocks(state, block, 1); }

void md5_init(Md5Context* ctx) {
  ctx->state[0] = 0x67452301;
  ctx->state[1] = 0xefcdab89;
  ctx->state[2] = 0x98badcfe;
  ctx->state[3] = 0x10325476;
  ctx->count[0] = 0;
  ctx->count[1] = 0;
}

void md5_update(Md5Context* ctx, const void* data, uint32_t length) {
  if (length == 0) return;
  const uint8_t* input = static_cast<const uint8_t*>(data);
  uint32_t pending = (ctx->count[0] >> 3) & 63;

  // The bit count is 64 bits wide, low word first.
  uint32_t bits = length << 3;
  ctx->count[0] += bits;
  if (ctx->count[0] < bits) ctx->count[1]++;
  ctx->count[1] += length >> 29;

  if (pending > 0) {
    uint32_t fill = 64 - pending;
    if (length < fill) {
      memcpy(ctx->buffer + pending, input, length);
      return;
    }
    memcpy(ctx->buffer + pending, input, fill);
    Md5Blocks(ctx->state, ctx->buffer, 1);
    input += fill;
    length -= fill;
  }
  if (length >= 64) {
    Md5Blocks(ctx->state, input, length / 64);
    input += length & ~63u;
    length &= 63;
  }
  if (length > 0) memcpy(ctx->buffer, input, length);
}

void md5_final(Md5Context* ctx, uint8_t digest[16]) {
  uint8_t lengthBytes[8];
  Store32(lengthBytes, ctx->count[0]);
  Store32(lengthBytes + 4, ctx->count[1]);

  // One 0x80 byte, then zero bytes up to 56 modulo 64, then the bit count.
  static const uint8_t kPadding[64] = {0x80};
  uint32_t pending = (ctx->count[0] >> 3) & 63;
  uint32_t padLength = pending < 56 ? 56 - pending : 120 - pending;
  md5_update(ctx, kPadding, padLength);
  md5_update(ctx, lengthBytes, 8);

  for (int i = 0; i < 4; ++i) Store32(digest + 4 * i, ctx->state[i]);
  memset(ctx, 0, sizeof(*ctx));
}
