// The group selection read from the INI file, against real files.
#include <sys/stat.h>

#include <string>

#include "engine_test_util.h"

using enginetest::Doc;
using enginetest::Group;
using enginetest::WriteFile;

using LocalState = enginetest::ParseFixture;

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
      {"minus", "1", "minus=-1", None},
      {"one", "0", "ONE=1", Install},
      {"two", "1", "two=2", Remove},
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

// A selection file that cannot be read whole fails the parse rather than give
// way to the defaults, which could remove a group the user keeps.
TEST_F(LocalState, SelectionFileThatCannotBeReadFailsTheParse) {
  Doc doc;
  doc.groups = Group("docs", "default=\"2\"");
  const std::string ini = dir / "selection.ini";
  const char nul[] = "[groups]\r\ndocs=1\r\n\0x=0\r\n";
  // A directory, a NUL byte, then an empty file.
  for (const std::string& content :
       {std::string("/"), std::string(nul, sizeof(nul) - 1), std::string()}) {
    rmdir(ini.c_str());
    ASSERT_TRUE(content == "/" ? mkdir(ini.c_str(), 0755) == 0 : WriteFile(ini, content));
    updater.Init("", dir.base().c_str(), "", ini.c_str(), nullptr);
    EXPECT_EQ(Parse(doc), content.empty()) << content;
    EXPECT_EQ(Error(), "Error reading " + ini + "!");
    EXPECT_EQ(updater.GetFirstGroup() != nullptr, content.empty());
  }
}
