// Making packs and pack keys for updater-publish.
//
// A pack is the file compressed into one zlib stream (zlib's one-shot
// compress, so the updater's single uncompress call inflates it) and, when a
// key is given, enciphered with RC4 under that 16-character key taken byte for
// byte, from the first byte on, with a fresh cipher state per pack: exactly
// what the updater's unpacking undoes. Keys are drawn from OpenSSL's random
// generator. No shared state; safe on any thread.
#ifndef UPDATER_TOOLS_PUBLISH_PACK_H_
#define UPDATER_TOOLS_PUBLISH_PACK_H_

#include <cstdint>
#include <string>
#include <vector>

// Compresses `data` and, when `key` is not empty, enciphers the result.
// `key` must be empty or have exactly 16 characters. Returns false (with
// `error` set) when zlib fails or the key has another length.
bool MakePack(const std::vector<uint8_t>& data, const std::string& key, std::vector<uint8_t>* pack,
              std::string* error);

// A fresh key of 16 characters from A-Z, a-z and 0-9, uniformly drawn.
// Returns false when the random generator fails.
bool RandomKey(std::string* key);

// Lower-case hex digests of a byte block: MD5 for generation 1, SHA-256 from
// generation 2 on. Returns false when the digest cannot be computed.
bool DigestBytes(int generation, const std::vector<uint8_t>& data, std::string* hex);

#endif  // UPDATER_TOOLS_PUBLISH_PACK_H_
