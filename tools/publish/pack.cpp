// Packs, keys and digests for updater-publish.
#include "pack.h"

#include <openssl/rand.h>
#include <zlib.h>

#include "hash.h"
#include "rc4.h"

bool MakePack(const std::vector<uint8_t>& data, const std::string& key, std::vector<uint8_t>* pack,
              std::string* error) {
  if (!key.empty() && key.size() != 16) {
    *error = "a pack key must have 16 characters";
    return false;
  }
  if (data.size() > 0xFFFFFFFEu) {
    *error = "files of 4 GiB or more cannot be packed";
    return false;
  }
  uLongf packed = compressBound(static_cast<uLong>(data.size()));
  pack->assign(packed, 0);
  // compress() reads nothing from an empty source, but wants a valid pointer.
  static const Bytef kEmpty = 0;
  const Bytef* source = data.empty() ? &kEmpty : data.data();
  int result = compress(pack->data(), &packed, source, static_cast<uLong>(data.size()));
  if (result != Z_OK) {
    *error = "zlib compress failed (" + std::to_string(result) + ")";
    return false;
  }
  pack->resize(packed);
  if (!key.empty()) {
    Rc4State state = {};
    rc4_set_key(&state, 16, reinterpret_cast<const uint8_t*>(key.data()));
    rc4_crypt(&state, pack->size(), pack->data(), pack->data());
  }
  return true;
}

bool RandomKey(std::string* key) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  // 62 characters: bytes of 248 and above are drawn again, so that every
  // character is equally likely.
  key->clear();
  while (key->size() < 16) {
    unsigned char bytes[32];
    if (RAND_bytes(bytes, sizeof bytes) != 1) return false;
    for (unsigned char b : bytes) {
      if (b < 248 && key->size() < 16) *key += kAlphabet[b % 62];
    }
  }
  return true;
}

bool DigestBytes(int generation, const std::vector<uint8_t>& data, std::string* hex) {
  char text[65] = {};
  static const uint8_t kEmpty = 0;
  const uint8_t* bytes = data.empty() ? &kEmpty : data.data();
  bool ok;
  if (generation < 2) {
    if (data.size() > 0xFFFFFFFFu) return false;
    ok = md5_buffer(bytes, static_cast<uint32_t>(data.size()), text);
  } else {
    ok = hash_buffer("sha256", bytes, data.size(), text, sizeof text);
  }
  if (ok) *hex = text;
  return ok;
}
