// RC4 against published vectors, and UnpackFile on the table of good and
// bad packs, judged by zlib's one-shot uncompress.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine_test_util.h"
#include "pack_test_util.h"

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
  // The directory's entries, sorted and joined by commas.
  std::string Names() {
    std::vector<std::string> names;
    DIR* listing = opendir(dir.path().c_str());
    while (struct dirent* entry = listing != nullptr ? readdir(listing) : nullptr) {
      if (entry->d_name[0] != '.') names.push_back(entry->d_name);
    }
    if (listing != nullptr) closedir(listing);
    std::sort(names.begin(), names.end());
    std::string joined;
    for (const std::string& name : names) joined += (joined.empty() ? "" : ",") + name;
    return joined;
  }

  TempDir dir;
  Updater updater;
  const std::string content = Content();
};

TEST_F(UnpackFile, MatchesOneShotUnpackingIntoAnotherFileAndInPlace) {
  // Every cut of the stream is tried on PackUnpacker; through files, where
  // each case costs real writes, a sample is enough.
  for (const packtest::PackCase& c : packtest::PackCases(8)) {
    packtest::Outcome want = packtest::OneShot(c.pack, c.key, c.size);
    std::string where = c.name + ", size " + std::to_string(c.size);
    std::string error =
        want.code == Z_OK ? "" : "Error uncompressing data (" + std::to_string(want.code) + ")";
    Put("pack", c.pack);
    Put("out", "old content");
    EXPECT_EQ(Unpack("pack", "out", c.key.c_str(), c.size), want.code == Z_OK) << where;
    EXPECT_EQ(want.code == Z_OK ? "" : Error(), error) << where;
    // After a bad pack the destination is left empty, as it always was.
    EXPECT_TRUE(Read("out") == want.content) << where;
    EXPECT_TRUE(Read("pack") == c.pack) << where;
    // In place a bad pack stays as it was, and no temporary file is left.
    EXPECT_EQ(Unpack("pack", "pack", c.key.c_str(), c.size), want.code == Z_OK) << where;
    EXPECT_TRUE(Read("pack") == (want.code == Z_OK ? want.content : c.pack)) << where;
    EXPECT_EQ(Names(), "out,pack") << where;
  }
}

TEST_F(UnpackFile, InPlaceKeepsThePacksModeAndOtherLinks) {
  Put("pack", MakePack(content, kKey));
  ASSERT_EQ(chmod((dir / "pack").c_str(), 0666), 0);
  ASSERT_EQ(link((dir / "pack").c_str(), (dir / "link").c_str()), 0);
  // The same file by another name is unpacked through a temporary file too.
  ASSERT_TRUE(Unpack("pack", "link", kKey, content.size())) << Error();
  EXPECT_EQ(Read("link"), content);
  EXPECT_EQ(Read("pack"), MakePack(content, kKey));
  ASSERT_TRUE(Unpack("pack", "./pack", kKey, content.size())) << Error();
  EXPECT_EQ(Read("pack"), content);
  struct stat info;
  ASSERT_EQ(stat((dir / "pack").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0666u);
  EXPECT_EQ(Names(), "link,pack");
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
