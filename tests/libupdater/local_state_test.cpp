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

TEST_F(LocalState, SaveStateWritesEveryGroupInListOrderAndKeepsTheRest) {
  std::string ini = dir / ".updater.ini";
  ASSERT_TRUE(WriteFile(ini, "[window]\r\nx=1\r\n[groups]\r\nmid=1\r\nold=1\r\n[z]\r\nk=v\r\n"));
  updater.Init("", dir.base().c_str(), "", ini.c_str(), nullptr);
  Doc doc;
  doc.groups = Group("low", "priority=\"1\" default=\"2\"") + Group("High", "priority=\"9\"") +
               Group("mid", "default=\"0\"");
  ASSERT_TRUE(Parse(doc));
  updater.SetAllGroupStates(Remove);
  EXPECT_TRUE(updater.SaveState());
  EXPECT_EQ(ReadFile(ini),
            "[window]\r\nx=1\r\n[groups]\r\nmid=2\r\nold=1\r\nHigh=2\r\nlow=2\r\n\r\n"
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
      {"three", "1", "three=3", None},
      {"minus", "1", "minus=-1", None},
      {"one", "0", "ONE=1", Install},
      {"two", "1", "two=2", Remove},
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
    EXPECT_EQ(Error(), c.parses ? "" : "Error reading " + ini + "!");
    EXPECT_EQ(updater.GetFirstGroup() != nullptr, c.parses);
    updater.SetError("%s", "");
  }
  EXPECT_FALSE(Exists(ini));
}

TEST(MakeDirs, CreatesMissingDirectoriesButNoPrefixOfALongPath) {
  enginetest::TempDir dir;
  Updater updater;
  mode_t oldMask = umask(022);
  updater.MakeDirs((dir.path() + "//srv///bot//new//").c_str());
  struct stat info = {};
  EXPECT_EQ(stat((dir / "srv/bot/new").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0755u);
  std::string longPath = dir.path();
  for (char c = 'a'; c < 'g'; ++c) longPath += "/" + std::string(200, c);
  updater.MakeDirs(longPath.c_str());
  EXPECT_FALSE(Exists(dir / std::string(200, 'a')));
  umask(oldMask);
}
