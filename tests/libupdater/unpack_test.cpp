// UnpackFile on the table of good and bad packs, judged by zlib's one-shot
// uncompress, into another file and in place.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "engine_test_util.h"
#include "pack_test_util.h"

using enginetest::Exists;
using enginetest::MakePack;
using enginetest::ReadFile;
using enginetest::TempDir;
using enginetest::WriteFile;

using packtest::kKey;

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
  // The directory's entries, sorted.
  std::set<std::string> Names() {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      names.insert(entry.path().filename());
    }
    return names;
  }

  TempDir dir;
  Updater updater;
  const std::string content = packtest::Text(2000);
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
    EXPECT_EQ(Names(), (std::set<std::string>{"out", "pack"})) << where;
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
  EXPECT_EQ(Names(), (std::set<std::string>{"link", "pack"}));
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
