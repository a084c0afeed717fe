// The Updater object: the last error, callbacks, the document file and its
// lock.
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "engine_test_util.h"
#include "test_support.h"

using enginetest::ReadFile;
using enginetest::TempDir;
using enginetest::WriteFile;

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

TEST(Updater, LoadsAndSavesTheDocumentUpToAZeroByte) {
  TempDir dir;
  Updater updater;
  const std::string text = "<update_info version=\"2\">\r\n\xC3\xA9</update_info>\n";
  ASSERT_TRUE(WriteFile(dir / "doc.xml", text + std::string(1, '\0') + "after zero"));
  ASSERT_TRUE(updater.LoadInfoFile((dir / "doc.xml").c_str()));
  updater.SaveInfoFile((dir / "copy.xml").c_str());
  EXPECT_EQ(ReadFile(dir / "copy.xml"), text);
}

// While an operation holds the Updater's lock, a call from another thread
// waits: the lock is let go once the other thread has either finished the
// call or fallen asleep in it.
TEST(Updater, CallFromAnotherThreadWaitsForTheRunningOperation) {
  Updater updater;
  updater.Init("", "/", "", "", nullptr);
  std::atomic<pid_t> tid{0};
  std::atomic<bool> returned{false};
  std::thread other;
  {
    ScopedLock running(updater.lock);  // as every operation holds it
    other = std::thread([&] {
      tid = gettid();
      updater.GetLastError();
      returned = true;
    });
    testsupport::WaitFor([&] { return returned || (tid != 0 && testsupport::ThreadAsleep(tid)); });
    EXPECT_FALSE(returned);
  }
  other.join();
}
