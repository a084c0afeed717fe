// The group selection in the INI file, and MakeDirs, against real files.
#include <sys/stat.h>

#include <string>

#include "parse_test_util.h"

using enginetest::ChangeDir;
using enginetest::Doc;
using enginetest::Exists;
using enginetest::FileV2;
using enginetest::Group;
using enginetest::ReadFile;
using enginetest::TempDir;
using enginetest::WriteFile;

namespace {

bool IsDir(const std::string& path, mode_t* mode = nullptr) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
  if (mode != nullptr) *mode = info.st_mode & 07777;
  return true;
}

}  // namespace

using LocalState = enginetest::ParseFixture;

TEST_F(LocalState, SaveStateWritesEveryGroupInListOrder) {
  std::string ini = dir / ".updater.ini";
  updater.Init("", dir.base().c_str(), "", ini.c_str(), nullptr);
  Doc doc;
  doc.groups = Group("low", "priority=\"1\" default=\"2\"") + Group("High", "priority=\"9\"") +
               Group("mid", "default=\"1\"");
  doc.files = "";
  ASSERT_TRUE(Parse(doc));
  EXPECT_FALSE(Exists(ini)) << "parsing writes nothing";
  EXPECT_TRUE(updater.SaveState());
  EXPECT_EQ(ReadFile(ini), "[groups]\r\nmid=1\r\nHigh=0\r\nlow=2\r\n");

  // Changed states replace the entries; other sections stay.
  ASSERT_TRUE(WriteFile(ini, "[window]\r\nx=1\r\n[groups]\r\nmid=1\r\nold=1\r\n[z]\r\nk=v\r\n"));
  updater.SetGroupState(updater.FindGroup("mid"), Remove);
  updater.SetGroupState(updater.FindGroup("high"), Install);
  EXPECT_TRUE(updater.SaveState());
  EXPECT_EQ(ReadFile(ini),
            "[window]\r\nx=1\r\n[groups]\r\nmid=2\r\nold=1\r\nHigh=1\r\nlow=2\r\n\r\n"
            "[z]\r\nk=v\r\n");

  // A second parse reads the states back.
  updater.Init("", dir.base().c_str(), "", ini.c_str(), nullptr);
  ASSERT_TRUE(Parse(doc));
  EXPECT_EQ(updater.FindGroup("high")->state, Install);
  EXPECT_EQ(updater.FindGroup("mid")->state, Remove);
  EXPECT_EQ(updater.FindGroup("low")->state, Remove);
}

TEST_F(LocalState, SaveStateWithoutIniFileWritesNothing) {
  ChangeDir cd(dir.path());
  ASSERT_TRUE(cd.ok());
  Doc doc;
  doc.groups = Group("a", "default=\"1\"");
  doc.files = "";
  ASSERT_TRUE(Parse(doc));
  EXPECT_TRUE(updater.SaveState());
  EXPECT_FALSE(Exists(dir / ".updater.ini"));
  // No groups and an INI file name: nothing to write, nothing created.
  updater.Init("", dir.base().c_str(), "", ".updater.ini", nullptr);
  EXPECT_TRUE(updater.SaveState());
  EXPECT_FALSE(Exists(dir / ".updater.ini"));
}

TEST_F(LocalState, RemoveStateFromIniMarksFilesForDeletion) {
  std::string ini = dir / ".updater.ini";
  ASSERT_TRUE(WriteFile(ini, "[groups]\r\nplugins=2\r\n"));
  Put("plugin.so", "installed");
  updater.Init("", dir.base().c_str(), "", ini.c_str(), nullptr);
  Doc doc;
  doc.groups = Group("plugins", "default=\"1\"");
  doc.files = FileV2("plugin.so", enginetest::Sha("installed"), "group=\"plugins\"") +
              FileV2("plugin2.so", "0", "group=\"plugins\"");
  ASSERT_TRUE(Parse(doc));
  EXPECT_EQ(updater.pendingCount, 1);
  EXPECT_TRUE(updater.IsMarkedForDeletion(FileAt(0)));
  EXPECT_FALSE(updater.IsToInstall(FileAt(1)));
}

TEST(MakeDirs, CreatesMissingDirectoriesAlongAbsoluteAndRelativePaths) {
  TempDir dir;
  Updater updater;
  mode_t oldMask = umask(022);
  updater.MakeDirs((dir / "srv/bot/tmp/updater").c_str());
  mode_t mode = 0;
  EXPECT_TRUE(IsDir(dir / "srv/bot/tmp/updater", &mode));
  EXPECT_EQ(mode, 0755u);

  // Doubled slashes make the same directories; existing ones are kept.
  ASSERT_TRUE(WriteFile(dir / "srv/keep", "k"));
  updater.MakeDirs((dir.path() + "//srv///bot//new//").c_str());
  EXPECT_TRUE(IsDir(dir / "srv/bot/new"));
  EXPECT_EQ(ReadFile(dir / "srv/keep"), "k");

  {
    ChangeDir cd(dir.path());
    ASSERT_TRUE(cd.ok());
    updater.MakeDirs("bot/tmp");
    updater.MakeDirs("./rel//deeper");
  }
  EXPECT_TRUE(IsDir(dir / "bot/tmp"));
  EXPECT_TRUE(IsDir(dir / "rel/deeper"));

  // A file in the way is left alone; nothing below it is made.
  ASSERT_TRUE(WriteFile(dir / "afile", "f"));
  updater.MakeDirs((dir / "afile/sub").c_str());
  EXPECT_EQ(ReadFile(dir / "afile"), "f");
  EXPECT_FALSE(Exists(dir / "afile/sub"));

  // A path too long for the buffer is refused whole, not cut short.
  std::string longPath = dir / std::string(600, 'a') + "/" + std::string(600, 'b');
  updater.MakeDirs(longPath.c_str());
  EXPECT_FALSE(Exists(dir / std::string(600, 'a')));
  updater.MakeDirs("");
  updater.MakeDirs(nullptr);
  umask(oldMask);
}
