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
}

// A stored state, or the document's when none is stored, is judged as the
// full number: anything outside 0..2 reads as None.
TEST_F(LocalState, StoredStatesOverrideTheDocumentsAsFullNumbers) {
  struct {
    const char* name;
    const char* fallback;  // the document's state
    const char* line;      // in the groups section; "" for none
    GroupState want;
  } cases[] = {
      {"wrap2", "1", "wrap2=4294967298", None},
      {"negwrap1", "1", "negwrap1=-4294967295", None},
      {"overflow", "1", "overflow=99999999999999999999999", None},
      {"three", "1", "three=3", None},
      {"minus", "1", "minus=-1", None},
      {"zero", "1", "zero=0", None},
      {"one", "0", "ONE=1", Install},
      {"two", "1", "two=2", Remove},
      {"digits", "1", "digits=2abc", Remove},
      {"blanks", "1", "blanks= \t2 ", Remove},
      {"word", "1", "word=abc", None},
      {"first", "1", "first=2\r\nFIRST=1", Remove},
      {"absent", "1", "", Install},
      {"wild", "3", "", None},
  };
  std::string ini = dir / ".updater.ini", text = "[other]\r\ntwo=1\r\n[groups]\r\n";
  Doc doc;
  doc.groups = "";
  for (const auto& c : cases) {
    doc.groups += Group(c.name, std::string("default=\"") + c.fallback + "\"");
    if (*c.line != '\0') text += std::string(c.line) + "\r\n";
  }
  ASSERT_TRUE(WriteFile(ini, text));
  updater.Init("", dir.base().c_str(), "", ini.c_str(), nullptr);
  ASSERT_TRUE(Parse(doc));
  for (const auto& c : cases) EXPECT_EQ(updater.FindGroup(c.name)->state, c.want) << c.name;
}

// A selection file that is there but cannot be read whole fails the parse
// rather than give way to the defaults, which could remove a group the user
// keeps; an empty or missing one holds no selection and is not made.
TEST_F(LocalState, SelectionFileThatCannotBeReadFailsTheParse) {
  Doc doc;
  doc.groups = Group("docs", "default=\"2\"");
  const std::string ini = dir / "selection.ini";
  const char nul[] = "[groups]\r\ndocs=1\r\n\0x=0\r\n";
  struct {
    std::string content;  // "/" makes a directory, "-" nothing
    bool parses;
  } cases[] = {{"/", false}, {std::string(nul, sizeof(nul) - 1), false}, {"", true}, {"-", true}};
  for (const auto& c : cases) {
    remove(ini.c_str());
    rmdir(ini.c_str());
    ASSERT_TRUE(c.content == "/"   ? mkdir(ini.c_str(), 0755) == 0
                : c.content == "-" ? true
                                   : WriteFile(ini, c.content));
    updater.Init("", dir.base().c_str(), "", ini.c_str(), nullptr);
    EXPECT_EQ(Parse(doc), c.parses) << Error();
    if (c.parses) {
      EXPECT_EQ(updater.FindGroup("docs")->state, Remove);
    } else {
      EXPECT_EQ(Error(), "Error reading " + ini + "!");
      EXPECT_EQ(updater.GetFirstGroup(), nullptr);
    }
  }
  EXPECT_FALSE(Exists(ini));
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
  updater.MakeDirs((dir.path() + "//srv///bot//new//").c_str());
  EXPECT_TRUE(mode(dir / "srv/bot/new"));
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
  // A path too long for the buffer is refused whole, not cut short.
  std::string longPath = dir.path();
  for (char c = 'a'; c < 'g'; ++c) longPath += "/" + std::string(200, c);
  updater.MakeDirs(longPath.c_str());
  EXPECT_FALSE(Exists(dir / std::string(200, 'a')));
  updater.MakeDirs(nullptr);
  umask(oldMask);
}
