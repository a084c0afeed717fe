// Helpers for the socket-layer tests: loopback listeners, connected pairs, raw
// sends and the blocking mode. For the test thread only.
#ifndef UPDATER_TESTS_SRC_SOCKETS3_TEST_UTIL_H_
#define UPDATER_TESTS_SRC_SOCKETS3_TEST_UTIL_H_

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string>

#include "sockets3.h"

namespace sockets3_test {

// The port a bound socket got from the system (0 on failure).
inline int BoundPort(const VELMAR_SOCKET* sock) {
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  if (getsockname(sock->sock, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
  }
  return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

// A TCP listener on `host` (127.0.0.1 or ::1), port chosen by the system;
// null when the family is unavailable.
inline VELMAR_SOCKET* ListenOn(Velmar_Sockets3& net, int family, const char* host,
                               int backlog = 8) {
  VELMAR_SOCKET* listener = net.Create(family, SOCK_STREAM, IPPROTO_TCP, 0);
  if (listener == nullptr) return nullptr;
  if (!net.BindToAddress(listener, host, 0) || !net.Listen(listener, backlog)) {
    net.Close(listener);
    return nullptr;
  }
  return listener;
}

// A connected pair on 127.0.0.1 through a listener of the same object: the
// client end and the accepted end. Closes all three when it goes.
struct LoopbackPair {
  explicit LoopbackPair(Velmar_Sockets3& net) : net(net) {
    listener = ListenOn(net, AF_INET, "127.0.0.1");
    if (listener == nullptr) return;
    client = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
    if (net.Connect(client, "127.0.0.1", BoundPort(listener)) &&
        net.SelectRead(listener, 5000u) == 1) {
      server = net.Accept(listener, 0);
    }
  }
  ~LoopbackPair() {
    for (VELMAR_SOCKET* sock : {client, server, listener}) net.Close(sock);
  }
  Velmar_Sockets3& net;
  VELMAR_SOCKET* listener = nullptr;
  VELMAR_SOCKET* client = nullptr;
  VELMAR_SOCKET* server = nullptr;
};

// Writes exact bytes from the raw descriptor of `from`.
inline void RawSend(const VELMAR_SOCKET* from, const std::string& bytes) {
  ASSERT_EQ(static_cast<ssize_t>(bytes.size()),
            send(from->sock, bytes.data(), bytes.size(), MSG_NOSIGNAL));
}

inline bool DescriptorNonBlocking(const VELMAR_SOCKET* sock) {
  return (fcntl(sock->sock, F_GETFL, 0) & O_NONBLOCK) != 0;
}

}  // namespace sockets3_test

#endif  // UPDATER_TESTS_SRC_SOCKETS3_TEST_UTIL_H_
