// The Updater object: settings, the last error, callbacks, the document file
// and tracked records.
#include <string>

#include "engine_test_util.h"
#include "memleak.h"

using enginetest::Doc;
using enginetest::Exists;
using enginetest::FileV2;
using enginetest::Group;
using enginetest::ReadFile;
using enginetest::TempDir;
using enginetest::WriteFile;

TEST(Updater, ErrorsAndMessagesWithNullTableAndNullSlots) {
  Updater updater;
  updater.SetError("Error opening %s for read!", "/x/y");
  EXPECT_STREQ(updater.GetLastError(), "Error opening /x/y for read!");
  std::string big(5000, 'e');
  updater.SetError("%s %d", big.c_str(), -5);
  EXPECT_EQ(updater.GetLastError(), big + " -5");

  updater.Info("nobody %d", 1);  // no table at all
  updater.Status("nobody %d", 2);
  UpdaterCallbacks empty = {nullptr, nullptr, nullptr, nullptr, nullptr};
  updater.Init("", "/", "", "", &empty);
  updater.Info("nobody %d", 3);
  updater.Status("nobody %d", 4);

  updater.Init("", "/", "", "", enginetest::RecordingCallbacks());
  updater.Info("Info version: %d", 2);
  updater.Status("Unpacking %s ...", "bot.bin");
  updater.Status("%s", "");
  EXPECT_EQ(enginetest::InfoLines(), std::vector<std::string>{"Info version: 2"});
  EXPECT_EQ(enginetest::StatusLines(), (std::vector<std::string>{"Unpacking bot.bin ...", ""}));
  EXPECT_EQ(updater.GetLastError(), big + " -5") << "messages never set the error";
}

using UpdaterObject = enginetest::ParseFixture;

TEST_F(UpdaterObject, InitStartsOverFreesTrackedRecordsKeepsTextAndError) {
  uint64_t before = MemLeakCount();
  Doc doc;
  doc.groups = Group("core", "defaultgrp=\"1\"") + Group("b");
  doc.files = FileV2("x", "0", "group=\"core\"") + FileV2("y", "0");
  doc.deletes = "<f file=\"\"/>";
  EXPECT_FALSE(Parse(doc));
  for (void* block :
       {static_cast<void*>(updater.GetFirstGroup()), static_cast<void*>(updater.GetFirstFile())}) {
    MemLeakRecord* record = MemLeakLookup(block, false);
    ASSERT_NE(record, nullptr);
    EXPECT_STREQ(record->file, "libupdater");
  }
  EXPECT_GE(MemLeakCount(), before + 4);
  std::string error = Error();

  UpdaterCallbacks table = {};
  updater.Init("http://b/", "/base/", "second", "ini-b", &table);
  EXPECT_EQ(MemLeakCount(), before);
  EXPECT_EQ(updater.GetFirstFile(), nullptr);
  EXPECT_EQ(updater.GetFirstGroup(), nullptr);
  EXPECT_EQ(updater.filesTail, nullptr);
  EXPECT_EQ(updater.groupsTail, nullptr);
  EXPECT_EQ(updater.defaultGroup, nullptr);
  EXPECT_EQ(updater.fileCount + updater.pendingCount + updater.header.infoVersion, 0);
  EXPECT_EQ(Error(), error);
  EXPECT_EQ(updater.infoText, doc.Text());
  EXPECT_EQ(updater.baseDir, "/base/");
  EXPECT_EQ(updater.iniFile, "ini-b");
}

TEST(Updater, ResetDeletesTheScratchDocument) {
  TempDir dir;
  enginetest::ChangeDir cd(dir.path());
  ASSERT_TRUE(cd.ok());
  ASSERT_TRUE(WriteFile("updater-info.xml", "<x/>"));
  {
    Updater updater;
    updater.Reset();
    EXPECT_FALSE(Exists(dir / "updater-info.xml"));
    ASSERT_TRUE(WriteFile("updater-info.xml", "<x/>"));
  }
  EXPECT_FALSE(Exists(dir / "updater-info.xml")) << "the destructor resets";
}

TEST(Updater, LoadAndSaveInfoFile) {
  TempDir dir;
  Updater updater;
  std::string missing = dir / "missing.xml";
  EXPECT_FALSE(updater.LoadInfoFile(missing.c_str()));
  EXPECT_EQ(updater.GetLastError(), "Error opening " + missing + "!");
  ASSERT_TRUE(WriteFile(dir / "empty.xml", ""));
  EXPECT_FALSE(updater.LoadInfoFile((dir / "empty.xml").c_str()));
  EXPECT_EQ(updater.GetLastError(), "Error reading " + (dir / "empty.xml") + "!");
  EXPECT_FALSE(updater.LoadInfoFile(dir.path().c_str())) << "a directory is unreadable";
  EXPECT_EQ(updater.GetLastError(), "Error reading " + dir.path() + "!");

  std::string text = "<update_info version=\"2\">\r\n\xC3\xA9</update_info>\n";
  ASSERT_TRUE(WriteFile(dir / "doc.xml", text + std::string(1, '\0') + "after zero"));
  ASSERT_TRUE(updater.LoadInfoFile((dir / "doc.xml").c_str()));
  EXPECT_EQ(updater.infoText, text) << "cut at the zero byte";
  updater.SaveInfoFile((dir / "copy.xml").c_str());
  EXPECT_EQ(ReadFile(dir / "copy.xml"), text);
  updater.SaveInfoFile((dir / "no/such/dir.xml").c_str());  // reports nothing
}

namespace {

Updater* reentered = nullptr;
std::vector<std::string> seen;

// Calls back into the Updater that is calling it, on the same thread.
void Reenter(const char* text) {
  seen.push_back(text);
  if (std::string(text) == "Building file list...") {
    UpdateGroup* group = reentered->FindGroup("core");
    seen.push_back(group != nullptr ? group->name : "<none>");
    reentered->SetGroupState(group, Install);
    reentered->Status("status from inside %d", 1);
    reentered->SetError("set from a callback");
  }
}

}  // namespace

TEST_F(UpdaterObject, CallbackMayCallBackIntoTheUpdater) {
  UpdaterCallbacks table = {nullptr, nullptr, Reenter, Reenter, nullptr};
  reentered = &updater;
  updater.Init("", dir.base().c_str(), "", "", &table);
  Doc doc;
  doc.groups = Group("core");
  doc.files = FileV2("x", "0", "group=\"core\"");
  ASSERT_TRUE(Parse(doc));
  EXPECT_EQ(seen, (std::vector<std::string>{"Info version: 2", "Building file list...", "core",
                                            "status from inside 1"}));
  EXPECT_EQ(updater.pendingCount, 1);
  EXPECT_EQ(Error(), "set from a callback") << "success leaves old errors";
}
