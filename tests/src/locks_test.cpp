#include "locks.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "test_support.h"
#include "threads.h"

using testsupport::Stdout;
using testsupport::WaitFor;

TEST(RecursiveMutex, OwnerDepthAndWaitingThreads) {
  RecursiveMutex m;
  {
    ScopedLock outer(m);
    ScopedLock inner(&m);
    EXPECT_EQ(Stdout([&] { m.Lock(); }), "");  // recursive: no error
    m.Unlock();
    EXPECT_EQ(m.GetDepth(), 2);
    bool taken = true;
    std::thread([&] {
      taken = m.TryLock(0);
      if (taken) m.Unlock();
    }).join();
    EXPECT_FALSE(taken) << "still held twice";
    EXPECT_TRUE(m.IsLockedByMe());
    EXPECT_TRUE(pthread_equal(m.GetOwner(), pthread_self()));
  }
  EXPECT_EQ(m.GetDepth(), 0);
  EXPECT_EQ(m.GetOwner(), pthread_t());
  EXPECT_FALSE(m.IsLockedByMe());

  // Another thread sees the owner and times out; then it gets the lock once
  // the holder lets go while it is still trying.
  m.Lock();
  const pthread_t mainThread = pthread_self();
  bool lockedByMe = true, ownerIsMain = false, immediate = true, timedOut = false;
  bool got = false, ownerIsOther = false;
  std::atomic<bool> trying{false};
  std::atomic<pid_t> tid{0};
  std::thread other([&] {
    tid = gettid();
    lockedByMe = m.IsLockedByMe();
    ownerIsMain = pthread_equal(m.GetOwner(), mainThread) != 0;
    immediate = m.TryLock(0);
    timedOut = !m.TryLock(250);
    trying = true;
    got = m.TryLock(5000);
    ownerIsOther = pthread_equal(m.GetOwner(), pthread_self()) && m.GetDepth() == 1;
    if (got) m.Unlock();
  });
  // Let go while the other thread sleeps between its attempts.
  ASSERT_TRUE(WaitFor([&] { return trying && testsupport::ThreadAsleep(tid); }));
  m.Unlock();
  other.join();
  EXPECT_FALSE(lockedByMe);
  EXPECT_TRUE(ownerIsMain);
  EXPECT_FALSE(immediate);
  EXPECT_TRUE(timedOut);
  EXPECT_TRUE(got);
  EXPECT_TRUE(ownerIsOther);

  // An unlock by a thread that does not hold the lock is reported and
  // leaves the holder's count alone.
  EXPECT_TRUE(m.TryLock(0));
  std::string output;
  std::thread([&] { output = Stdout([&] { m.Unlock(); }); }).join();
  EXPECT_EQ(output.find("Error unlocking mutex! ("), 0u) << output;
  EXPECT_EQ(m.GetDepth(), 1);
  m.Unlock();
}

namespace {

std::atomic<bool> release{false};
std::atomic<int> started{0};

// A registered worker: runs until released (at most 5 s), then removes itself.
void* WaitThenRemove(void* arg) {
  ++started;
  for (int i = 0; i < 1000 && !release; i++) Sleep(5);
  static_cast<ThreadRecord*>(arg)->remove(static_cast<ThreadRecord*>(arg));
  return nullptr;
}

// Blocks in a cancellation point with no frame of our own below it, so the
// forced unwinding of the cancel leaves no stale stack state behind.
void* SleepForever(void*) {
  for (;;) pause();
  return nullptr;
}

void* SetFlag(void* arg) {
  static_cast<std::atomic<bool>*>(arg)->store(true);
  return nullptr;
}

}  // namespace

TEST(ThreadRegistry, CountsListsAndRemoves) {
  ASSERT_EQ(CountThreads(), 0);
  EXPECT_EQ(Stdout([] { PrintThreads(); }), "Running threads:\n");
  const std::string longName(300, 'n');
  const struct {
    const char* name;
    uint32_t id;
  } threads[] = {{"alpha", 7}, {longName.c_str(), 7}, {"gamma", 9}, {nullptr, 11}};
  for (const auto& t : threads)
    ASSERT_NE(CreateThread(WaitThenRemove, nullptr, t.name, t.id), nullptr);
  EXPECT_EQ(CountThreads(), 4);
  EXPECT_EQ(CountThreadsByID(7), 2);
  EXPECT_EQ(CountThreadsByID(9), 1);
  EXPECT_EQ(CountThreadsByID(1), 0);
  EXPECT_EQ(Stdout([] {
              PrintThreadsByID(9);
              PrintThreadsByID(11);
              PrintThreadsByID(1);
            }),
            "Running threads: [gamma]\nRunning threads: []\nRunning threads:\n");
  const std::string all = Stdout([] { PrintThreads(); });
  const std::string kept = " [" + longName.substr(0, 255) + "]";
  EXPECT_EQ(all.size(), std::string("Running threads: [alpha] [gamma] []\n").size() + kept.size());
  EXPECT_NE(all.find(" [alpha]"), std::string::npos);
  EXPECT_NE(all.find(kept), std::string::npos);

  EXPECT_TRUE(WaitFor([&] { return started == 4; }));
  release = true;
  EXPECT_TRUE(WaitFor([] { return CountThreads() == 0; }));
}

TEST(ThreadRegistry, CancelAndUnregisteredThreads) {
  ThreadRecord* record = CreateThread(SleepForever, nullptr, "sleeper", 3);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(CountThreads(), 1);
  EXPECT_TRUE(CancelThread(record));
  EXPECT_FALSE(CancelThread(record));  // no longer registered
  std::atomic<bool> ran{false};
  ASSERT_TRUE(StartThread(SetFlag, &ran));
  EXPECT_TRUE(WaitFor([&] { return ran.load(); }));
  EXPECT_EQ(CountThreads(), 0);
}
