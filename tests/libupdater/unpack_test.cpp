// RC4 against published vectors, and UnpackFile on packs made here with
// zlib's compress and the RC4 routine.
#include <cstring>
#include <string>

#include "engine_test_util.h"

using enginetest::Exists;
using enginetest::MakePack;
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

// 16 bytes of keystream at `offset` for `key`, enciphered in two pieces.
std::string Keystream(const std::vector<uint8_t>& key, size_t offset) {
  Rc4State state = {};
  rc4_set_key(&state, key.size(), key.data());
  std::vector<uint8_t> zeros(offset + 16, 0), out(offset + 16);
  rc4_crypt(&state, offset + 5, zeros.data(), out.data());
  rc4_crypt(&state, 11, zeros.data(), out.data() + offset + 5);
  return Hex(out.data() + offset, 16);
}

std::string Content() {
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "line " + std::to_string(i * 7919 % 1000) + "\n";
  return text;
}

const char kKey[] = "0123456789abcdef";

}  // namespace

TEST(Rc4, MatchesRfc6229Vectors) {
  std::vector<uint8_t> key40 = {0x01, 0x02, 0x03, 0x04, 0x05};
  EXPECT_EQ(Keystream(key40, 0), "b2396305f03dc027ccc3524a0a1118a8");
  EXPECT_EQ(Keystream(key40, 16), "6982944f18fc82d589c403a47a0d0919");
  EXPECT_EQ(Keystream(key40, 240), "28cb1132c96ce286421dcaadb8b69eae");
  EXPECT_EQ(Keystream(key40, 4096), "ff25b58995996707e51fbdf08b34d875");
  std::vector<uint8_t> key128;
  for (uint8_t i = 1; i <= 16; ++i) key128.push_back(i);
  EXPECT_EQ(Keystream(key128, 0), "9ac7cc9a609d1ef7b2932899cde41b97");
  EXPECT_EQ(Keystream(key128, 256), "d39d566bc6bce3010768151549f3873f");
  EXPECT_EQ(Keystream(key128, 4096), "a36a4c301ae8ac13610ccbc12256cacc");
}

// Packs and their results in a temporary directory.
class UnpackFile : public ::testing::Test {
 protected:
  bool Unpack(const std::string& source, const std::string& destination, const char* key,
              uint32_t size) {
    return updater.UnpackFile((dir / source).c_str(), (dir / destination).c_str(), key, size);
  }
  void Put(const std::string& name, const std::string& data) {
    ASSERT_TRUE(WriteFile(dir / name, data));
  }
  std::string Read(const std::string& name) { return ReadFile(dir / name); }
  std::string Error() { return updater.GetLastError(); }

  TempDir dir;
  Updater updater;
  const std::string content = Content();
};

TEST_F(UnpackFile, UnpacksKeyedUnkeyedAndShortKeyedPacksAlsoInPlace) {
  Put("plain.pack", MakePack(content, ""));
  ASSERT_TRUE(Unpack("plain.pack", "plain", "", content.size()));
  EXPECT_EQ(Read("plain"), content);
  EXPECT_EQ(Read("plain.pack"), MakePack(content, "")) << "source left alone";
  // A short key text is padded with zero bytes to the 16-byte key.
  for (const char* key : {kKey, "abc"}) {
    char padded[17] = {};
    strncpy(padded, key, 16);
    Put("file", MakePack(content, key));
    ASSERT_TRUE(Unpack("file", "file", padded, content.size() + 100));
    EXPECT_EQ(Read("file"), content) << key;
  }
}

TEST_F(UnpackFile, SizeIsAnUpperBound) {
  Put("pack", MakePack(content, ""));
  EXPECT_FALSE(Unpack("pack", "small", "", content.size() - 1));
  EXPECT_EQ(Error(), "Error uncompressing data (-5)");
  EXPECT_EQ(Read("small"), "") << "destination created empty";
  EXPECT_TRUE(Unpack("pack", "exact", "", content.size()));
  EXPECT_EQ(Read("exact"), content);
  EXPECT_TRUE(Unpack("pack", "large", "", content.size() * 3));
  EXPECT_EQ(Read("large"), content) << "written with its real length";
}

TEST_F(UnpackFile, WrongKeyEmptyFileAndEmptyPack) {
  Put("pack", MakePack(content, kKey));
  Put("out", "old content");
  EXPECT_FALSE(Unpack("pack", "out", "0123456789abcdeF", content.size()));
  EXPECT_EQ(Error(), "Error uncompressing data (-3)");
  EXPECT_EQ(Read("out"), "");
  // Deciphering a pack that was never enciphered breaks it just the same.
  Put("plain", MakePack(content, ""));
  EXPECT_FALSE(Unpack("plain", "plain", kKey, content.size()));
  EXPECT_EQ(Error(), "Error uncompressing data (-3)");

  Put("empty-file.pack", MakePack("", kKey));
  EXPECT_TRUE(Unpack("empty-file.pack", "empty-file", kKey, 0));
  EXPECT_EQ(Read("empty-file"), "");
  Put("empty.pack", "");
  EXPECT_FALSE(Unpack("empty.pack", "out", "", 1000));
  EXPECT_EQ(Error(), "Error uncompressing data (-3)");
}

TEST_F(UnpackFile, OpenReadAndWriteFailures) {
  EXPECT_FALSE(Unpack("missing.pack", "out", "", 10));
  EXPECT_EQ(Error(), "Error opening " + (dir / "missing.pack") + " for read!");
  // A directory opens for reading but cannot be read.
  EXPECT_FALSE(updater.UnpackFile(dir.path().c_str(), (dir / "out").c_str(), "", 10));
  EXPECT_EQ(Error().rfind("Error reading file data! (", 0), 0u) << Error();
  EXPECT_FALSE(Exists(dir / "out"));

  Put("pack", MakePack("some content", ""));
  EXPECT_FALSE(Unpack("pack", "no/such/dir/out", "", 100));
  EXPECT_EQ(Error(), "Error opening " + (dir / "no/such/dir/out") + " for write!");
  EXPECT_EQ(Read("pack"), MakePack("some content", ""));
  EXPECT_FALSE(updater.UnpackFile((dir / "pack").c_str(), "/dev/full", "", 100));
  EXPECT_EQ(Error(), "Error writing file data! (No space left on device)");
}
