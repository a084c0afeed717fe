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
  const pthread_t mainThread = pthread_self();
  {
    ScopedLock outer(m);
    ScopedLock inner(&m);
    EXPECT_EQ(Stdout([&] { m.Lock(); }), "");  // recursive: no error
    m.Unlock();
    EXPECT_EQ(m.GetDepth(), 2);
    EXPECT_TRUE(m.IsLockedByMe());
    std::thread([&] {  // still held twice after one unlock
      EXPECT_FALSE(m.IsLockedByMe());
      EXPECT_TRUE(pthread_equal(m.GetOwner(), mainThread));
      EXPECT_FALSE(m.TryLock(0));
      EXPECT_FALSE(m.TryLock(250));
    })
        .join();
  }
  EXPECT_EQ(m.GetDepth(), 0);
  EXPECT_EQ(m.GetOwner(), pthread_t());
  EXPECT_FALSE(m.IsLockedByMe());

  // A thread waiting in TryLock gets the lock when the holder lets go while
  // it sleeps between its attempts.
  m.Lock();
  std::atomic<pid_t> tid{0};
  std::thread other([&] {
    tid = gettid();
    EXPECT_TRUE(m.TryLock(5000));
    EXPECT_TRUE(pthread_equal(m.GetOwner(), pthread_self()));
    EXPECT_EQ(m.GetDepth(), 1);
    m.Unlock();
  });
  EXPECT_TRUE(WaitFor([&] { return tid != 0 && testsupport::ThreadAsleep(tid); }));
  m.Unlock();
  other.join();

  // An unlock by a thread that does not hold the lock is reported and
  // leaves the holder's count alone.
  m.Lock();
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

TEST(ThreadRegistry, CountsListsCancelsAndRemoves) {
  ASSERT_EQ(CountThreads(), 0);
  const std::string longName(300, 'n');
  const struct {
    const char* name;
    uint32_t id;
  } threads[] = {{"alpha", 7}, {longName.c_str(), 7}, {"gamma", 9}, {nullptr, 11}};
  for (const auto& t : threads) {
    ASSERT_NE(CreateThread(WaitThenRemove, nullptr, t.name, t.id), nullptr);
  }
  ThreadRecord* sleeper = CreateThread(SleepForever, nullptr, "sleeper", 3);
  ASSERT_NE(sleeper, nullptr);
  EXPECT_EQ(CountThreads(), 5);
  EXPECT_EQ(CountThreadsByID(7), 2);
  EXPECT_EQ(Stdout([] {
              PrintThreadsByID(9);
              PrintThreadsByID(11);
              PrintThreadsByID(1);
            }),
            "Running threads: [gamma]\nRunning threads: []\nRunning threads:\n");
  const std::string all = Stdout([] { PrintThreads(); });
  const std::string kept = " [" + longName.substr(0, 255) + "]";
  EXPECT_EQ(all.size(),
            std::string("Running threads: [alpha] [gamma] [] [sleeper]\n").size() + kept.size());
  EXPECT_NE(all.find(kept), std::string::npos);

  EXPECT_TRUE(CancelThread(sleeper));
  EXPECT_FALSE(CancelThread(sleeper));  // no longer registered
  EXPECT_TRUE(WaitFor([&] { return started == 4; }));
  release = true;
  EXPECT_TRUE(WaitFor([] { return CountThreads() == 0; }));
  std::atomic<bool> ran{false};
  ASSERT_TRUE(StartThread(SetFlag, &ran));  // runs, unregistered
  EXPECT_TRUE(WaitFor([&] { return ran.load(); }));
  EXPECT_EQ(CountThreads(), 0);
}
