#define MEMLEAK_SOURCE "sockets3"
// The socket options: each is set at the socket level and its outcome
// recorded, as the system leaves it.
#include <fcntl.h>

#include <cerrno>

#include "memleak.h"
#include "sockets3.h"
#include "sockets3_internal.h"

int Velmar_Sockets3::pSetIntOption(VELMAR_SOCKET* sock, int option, bool on) {
  const int value = on ? 1 : 0;
  errno = 0;
  const int result = setsockopt(sock->sock, SOL_SOCKET, option, &value, sizeof(value));
  pUpdateError(sock);
  return result;
}

int Velmar_Sockets3::pSetTimeOption(VELMAR_SOCKET* sock, int option, uint32_t timeoutMs) {
  const timeval value = MillisecondsToTime(timeoutMs);
  errno = 0;
  const int result = setsockopt(sock->sock, SOL_SOCKET, option, &value, sizeof(value));
  pUpdateError(sock);
  return result;
}

int Velmar_Sockets3::SetReuseAddr(VELMAR_SOCKET* sock, bool on) {
  return pSetIntOption(sock, SO_REUSEADDR, on);
}

int Velmar_Sockets3::SetKeepAlive(VELMAR_SOCKET* sock, bool on) {
  return pSetIntOption(sock, SO_KEEPALIVE, on);
}

int Velmar_Sockets3::SetBroadcast(VELMAR_SOCKET* sock, bool on) {
  return pSetIntOption(sock, SO_BROADCAST, on);
}

int Velmar_Sockets3::SetRecvTimeout(VELMAR_SOCKET* sock, uint32_t timeoutMs) {
  return pSetTimeOption(sock, SO_RCVTIMEO, timeoutMs);
}

int Velmar_Sockets3::SetSendTimeout(VELMAR_SOCKET* sock, uint32_t timeoutMs) {
  return pSetTimeOption(sock, SO_SNDTIMEO, timeoutMs);
}

int Velmar_Sockets3::SetLinger(VELMAR_SOCKET* sock, bool on, uint16_t seconds) {
  linger value;
  value.l_onoff = on ? 1 : 0;
  value.l_linger = on ? seconds : 0;
  errno = 0;
  const int result = setsockopt(sock->sock, SOL_SOCKET, SO_LINGER, &value, sizeof(value));
  pUpdateError(sock);
  return result;
}

void Velmar_Sockets3::SetNonBlocking(VELMAR_SOCKET* sock, bool nonBlocking) {
  sock->nonBlocking = nonBlocking;
  errno = 0;
  int flags = fcntl(sock->sock, F_GETFL, 0);
  if (flags >= 0) {
    flags = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    fcntl(sock->sock, F_SETFL, flags);
  }
  pUpdateError(sock);
}

bool Velmar_Sockets3::SetUnsupportedOption(VELMAR_SOCKET* sock) {
  errno = ENOPROTOOPT;  // a refusal must not read as "no error"
  pUpdateError(sock, "Feature not supported on this platform");
  return false;
}
