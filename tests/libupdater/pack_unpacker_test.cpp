// PackUnpacker on a table of good and bad packs, fed in pieces of several
// sizes into an in-memory file, judged by OpenSSL's RC4 followed by zlib's
// one-shot uncompress into an output of the entry's size, and by OpenSSL's
// digests of the pack and of the file.
#include "pack_unpacker.h"

#include <openssl/rc4.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine_test_util.h"

using enginetest::Digest;
using enginetest::MakePack;
using enginetest::ReadFile;

namespace {

const char kKey[] = "0123456789abcdef";

struct Outcome {
  int code;
  std::string content;  // only when code is Z_OK
};

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

// The reference; its output stops at 4 MiB, more than any good case needs.
Outcome OneShot(const std::string& pack, const std::string& key, uint32_t size) {
  std::string plain = OpenSslRc4(pack, key);
  uLongf length = std::min<uint64_t>(size, 1u << 22);
  std::string out(length + 1, '\0');
  int code = uncompress(reinterpret_cast<Bytef*>(&out[0]), &length,
                        reinterpret_cast<const Bytef*>(plain.data()), plain.size());
  return {code, code == Z_OK ? out.substr(0, length) : ""};
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
};

// Good packs with sizes around the real length, damaged bytes, wrong keys,
// every truncation of a small pack, bytes after the end, a preset
// dictionary, an empty pack and 8 MiB of zeros with a bound of 1 MiB.
std::vector<PackCase> PackCases() {
  std::vector<PackCase> cases;
  const std::string text = Text(3000);
  struct {
    const char* name;
    std::string content;
    std::string key;
  } good[] = {{"text", text, kKey},
              {"noise", OpenSslRc4(std::string(200000, 0), "noise"), "abc"},
              {"zeros", std::string(300000, '\0'), ""},
              {"empty", "", kKey},
              {"one-byte", "A", ""}};
  for (const auto& g : good) {
    std::string pack = MakePack(g.content, g.key);
    uint32_t real = g.content.size();
    for (uint32_t size : {real, real + 1, real - 1, 0u, 0xFFFFFFFFu}) {
      if (size != real - 1 || real > 0) cases.push_back({g.name, pack, g.key, size});
    }
  }
  std::string pack = MakePack(text, kKey);
  for (size_t at : {size_t(0), size_t(2), pack.size() / 2, pack.size() - 3}) {
    std::string damaged = pack;
    damaged[at] ^= 0x10;
    cases.push_back({"damaged at " + std::to_string(at), damaged, kKey, 30000});
  }
  cases.push_back({"wrong key", pack, "0123456789abcdeF", 30000});
  cases.push_back({"no key", pack, "", 30000});
  cases.push_back({"key beyond 16 bytes", pack, std::string(kKey) + "IGNORED", 30000});
  cases.push_back({"bytes after the end", pack + "trailing bytes", kKey, 30000});
  // A zlib header asking for a preset dictionary (FDICT), and its DICTID.
  cases.push_back({"preset dictionary", std::string("\x78\x20\0\0\0\1", 6) + pack, "", 30000});
  cases.push_back({"empty pack", "", kKey, 100});
  cases.push_back({"zip bomb", MakePack(std::string(8u << 20, '\0'), ""), "", 1u << 20});
  const std::string small = Text(40), smallPack = MakePack(small, kKey);
  for (size_t cut = 0; cut < smallPack.size(); ++cut) {
    for (uint32_t size : {uint32_t(small.size()), uint32_t(small.size() + 10)}) {
      cases.push_back({"cut at " + std::to_string(cut), smallPack.substr(0, cut), kKey, size});
    }
  }
  return cases;
}

// Unpacks `c` into a file in memory, feeding every byte of the pack in pieces
// of `piece` bytes whatever Feed answers.
Outcome Unpack(PackUnpacker* unpacker, const PackCase& c, size_t piece, DigestKind kind) {
  int fd = memfd_create("unpacked", MFD_CLOEXEC);
  EXPECT_GE(fd, 0);
  unpacker->Begin(c.key.c_str(), c.size, kind, fd);
  for (size_t at = 0; at < c.pack.size(); at += piece) {
    unpacker->Feed(c.pack.data() + at, std::min(piece, c.pack.size() - at));
  }
  bool ok = unpacker->Finish();
  EXPECT_EQ(ok, unpacker->failure() == UnpackFailure::kNone);
  std::string content = ok ? ReadFile("/proc/self/fd/" + std::to_string(fd)) : "";
  close(fd);
  return {unpacker->ZlibResult(), content};
}

}  // namespace

TEST(PackUnpacker, MatchesOneShotUnpackingAndDigestsEveryPack) {
  PackUnpacker unpacker;  // one for every case: Begin must start afresh
  int row = 0;
  for (const PackCase& c : PackCases()) {
    Outcome want = OneShot(c.pack, c.key, c.size);
    bool md5 = ++row % 2 == 0;
    const char* name = md5 ? "md5" : "sha256";
    for (size_t piece : {size_t(7), size_t(4099), c.pack.size() + 1}) {
      if (piece == 7 && c.pack.size() > 2000) continue;
      Outcome got = Unpack(&unpacker, c, piece, md5 ? DigestKind::kMd5 : DigestKind::kSha256);
      SCOPED_TRACE(c.name + ", size " + std::to_string(c.size) + ", pieces of " +
                   std::to_string(piece));
      EXPECT_EQ(got.code, want.code);
      EXPECT_TRUE(got.content == want.content);
      EXPECT_LE(unpacker.written(), c.size);
      EXPECT_EQ(unpacker.PackDigest(), Digest(name, c.pack));
      EXPECT_EQ(unpacker.FileDigest(), want.code == Z_OK ? Digest(name, want.content) : "");
      EXPECT_EQ(
          unpacker.ErrorText(),
          want.code == Z_OK ? "" : "Error uncompressing data (" + std::to_string(want.code) + ")");
    }
  }
}

// The engine's file-to-file call: a bad pack in place stays as it was.
TEST(PackUnpacker, UnpackFileInPlace) {
  enginetest::TempDir dir;
  Updater updater;
  const std::string path = dir / "pack", content = Text(100);
  for (const char* key : {kKey, "wrong"}) {
    ASSERT_TRUE(enginetest::WriteFile(path, MakePack(content, kKey)));
    const bool good = key == kKey;
    EXPECT_EQ(updater.UnpackFile(path.c_str(), path.c_str(), key, content.size()), good);
    EXPECT_STREQ(updater.GetLastError(), good ? "" : "Error uncompressing data (-3)");
    EXPECT_EQ(ReadFile(path), good ? content : MakePack(content, kKey));
  }
}
