// Shared inside the socket layer only: the process-wide TLS-context lock, the
// SIGPIPE guard of the TLS paths, time values and the descriptor-set limit
// check.
#ifndef UPDATER_SRC_SOCKETS3_INTERNAL_H_
#define UPDATER_SRC_SOCKETS3_INTERNAL_H_

#include <signal.h>
#include <sys/select.h>
#include <sys/time.h>

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

#endif  // UPDATER_SRC_SOCKETS3_INTERNAL_H_
