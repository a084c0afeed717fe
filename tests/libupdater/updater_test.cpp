// The Updater's lock against other threads, and LockBaseDir.
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "engine_test_util.h"
#include "test_support.h"

// A call from another thread waits while an operation holds the lock, which
// is let go once that thread has finished the call or fallen asleep in it.
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

// A missing base directory is made and locked against a second updater.
TEST(Updater, LockBaseDirMakesTheBaseAndKeepsASecondUpdaterOut) {
  enginetest::TempDir dir;
  const std::string base = dir / "new/base/";
  Updater first, second;
  first.Init("", base.c_str(), "", "", nullptr);
  second.Init("", base.c_str(), "", "", nullptr);
  ASSERT_TRUE(first.LockBaseDir()) << first.GetLastError();
  EXPECT_FALSE(second.LockBaseDir());
  EXPECT_EQ(std::string(second.GetLastError()), "Another update is already running in " + base);
}
