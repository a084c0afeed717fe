// The Updater object: settings, the last error, callbacks, the document file,
// tracked records and its lock.
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "engine_test_util.h"
#include "memleak.h"
#include "plan.h"
#include "test_support.h"

using enginetest::Doc;
using enginetest::Exists;
using enginetest::FileV2;
using enginetest::Group;
using enginetest::ReadFile;
using enginetest::TempDir;
using enginetest::WriteFile;
using UpdaterObject = enginetest::ParseFixture;

namespace {

// What the text callbacks below do; set by each test.
std::function<void(const char*)> onText;
void CallOnText(const char* text) { onText(text); }

}  // namespace

TEST(Updater, ErrorsAndMessagesWithNullTableAndNullSlots) {
  Updater updater;
  const std::string big(5000, 'e');
  updater.SetError("%s %d", big.c_str(), -5);
  EXPECT_EQ(updater.GetLastError(), big + " -5");
  UpdaterCallbacks empty = {nullptr, nullptr, nullptr, nullptr, nullptr};
  for (UpdaterCallbacks* table : {static_cast<UpdaterCallbacks*>(nullptr), &empty}) {
    updater.Init("", "/", "", "", table);
    updater.Info("nobody %d", 1);
    updater.Status("nobody %d", 2);
  }
  updater.Init("", "/", "", "", enginetest::RecordingCallbacks());
  updater.Info("Info version: %d", 2);
  updater.Status("Unpacking %s ...", "bot.bin");
  EXPECT_EQ(enginetest::InfoLines(), std::vector<std::string>{"Info version: 2"});
  EXPECT_EQ(enginetest::StatusLines(), std::vector<std::string>{"Unpacking bot.bin ..."});
  EXPECT_EQ(updater.GetLastError(), big + " -5") << "messages never set the error";
}

TEST_F(UpdaterObject, InitStartsOverFreesTrackedRecordsKeepsTextAndError) {
  const uint64_t before = MemLeakCount();
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
  const std::string error = Error();
  UpdaterCallbacks table = {};
  updater.Init("http://b/", "/base/", "second", "ini-b", &table);
  EXPECT_EQ(MemLeakCount(), before);
  EXPECT_TRUE(updater.GetFirstFile() == nullptr && updater.GetFirstGroup() == nullptr);
  EXPECT_TRUE(updater.filesTail == nullptr && updater.groupsTail == nullptr);
  EXPECT_EQ(updater.defaultGroup, nullptr);
  EXPECT_EQ(updater.fileCount + updater.pendingCount + updater.header.infoVersion, 0);
  EXPECT_EQ(Error(), error);
  EXPECT_EQ(updater.infoText, doc.Text());
  EXPECT_EQ(updater.baseDir + updater.iniFile, "/base/ini-b");
}

TEST(Updater, ResetAndDestructorDeleteTheScratchDocument) {
  TempDir dir;
  enginetest::ChangeDir cd(dir.path());
  ASSERT_TRUE(cd.ok());
  ASSERT_TRUE(WriteFile("updater-info.xml", "<x/>"));
  {
    Updater updater;
    updater.Init("", "/", "", "", enginetest::RecordingCallbacks());
    updater.Reset();
    updater.Status("after the reset");  // the table is gone with the rest
    EXPECT_TRUE(enginetest::StatusLines().empty());
    EXPECT_FALSE(Exists(dir / "updater-info.xml"));
    ASSERT_TRUE(WriteFile("updater-info.xml", "<x/>"));
  }
  EXPECT_FALSE(Exists(dir / "updater-info.xml"));
}

TEST(Updater, LoadAndSaveInfoFile) {
  TempDir dir;
  Updater updater;
  ASSERT_TRUE(WriteFile(dir / "empty.xml", ""));
  const std::string failures[][2] = {
      {dir / "missing.xml", "Error opening " + (dir / "missing.xml") + "!"},
      {dir / "empty.xml", "Error reading " + (dir / "empty.xml") + "!"},
      {dir.path(), "Error reading " + dir.path() + "!"},  // a directory
  };
  for (const auto& f : failures) {
    EXPECT_FALSE(updater.LoadInfoFile(f[0].c_str()));
    EXPECT_EQ(updater.GetLastError(), f[1]);
  }
  const std::string text = "<update_info version=\"2\">\r\n\xC3\xA9</update_info>\n";
  ASSERT_TRUE(WriteFile(dir / "doc.xml", text + std::string(1, '\0') + "after zero"));
  ASSERT_TRUE(updater.LoadInfoFile((dir / "doc.xml").c_str()));
  EXPECT_EQ(updater.infoText, text) << "cut at the zero byte";
  updater.SaveInfoFile((dir / "copy.xml").c_str());
  EXPECT_EQ(ReadFile(dir / "copy.xml"), text);
  updater.SaveInfoFile((dir / "no/such/dir.xml").c_str());  // reports nothing
}

TEST_F(UpdaterObject, CallbackMayCallBackIntoTheUpdater) {
  std::vector<std::string> seen;
  onText = [&](const char* text) {
    seen.push_back(text);
    if (std::string(text) != "Building file list...") return;
    UpdateGroup* group = updater.FindGroup("CORE");
    seen.push_back(group != nullptr ? group->name : "<none>");
    updater.SetGroupState(group, Install);
    updater.Status("status from inside %d", 1);
    updater.SetError("set from a callback");
  };
  UpdaterCallbacks table = {nullptr, nullptr, CallOnText, CallOnText, nullptr};
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

// While an operation runs, holding the Updater's lock (callbacks included), a
// call from another thread waits: the lock is let go once the other thread
// has either finished the call or fallen asleep in it. The calls take paths
// that take no other lock of the Updater's.
TEST(Updater, CallFromAnotherThreadWaitsForTheRunningOperation) {
  TempDir dir;
  ASSERT_TRUE(WriteFile(dir / "doc.xml", "<x/>"));
  static UpdateFile file;
  static UpdatePlan plan;
  static char joined[1024];
  const struct {
    const char* name;
    std::function<void(Updater&)> call;
  } calls[] = {
      {"SetError", [](Updater& u) { u.SetError("from the other thread"); }},
      {"GetLastError", [](Updater& u) { u.GetLastError(); }},
      {"Info", [](Updater& u) { u.Info("from the other thread"); }},
      {"Status", [](Updater& u) { u.Status("from the other thread"); }},
      {"Reset", [](Updater& u) { u.Reset(); }},
      {"SetGroupState", [](Updater& u) { u.SetGroupState(nullptr, Install); }},
      {"HasWork", [](Updater& u) { u.HasWork(); }},
      {"FindGroup", [](Updater& u) { u.FindGroup("core"); }},
      {"GetFirstFile", [](Updater& u) { u.GetFirstFile(); }},
      {"GetFirstGroup", [](Updater& u) { u.GetFirstGroup(); }},
      {"IsToInstall", [](Updater& u) { u.IsToInstall(&file); }},
      {"IsMarkedForDeletion", [](Updater& u) { u.IsMarkedForDeletion(&file); }},
      {"LoadInfoFile", [&dir](Updater& u) { u.LoadInfoFile((dir / "doc.xml").c_str()); }},
      {"SaveInfoFile", [&dir](Updater& u) { u.SaveInfoFile((dir / "copy.xml").c_str()); }},
      {"JoinBase", [](Updater& u) { u.JoinBase(joined, "x"); }},
      {"LockBaseDir", [](Updater& u) { u.LockBaseDir(); }},
      {"SaveState", [](Updater& u) { u.SaveState(); }},
      {"MakeDirs", [&dir](Updater& u) { u.MakeDirs((dir / "made").c_str()); }},
      {"SetDryRun", [](Updater& u) { u.SetDryRun(true); }},
      {"PlanUpdate", [](Updater& u) { u.PlanUpdate(&plan); }},
      {"AddTrustedKey", [](Updater& u) { u.AddTrustedKey(TrustKey()); }},
      {"SetTransferSettings", [](Updater& u) { u.SetTransferSettings(TransferSettings()); }},
  };
  for (const auto& c : calls) {
    SCOPED_TRACE(c.name);
    Updater updater;
    updater.Init("", dir.base().c_str(), "", "", nullptr);
    std::atomic<pid_t> tid{0};
    std::atomic<bool> returned{false};
    std::thread other;
    {
      ScopedLock running(updater.lock);  // as every operation holds it
      other = std::thread([&] {
        tid = gettid();
        c.call(updater);
        returned = true;
      });
      testsupport::WaitFor(
          [&] { return returned || (tid != 0 && testsupport::ThreadAsleep(tid)); });
      EXPECT_FALSE(returned);
    }
    other.join();
  }
}
