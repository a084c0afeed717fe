// PackUnpacker on a table of good and bad packs fed in pieces: a good pack
// gives its content, a bad one fails and writes no more than the entry's
// size. Packs are enciphered and digests taken by OpenSSL.
#include "pack_unpacker.h"

#include <openssl/rc4.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine_test_util.h"

using enginetest::MakePack;
using enginetest::ReadFile;

namespace {

const char kKey[] = "0123456789abcdef";

// RC4 through OpenSSL with the key text padded with zero bytes to 16. The
// cipher's own functions are deprecated, and that is no concern of a test.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
std::string OpenSslRc4(std::string data, const std::string& key) {
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

// A pack made without the engine's cipher: zlib's compress, then OpenSSL's RC4.
std::string Pack(const std::string& content, const std::string& key) {
  return OpenSslRc4(MakePack(content, ""), key);
}

std::string Text(int lines) {
  std::string text;
  for (int i = 0; i < lines; ++i) text += "line " + std::to_string(i * 7919 % 1000) + "\n";
  return text;
}

struct PackCase {
  std::string name;
  std::string pack;
  std::string key;  // the key the pack is unpacked with
  uint32_t size;
  bool good = false;
  std::string content = "";  // of a good pack
};

// Good packs with sizes around the real length (too small fails), damaged
// bytes, wrong keys, every truncation of a small pack, bytes after the end, a
// preset dictionary, an empty pack and 8 MiB of zeros with a bound of 1 MiB.
std::vector<PackCase> PackCases() {
  std::vector<PackCase> cases;
  const std::string text = Text(3000), zeros(300000, 0), noise = OpenSslRc4(zeros, "noise");
  struct {
    const char* name;
    std::string content;
    std::string key;
  } good[] = {{"text", text, kKey}, {"noise", noise, "abc"}, {"zeros", zeros, ""}, {"", "", kKey}};
  for (const auto& g : good) {
    std::string pack = Pack(g.content, g.key);
    uint32_t real = g.content.size();
    for (uint32_t size : {real, real + 1, real - 1, 0u, 0xFFFFFFFFu}) {
      if (size != real - 1 || real > 0) {
        cases.push_back({g.name, pack, g.key, size, size >= real, g.content});
      }
    }
  }
  std::string pack = Pack(text, kKey);
  for (size_t at : {size_t(0), size_t(2), pack.size() / 2, pack.size() - 3}) {
    std::string damaged = pack;
    damaged[at] ^= 0x10;
    cases.push_back({"damaged at " + std::to_string(at), damaged, kKey, 30000});
  }
  cases.push_back({"wrong key", pack, "0123456789abcdeF", 30000});
  cases.push_back({"no key", pack, "", 30000});
  cases.push_back({"key beyond 16 bytes", pack, std::string(kKey) + "IGNORED", 30000, true, text});
  cases.push_back({"bytes after the end", pack + "trailing bytes", kKey, 30000, true, text});
  // A zlib header asking for a preset dictionary (FDICT), and its DICTID.
  cases.push_back({"preset dictionary", std::string("\x78\x20\0\0\0\1", 6) + pack, "", 30000});
  cases.push_back({"empty pack", "", kKey, 100});
  cases.push_back({"zip bomb", Pack(std::string(8u << 20, '\0'), ""), "", 1u << 20});
  const std::string small = Text(40), smallPack = Pack(small, kKey);
  for (size_t cut = 0; cut < smallPack.size(); ++cut) {
    for (uint32_t size : {uint32_t(small.size()), uint32_t(small.size() + 10)}) {
      cases.push_back({"cut at " + std::to_string(cut), smallPack.substr(0, cut), kKey, size});
    }
  }
  return cases;
}

// Unpacks `c` into a file in memory, feeding every byte of the pack in pieces
// of `piece` bytes whatever Feed answers; its content, "failed" on failure.
std::string Unpack(PackUnpacker* unpacker, const PackCase& c, size_t piece, DigestKind kind) {
  int fd = memfd_create("unpacked", MFD_CLOEXEC);
  EXPECT_GE(fd, 0);
  unpacker->Begin(c.key.c_str(), c.size, kind, fd);
  for (size_t at = 0; at < c.pack.size(); at += piece) {
    unpacker->Feed(c.pack.data() + at, std::min(piece, c.pack.size() - at));
  }
  bool ok = unpacker->Finish();
  EXPECT_EQ(ok, unpacker->failure() == UnpackFailure::kNone);
  EXPECT_EQ(ok, *unpacker->ErrorText() == '\0');
  std::string content = ok ? ReadFile("/proc/self/fd/" + std::to_string(fd)) : "failed";
  close(fd);
  return content;
}

}  // namespace

TEST(PackUnpacker, UnpacksGoodPacksAndRefusesBadOnes) {
  PackUnpacker unpacker;  // one for every case: Begin must start afresh
  int row = 0;
  for (const PackCase& c : PackCases()) {
    bool md5 = ++row % 2 == 0;
    const char* name = md5 ? "md5" : "sha256";
    for (size_t piece : {size_t(7), size_t(4099), c.pack.size() + 1}) {
      if (piece == 7 && c.pack.size() > 2000) continue;
      SCOPED_TRACE(c.name + ", size " + std::to_string(c.size) + ", pieces of " +
                   std::to_string(piece));
      std::string got = Unpack(&unpacker, c, piece, md5 ? DigestKind::kMd5 : DigestKind::kSha256);
      EXPECT_TRUE(got == (c.good ? c.content : "failed"));
      EXPECT_LE(unpacker.written(), c.size);
      EXPECT_EQ(unpacker.PackDigest(), enginetest::Digest(name, c.pack));
      EXPECT_EQ(unpacker.FileDigest(), c.good ? enginetest::Digest(name, c.content) : "");
    }
  }
}
