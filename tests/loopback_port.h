// Loopback listeners for test servers, and a TCP port on 127.0.0.1 that was
// free a moment ago: bound with port 0, read back and released. Tests use it for a server they
// start on it, or as a port where nothing listens (connections are refused). 0 on failure.
#ifndef UPDATER_TESTS_LOOPBACK_PORT_H_
#define UPDATER_TESTS_LOOPBACK_PORT_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

// A socket listening on 127.0.0.1 at a port the system picks, the port in
// `*port`; -1 on failure.
inline int ListenOnLoopback(uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, 16) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

inline int FreeLoopbackPort() {
  uint16_t port = 0;
  int fd = ListenOnLoopback(&port);
  if (fd < 0) return 0;
  close(fd);
  return port;
}

#endif  // UPDATER_TESTS_LOOPBACK_PORT_H_
