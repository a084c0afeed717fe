// The Updater object: settings, the last error, callbacks, the document file
// and tracked records.
#include <cstring>
#include <string>
#include <thread>

#include "memleak.h"
#include "parse_test_util.h"

using enginetest::ChangeDir;
using enginetest::Doc;
using enginetest::Exists;
using enginetest::FileV2;
using enginetest::Group;
using enginetest::InfoLines;
using enginetest::ReadFile;
using enginetest::StatusLines;
using enginetest::TempDir;
using enginetest::WriteFile;

TEST(Updater, FreshObjectIsEmpty) {
  Updater updater;
  EXPECT_STREQ(updater.GetLastError(), "");
  EXPECT_EQ(updater.GetFirstGroup(), nullptr);
  EXPECT_EQ(updater.GetFirstFile(), nullptr);
  EXPECT_EQ(updater.callbacks, nullptr);
  EXPECT_EQ(updater.fileCount, 0);
  EXPECT_FALSE(updater.HasWork());
}

TEST(Updater, SetErrorFormatsAndReplaces) {
  Updater updater;
  updater.SetError("Error opening %s for read!", "/x/y");
  EXPECT_STREQ(updater.GetLastError(), "Error opening /x/y for read!");
  std::string big(5000, 'e');
  updater.SetError("%s %d", big.c_str(), -5);
  EXPECT_EQ(updater.GetLastError(), big + " -5");
}

TEST(Updater, InfoAndStatusWithNullTableAndNullSlots) {
  Updater updater;
  updater.Info("nobody %d", 1);  // no table at all
  updater.Status("nobody %d", 2);
  UpdaterCallbacks empty = {nullptr, nullptr, nullptr, nullptr};
  updater.Init("", "/", "", "", &empty);
  updater.Info("nobody %d", 3);
  updater.Status("nobody %d", 4);

  UpdaterCallbacks* table = enginetest::RecordingCallbacks();
  updater.Init("", "/", "", "", table);
  updater.Info("Info version: %d", 2);
  updater.Status("Unpacking %s ...", "bot.bin");
  updater.Status("%s", "");
  EXPECT_EQ(InfoLines(), std::vector<std::string>{"Info version: 2"});
  EXPECT_EQ(StatusLines(), (std::vector<std::string>{"Unpacking bot.bin ...", ""}));
  EXPECT_STREQ(updater.GetLastError(), "") << "messages never set the error";
}

TEST(Updater, InitTwiceStartsOverButKeepsTextAndError) {
  TempDir dir;
  Updater updater;
  updater.Init("http://a/", dir.base().c_str(), "first", "ini-a", nullptr);
  Doc doc;
  doc.groups = Group("core", "defaultgrp=\"1\"");
  doc.files = FileV2("x", "0", "group=\"core\"");
  doc.deletes = "<f file=\"\"/>";
  updater.infoText = doc.Text();
  EXPECT_FALSE(updater.ParseInfo());
  ASSERT_NE(updater.GetFirstFile(), nullptr);
  std::string error = updater.GetLastError();

  UpdaterCallbacks table = {};
  updater.Init("http://b/", "/base/", "second", "ini-b", &table);
  EXPECT_EQ(updater.GetFirstFile(), nullptr);
  EXPECT_EQ(updater.GetFirstGroup(), nullptr);
  EXPECT_EQ(updater.filesTail, nullptr);
  EXPECT_EQ(updater.groupsTail, nullptr);
  EXPECT_EQ(updater.defaultGroup, nullptr);
  EXPECT_EQ(updater.fileCount, 0);
  EXPECT_EQ(updater.pendingCount, 0);
  EXPECT_EQ(updater.header.infoVersion, 0);
  EXPECT_EQ(updater.header.appName, "");
  EXPECT_EQ(updater.GetLastError(), error);
  EXPECT_EQ(updater.infoText, doc.Text());
  EXPECT_EQ(updater.infoUrl, "http://b/");
  EXPECT_EQ(updater.baseDir, "/base/");
  EXPECT_EQ(updater.selfName, "second");
  EXPECT_EQ(updater.iniFile, "ini-b");
  EXPECT_EQ(updater.callbacks, &table);

  updater.Reset();
  EXPECT_EQ(updater.selfName, "second");
  EXPECT_EQ(updater.infoUrl, "");
  EXPECT_EQ(updater.callbacks, nullptr);
}

TEST(Updater, ResetDeletesTheScratchDocument) {
  TempDir dir;
  ChangeDir cd(dir.path());
  ASSERT_TRUE(cd.ok());
  ASSERT_TRUE(WriteFile("updater-info.xml", "<x/>"));
  {
    Updater updater;
    ASSERT_TRUE(Exists(dir / "updater-info.xml"));
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
  updater.infoText.clear();
  updater.SaveInfoFile((dir / "copy.xml").c_str());
  EXPECT_EQ(ReadFile(dir / "copy.xml"), "");
}

TEST(Updater, RecordsAreTrackedUnderTheEngineSource) {
  TempDir dir;
  uint64_t before = MemLeakCount();
  {
    Updater updater;
    updater.Init("", dir.base().c_str(), "", "", nullptr);
    Doc doc;
    doc.groups = Group("a") + Group("b");
    doc.files = FileV2("x", "0") + FileV2("y", "0");
    updater.infoText = doc.Text();
    ASSERT_TRUE(updater.ParseInfo());
    MemLeakRecord* record = MemLeakLookup(updater.GetFirstGroup(), false);
    ASSERT_NE(record, nullptr);
    EXPECT_STREQ(record->file, "libupdater");
    record = MemLeakLookup(updater.GetFirstFile(), false);
    ASSERT_NE(record, nullptr);
    EXPECT_STREQ(record->file, "libupdater");
    EXPECT_GE(MemLeakCount(), before + 4);
  }
  EXPECT_EQ(MemLeakCount(), before) << "Reset frees every record";
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

TEST(Updater, CallbackMayCallBackIntoTheUpdater) {
  TempDir dir;
  Updater updater;
  UpdaterCallbacks table = {nullptr, nullptr, Reenter, Reenter};
  reentered = &updater;
  seen.clear();
  updater.Init("", dir.base().c_str(), "", "", &table);
  Doc doc;
  doc.groups = Group("core");
  doc.files = FileV2("x", "0", "group=\"core\"");
  updater.infoText = doc.Text();
  ASSERT_TRUE(updater.ParseInfo());
  EXPECT_EQ(seen, (std::vector<std::string>{"Info version: 2", "Building file list...", "core",
                                            "status from inside 1"}));
  EXPECT_EQ(updater.GetFirstGroup()->state, Install);
  EXPECT_EQ(updater.pendingCount, 1);
  EXPECT_STREQ(updater.GetLastError(), "set from a callback") << "success leaves old errors";

  // Another thread waits while the lock is held, then gets through.
  bool done = false;
  updater.lock.Lock();
  std::thread other([&] {
    updater.SetError("from another thread");
    done = true;
  });
  EXPECT_STREQ(updater.GetLastError(), "set from a callback");
  updater.lock.Unlock();
  other.join();
  EXPECT_TRUE(done);
  EXPECT_STREQ(updater.GetLastError(), "from another thread");
}
