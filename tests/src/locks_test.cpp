#include "locks.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "threads.h"

namespace {

using Clock = std::chrono::steady_clock;

long MillisecondsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Waits up to five seconds for `done` to hold.
template <typename Condition>
bool WaitFor(Condition done) {
  for (int i = 0; i < 500; i++) {
    if (done()) return true;
    Sleep(10);
  }
  return done();
}

std::string Captured() {
  fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(RecursiveMutex, CountsDepthAndOwner) {
  RecursiveMutex m;
  EXPECT_FALSE(m.IsLockedByMe());
  m.Lock();
  m.Lock();
  m.Lock();
  EXPECT_EQ(m.GetDepth(), 3);
  EXPECT_TRUE(pthread_equal(m.GetOwner(), pthread_self()));
  m.Unlock();
  m.Unlock();
  EXPECT_EQ(m.GetDepth(), 1);
  EXPECT_TRUE(m.IsLockedByMe());
  EXPECT_TRUE(pthread_equal(m.GetOwner(), pthread_self()));
  m.Unlock();
  EXPECT_EQ(m.GetDepth(), 0);
  EXPECT_EQ(m.GetOwner(), pthread_t());
  EXPECT_FALSE(m.IsLockedByMe());

  {
    ScopedLock outer(m);
    ScopedLock inner(&m);
    EXPECT_EQ(m.GetDepth(), 2);
  }
  EXPECT_EQ(m.GetDepth(), 0);
}

TEST(RecursiveMutex, OtherThreadsSeeTheOwnerAndWait) {
  RecursiveMutex m;
  m.Lock();
  pthread_t mainThread = pthread_self();
  bool lockedByMe = true, ownerIsMain = false, immediate = true, timedOut = true;
  long waited = 0;
  std::thread other([&] {
    lockedByMe = m.IsLockedByMe();
    ownerIsMain = pthread_equal(m.GetOwner(), mainThread) != 0;
    immediate = m.TryLock(0);
    Clock::time_point start = Clock::now();
    timedOut = !m.TryLock(250);
    waited = MillisecondsSince(start);
  });
  other.join();
  EXPECT_FALSE(lockedByMe);
  EXPECT_TRUE(ownerIsMain);
  EXPECT_FALSE(immediate);
  EXPECT_TRUE(timedOut);
  EXPECT_GE(waited, 250);  // four attempts, three pauses of 100 ms

  // The holder lets go while the other thread is still polling.
  std::atomic<bool> polling{false};
  bool got = false, ownerIsOther = false;
  int depth = 0;
  std::thread waiter([&] {
    polling = true;
    got = m.TryLock(5000);
    ownerIsOther = pthread_equal(m.GetOwner(), pthread_self()) != 0 && m.IsLockedByMe();
    depth = m.GetDepth();
    if (got) m.Unlock();
  });
  ASSERT_TRUE(WaitFor([&] { return polling.load(); }));
  Sleep(150);
  EXPECT_TRUE(m.IsLockedByMe());
  m.Unlock();
  waiter.join();
  EXPECT_TRUE(got);
  EXPECT_TRUE(ownerIsOther);
  EXPECT_EQ(depth, 1);
  EXPECT_FALSE(m.IsLockedByMe());
  EXPECT_TRUE(m.TryLock(0));
  m.Unlock();
}

TEST(RecursiveMutex, UnlockByAnotherThreadIsReported) {
  RecursiveMutex m;
  m.Lock();
  std::string output;
  std::thread other([&] {
    testing::internal::CaptureStdout();
    m.Unlock();
    output = Captured();
  });
  other.join();
  // "(mutex object, its POSIX mutex, error text)"
  char head[64];
  snprintf(head, sizeof(head), "Error unlocking mutex! (%p, ", static_cast<void*>(&m));
  std::string tail = std::string(", ") + strerror(EPERM) + ")\n";
  EXPECT_EQ(output.compare(0, strlen(head), head), 0) << output;
  ASSERT_GT(output.size(), tail.size());
  EXPECT_EQ(output.substr(output.size() - tail.size()), tail);
  EXPECT_EQ(m.GetDepth(), 1);  // the holder's count is untouched
  m.Unlock();
}

TEST(Sleep, MillisecondsAndSeconds) {
  Clock::time_point start = Clock::now();
  Sleep(30);
  EXPECT_GE(MillisecondsSince(start), 30);
  Sleep(0, false);
}

namespace {

struct Worker {
  std::atomic<bool> release{false};
  std::atomic<int> seenId{-1};
};

void* WaitThenRemove(void* arg) {
  ThreadRecord* record = static_cast<ThreadRecord*>(arg);
  Worker* worker = static_cast<Worker*>(record->argument);
  worker->seenId = static_cast<int>(record->id);
  for (int i = 0; i < 1000 && !worker->release; i++) Sleep(5);
  record->remove(record);
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
  testing::internal::CaptureStdout();
  PrintThreads();
  EXPECT_EQ(Captured(), "Running threads:\n");

  Worker worker;
  std::string longName(300, 'n');
  ThreadRecord* alpha = CreateThread(WaitThenRemove, &worker, "alpha", 7);
  ASSERT_NE(alpha, nullptr);
  EXPECT_EQ(alpha->argument, &worker);
  ASSERT_NE(CreateThread(WaitThenRemove, &worker, longName.c_str(), 7), nullptr);
  ASSERT_NE(CreateThread(WaitThenRemove, &worker, "gamma", 9), nullptr);
  ASSERT_NE(CreateThread(WaitThenRemove, &worker, nullptr, 11), nullptr);
  EXPECT_EQ(CountThreads(), 4);
  EXPECT_EQ(CountThreadsByID(7), 2);
  EXPECT_EQ(CountThreadsByID(9), 1);
  EXPECT_EQ(CountThreadsByID(1), 0);

  testing::internal::CaptureStdout();
  PrintThreadsByID(9);
  PrintThreadsByID(11);
  PrintThreadsByID(1);
  EXPECT_EQ(Captured(), "Running threads: [gamma]\nRunning threads: []\nRunning threads:\n");

  testing::internal::CaptureStdout();
  PrintThreads();
  std::string all = Captured();
  std::string kept = " [" + longName.substr(0, 255) + "]";
  EXPECT_EQ(all.size(), std::string("Running threads: [alpha] [gamma] []\n").size() + kept.size());
  EXPECT_NE(all.find(" [alpha]"), std::string::npos);
  EXPECT_NE(all.find(kept), std::string::npos);

  EXPECT_TRUE(WaitFor([&] { return worker.seenId >= 0; }));
  worker.release = true;
  EXPECT_TRUE(WaitFor([] { return CountThreads() == 0; }));
  EXPECT_EQ(CountThreadsByID(7), 0);
}

TEST(ThreadRegistry, CancelAndUnregisteredThreads) {
  ThreadRecord* record = CreateThread(SleepForever, nullptr, "sleeper", 3);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(CountThreads(), 1);
  EXPECT_TRUE(CancelThread(record));
  EXPECT_EQ(CountThreads(), 0);

  std::atomic<bool> ran{false};
  ASSERT_TRUE(StartThread(SetFlag, &ran));
  EXPECT_TRUE(WaitFor([&] { return ran.load(); }));
  EXPECT_EQ(CountThreads(), 0);
}
