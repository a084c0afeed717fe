#include "locks.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// strerror_r comes in two flavours; either way the text ends up in `buffer`
// or is returned.
[[maybe_unused]] const char* PickErrorText(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* PickErrorText(const char* result, const char*) { return result; }

void ReportError(const char* what, const RecursiveMutex* owner, const pthread_mutex_t* mutex,
                 int error) {
  char buffer[128] = "";
  const char* text = PickErrorText(strerror_r(error, buffer, sizeof(buffer)), buffer);
  printf("Error %s mutex! (%p, %p, %s)\n", what, static_cast<const void*>(owner),
         static_cast<const void*>(mutex), text);
  fflush(stdout);
}

}  // namespace

RecursiveMutex::RecursiveMutex() : owner(), depth(0) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
}

RecursiveMutex::~RecursiveMutex() { pthread_mutex_destroy(&mutex); }

void RecursiveMutex::Lock() {
  int error = pthread_mutex_lock(&mutex);
  if (error != 0) ReportError("locking", this, &mutex, error);
  owner = pthread_self();
  depth = (depth >= 0 && depth < INT32_MAX) ? depth + 1 : 1;
}

bool RecursiveMutex::TryLock(uint32_t timeoutMs) {
  int64_t remaining = timeoutMs;
  while (pthread_mutex_trylock(&mutex) != 0) {
    if (remaining < 1) return false;
    remaining -= 100;
    Sleep(100);
  }
  owner = pthread_self();
  depth = (depth >= 0 && depth < INT32_MAX) ? depth + 1 : 1;
  return true;
}

void RecursiveMutex::Unlock() {
  // Only the holder may touch owner and depth; an unlock from any other
  // thread is refused by the mutex itself and reported below.
  if (IsLockedByMe()) {
    depth--;
    if (depth < 1) {
      depth = 0;
      owner = pthread_t();
    }
  }
  int error = pthread_mutex_unlock(&mutex);
  if (error != 0) ReportError("unlocking", this, &mutex, error);
}

pthread_t RecursiveMutex::GetOwner() const { return owner; }

bool RecursiveMutex::IsLockedByMe() const {
  return depth >= 1 && pthread_equal(owner, pthread_self()) != 0;
}

ScopedLock::ScopedLock(RecursiveMutex* mutex) : mutex(mutex) {
  if (mutex != nullptr) mutex->Lock();
}

ScopedLock::~ScopedLock() {
  if (mutex != nullptr) mutex->Unlock();
}

void Sleep(uint32_t amount, bool milliseconds) {
  struct timespec wanted;
  if (milliseconds) {
    wanted.tv_sec = amount / 1000;
    wanted.tv_nsec = static_cast<long>(amount % 1000) * 1000000L;
  } else {
    wanted.tv_sec = amount;
    wanted.tv_nsec = 0;
  }
  struct timespec left;
  while (nanosleep(&wanted, &left) != 0 && errno == EINTR) wanted = left;
}
