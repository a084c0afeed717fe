// The one lock type of the system: a recursive mutex that records its owner
// thread and recursion depth, a scoped lock over it, and Sleep.
//
// A failing lock or unlock prints "Error locking mutex! (%p, %p, %s)\n" (or
// "Error unlocking ...") and the operation goes on as if it had succeeded.
// owner and depth are written only by the thread holding the mutex.
#ifndef UPDATER_SRC_LOCKS_H_
#define UPDATER_SRC_LOCKS_H_

#include <pthread.h>

#include <cstdint>

class RecursiveMutex {
 public:
  RecursiveMutex();
  ~RecursiveMutex();
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;

  void Lock();
  // Tries to lock; while that fails and time remains, sleeps 100 ms and tries
  // again. TryLock(0) makes one attempt, TryLock(250) four.
  bool TryLock(uint32_t timeoutMs);
  void Unlock();
  // The owner field; meaningful while the mutex is held.
  pthread_t GetOwner() const;
  // True when the calling thread holds the mutex.
  bool IsLockedByMe() const;
  int32_t GetDepth() const { return depth; }

 private:
  pthread_t owner;
  int32_t depth;
  pthread_mutex_t mutex;
};

// Holds a RecursiveMutex for the lifetime of a scope.
class ScopedLock {
 public:
  explicit ScopedLock(RecursiveMutex* mutex);
  explicit ScopedLock(RecursiveMutex& mutex) : ScopedLock(&mutex) {}
  ~ScopedLock();
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  RecursiveMutex* mutex;
};

// Sleeps `amount` milliseconds when `milliseconds` is true, else seconds.
void Sleep(uint32_t amount, bool milliseconds = true);

#endif  // UPDATER_SRC_LOCKS_H_
