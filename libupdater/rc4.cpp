#define MEMLEAK_SOURCE "libupdater"
// RC4: the key schedule and the keystream generator.
#include "rc4.h"

#include <cstring>

void rc4_set_key(Rc4State* state, uint32_t length, const uint8_t* key) {
  for (uint32_t i = 0; i < 256; ++i) state->data[i] = i;
  uint32_t j = 0;
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t swap = state->data[i];
    j = (j + swap + key[i % length]) & 0xFF;
    state->data[i] = state->data[j];
    state->data[j] = swap;
  }
  state->x = 0;
  state->y = 0;
}

// One keystream byte into `out`: advance both indices, swap, pick. The
// indices and the table are bytes, so every sum wraps at 256 by itself. A
// macro rather than a function: the compiler schedules the eight unrolled
// steps below better that way (measurably faster with g++ 12).
#define RC4_STEP(out)                           \
  do {                                          \
    ++x;                                        \
    uint8_t a = table[x];                       \
    y += a;                                     \
    uint8_t b = table[y];                       \
    table[x] = b;                               \
    table[y] = a;                               \
    (out) = table[static_cast<uint8_t>(a + b)]; \
  } while (0)

void rc4_crypt(Rc4State* state, uint64_t length, const uint8_t* input, uint8_t* output) {
  // The permutation only ever holds values below 256, so it is worked on as a
  // local byte table and written back at the end: byte loads are cheaper than
  // word loads, and the stores to `output`, which may alias anything, cannot
  // force the compiler to reload a table it knows to be local.
  uint8_t table[256];
  for (int i = 0; i < 256; ++i) table[i] = static_cast<uint8_t>(state->data[i]);
  uint8_t x = static_cast<uint8_t>(state->x);
  uint8_t y = static_cast<uint8_t>(state->y);
  uint64_t n = 0;
  // Eight bytes of keystream are gathered into a word and XORed at once.
  for (; length - n >= 8; n += 8) {
    uint8_t k[8];
    RC4_STEP(k[0]);
    RC4_STEP(k[1]);
    RC4_STEP(k[2]);
    RC4_STEP(k[3]);
    RC4_STEP(k[4]);
    RC4_STEP(k[5]);
    RC4_STEP(k[6]);
    RC4_STEP(k[7]);
    uint64_t stream;
    memcpy(&stream, k, sizeof(stream));
    uint64_t word;
    memcpy(&word, input + n, sizeof(word));
    word ^= stream;
    memcpy(output + n, &word, sizeof(word));
  }
  for (; n < length; ++n) {
    uint8_t k;
    RC4_STEP(k);
    output[n] = input[n] ^ k;
  }
  for (int i = 0; i < 256; ++i) state->data[i] = table[i];
  state->x = x;
  state->y = y;
}

#undef RC4_STEP
