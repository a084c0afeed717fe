#define MEMLEAK_SOURCE "download_nocurl"
// Text parsers of the HTTP and FTP exchanges.
#include "download_parse.h"

#include <strings.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "GenLib.h"

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

// Reads the decimal number at `*p` into `*value`, advancing `*p`. False when
// no digit is there or the number does not fit 63 bits.
bool ReadNumber64(const char** p, int64_t* value) {
  const char* s = *p;
  if (!IsDigit(*s)) return false;
  int64_t v = 0;
  for (; IsDigit(*s); s++) {
    int digit = *s - '0';
    if (v > (INT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *p = s;
  *value = v;
  return true;
}

const char* SkipBlanks(const char* p) {
  while (*p == ' ' || *p == '\t') p++;
  return p;
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
  const bool tls = schemeLength == 7 && strncasecmp(url, "https:/", 7) == 0;
  if (!tls && (schemeLength != 6 || strncasecmp(url, "http:/", 6) != 0)) {
    return VDL_ERR_INVALID_URL;
  }
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
  parts.tls = tls;
  parts.port = tls ? 443 : 80;
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

int vdl_parse_status_line(const char* line) {
  if (strncmp(line, "HTTP/", 5) != 0 || !IsDigit(line[5]) || line[6] != '.' || !IsDigit(line[7]) ||
      line[8] != ' ') {
    return -1;
  }
  const char* code = line + 9;
  if (!IsDigit(code[0]) || !IsDigit(code[1]) || !IsDigit(code[2])) return -1;
  if (code[3] != '\0' && code[3] != ' ' && code[3] != '\t') return -1;
  return (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
}

bool vdl_http_is_redirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

int32_t vdl_http_status_result(int status, bool rangeAsked) {
  if (status == 200 || (status == 206 && rangeAsked) || vdl_http_is_redirect(status)) {
    return VDL_ERR_NONE;
  }
  if (status == 401) return VDL_ERR_AUTH;
  if (status == 404) return VDL_ERR_NOT_FOUND;
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
  value = SkipBlanks(value);
  int64_t v = 0;
  if (!ReadNumber64(&value, &v) || *SkipBlanks(value) != '\0') return false;
  *length = v;
  return true;
}

bool vdl_parse_content_range(const char* value, VDL_CONTENT_RANGE* out) {
  const char* p = SkipBlanks(value);
  if (strncasecmp(p, "bytes", 5) != 0 || (p[5] != ' ' && p[5] != '\t')) return false;
  p = SkipBlanks(p + 5);
  VDL_CONTENT_RANGE range;
  if (!ReadNumber64(&p, &range.start) || *p++ != '-') return false;
  if (!ReadNumber64(&p, &range.end) || *p++ != '/') return false;
  range.total = -1;
  if (*p == '*') {
    p++;
  } else if (!ReadNumber64(&p, &range.total)) {
    return false;
  }
  if (*SkipBlanks(p) != '\0' || range.start > range.end) return false;
  if (range.total >= 0 && range.end >= range.total) return false;
  *out = range;
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
  int64_t size = -1;
  for (const char* p = strchr(text, '('); p != nullptr; p = strchr(p + 1, '(')) {
    const char* q = p + 1;
    int64_t v = 0;
    if (ReadNumber64(&q, &v) && strncmp(q, " bytes)", 7) == 0) size = v;
  }
  return size;
}

int64_t vdl_line_length(const char* bytes, size_t count, size_t capacity, bool final) {
  if (count > capacity) count = capacity;
  if (count == 0) return capacity == 0 ? -1 : 0;
  const char* feed = static_cast<const char*>(memchr(bytes, '\n', count));
  if (feed != nullptr) return feed - bytes + 1;
  const char* ret = static_cast<const char*>(memchr(bytes, '\r', count));
  if (ret != nullptr && ret < bytes + count - 1) return ret - bytes + 1;
  // Nothing in the buffer's reach ends the line: too long when it is full,
  // whether a CR closes it or not (its LF would not fit).
  if (count == capacity) return -1;
  if (ret != nullptr && final) return static_cast<int64_t>(count);
  return 0;
}
