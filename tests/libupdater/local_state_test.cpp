// The group selection in the INI file, and MakeDirs, against real files.
#include <sys/stat.h>

#include <string>

#include "engine_test_util.h"

using enginetest::Doc;
using enginetest::Exists;
using enginetest::Group;
using enginetest::ReadFile;
using enginetest::WriteFile;

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

  // Without an INI file name nothing is written.
  enginetest::ChangeDir cd(dir.path());
  ASSERT_TRUE(cd.ok());
  ASSERT_EQ(remove(ini.c_str()), 0);
  updater.Init("", dir.base().c_str(), "", "", nullptr);
  ASSERT_TRUE(Parse(doc));
  EXPECT_TRUE(updater.SaveState());
  EXPECT_FALSE(Exists(ini));
}

TEST_F(LocalState, StoredStatesAreJudgedAsFullNumbers) {
  // Every group's document default is Install; the INI file holds the rest.
  struct {
    const char* name;
    const char* stored;  // null: no entry
    GroupState want;
  } cases[] = {
      {"wrap2", "4294967298", None},
      {"wrap1", "4294967297", None},
      {"negwrap1", "-4294967295", None},
      {"overflow", "99999999999999999999999", None},
      {"three", "3", None},
      {"minus", "-1", None},
      {"zero", "0", None},
      {"one", "1", Install},
      {"two", "2", Remove},
      {"digits", "2abc", Remove},
      {"blanks", " \t2 ", Remove},
      {"word", "abc", None},
      {"first", "2", Remove},  // a later "FIRST=1" does not count
      {"absent", nullptr, Install},
  };
  std::string ini = dir / ".updater.ini", text = "[groups]\r\n";
  Doc doc;
  doc.files = "";
  for (const auto& c : cases) {
    doc.groups += Group(c.name, "default=\"1\"");
    if (c.stored != nullptr) text += std::string(c.name) + "=" + c.stored + "\r\n";
  }
  ASSERT_TRUE(WriteFile(ini, text + "FIRST=1\r\n"));
  updater.Init("", dir.base().c_str(), "", ini.c_str(), nullptr);
  ASSERT_TRUE(Parse(doc));
  for (const auto& c : cases) EXPECT_EQ(updater.FindGroup(c.name)->state, c.want) << c.name;

  // A file holding a NUL byte cannot be read whole: rather than guess with
  // the defaults, the parse stops.
  const char nul[] = "[groups]\r\nzero=0\r\n\0two=0\r\n";
  ASSERT_TRUE(WriteFile(ini, std::string(nul, sizeof(nul) - 1)));
  updater.Init("", dir.base().c_str(), "", ini.c_str(), nullptr);
  EXPECT_FALSE(Parse(doc));
  EXPECT_EQ(Error(), "Error reading " + ini + "!");
}

TEST(MakeDirs, CreatesMissingDirectoriesAlongAbsoluteAndRelativePaths) {
  enginetest::TempDir dir;
  Updater updater;
  auto mode = [](const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) ? info.st_mode & 07777 : 0;
  };
  mode_t oldMask = umask(022);
  updater.MakeDirs((dir / "srv/bot/tmp/updater").c_str());
  EXPECT_EQ(mode(dir / "srv/bot/tmp/updater"), 0755u);
  // Doubled slashes make the same directories; existing ones are kept.
  ASSERT_TRUE(WriteFile(dir / "srv/keep", "k"));
  updater.MakeDirs((dir.path() + "//srv///bot//new//").c_str());
  EXPECT_TRUE(mode(dir / "srv/bot/new"));
  EXPECT_EQ(ReadFile(dir / "srv/keep"), "k");
  {
    enginetest::ChangeDir cd(dir.path());
    ASSERT_TRUE(cd.ok());
    updater.MakeDirs("./rel//deeper");
  }
  EXPECT_TRUE(mode(dir / "rel/deeper"));
  // A file in the way is left alone; nothing below it is made.
  ASSERT_TRUE(WriteFile(dir / "afile", "f"));
  updater.MakeDirs((dir / "afile/sub").c_str());
  EXPECT_EQ(ReadFile(dir / "afile"), "f");
  EXPECT_FALSE(Exists(dir / "afile/sub"));
  // A path too long for the buffer is refused whole, not cut short.
  std::string longPath = dir.path();
  for (char c = 'a'; c < 'g'; ++c) longPath += "/" + std::string(200, c);
  updater.MakeDirs(longPath.c_str());
  EXPECT_FALSE(Exists(dir / std::string(200, 'a')));
  updater.MakeDirs(nullptr);
  umask(oldMask);
}
