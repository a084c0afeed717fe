#define MEMLEAK_SOURCE "sockets3"
// Socket objects and records, addresses, connecting, binding and accepting.
#include "sockets3.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "GenLib.h"
#include "memleak.h"
#include "sockets3_internal.h"

namespace {

// getaddrinfo is not safe everywhere to call from several threads at once.
RecursiveMutex& ResolverLock() {
  static RecursiveMutex lock;
  return lock;
}

constexpr uint32_t kMaxTimedAddresses = 5;

// Numeric host and port of `addr`; false (host emptied) when it converts not.
bool NumericName(const sockaddr* addr, socklen_t length, char* host, size_t hostSize, int* port) {
  char service[8] = "";
  if (getnameinfo(addr, length, host, hostSize, service, sizeof(service),
                  NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    host[0] = '\0';
    return false;
  }
  *port = static_cast<int>(strtol(service, nullptr, 10));
  return true;
}

}  // namespace

Velmar_Sockets3::Velmar_Sockets3()
    : openSockets(nullptr),
      openCount(0),
      openCapacity(0),
      lastErrorText(),
      lastError(0),
      quiet(true),
      sslContext(nullptr) {
  ScopedLock lock(listLock);
  sslContext = nullptr;
  TlsLibraryInit();
  lastErrorText[0] = '\0';
  lastError = 0;
  quiet = true;
}

Velmar_Sockets3::~Velmar_Sockets3() {
  ScopedLock lock(listLock);
  for (uint32_t i = 0; i < openCount; ++i) {
    VELMAR_SOCKET* sock = openSockets[i];
    if (!quiet) {
      printf(
          "WARNING: VELMAR_SOCKET 0x%p (%s:%d) was not closed before Velmar_Sockets3 was "
          "deleted!\n",
          static_cast<void*>(sock), sock->remoteAddress, sock->remotePort);
    }
  }
  {
    ScopedLock tlsLock(SocketsTlsLock());
    if (sslContext != nullptr) SSL_CTX_free(sslContext);
    sslContext = nullptr;
  }
  TlsLibraryExit();
  if (openSockets != nullptr) zfree(openSockets);
  openSockets = nullptr;
  openCount = openCapacity = 0;
}

bool Velmar_Sockets3::IsSupported(int feature) { return feature == VS_FEATURE_TLS; }

bool Velmar_Sockets3::IsEnabled(int feature) {
  return feature == VS_FEATURE_TLS && sslContext != nullptr;
}

void Velmar_Sockets3::SetQuiet(bool quietFlag) { quiet = quietFlag; }

bool Velmar_Sockets3::IsUsable() { return true; }

bool Velmar_Sockets3::IsNonBlocking(VELMAR_SOCKET* sock) {
  return sock != nullptr && sock->nonBlocking;
}

// ---- the open-socket list ----

bool Velmar_Sockets3::pListAppend(VELMAR_SOCKET* sock) {
  ScopedLock lock(listLock);
  if (openCount == openCapacity) {
    const uint32_t capacity = openCapacity == 0 ? 16 : openCapacity * 2;
    void* grown = zrealloc(openSockets, capacity * sizeof(VELMAR_SOCKET*));
    if (grown == nullptr) return false;
    openSockets = static_cast<VELMAR_SOCKET**>(grown);
    openCapacity = capacity;
  }
  openSockets[openCount++] = sock;
  return true;
}

void Velmar_Sockets3::pListRemove(VELMAR_SOCKET* sock) {
  ScopedLock lock(listLock);
  for (uint32_t i = openCount; i-- > 0;) {
    if (openSockets[i] != sock) continue;
    memmove(&openSockets[i], &openSockets[i + 1], (openCount - i - 1) * sizeof(VELMAR_SOCKET*));
    --openCount;
    return;
  }
}

bool Velmar_Sockets3::IsValidSocket(VELMAR_SOCKET* sock) {
  ScopedLock lock(listLock);
  if (sock == nullptr) return false;
  for (uint32_t i = 0; i < openCount; ++i) {
    if (openSockets[i] == sock) return true;
  }
  return false;
}

// ---- making and closing records ----

VELMAR_SOCKET* Velmar_Sockets3::Create(int family, int type, int protocol, int flags) {
  VELMAR_SOCKET* sock = static_cast<VELMAR_SOCKET*>(zmalloc(sizeof(VELMAR_SOCKET)));
  if (sock == nullptr) {
    errno = ENOMEM;
    pUpdateError(nullptr);
    return nullptr;
  }
  sock->family = family;
  sock->type = type;
  sock->protocol = protocol;
  sock->sock = socket(family, type, protocol);
  if (sock->sock < 0) {
    pUpdateError(sock);
    zfree(sock);
    return nullptr;
  }
  if (flags & VS_FEATURE_COMPRESSION) {
    Close(sock);
    pSetError(VS_ERR_REFUSED, "TWL has not been compiled with zlib support");
    return nullptr;
  }
  if (!pListAppend(sock)) {
    Close(sock);
    errno = ENOMEM;
    pUpdateError(nullptr);
    return nullptr;
  }
  return sock;
}

int Velmar_Sockets3::Close(VELMAR_SOCKET* sock) {
  if (sock == nullptr) return -1;
  pListRemove(sock);
  if (sock->ssl != nullptr) {
    pShutdownTls(sock);
    SSL_free(sock->ssl);
    sock->ssl = nullptr;
  }
  errno = 0;
  const int result = close(sock->sock);
  pUpdateError(sock);
  zfree(sock);
  return result;
}

// Closes a refused record and puts the object's error back as it was.
void Velmar_Sockets3::pCloseKeepingError(VELMAR_SOCKET* sock) {
  char text[sizeof(lastErrorText)];
  const int32_t code = lastError;
  strlcpy(text, lastErrorText, sizeof(text));
  Close(sock);
  pSetError(code, text);
}

// ---- addresses and name resolution ----

void Velmar_Sockets3::pRefreshAddresses(VELMAR_SOCKET* sock) {
  const int savedErrno = errno;
  sock->remoteAddress[0] = sock->localAddress[0] = '\0';
  sock->remotePort = sock->localPort = 0;
  sockaddr_storage address;
  socklen_t length = sizeof(address);
  if (getpeername(sock->sock, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
      !NumericName(reinterpret_cast<sockaddr*>(&address), length, sock->remoteAddress,
                   sizeof(sock->remoteAddress), &sock->remotePort)) {
    sock->remotePort = 0;
  }
  length = sizeof(address);
  if (getsockname(sock->sock, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
      !NumericName(reinterpret_cast<sockaddr*>(&address), length, sock->localAddress,
                   sizeof(sock->localAddress), &sock->localPort)) {
    sock->localPort = 0;
  }
  errno = savedErrno;
}

// getaddrinfo under the resolver lock, with `port` as a decimal service text
// (none when negative). A failed lookup sets errno to a system error number
// (the resolver's when it gave one) and returns the resolver's own text in
// `*error`; the caller records it.
static addrinfo* LockedLookup(const char* host, int port, const addrinfo& hints,
                              const char** error) {
  char service[16] = "";
  if (port >= 0) snprintf(service, sizeof(service), "%d", port);
  addrinfo* list = nullptr;
  int result;
  {
    ScopedLock lock(ResolverLock());
    result = getaddrinfo(host, service, &hints, &list);
  }
  if (result == 0 && list != nullptr) return list;
  errno = result == EAI_SYSTEM ? errno : EADDRNOTAVAIL;
  *error = result == 0 ? "No address found" : gai_strerror(result);
  return nullptr;
}

addrinfo* Velmar_Sockets3::pResolve(VELMAR_SOCKET* sock, const char* host, int port) {
  addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  hints.ai_family = sock->family;
  hints.ai_socktype = sock->type;
  hints.ai_protocol = sock->protocol;
  const char* error = nullptr;
  addrinfo* list = LockedLookup(host, port, hints, &error);
  if (list == nullptr) pUpdateError(sock, error);
  return list;
}

int Velmar_Sockets3::GetAddrFamily(const char* host, int port) {
  addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  const char* error = nullptr;
  addrinfo* list = LockedLookup(host, port, hints, &error);
  if (list == nullptr) {
    pUpdateError(nullptr, error);
    return AF_INET;
  }
  const int family = list->ai_family;
  freeaddrinfo(list);
  return family;
}

std::string Velmar_Sockets3::GetHostIP(const char* host) {
  std::string ip;
  addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  const char* error = nullptr;
  addrinfo* list = LockedLookup(host, -1, hints, &error);
  if (list == nullptr) {
    pUpdateError(nullptr, error);
    return ip;
  }
  for (addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    char text[40];
    if (getnameinfo(entry->ai_addr, entry->ai_addrlen, text, sizeof(text), nullptr, 0,
                    NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
      ip = text;
      break;
    }
  }
  freeaddrinfo(list);
  return ip;
}

// ---- connecting ----

bool Velmar_Sockets3::ConnectAddr(VELMAR_SOCKET* sock, const sockaddr* addr, socklen_t addrLen) {
  if (connect(sock->sock, addr, addrLen) == 0) {
    pRefreshAddresses(sock);
    return true;
  }
  pUpdateError(sock);
  pRefreshAddresses(sock);
  return false;
}

bool Velmar_Sockets3::Connect(VELMAR_SOCKET* sock, const char* host, int port) {
  addrinfo* list = pResolve(sock, host, port);
  if (list == nullptr) return false;
  bool connected = false;
  for (addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    if (ConnectAddr(sock, entry->ai_addr, entry->ai_addrlen)) {
      connected = true;
      break;
    }
    if (sock->nonBlocking) break;
  }
  freeaddrinfo(list);
  if (!connected) pUpdateError(sock);
  return connected;
}

// One timed attempt on a non-blocking socket: 0 when connected, else the
// system error number of the failure (ETIMEDOUT when the time ran out).
static int TimedAttemptResult(int waitResult, int fd) {
  if (waitResult == 0) return ETIMEDOUT;
  if (waitResult < 0) return errno != 0 ? errno : EIO;
  int pending = 0;
  socklen_t length = sizeof(pending);
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) != 0) return errno;
  return pending;
}

// Ends a connection attempt that failed or is still in progress, so that the
// socket can connect afresh: otherwise the next connect() answers EALREADY and
// the wait goes on for the address given up on.
static void DissolveAttempt(int fd) {
  const int saved = errno;
  sockaddr unspecified;
  memset(&unspecified, 0, sizeof(unspecified));
  unspecified.sa_family = AF_UNSPEC;
  connect(fd, &unspecified, sizeof(unspecified));
  errno = saved;
}

bool Velmar_Sockets3::ConnectWithTimeout(VELMAR_SOCKET* sock, const char* host, int port,
                                         uint32_t timeoutMs) {
  addrinfo* list = pResolve(sock, host, port);
  if (list == nullptr) return false;
  const bool wasNonBlocking = sock->nonBlocking;
  if (!wasNonBlocking) SetNonBlocking(sock, true);
  int failure = EHOSTUNREACH;
  uint32_t tried = 0;
  for (addrinfo* entry = list; entry != nullptr && tried < kMaxTimedAddresses;
       entry = entry->ai_next, ++tried) {
    if (ConnectAddr(sock, entry->ai_addr, entry->ai_addrlen)) {
      failure = 0;
      break;
    }
    if (errno != EINPROGRESS && errno != EALREADY && errno != EINTR) {
      failure = errno;  // refused at once; the attempt has been recorded
    } else {
      timeval wait = MillisecondsToTime(timeoutMs);
      failure = TimedAttemptResult(SelectWrite(sock, &wait), sock->sock);
      if (failure == 0) {
        pRefreshAddresses(sock);
        break;
      }
    }
    DissolveAttempt(sock->sock);
  }
  if (!wasNonBlocking) SetNonBlocking(sock, false);
  freeaddrinfo(list);
  if (failure != 0) {
    errno = failure;
    pUpdateError(sock);
  }
  return failure == 0;
}

// ---- binding, listening, accepting ----

bool Velmar_Sockets3::BindToPort(VELMAR_SOCKET* sock, int port) {
  sockaddr_storage address;
  memset(&address, 0, sizeof(address));
  socklen_t length;
  if (sock->family == AF_INET6) {
    sockaddr_in6* in6 = reinterpret_cast<sockaddr_in6*>(&address);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<uint16_t>(port));
    length = sizeof(sockaddr_in6);
  } else {
    sockaddr_in* in = reinterpret_cast<sockaddr_in*>(&address);
    in->sin_family = AF_INET;
    in->sin_port = htons(static_cast<uint16_t>(port));
    length = sizeof(sockaddr_in);
  }
  errno = 0;
  const int result = bind(sock->sock, reinterpret_cast<sockaddr*>(&address), length);
  pUpdateError(sock);
  return result == 0;
}

bool Velmar_Sockets3::BindToAddress(VELMAR_SOCKET* sock, const char* host, int port) {
  addrinfo* list = pResolve(sock, host, port);
  bool tried = false;
  for (addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    if (sock->family != 0 && entry->ai_family != sock->family) continue;
    if (port > 0 && entry->ai_family == AF_INET) {
      reinterpret_cast<sockaddr_in*>(entry->ai_addr)->sin_port = htons(static_cast<uint16_t>(port));
    } else if (port > 0 && entry->ai_family == AF_INET6) {
      reinterpret_cast<sockaddr_in6*>(entry->ai_addr)->sin6_port =
          htons(static_cast<uint16_t>(port));
    }
    if (bind(sock->sock, entry->ai_addr, entry->ai_addrlen) == 0) {
      freeaddrinfo(list);
      return true;
    }
    pUpdateError(sock);
    tried = true;
  }
  if (list != nullptr) freeaddrinfo(list);
  if (tried) return false;
  if (list != nullptr) errno = EAFNOSUPPORT;
  pUpdateError(sock, "Could not resolve any addresses matching address family.");
  return false;
}

bool Velmar_Sockets3::Listen(VELMAR_SOCKET* sock, int backlog) {
  if (listen(sock->sock, backlog) == 0) return true;
  pUpdateError(sock);
  return false;
}

VELMAR_SOCKET* Velmar_Sockets3::Accept(VELMAR_SOCKET* listener, sockaddr* addr, socklen_t* addrLen,
                                       int flags) {
  VELMAR_SOCKET* sock = static_cast<VELMAR_SOCKET*>(zmalloc(sizeof(VELMAR_SOCKET)));
  if (sock == nullptr) {
    errno = ENOMEM;
    pUpdateError(listener);
    return nullptr;
  }
  if (addr != nullptr && addrLen != nullptr) memset(addr, 0, *addrLen);
  sock->sock = accept(listener->sock, addr, addrLen);
  if (sock->sock < 0) {
    pUpdateError(listener);
    zfree(sock);
    return nullptr;
  }
  if (!pListAppend(sock)) {
    Close(sock);
    errno = ENOMEM;
    pUpdateError(listener);
    return nullptr;
  }
  pRefreshAddresses(sock);
  if (flags & VS_FEATURE_TLS) {
    if (!IsEnabled(VS_FEATURE_TLS)) {
      Close(sock);
      pSetError(VS_ERR_REFUSED, "SSL has not been enabled!");
      return nullptr;
    }
    if (!SwitchToSSL_Server(sock)) {
      pCloseKeepingError(sock);
      return nullptr;
    }
  }
  if (flags & VS_FEATURE_COMPRESSION) {
    Close(sock);
    pSetError(VS_ERR_REFUSED, "TWL has not been compiled with zlib support");
    return nullptr;
  }
  return sock;
}

VELMAR_SOCKET* Velmar_Sockets3::Accept(VELMAR_SOCKET* listener, int flags) {
  sockaddr_storage address;  // 128 bytes
  socklen_t length = sizeof(address);
  return Accept(listener, reinterpret_cast<sockaddr*>(&address), &length, flags);
}
