// Packs for the unpacking tests, made independently of the engine's
// unpacking, and the reference they are judged by: OpenSSL's own RC4
// followed by zlib's one-shot uncompress into an output of the entry's size.
// PackCases() is the table of good and bad packs every streaming test
// compares with that reference.
#ifndef UPDATER_TESTS_LIBUPDATER_PACK_TEST_UTIL_H_
#define UPDATER_TESTS_LIBUPDATER_PACK_TEST_UTIL_H_

#include <openssl/rc4.h>
#include <zlib.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "engine_test_util.h"

namespace packtest {

struct Outcome {
  int code;
  std::string content;  // only when code is Z_OK
};

// RC4 through OpenSSL with the key text padded with zero bytes to 16. The
// cipher's own functions are deprecated, and that is no concern of a test.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
inline std::string OpenSslRc4(std::string data, const std::string& key) {
  if (key.empty()) return data;
  unsigned char keyBytes[16] = {};
  key.copy(reinterpret_cast<char*>(keyBytes), 16);
  RC4_KEY state;
  RC4_set_key(&state, 16, keyBytes);
  RC4(&state, data.size(), reinterpret_cast<unsigned char*>(&data[0]),
      reinterpret_cast<unsigned char*>(&data[0]));
  return data;
}
#pragma GCC diagnostic pop

// What the one-shot path makes of `pack`. Outputs above 4 MiB are not used
// by the tests, so the reference's buffer stops there.
inline Outcome OneShot(const std::string& pack, const std::string& key, uint32_t size) {
  std::string plain = OpenSslRc4(pack, key);
  uLongf length = std::min<uint64_t>(size, 1u << 22);
  std::string out(length + 1, '\0');
  int code = uncompress(reinterpret_cast<Bytef*>(&out[0]), &length,
                        reinterpret_cast<const Bytef*>(plain.data()), plain.size());
  return {code, code == Z_OK ? out.substr(0, length) : ""};
}

inline std::string Text(int lines) {
  std::string text;
  for (int i = 0; i < lines; ++i) text += "line " + std::to_string(i * 7919 % 1000) + "\n";
  return text;
}

inline std::string Random(size_t length) {
  std::mt19937 generator(42);
  std::string data(length, '\0');
  for (char& c : data) c = static_cast<char>(generator());
  return data;
}

struct PackCase {
  std::string name;
  std::string pack;
  std::string key;  // the key the pack is unpacked with
  uint32_t size;
};

const char kKey[] = "0123456789abcdef";

// Good packs of every shape, sizes around the real length, damaged bytes,
// wrong keys, truncation of a small pack at every `cutStride`th point and at
// each of its last six, bytes after the end, a preset dictionary, an empty
// pack and a pack that inflates to 8 MiB of zeros with a bound of 1 MiB.
inline std::vector<PackCase> PackCases(size_t cutStride = 1) {
  std::vector<PackCase> cases;
  const std::string text = Text(3000), noise = Random(200000);
  struct {
    const char* name;
    std::string content;
    std::string key;
  } good[] = {
      {"text", text, kKey}, {"noise", noise, "abc"}, {"zeros", std::string(300000, '\0'), ""},
      {"empty", "", kKey},  {"one-byte", "A", ""},   {"two-bytes", "AB", kKey}};
  for (const auto& g : good) {
    std::string pack = enginetest::MakePack(g.content, g.key);
    uint32_t real = g.content.size();
    for (uint32_t size : {real, real + 1, real - 1, 0u, 0xFFFFFFFFu}) {
      if (size != real - 1 || real > 0) cases.push_back({g.name, pack, g.key, size});
    }
  }
  std::string pack = enginetest::MakePack(text, kKey);
  for (size_t at : {size_t(0), size_t(1), size_t(2), pack.size() / 2, pack.size() - 3}) {
    std::string damaged = pack;
    damaged[at] ^= 0x10;
    cases.push_back({"damaged at " + std::to_string(at), damaged, kKey, 30000});
  }
  cases.push_back({"wrong key", pack, "0123456789abcdeF", 30000});
  cases.push_back({"no key", pack, "", 30000});
  cases.push_back({"key beyond 16 bytes", pack, std::string(kKey) + "IGNORED", 30000});
  cases.push_back({"key on a plain pack", enginetest::MakePack(text, ""), kKey, 30000});
  cases.push_back({"bytes after the end", pack + "trailing bytes", kKey, 30000});
  // A zlib header asking for a preset dictionary (FDICT), and its DICTID.
  cases.push_back({"preset dictionary", std::string("\x78\x20\0\0\0\1", 6) + pack, "", 30000});
  cases.push_back({"empty pack", "", kKey, 100});
  cases.push_back(
      {"zip bomb", enginetest::MakePack(std::string(8u << 20, '\0'), ""), "", 1u << 20});
  const std::string small = Text(40), smallPack = enginetest::MakePack(small, kKey);
  for (size_t cut = 0; cut < smallPack.size(); ++cut) {
    if (cut % cutStride != 0 && cut + 6 < smallPack.size()) continue;
    for (uint32_t size : {uint32_t(small.size()), uint32_t(small.size() + 10)}) {
      cases.push_back({"cut at " + std::to_string(cut), smallPack.substr(0, cut), kKey, size});
    }
  }
  return cases;
}

}  // namespace packtest

#endif  // UPDATER_TESTS_LIBUPDATER_PACK_TEST_UTIL_H_
