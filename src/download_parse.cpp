#define MEMLEAK_SOURCE "download_nocurl"
// Text parsers and receive helpers shared by the HTTP and FTP exchanges.
#include "download_parse.h"

#include <poll.h>
#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "GenLib.h"
#include "locks.h"
#include "memleak.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads the decimal number at `*p` (at most 9 digits, so it cannot overflow),
// advancing `*p`. False when no digit is there.
bool ReadSmallNumber(const char** p, uint32_t* value) {
  const char* s = *p;
  uint32_t v = 0;
  int digits = 0;
  while (IsDigit(*s) && digits < 9) {
    v = v * 10 + static_cast<uint32_t>(*s - '0');
    s++;
    digits++;
  }
  if (digits == 0 || IsDigit(*s)) return false;
  *p = s;
  *value = v;
  return true;
}

// True when the peer has shut down its side of the connection, even with
// unread bytes still queued.
bool PeerHasClosed(VELMAR_SOCKET* sock) {
  pollfd p;
  p.fd = sock->sock;
  p.events = POLLIN | POLLRDHUP;
  p.revents = 0;
  if (poll(&p, 1, 0) <= 0) return false;
  return (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// Peeks, waiting like RecvLine, at the bytes of the next line. Gives
// RecvLine's result when the peek fails or finds the peer closed, and
// VS_LINE_INCOMPLETE when the bytes hold no line feed and end in their first
// carriage return while the peer is still there: the line feed of a CR LF
// pair split between two packets may be on its way, and taking the CR alone
// would leave that LF behind as an empty line. 0 otherwise.
int AwaitLineFeed(Velmar_Sockets3* sockets, VELMAR_SOCKET* sock, char* buffer, int32_t size) {
  if (size < 2) return 0;
  int seen = sockets->Peek(sock, buffer, static_cast<uint32_t>(size - 1));
  if (seen < 0) return VS_LINE_ERROR;
  if (seen == 0) return VS_LINE_CLOSED;
  if (seen >= size - 1) return 0;
  const size_t count = static_cast<size_t>(seen);
  if (memchr(buffer, '\n', count) != nullptr) return 0;
  if (memchr(buffer, '\r', count) != buffer + count - 1) return 0;
  return PeerHasClosed(sock) ? 0 : VS_LINE_INCOMPLETE;
}

}  // namespace

bool vdl_has_control_chars(const char* text) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; p++) {
    if (*p < 32 || *p == 127) return true;
  }
  return false;
}

int32_t vdl_parse_http_url(const char* url, VDL_URL_PARTS* out) {
  const char* slash = strchr(url, '/');
  if (slash == nullptr) return VDL_ERR_INVALID_PROTOCOL;
  size_t schemeLength = static_cast<size_t>(slash - url) + 1;
  if (schemeLength != 6 || strncasecmp(url, "http:/", 6) != 0) return VDL_ERR_INVALID_URL;
  // The character after the first "/" (normally the second "/") is skipped;
  // a URL that ends there has no host and no path.
  if (slash[1] == '\0') return VDL_ERR_INVALID_URL;
  const char* hostStart = slash + 2;
  const char* pathStart = strchr(hostStart, '/');
  if (pathStart == nullptr) return VDL_ERR_INVALID_URL;
  if (vdl_has_control_chars(url)) return VDL_ERR_INVALID_URL;

  VDL_URL_PARTS parts;
  memset(&parts, 0, sizeof(parts));
  if (strlcpy(parts.path, pathStart, sizeof(parts.path)) >= sizeof(parts.path)) {
    return VDL_ERR_INVALID_URL;
  }
  size_t hostLength = static_cast<size_t>(pathStart - hostStart);
  const char* colon = static_cast<const char*>(memchr(hostStart, ':', hostLength));
  parts.port = 80;
  if (colon != nullptr) {
    // No check: text that is not a number reads as port 0.
    uint32_t port = 0;
    for (const char* p = colon + 1; p < pathStart && IsDigit(*p); p++) {
      port = port > 100000 ? port : port * 10 + static_cast<uint32_t>(*p - '0');
    }
    parts.port = port;
    hostLength = static_cast<size_t>(colon - hostStart);
  }
  if (hostLength >= sizeof(parts.host)) return VDL_ERR_INVALID_URL;
  memcpy(parts.host, hostStart, hostLength);
  parts.host[hostLength] = '\0';
  *out = parts;
  return VDL_ERR_NONE;
}

size_t vdl_trim_line_ends(char* line) {
  size_t n = strlen(line);
  while (n > 0 && line[n - 1] == '\n') line[--n] = '\0';
  while (n > 0 && line[n - 1] == '\r') line[--n] = '\0';
  while (n > 0 && line[n - 1] == '\n') line[--n] = '\0';
  return n;
}

int32_t vdl_http_status_result(const char* line) {
  if (strstr(line, "401") != nullptr) return VDL_ERR_AUTH;
  if (strstr(line, "404") != nullptr) return VDL_ERR_NOT_FOUND;
  if (strstr(line, "200") != nullptr || strstr(line, "302") != nullptr) return VDL_ERR_NONE;
  return VDL_ERR_INVALID_RESPONSE;
}

const char* vdl_http_header_value(const char* line, const char* name) {
  size_t length = strlen(name);
  if (strncasecmp(line, name, length) != 0) return nullptr;
  const char* value = line + length;
  if (*value == ' ') value++;
  return value;
}

bool vdl_parse_content_length(const char* value, int64_t* length) {
  while (*value == ' ' || *value == '\t') value++;
  if (!IsDigit(*value)) return false;
  int64_t v = 0;
  for (; IsDigit(*value); value++) {
    int digit = *value - '0';
    if (v > (INT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  while (*value == ' ' || *value == '\t') value++;
  if (*value != '\0') return false;
  *length = v;
  return true;
}

int vdl_ftp_reply_code(const char* line, const char** text) {
  int code = 0;
  for (const char* p = line; IsDigit(*p) && code < 100000; p++) code = code * 10 + (*p - '0');
  const char* space = strchr(line, ' ');
  *text = space != nullptr ? space + 1 : line;
  return code;
}

bool vdl_parse_pasv_reply(const char* text, char* address, size_t addressSize, uint32_t* port) {
  const char* p = strchr(text, '(');
  if (p == nullptr || strchr(p, ')') == nullptr) return false;
  p++;
  uint32_t numbers[6];
  for (int i = 0; i < 6; i++) {
    while (*p == ' ') p++;
    if (!ReadSmallNumber(&p, &numbers[i]) || numbers[i] > 255) return false;
    while (*p == ' ') p++;
    char expected = i < 5 ? ',' : ')';
    // Further numbers after the sixth are ignored.
    if (*p != expected && !(i == 5 && *p == ',')) return false;
    p++;
  }
  int written =
      snprintf(address, addressSize, "%u.%u.%u.%u", numbers[0], numbers[1], numbers[2], numbers[3]);
  if (written < 0 || static_cast<size_t>(written) >= addressSize) return false;
  *port = (numbers[4] << 8) | numbers[5];
  return true;
}

int64_t vdl_parse_150_size(const char* text) {
  const char* p = strchr(text, '(');
  if (p == nullptr) return -1;
  p++;
  if (!IsDigit(*p)) return -2;
  int64_t v = 0;
  for (; IsDigit(*p); p++) {
    int digit = *p - '0';
    if (v > (INT64_MAX - digit) / 10) return -2;
    v = v * 10 + digit;
  }
  // The number must end at a space or at the ")".
  if (*p != ' ' && *p != ')') return -2;
  return v;
}

int vdl_recv_line(Velmar_Sockets3* sockets, VELMAR_SOCKET* sock, char* buffer, int32_t size,
                  int* waits, int maxWaits, uint32_t stallMs) {
  int lastSeen = -1;
  uint32_t stalledMs = 0;
  for (;;) {
    int n = AwaitLineFeed(sockets, sock, buffer, size);
    const bool awaitingFeed = n == VS_LINE_INCOMPLETE;
    if (n == 0) n = sockets->RecvLine(sock, buffer, size);
    if (n != VS_LINE_INCOMPLETE) return n;
    // Part of a line is there. Nothing more comes once the peer has closed
    // (a line that ends in a CR is then taken as it is); otherwise wait for
    // the rest, as long as it keeps arriving.
    if (PeerHasClosed(sock)) {
      if (awaitingFeed) continue;
      return VDL_LINE_TRUNCATED;
    }
    if (*waits > maxWaits) return VS_LINE_INCOMPLETE;
    int seen = sockets->Peek(sock, buffer, static_cast<uint32_t>(size - 1));
    if (seen > lastSeen) {
      lastSeen = seen;
      stalledMs = 0;
    } else if (stalledMs >= stallMs) {
      return VDL_LINE_STALLED;
    }
    ++*waits;
    Sleep(100);
    stalledMs += 100;
  }
}

int32_t vdl_recv_failure_code(Velmar_Sockets3* sockets, VELMAR_SOCKET* sock) {
  int error = sockets->GetLastError(sock);
  if (error == EAGAIN || error == EWOULDBLOCK || error == ETIMEDOUT) return VDL_ERR_TIMEOUT;
  return VDL_ERR_INVALID_RESPONSE;
}

bool vdl_connect(Velmar_Sockets3* sockets, VELMAR_SOCKET* sock, const char* host, uint32_t port,
                 uint32_t timeoutMs) {
  if (port == 0 || port > 65535) return false;
  if (!sockets->ConnectWithTimeout(sock, host, static_cast<int>(port), timeoutMs)) return false;
  sockets->SetRecvTimeout(sock, timeoutMs);
  return true;
}
