// Shared inside the socket layer only: the process-wide TLS-context lock, the
// SIGPIPE guard of the TLS paths, time values, the descriptor-set limit
// check, and the bounded waits of the TLS paths.
#ifndef UPDATER_SRC_SOCKETS3_INTERNAL_H_
#define UPDATER_SRC_SOCKETS3_INTERNAL_H_

#include <signal.h>
#include <sys/select.h>
#include <sys/time.h>
#include <time.h>

#include <cstdint>

#include "locks.h"

// Held while a TLS context is made or freed; made on first use.
RecursiveMutex& SocketsTlsLock();

// OpenSSL writes to the socket with write(), which raises SIGPIPE when the
// peer has gone. While a guard lives the signal is blocked for the calling
// thread; one it raised is taken off the thread again before the old mask
// returns, so the host program never sees it. errno is kept.
class SigpipeGuard {
 public:
  SigpipeGuard();
  ~SigpipeGuard();
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  sigset_t oldMask;
  bool blocked;
  bool wasPending;
};

// A time value of milliseconds / 1000 seconds and the rest in microseconds.
inline timeval MillisecondsToTime(uint32_t milliseconds) {
  timeval time;
  time.tv_sec = milliseconds / 1000;
  time.tv_usec = (milliseconds % 1000) * 1000;
  return time;
}

// True when `fd` can be put in an fd_set.
inline bool DescriptorFitsSet(int fd) { return fd >= 0 && fd < FD_SETSIZE; }

// Microseconds on a clock that no setting of the date moves.
inline int64_t MonotonicMicros() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// Waits (poll) until `fd` is readable, or writable with `write`, or the
// monotonic `deadline` has passed: poll's result (0 when the time is up).
int WaitForDescriptor(int fd, bool write, int64_t deadline);

// Switches a descriptor to non-blocking for the life of the object; the mode
// it had comes back afterwards. errno is kept.
class NonBlockingScope {
 public:
  explicit NonBlockingScope(int fd);
  ~NonBlockingScope();
  NonBlockingScope(const NonBlockingScope&) = delete;
  NonBlockingScope& operator=(const NonBlockingScope&) = delete;

 private:
  int fd;
  int oldFlags;  // -1 when nothing was changed
};

// The shared contexts of verified client handshakes are freed with the
// library's teardown (sessions made from them keep theirs).
void FreeVerifyingContexts();

#endif  // UPDATER_SRC_SOCKETS3_INTERNAL_H_
