#define MEMLEAK_SOURCE "libupdater"
// RC4: the key schedule and the keystream generator.
#include "rc4.h"

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

void rc4_crypt(Rc4State* state, uint64_t length, const uint8_t* input, uint8_t* output) {
  uint32_t x = state->x;
  uint32_t y = state->y;
  uint32_t* data = state->data;
  for (uint64_t n = 0; n < length; ++n) {
    x = (x + 1) & 0xFF;
    uint32_t a = data[x];
    y = (y + a) & 0xFF;
    uint32_t b = data[y];
    data[x] = b;
    data[y] = a;
    output[n] = input[n] ^ static_cast<uint8_t>(data[(a + b) & 0xFF]);
  }
  state->x = x;
  state->y = y;
}
