// Helpers of the fuzz targets: a temporary directory, the scope of one input,
// and loopback plumbing whose connect() stays on the target's own listeners.
// One thread per descriptor; the allowed ports are set before they start.
#ifndef UPDATER_TESTS_FUZZ_FUZZ_UTIL_H_
#define UPDATER_TESTS_FUZZ_FUZZ_UTIL_H_

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "cli/e2e_fixture.h"
#include "download_nocurl.h"
#include "loopback_port.h"
#include "memleak.h"
#include "sockets3.h"
#include "streams.h"

namespace fuzz {

inline std::atomic<uint16_t> allowedPorts[2];

[[noreturn]] inline void Die(const char* what) {
  perror(what);
  abort();
}

// Removed at a normal exit; on tmpfs when there is one, where fsync is free.
inline const std::string& Dir() {
  static const e2e::TempDir dir(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
  if (dir.path().empty()) Die("mkdtemp");
  return dir.path();
}

// One input runs inside Dir(), where the engine leaves its scratch file, and
// aborts when it leaves a tracked block (which LeakSanitizer cannot see).
// The TLS library stays set up rather than set up and torn down each time.
class InputScope {
 public:
  InputScope() {
    static Velmar_Sockets3* keeper = new Velmar_Sockets3();
    (void)keeper;
    if (getcwd(old_, sizeof(old_)) == nullptr || chdir(Dir().c_str()) != 0) Die("chdir");
  }
  ~InputScope() {
    if (MemLeakCount() != before_) {
      fprintf(stderr, "tracked blocks leaked\n");
      MemLeakExit(stderr);
      abort();
    }
    if (chdir(old_) != 0) Die("chdir back");
  }

 private:
  char old_[4096];
  uint64_t before_ = MemLeakCount();
};

// The next connection within `waitMs`, or -1; without Nagle's delay.
inline int Accept(int listener, int waitMs) {
  pollfd p = {listener, POLLIN, 0};
  if (poll(&p, 1, waitMs) <= 0) return -1;
  int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC), on = 1;
  if (fd >= 0) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  return fd;
}

// Closes the connections an earlier input left waiting on `listener`.
inline void Drain(int listener) {
  for (int i = 0, fd; i < 64 && (fd = Accept(listener, 0)) >= 0; i++) close(fd);
}

// While corked, a last reply and the close leave together.
inline void Cork(int fd, int on) { setsockopt(fd, IPPROTO_TCP, TCP_CORK, &on, sizeof(on)); }

inline void SendAll(int fd, const std::string& data) {
  pollfd p = {fd, POLLOUT, 0};
  for (ssize_t n = 0, at = 0; at < static_cast<ssize_t>(data.size()) && poll(&p, 1, 1000) > 0;
       at += n) {
    if ((n = send(fd, &data[at], data.size() - at, MSG_NOSIGNAL)) <= 0) return;
  }
}

// One line through LF (at most 4096 bytes), each byte within `waitMs`.
inline bool ReadLine(int fd, std::string* line, int waitMs) {
  line->clear();
  for (char c = 0; line->size() < 4096 && c != '\n'; line->push_back(c)) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, waitMs) <= 0 || recv(fd, &c, 1, 0) != 1) return false;
  }
  return !line->empty() && line->back() == '\n';
}

// Closes our side, drops what the peer sends until it closes too, closes.
inline void Finish(int fd) {
  char buffer[4096];
  pollfd p = {fd, POLLIN, 0};
  shutdown(fd, SHUT_WR);
  for (int i = 0; i < 1024 && poll(&p, 1, 2000) > 0 && recv(fd, buffer, sizeof(buffer), 0) > 0;
       i++) {
  }
  close(fd);
}

// Downloads with `dl` into memory while `serve` plays the server on a thread;
// how many bytes it stored. Call within an InputScope.
template <typename Serve>
int64_t Fetch(VelmarDownloadNoCurl* dl, Serve serve) {
  std::thread server(serve);
  dl->SetTimeout(300);
  DataStream* target = stream_new_memory(1 << 16);
  if (target == nullptr) abort();
  dl->DownloadToStream(target);
  const int64_t end = static_cast<MemoryBlock*>(target->handle)->position;
  target->close(target);
  server.join();
  return end;
}

}  // namespace fuzz

// Every connect of a fuzz binary: only 127.0.0.1 at an allowed port.
extern "C" int connect(int fd, const sockaddr* addr, socklen_t length) {
  sockaddr_in in = {};
  if (addr != nullptr && addr->sa_family == AF_INET && length >= sizeof(in))
    memcpy(&in, addr, sizeof(in));
  const uint16_t port = ntohs(in.sin_port);
  if (in.sin_addr.s_addr != htonl(INADDR_LOOPBACK) || port == 0 ||
      (port != fuzz::allowedPorts[0] && port != fuzz::allowedPorts[1])) {
    errno = ECONNREFUSED;
    return -1;
  }
  return static_cast<int>(syscall(SYS_connect, fd, addr, length));
}

#endif  // UPDATER_TESTS_FUZZ_FUZZ_UTIL_H_
