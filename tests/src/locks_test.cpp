#include "locks.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "test_support.h"

using testsupport::WaitFor;

// Held until the last of its unlocks; a second thread waits for it meanwhile.
TEST(RecursiveMutex, HeldUntilTheLastUnlockWhileAnotherWaits) {
  RecursiveMutex m;
  m.Lock();
  {
    ScopedLock outer(m);
    ScopedLock inner(&m);
    EXPECT_EQ(m.GetDepth(), 3);
  }
  std::atomic<pid_t> tid{0};
  std::thread other([&] {
    EXPECT_FALSE(m.TryLock(0));
    tid = gettid();
    ScopedLock lock(m);
    EXPECT_TRUE(pthread_equal(m.GetOwner(), pthread_self()));
    EXPECT_EQ(m.GetDepth(), 1);
  });
  EXPECT_TRUE(WaitFor([&] { return tid != 0 && testsupport::ThreadAsleep(tid); }));
  m.Unlock();
  other.join();
  EXPECT_EQ(m.GetDepth(), 0);
}
