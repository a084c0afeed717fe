#define MEMLEAK_SOURCE "sockets3"
// Data transfer and readiness: sending, receiving, peeking, line reading,
// the waits on one socket or on lists, and the datagram operations.
//
// The layer keeps no receive buffer: a line is peeked into the caller's
// buffer and then exactly that line is consumed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "GenLib.h"
#include "memleak.h"
#include "sockets3.h"
#include "sockets3_internal.h"

namespace {

// Lengths handed to the system and to OpenSSL fit an int.
int ClampLength(uint32_t length) { return length > INT_MAX ? INT_MAX : static_cast<int>(length); }

// Removes every trailing line feed, then every trailing carriage return if
// the text ends in one; returns the new length.
int TrimLineEnds(char* buffer, int length) {
  while (length > 0 && buffer[length - 1] == '\n') buffer[--length] = '\0';
  if (length > 0 && buffer[length - 1] == '\r') {
    while (length > 0 && buffer[length - 1] == '\r') buffer[--length] = '\0';
  }
  return length;
}

const char* kBadDescriptor = "Socket descriptor cannot be waited on with select()";

}  // namespace

// ---- the socket list ----

void SocketListClear(VELMAR_SOCKET_LIST* list) {
  if (list != nullptr) list->count = 0;
}

bool SocketListAdd(VELMAR_SOCKET_LIST* list, VELMAR_SOCKET* sock) {
  if (list == nullptr || sock == nullptr || list->count >= VS_SOCKET_LIST_MAX) return false;
  list->sockets[list->count++] = sock;
  return true;
}

bool SocketListIsSet(const VELMAR_SOCKET_LIST* list, const VELMAR_SOCKET* sock) {
  if (list == nullptr) return false;
  const uint32_t count = list->count < VS_SOCKET_LIST_MAX ? list->count : VS_SOCKET_LIST_MAX;
  for (uint32_t i = 0; i < count; ++i) {
    if (list->sockets[i] == sock) return true;
  }
  return false;
}

// ---- receiving and sending ----

int Velmar_Sockets3::pRecv(VELMAR_SOCKET* sock, char* buffer, uint32_t length) {
  if (sock->ssl != nullptr) {
    SigpipeGuard guard;
    const int result = SSL_read(sock->ssl, buffer, ClampLength(length));
    if (result > 0) return result;
    snprintf(lastErrorText, sizeof(lastErrorText), "Error returned by SSL_read(): %d", result);
    lastError = VS_ERR_TLS_READ;
    ERR_print_errors_fp(stderr);
    return result == 0 ? 0 : -1;
  }
  const ssize_t result = recv(sock->sock, buffer, ClampLength(length), 0);
  if (result > 0) return static_cast<int>(result);
  pUpdateError(sock);
  return result == 0 ? 0 : -1;
}

int Velmar_Sockets3::Recv(VELMAR_SOCKET* sock, char* buffer, uint32_t length) {
  return pRecv(sock, buffer, length);
}

int Velmar_Sockets3::Peek(VELMAR_SOCKET* sock, char* buffer, uint32_t length) {
  if (sock->ssl != nullptr) {
    SigpipeGuard guard;
    const int result = SSL_peek(sock->ssl, buffer, ClampLength(length));
    if (result >= 0) return result;
    pPeekFailed(SSL_get_error(sock->ssl, result));
    return -1;
  }
  const ssize_t result = recv(sock->sock, buffer, ClampLength(length), MSG_PEEK);
  if (result <= 0) pUpdateError(sock);
  return static_cast<int>(result);
}

void Velmar_Sockets3::pPeekFailed(int reason) {
  memset(lastErrorText, 0, sizeof(lastErrorText));
  ERR_error_string_n(static_cast<unsigned long>(reason), lastErrorText, sizeof(lastErrorText));
  lastError = VS_ERR_TLS_READ;
  ERR_print_errors_fp(stderr);
}

int Velmar_Sockets3::Send(VELMAR_SOCKET* sock, const char* data, int32_t length, bool sendAll) {
  if (length == -1) {
    const size_t textLength = strlen(data);
    length = textLength > INT_MAX ? INT_MAX : static_cast<int32_t>(textLength);
  }
  if (length <= 0) return 0;
  if (sock->ssl != nullptr) {
    SigpipeGuard guard;
    const int result = SSL_write(sock->ssl, data, length);
    if (result > 0) return result;
    lastError = VS_ERR_TLS_WRITE;
    ERR_error_string_n(ERR_get_error(), lastErrorText, sizeof(lastErrorText));
    printf("OpenSSL Error: %s\n", lastErrorText);
    return -1;
  }
  int32_t sent = 0;
  while (sent < length) {
    // MSG_NOSIGNAL: a peer that has gone gives EPIPE, never SIGPIPE.
    const ssize_t result = send(sock->sock, data + sent, length - sent, MSG_NOSIGNAL);
    if (result < 0 && errno == EINTR) continue;
    if (result <= 0) {
      pUpdateError(sock);
      return result == 0 ? 0 : -1;
    }
    sent += static_cast<int32_t>(result);
    if (!sendAll) break;
  }
  return sent;
}

int Velmar_Sockets3::RecvLine(VELMAR_SOCKET* sock, char* buffer, int32_t bufferSize) {
  if (bufferSize < 2) {
    if (bufferSize == 1) buffer[0] = '\0';
    return VS_LINE_FULL;
  }
  const int peeked = Peek(sock, buffer, static_cast<uint32_t>(bufferSize - 1));
  if (peeked < 0) return VS_LINE_ERROR;
  if (peeked == 0) return VS_LINE_CLOSED;
  buffer[peeked] = '\0';
  const char* end = static_cast<const char*>(memchr(buffer, '\n', peeked));
  if (end == nullptr) end = static_cast<const char*>(memchr(buffer, '\r', peeked));
  if (end == nullptr) return peeked == bufferSize - 1 ? VS_LINE_FULL : VS_LINE_INCOMPLETE;
  const uint32_t lineLength = static_cast<uint32_t>(end - buffer) + 1;
  memset(buffer, 0, bufferSize);
  const int received = Recv(sock, buffer, lineLength);
  if (received < 0) return VS_LINE_ERROR;
  if (received == 0) return VS_LINE_CLOSED;
  return TrimLineEnds(buffer, received);
}

// ---- readiness ----

int Velmar_Sockets3::pSelectOne(VELMAR_SOCKET* sock, timeval* timeout, bool write) {
  if (!DescriptorFitsSet(sock->sock)) {
    errno = EBADF;
    pUpdateError(sock, kBadDescriptor);
    return -1;
  }
  fd_set set;
  FD_ZERO(&set);
  FD_SET(sock->sock, &set);
  const int result =
      select(sock->sock + 1, write ? nullptr : &set, write ? &set : nullptr, nullptr, timeout);
  if (result < 0) pUpdateError(sock);
  return result;
}

int Velmar_Sockets3::SelectRead(VELMAR_SOCKET* sock, timeval* timeout) {
  if (sock->ssl == nullptr) return pSelectOne(sock, timeout, false);
  if (SSL_pending(sock->ssl) > 0) return 1;
  return pSelectReadTls(sock, timeout);
}

// Bytes on the descriptor need not make a whole TLS record, and a read on a
// blocking record would wait for the rest without limit: the bytes are taken
// in without blocking, and the wait goes on for the rest within the time.
int Velmar_Sockets3::pSelectReadTls(VELMAR_SOCKET* sock, timeval* timeout) {
  int64_t deadline = 0;
  if (timeout != nullptr) {
    deadline =
        MonotonicMicros() + static_cast<int64_t>(timeout->tv_sec) * 1000000 + timeout->tv_usec;
  }
  for (;;) {
    timeval left;
    if (timeout != nullptr) {
      const int64_t micros = deadline - MonotonicMicros();
      left.tv_sec = micros > 0 ? micros / 1000000 : 0;
      left.tv_usec = micros > 0 ? micros % 1000000 : 0;
    }
    const int result = pSelectOne(sock, timeout != nullptr ? &left : nullptr, false);
    if (result != 1) return result;
    const int probe = pProbeTls(sock);
    if (probe != 0) return probe < 0 ? probe : result;
    if (timeout != nullptr && deadline <= MonotonicMicros()) return 0;
  }
}

// 1 when a record (or the peer's close) has come, 0 when only part of one
// has, -1 on an error (recorded as Peek records it).
int Velmar_Sockets3::pProbeTls(VELMAR_SOCKET* sock) {
  char scratch;
  int result, reason;
  {
    NonBlockingScope nonBlocking(sock->sock);
    SigpipeGuard guard;
    ERR_clear_error();
    result = SSL_peek(sock->ssl, &scratch, 1);
    reason = result < 0 ? SSL_get_error(sock->ssl, result) : SSL_ERROR_NONE;
  }
  if (result >= 0 || reason == SSL_ERROR_WANT_WRITE) return 1;
  if (reason == SSL_ERROR_WANT_READ) return 0;
  pPeekFailed(reason);
  return -1;
}

int Velmar_Sockets3::SelectRead(VELMAR_SOCKET* sock, uint32_t timeoutMs) {
  timeval time = MillisecondsToTime(timeoutMs);
  return SelectRead(sock, &time);
}

int Velmar_Sockets3::SelectWrite(VELMAR_SOCKET* sock, timeval* timeout) {
  return pSelectOne(sock, timeout, true);
}

int Velmar_Sockets3::SelectWrite(VELMAR_SOCKET* sock, uint32_t timeoutMs) {
  timeval time = MillisecondsToTime(timeoutMs);
  return SelectWrite(sock, &time);
}

int Velmar_Sockets3::SelectReadList(VELMAR_SOCKET_LIST* list, timeval* timeout) {
  return SelectLists(list, nullptr, timeout);
}

int Velmar_Sockets3::SelectReadList(VELMAR_SOCKET_LIST* list, uint32_t timeoutMs) {
  timeval time = MillisecondsToTime(timeoutMs);
  return SelectReadList(list, &time);
}

// Marks every socket of `list` in `set`; false when one cannot be waited on.
static bool MarkList(const VELMAR_SOCKET_LIST* list, fd_set* set, int* highest) {
  FD_ZERO(set);
  if (list->count > VS_SOCKET_LIST_MAX) return false;
  for (uint32_t i = 0; i < list->count; ++i) {
    const VELMAR_SOCKET* sock = list->sockets[i];
    if (sock == nullptr || !DescriptorFitsSet(sock->sock)) return false;
    FD_SET(sock->sock, set);
    if (sock->sock > *highest) *highest = sock->sock;
  }
  return true;
}

// Rebuilds `list` from `copy`: the marked sockets in their order.
static void KeepMarked(VELMAR_SOCKET_LIST* list, const VELMAR_SOCKET_LIST* copy,
                       const fd_set* set) {
  for (uint32_t i = 0; i < copy->count; ++i) {
    if (FD_ISSET(copy->sockets[i]->sock, set)) list->sockets[list->count++] = copy->sockets[i];
  }
}

int Velmar_Sockets3::SelectLists(VELMAR_SOCKET_LIST* readList, VELMAR_SOCKET_LIST* writeList,
                                 timeval* timeout) {
  VELMAR_SOCKET_LIST readCopy, writeCopy;
  fd_set readSet, writeSet;
  int highest = 0;
  if ((readList != nullptr && !MarkList(readList, &readSet, &highest)) ||
      (writeList != nullptr && !MarkList(writeList, &writeSet, &highest))) {
    errno = EBADF;
    pUpdateError(nullptr, kBadDescriptor);
    return -1;
  }
  if (readList != nullptr) {
    memcpy(&readCopy, readList, sizeof(readCopy));
    readList->count = 0;
  }
  if (writeList != nullptr) {
    memcpy(&writeCopy, writeList, sizeof(writeCopy));
    writeList->count = 0;
  }
  const int result = select(highest + 1, readList != nullptr ? &readSet : nullptr,
                            writeList != nullptr ? &writeSet : nullptr, nullptr, timeout);
  if (result < 0) {
    pUpdateError(nullptr);
    return result;
  }
  if (readList != nullptr) KeepMarked(readList, &readCopy, &readSet);
  if (writeList != nullptr) KeepMarked(writeList, &writeCopy, &writeSet);
  return result;
}

int Velmar_Sockets3::SelectLists(VELMAR_SOCKET_LIST* readList, VELMAR_SOCKET_LIST* writeList,
                                 uint32_t timeoutMs) {
  timeval time = MillisecondsToTime(timeoutMs);
  return SelectLists(readList, writeList, &time);
}

// ---- datagrams ----

// The sender's numeric address into the record; false for a family other
// than IPv4 and IPv6.
static bool TakeSender(VELMAR_SOCKET* sock, const sockaddr_storage& from) {
  if (from.ss_family == AF_INET) {
    const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(&from);
    inet_ntop(AF_INET, &in->sin_addr, sock->remoteAddress, sizeof(sock->remoteAddress));
    sock->remotePort = ntohs(in->sin_port);
    return true;
  }
  if (from.ss_family == AF_INET6) {
    const sockaddr_in6* in6 = reinterpret_cast<const sockaddr_in6*>(&from);
    inet_ntop(AF_INET6, &in6->sin6_addr, sock->remoteAddress, sizeof(sock->remoteAddress));
    sock->remotePort = ntohs(in6->sin6_port);
    return true;
  }
  return false;
}

// RecvFrom and PeekFrom. A failed receive keeps its system error; a stream
// socket, whose receive names no sender, reports its connected peer.
int Velmar_Sockets3::pRecvFrom(VELMAR_SOCKET* sock, char* host, uint32_t hostSize, int* port,
                               char* buffer, uint32_t length, int flags) {
  sockaddr_storage from;
  memset(&from, 0, sizeof(from));
  socklen_t fromLength = sizeof(from);
  const ssize_t result = recvfrom(sock->sock, buffer, ClampLength(length), flags,
                                  reinterpret_cast<sockaddr*>(&from), &fromLength);
  if (result <= 0) pUpdateError(sock);
  if (result < 0) return -1;
  if (flags & MSG_PEEK) pRefreshAddresses(sock);
  if (!TakeSender(sock, from)) {
    if (from.ss_family != AF_UNSPEC) {
      pSetError(VS_ERR_REFUSED, "Unknown address family!");
      return -1;
    }
    if (!(flags & MSG_PEEK)) pRefreshAddresses(sock);
  }
  if (host != nullptr && hostSize > 0) {
    memset(host, 0, hostSize);
    strlcpy(host, sock->remoteAddress, hostSize);
  }
  if (port != nullptr) *port = sock->remotePort;
  return static_cast<int>(result);
}

int Velmar_Sockets3::RecvFrom(VELMAR_SOCKET* sock, char* host, uint32_t hostSize, int* port,
                              char* buffer, uint32_t length) {
  if (sock->ssl != nullptr) {
    pSetError(VS_ERR_REFUSED, "RecvFrom doesn't work with SSL");
    return -1;
  }
  return pRecvFrom(sock, host, hostSize, port, buffer, length, 0);
}

int Velmar_Sockets3::PeekFrom(VELMAR_SOCKET* sock, char* host, uint32_t hostSize, int* port,
                              char* buffer, uint32_t length) {
  if (sock->ssl != nullptr) {
    pSetError(VS_ERR_REFUSED, "PeekFrom doesn't work with SSL");
    return -1;
  }
  return pRecvFrom(sock, host, hostSize, port, buffer, length, MSG_PEEK);
}

int Velmar_Sockets3::RecvLineFrom(VELMAR_SOCKET* sock, char* host, uint32_t hostSize, int* port,
                                  char* buffer, int32_t bufferSize) {
  if (bufferSize < 2) {
    if (bufferSize == 1) buffer[0] = '\0';
    return VS_LINE_INCOMPLETE;
  }
  const int peeked =
      PeekFrom(sock, host, hostSize, port, buffer, static_cast<uint32_t>(bufferSize - 1));
  if (peeked < 0) return VS_LINE_ERROR;
  if (peeked == 0) return VS_LINE_CLOSED;
  buffer[peeked] = '\0';
  const char* end = static_cast<const char*>(memchr(buffer, '\n', peeked));
  if (end == nullptr) return VS_LINE_INCOMPLETE;
  const uint32_t lineLength = static_cast<uint32_t>(end - buffer) + 1;
  memset(buffer, 0, bufferSize);
  const int received = RecvFrom(sock, host, hostSize, port, buffer, lineLength);
  if (received < 0) return VS_LINE_ERROR;
  if (received == 0) return VS_LINE_CLOSED;
  return TrimLineEnds(buffer, received);
}

int Velmar_Sockets3::SendTo(VELMAR_SOCKET* sock, const char* host, int port, const char* data,
                            int32_t length) {
  if (sock->ssl != nullptr) {
    pSetError(VS_ERR_REFUSED, "SendTo doesn't work with SSL");
    return -1;
  }
  if (length == -1) {
    const size_t textLength = strlen(data);
    length = textLength > INT_MAX ? INT_MAX : static_cast<int32_t>(textLength);
  }
  if (length < 0) length = 0;
  addrinfo* list = pResolve(sock, host, port);
  if (list == nullptr) return -1;
  const ssize_t result =
      sendto(sock->sock, data, length, MSG_NOSIGNAL, list->ai_addr, list->ai_addrlen);
  if (result <= 0) pUpdateError(sock);
  pRefreshAddresses(sock);
  freeaddrinfo(list);
  return static_cast<int>(result);
}
