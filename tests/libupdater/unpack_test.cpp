// RC4 against published vectors, and UnpackFile on packs made here with
// zlib's compress and the RC4 routine.
#include <zlib.h>

#include <cstring>
#include <string>

#include "engine_test_util.h"
#include "gtest/gtest.h"
#include "rc4.h"
#include "updater.h"

using enginetest::Exists;
using enginetest::ReadFile;
using enginetest::TempDir;
using enginetest::WriteFile;

namespace {

std::string Hex(const uint8_t* bytes, size_t count) {
  std::string hex;
  char pair[3];
  for (size_t i = 0; i < count; ++i) {
    snprintf(pair, sizeof(pair), "%02x", bytes[i]);
    hex += pair;
  }
  return hex;
}

// 16 bytes of keystream at `offset` for `key`.
std::string Keystream(const std::vector<uint8_t>& key, size_t offset) {
  Rc4State state;
  memset(&state, 0, sizeof(state));
  rc4_set_key(&state, key.size(), key.data());
  std::vector<uint8_t> zeros(offset + 16, 0);
  std::vector<uint8_t> out(zeros.size());
  rc4_crypt(&state, zeros.size(), zeros.data(), out.data());
  return Hex(out.data() + offset, 16);
}

// A pack of `content`: compressed, then enciphered with the key text padded
// with zero bytes to 16 when it is not empty.
std::string MakePack(const std::string& content, const std::string& key) {
  uLongf length = compressBound(content.size());
  std::string pack(length, '\0');
  compress(reinterpret_cast<Bytef*>(&pack[0]), &length,
           reinterpret_cast<const Bytef*>(content.data()), content.size());
  pack.resize(length);
  if (!key.empty()) {
    uint8_t keyBytes[16] = {};
    memcpy(keyBytes, key.data(), std::min<size_t>(key.size(), 16));
    Rc4State state;
    memset(&state, 0, sizeof(state));
    rc4_set_key(&state, 16, keyBytes);
    rc4_crypt(&state, pack.size(), reinterpret_cast<uint8_t*>(&pack[0]),
              reinterpret_cast<uint8_t*>(&pack[0]));
  }
  return pack;
}

std::string Content() {
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "line " + std::to_string(i * 7919 % 1000) + "\n";
  return text;
}

}  // namespace

TEST(Rc4, MatchesRfc6229Vectors) {
  std::vector<uint8_t> key40 = {0x01, 0x02, 0x03, 0x04, 0x05};
  EXPECT_EQ(Keystream(key40, 0), "b2396305f03dc027ccc3524a0a1118a8");
  EXPECT_EQ(Keystream(key40, 16), "6982944f18fc82d589c403a47a0d0919");
  EXPECT_EQ(Keystream(key40, 240), "28cb1132c96ce286421dcaadb8b69eae");
  EXPECT_EQ(Keystream(key40, 256), "1cfcf62b03eddb641d77dfcf7f8d8c93");
  EXPECT_EQ(Keystream(key40, 496), "42b7d0cdd918a8a33dd51781c81f4041");
  EXPECT_EQ(Keystream(key40, 512), "6459844432a7da923cfb3eb4980661f6");
  EXPECT_EQ(Keystream(key40, 4096), "ff25b58995996707e51fbdf08b34d875");

  std::vector<uint8_t> key128;
  for (uint8_t i = 1; i <= 16; ++i) key128.push_back(i);
  EXPECT_EQ(Keystream(key128, 0), "9ac7cc9a609d1ef7b2932899cde41b97");
  EXPECT_EQ(Keystream(key128, 16), "5248c4959014126a6e8a84f11d1a9e1c");
  EXPECT_EQ(Keystream(key128, 240), "065902e4b620f6cc36c8589f66432f2b");
  EXPECT_EQ(Keystream(key128, 256), "d39d566bc6bce3010768151549f3873f");
  EXPECT_EQ(Keystream(key128, 4096), "a36a4c301ae8ac13610ccbc12256cacc");
}

TEST(Rc4, CryptInPiecesContinuesTheKeystreamAndRoundTrips) {
  const uint8_t key[] = "Secret";
  const char plain[] = "Attack at dawn";
  Rc4State state;
  memset(&state, 0, sizeof(state));
  rc4_set_key(&state, 6, key);
  uint8_t out[14];
  rc4_crypt(&state, 5, reinterpret_cast<const uint8_t*>(plain), out);
  rc4_crypt(&state, 9, reinterpret_cast<const uint8_t*>(plain) + 5, out + 5);
  EXPECT_EQ(Hex(out, 14), "45a01f645fc35b383552544b9bf5");

  rc4_set_key(&state, 6, key);
  rc4_crypt(&state, 14, out, out);  // in place
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 14), plain);
}

TEST(UnpackFile, UnpacksKeyedAndUnkeyedPacks) {
  TempDir dir;
  Updater updater;
  std::string content = Content();
  const std::string key = "0123456789abcdef";

  ASSERT_TRUE(WriteFile(dir / "plain.pack", MakePack(content, "")));
  ASSERT_TRUE(updater.UnpackFile((dir / "plain.pack").c_str(), (dir / "plain").c_str(), "",
                                 content.size()));
  EXPECT_EQ(ReadFile(dir / "plain"), content);
  EXPECT_EQ(ReadFile(dir / "plain.pack"), MakePack(content, "")) << "source left alone";

  ASSERT_TRUE(WriteFile(dir / "keyed.pack", MakePack(content, key)));
  ASSERT_TRUE(updater.UnpackFile((dir / "keyed.pack").c_str(), (dir / "keyed").c_str(), key.c_str(),
                                 content.size()));
  EXPECT_EQ(ReadFile(dir / "keyed"), content);

  // A short key text is padded with zero bytes to the 16-byte key.
  char shortKey[17] = "abc";
  ASSERT_TRUE(WriteFile(dir / "short.pack", MakePack(content, "abc")));
  ASSERT_TRUE(updater.UnpackFile((dir / "short.pack").c_str(), (dir / "short").c_str(), shortKey,
                                 content.size()));
  EXPECT_EQ(ReadFile(dir / "short"), content);
}

TEST(UnpackFile, SourceAndDestinationMayBeOnePath) {
  TempDir dir;
  Updater updater;
  std::string content = Content();
  ASSERT_TRUE(WriteFile(dir / "file", MakePack(content, "kkkkkkkkkkkkkkkk")));
  ASSERT_TRUE(updater.UnpackFile((dir / "file").c_str(), (dir / "file").c_str(), "kkkkkkkkkkkkkkkk",
                                 content.size() + 100));
  EXPECT_EQ(ReadFile(dir / "file"), content);
}

TEST(UnpackFile, SizeIsAnUpperBound) {
  TempDir dir;
  Updater updater;
  std::string content = Content();
  ASSERT_TRUE(WriteFile(dir / "pack", MakePack(content, "")));

  EXPECT_FALSE(
      updater.UnpackFile((dir / "pack").c_str(), (dir / "small").c_str(), "", content.size() - 1));
  EXPECT_STREQ(updater.GetLastError(), "Error uncompressing data (-5)");
  EXPECT_EQ(ReadFile(dir / "small"), "") << "destination created empty";

  EXPECT_TRUE(
      updater.UnpackFile((dir / "pack").c_str(), (dir / "exact").c_str(), "", content.size()));
  EXPECT_EQ(ReadFile(dir / "exact"), content);
  EXPECT_TRUE(
      updater.UnpackFile((dir / "pack").c_str(), (dir / "large").c_str(), "", content.size() * 3));
  EXPECT_EQ(ReadFile(dir / "large"), content) << "written with its real length";
}

TEST(UnpackFile, WrongKeyFailsAsDataErrorAndLeavesDestinationEmpty) {
  TempDir dir;
  Updater updater;
  std::string content = Content();
  ASSERT_TRUE(WriteFile(dir / "pack", MakePack(content, "0123456789abcdef")));
  ASSERT_TRUE(WriteFile(dir / "out", "old content"));
  EXPECT_FALSE(updater.UnpackFile((dir / "pack").c_str(), (dir / "out").c_str(), "0123456789abcdeF",
                                  content.size()));
  EXPECT_STREQ(updater.GetLastError(), "Error uncompressing data (-3)");
  EXPECT_EQ(ReadFile(dir / "out"), "");

  // Deciphering a pack that was never enciphered breaks it just the same.
  ASSERT_TRUE(WriteFile(dir / "plain", MakePack(content, "")));
  EXPECT_FALSE(updater.UnpackFile((dir / "plain").c_str(), (dir / "plain").c_str(),
                                  "0123456789abcdef", content.size()));
  EXPECT_STREQ(updater.GetLastError(), "Error uncompressing data (-3)");
  EXPECT_EQ(ReadFile(dir / "plain"), "") << "one path: the pack is gone";
}

TEST(UnpackFile, EmptyFileAndEmptyPack) {
  TempDir dir;
  Updater updater;
  ASSERT_TRUE(WriteFile(dir / "empty-file.pack", MakePack("", "0123456789abcdef")));
  EXPECT_TRUE(updater.UnpackFile((dir / "empty-file.pack").c_str(), (dir / "empty-file").c_str(),
                                 "0123456789abcdef", 0));
  EXPECT_EQ(ReadFile(dir / "empty-file"), "");

  ASSERT_TRUE(WriteFile(dir / "empty.pack", ""));
  EXPECT_FALSE(updater.UnpackFile((dir / "empty.pack").c_str(), (dir / "out").c_str(), "", 1000));
  EXPECT_STREQ(updater.GetLastError(), "Error uncompressing data (-3)");
  EXPECT_EQ(ReadFile(dir / "out"), "");
}

TEST(UnpackFile, OpenReadAndWriteFailures) {
  TempDir dir;
  Updater updater;
  std::string missing = dir / "missing.pack";
  EXPECT_FALSE(updater.UnpackFile(missing.c_str(), (dir / "out").c_str(), "", 10));
  EXPECT_EQ(updater.GetLastError(), "Error opening " + missing + " for read!");
  EXPECT_FALSE(Exists(dir / "out"));

  // A directory opens for reading but cannot be read.
  EXPECT_FALSE(updater.UnpackFile(dir.path().c_str(), (dir / "out").c_str(), "", 10));
  EXPECT_EQ(std::string(updater.GetLastError()).rfind("Error reading file data! (", 0), 0u)
      << updater.GetLastError();
  EXPECT_FALSE(Exists(dir / "out"));

  std::string pack = MakePack("some content", "");
  ASSERT_TRUE(WriteFile(dir / "pack", pack));
  std::string badDest = dir / "no/such/dir/out";
  EXPECT_FALSE(updater.UnpackFile((dir / "pack").c_str(), badDest.c_str(), "", 100));
  EXPECT_EQ(updater.GetLastError(), "Error opening " + badDest + " for write!");
  EXPECT_EQ(ReadFile(dir / "pack"), pack);

  EXPECT_FALSE(updater.UnpackFile((dir / "pack").c_str(), "/dev/full", "", 100));
  EXPECT_STREQ(updater.GetLastError(), "Error writing file data! (No space left on device)");
}
