// RC4 stream cipher, used to encipher and decipher packs. Plain functions over
// a caller-owned state; no shared data, so calls on different states may run
// on different threads at once.
#ifndef UPDATER_LIBUPDATER_RC4_H_
#define UPDATER_LIBUPDATER_RC4_H_

#include <cstdint>

// The cipher state: the two indices and the 256-entry permutation, each held
// in a 32-bit word.
struct Rc4State {
  uint32_t x;
  uint32_t y;
  uint32_t data[256];
};

// Runs the key schedule over `length` bytes of `key` (repeated cyclically) and
// sets both indices to 0. `length` must not be 0.
void rc4_set_key(Rc4State* state, uint32_t length, const uint8_t* key);

// XORs the next `length` bytes of keystream into `input`, writing `output`
// (which may be `input`), and advances the state. Enciphering and
// deciphering are the same operation.
void rc4_crypt(Rc4State* state, uint64_t length, const uint8_t* input, uint8_t* output);

#endif  // UPDATER_LIBUPDATER_RC4_H_
