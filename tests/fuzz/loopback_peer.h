// Loopback plumbing for the downloader's fuzz targets: a listener on
// 127.0.0.1, bounded accepts, reads and writes, and a connect() that keeps
// the whole fuzz binary on the listeners' ports, since fuzzed replies name
// addresses (an FTP passive reply does). One thread per descriptor; the
// allowed ports are set before the threads start.
#ifndef UPDATER_TESTS_FUZZ_LOOPBACK_PEER_H_
#define UPDATER_TESTS_FUZZ_LOOPBACK_PEER_H_

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
#include <cstring>
#include <string>

namespace fuzz_peer {

inline std::atomic<uint16_t> allowedPorts[2];

// A listening socket on 127.0.0.1 at a port the system picks; -1 on failure.
inline int Listen(uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(addr);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      listen(fd, 16) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = ntohs(addr.sin_port);
  return fd;
}

// The next connection within `waitMs`, or -1. Small writes on it go out at
// once: a reply held back for an acknowledgement would stall every input.
inline int Accept(int listener, int waitMs) {
  pollfd p = {listener, POLLIN, 0};
  if (poll(&p, 1, waitMs) <= 0) return -1;
  int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  int on = 1;
  if (fd >= 0) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  return fd;
}

// Closes the connections an earlier input left waiting on `listener`.
inline void Drain(int listener) {
  for (int i = 0, fd; i < 64 && (fd = Accept(listener, 0)) >= 0; i++) close(fd);
}

// Corked, partial segments wait until uncorked or closed: a last reply and
// the close leave together, so a client never sees the reply without its end
// and waits for more.
inline void Cork(int fd, bool on) {
  int value = on ? 1 : 0;
  setsockopt(fd, IPPROTO_TCP, TCP_CORK, &value, sizeof(value));
}

inline bool SendAll(int fd, const char* data, size_t size) {
  for (ssize_t n = 0; size > 0; data += n, size -= static_cast<size_t>(n)) {
    pollfd p = {fd, POLLOUT, 0};
    if (poll(&p, 1, 1000) <= 0 || (n = send(fd, data, size, MSG_NOSIGNAL)) <= 0) return false;
  }
  return true;
}

// Reads one line (through LF, at most 4096 bytes); false when the peer closed
// or nothing came within `waitMs` per read.
inline bool ReadLine(int fd, std::string* line, int waitMs) {
  line->clear();
  for (char c = 0; line->size() < 4096 && c != '\n'; line->push_back(c)) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, waitMs) <= 0 || recv(fd, &c, 1, 0) != 1) return false;
  }
  return !line->empty() && line->back() == '\n';
}

// Closes our side, reads and drops what the peer sends until it closes too
// (bounded), and closes the connection.
inline void Finish(int fd) {
  char buffer[4096];
  pollfd p = {fd, POLLIN, 0};
  shutdown(fd, SHUT_WR);
  for (int i = 0; i < 1024 && poll(&p, 1, 2000) > 0; i++) {
    if (recv(fd, buffer, sizeof(buffer), 0) <= 0) break;
  }
  close(fd);
}

}  // namespace fuzz_peer

// Every connect of the fuzz binary: only 127.0.0.1 at an allowed port gets
// through, anything else is refused.
extern "C" int connect(int fd, const sockaddr* addr, socklen_t length) {
  sockaddr_in in = {};
  if (addr != nullptr && addr->sa_family == AF_INET && length >= sizeof(in))
    memcpy(&in, addr, sizeof(in));
  const uint16_t port = ntohs(in.sin_port);
  if (in.sin_addr.s_addr != htonl(INADDR_LOOPBACK) || port == 0 ||
      (port != fuzz_peer::allowedPorts[0] && port != fuzz_peer::allowedPorts[1])) {
    errno = ECONNREFUSED;
    return -1;
  }
  return static_cast<int>(syscall(SYS_connect, fd, addr, length));
}

#endif  // UPDATER_TESTS_FUZZ_LOOPBACK_PEER_H_
