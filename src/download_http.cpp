#define MEMLEAK_SOURCE "download_nocurl"
// The HTTP/1.0 exchange: one GET per connection with "Connection: close"
// (or over a connection kept open, see download_keepalive.h), over TLS for
// https, optional Basic authentication and Range, the header phase with the
// status, range and redirect rules, and the body phase into the caller's
// stream.
#include <openssl/evp.h>
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "GenLib.h"
#include "download_keepalive.h"
#include "download_nocurl.h"
#include "download_parse.h"
#include "download_recv.h"
#include "memleak.h"
#include "sockets3.h"
#include "streams.h"

namespace {

// Steps of 100 ms spent waiting for incomplete header lines, per response.
constexpr int kMaxHeaderWaits = 300;
// A server that sends header lines without end is cut off.
constexpr int kMaxHeaderLines = 1000;

// What a header line asks of the exchange.
enum class HeaderAction { kContinue, kFailed, kRedirected };

}  // namespace

// One HTTP transfer of a VelmarDownloadNoCurl. Owns the work buffer and the
// connection, both released when it goes out of scope.
class HttpExchange {
 public:
  HttpExchange(VelmarDownloadNoCurl& downloader, DataStream* stream)
      : dl(downloader),
        stream(stream),
        cache(downloader.keepAlive),
        sockets(cache != nullptr ? cache->Sockets() : downloader.sockets) {}
  ~HttpExchange() {
    CloseConnection();
    if (buffer != nullptr) zfree(buffer);
  }
  HttpExchange(const HttpExchange&) = delete;
  HttpExchange& operator=(const HttpExchange&) = delete;

  bool Run();

 private:
  bool Ask(bool* redirected);
  bool TakeKeptConnection();
  void KeepConnection();
  bool Connect();
  bool StartTls();
  bool SendRequest();
  bool AppendAuthorization(size_t* length);
  bool ReadHeaders(bool* redirected);
  bool OnStatusLine(const char* line);
  HeaderAction HandleHeader(const char* line);
  HeaderAction OnContentLength(const char* value);
  HeaderAction Redirect(const char* location);
  char* RedirectUrl(const char* location);
  bool PrepareBody();
  bool PrepareResumedBody();
  bool ReadBody();
  void CloseConnection();
  bool Fail(int32_t code) { return dl.Fail(code); }
  HeaderAction FailHeader(int32_t code) {
    dl.Fail(code);
    return HeaderAction::kFailed;
  }

  VelmarDownloadNoCurl& dl;
  DataStream* stream;
  VdlConnectionCache* cache;  // null: one connection per transfer
  Velmar_Sockets3* sockets;
  VDL_RECEIVER rx;
  VELMAR_SOCKET* sock = nullptr;
  char* buffer = nullptr;
  int status = -1;
  int64_t announced = 0;  // the body's length, once known
  bool haveLength = false;
  VDL_CONTENT_RANGE range = {};
  bool haveRange = false;
  int64_t received = 0;  // bytes of the file so far, the resumed ones included
  int64_t total = 0;     // what progress reports as the whole
  bool redirectResult = false;
  bool answered = false;    // a byte of the answer arrived
  bool keepsAlive = false;  // the server said "Connection: keep-alive"
  int64_t bodyLength = -1;  // bytes of the body read, once it was read whole
};

bool VelmarDownloadNoCurl::HttpDownload(DataStream* stream) {
  HttpExchange exchange(*this, stream);
  return exchange.Run();
}

bool HttpExchange::Run() {
  if (sockets == nullptr) return Fail(VDL_ERR_SOCKET);
  buffer = static_cast<char*>(zmalloc(VDL_WORK_SIZE));
  if (buffer == nullptr) return Fail(VDL_ERR_SOCKET);
  bool redirected = false;
  // A kept connection may have been closed by the server in the meantime;
  // that shows before any answer, and the request goes once more over a new
  // connection.
  if (!TakeKeptConnection() || !Ask(&redirected)) {
    if (answered) return false;
    CloseConnection();
    dl.ClearFailure();
    if (!Connect() || !Ask(&redirected)) return false;
  }
  if (redirected) return redirectResult;
  if (!PrepareBody() || !ReadBody()) return false;
  KeepConnection();
  return true;
}

// Sends the request and reads the answer's headers.
bool HttpExchange::Ask(bool* redirected) { return SendRequest() && ReadHeaders(redirected); }

// Takes the cache's connection to this server; false when there is none.
bool HttpExchange::TakeKeptConnection() {
  if (cache == nullptr) return false;
  sock = cache->Take(dl.host, dl.port, dl.secure);
  if (sock == nullptr) return false;
  vdl_receiver_init(&rx, sockets, dl.EffectiveTimeout(), kMaxHeaderWaits, dl.minRate,
                    dl.rateWindowSeconds);
  return true;
}

// Hands the connection to the cache when the server keeps it open and the
// body ended where its length said, so nothing of this answer is left on it.
void HttpExchange::KeepConnection() {
  if (cache == nullptr || !keepsAlive || !haveLength || bodyLength != announced) return;
  cache->Keep(sock, dl.host, dl.port, dl.secure);
  sock = nullptr;
}

bool HttpExchange::Connect() {
  sock = sockets->Create(2, 1, 6, 0);
  if (sock == nullptr) {
    printf("Error creating socket! Error %d: %s\n", sockets->GetLastError(nullptr),
           sockets->GetLastErrorString(nullptr));
    return Fail(VDL_ERR_SOCKET);
  }
  if (!vdl_connect(sockets, sock, dl.host, dl.port, dl.EffectiveTimeout())) {
    dl.SetErrorDetail("cannot connect to %s port %u", dl.host, dl.port);
    return Fail(VDL_ERR_CONNECT);
  }
  vdl_receiver_init(&rx, sockets, dl.EffectiveTimeout(), kMaxHeaderWaits, dl.minRate,
                    dl.rateWindowSeconds);
  return !dl.secure || StartTls();
}

// The verified handshake, bounded like a receive: by the time-out and by the
// rate guard's first window. The response then gets a window of its own.
bool HttpExchange::StartTls() {
  const uint32_t timeout = dl.EffectiveTimeout();
  const uint32_t window = rx.rate.RemainingMs(vdl_now_ms());
  const uint32_t limit = window < timeout ? window : timeout;
  if (sockets->StartClientTLS(sock, dl.host, dl.caFile[0] != '\0' ? dl.caFile : nullptr, limit)) {
    vdl_receiver_init(&rx, sockets, timeout, kMaxHeaderWaits, dl.minRate, dl.rateWindowSeconds);
    return true;
  }
  const int32_t error = sockets->GetLastError(sock);
  dl.SetErrorDetail("%s", sockets->GetLastErrorString(sock));
  if (error == ETIMEDOUT && limit < timeout) {
    dl.SetErrorDetail("TLS handshake took longer than %u s", dl.rateWindowSeconds);
    return dl.Fail(VDL_ERR_TIMEOUT, VDL_FAIL_TOO_SLOW);
  }
  if (error == ETIMEDOUT) return dl.Fail(VDL_ERR_TIMEOUT, VDL_FAIL_TLS);
  return dl.Fail(VDL_ERR_CONNECT, error == VS_ERR_VERIFY ? VDL_FAIL_CERTIFICATE : VDL_FAIL_TLS);
}

bool HttpExchange::SendRequest() {
  int written = snprintf(buffer, VDL_WORK_SIZE,
                         "GET %s HTTP/1.0\r\nHost: %s\r\nUser-Agent: %s\r\nConnection: %s\r\n",
                         dl.path, dl.host, dl.userAgent, cache != nullptr ? "keep-alive" : "close");
  if (written < 0 || written >= VDL_WORK_SIZE) return Fail(VDL_ERR_INVALID_URL);
  size_t length = static_cast<size_t>(written);
  if ((dl.user[0] != '\0' || dl.password[0] != '\0') && !AppendAuthorization(&length)) {
    return Fail(VDL_ERR_INVALID_URL);
  }
  if (dl.resumeFrom > 0) {
    written = snprintf(buffer + length, VDL_WORK_SIZE - length, "Range: bytes=%lld-\r\n",
                       static_cast<long long>(dl.resumeFrom));
    if (written < 0 || length + written >= static_cast<size_t>(VDL_WORK_SIZE)) {
      return Fail(VDL_ERR_INVALID_URL);
    }
    length += static_cast<size_t>(written);
  }
  if (strlcat(buffer, "\r\n", VDL_WORK_SIZE) >= static_cast<size_t>(VDL_WORK_SIZE)) {
    return Fail(VDL_ERR_INVALID_URL);
  }
  length += 2;
  int sent = sockets->Send(sock, buffer, -1, true);
  memset(buffer, 0, VDL_WORK_SIZE);
  // The request could not be delivered over the connection.
  if (sent != static_cast<int>(length)) return Fail(VDL_ERR_CONNECT);
  return true;
}

bool HttpExchange::AppendAuthorization(size_t* length) {
  char credentials[1024];
  unsigned char encoded[1024];
  int n = snprintf(credentials, sizeof(credentials), "%s:%s", dl.user, dl.password);
  // Base64 grows 3 bytes to 4; user and password hold 127 characters each.
  if (n < 0 || static_cast<size_t>(n) >= sizeof(credentials) || (n + 2) / 3 * 4 >= 1024) {
    return false;
  }
  int encodedLength =
      EVP_EncodeBlock(encoded, reinterpret_cast<const unsigned char*>(credentials), n);
  OPENSSL_cleanse(credentials, sizeof(credentials));
  if (encodedLength < 0) return false;
  int written = snprintf(buffer + *length, VDL_WORK_SIZE - *length, "Authorization: Basic %s\r\n",
                         reinterpret_cast<const char*>(encoded));
  OPENSSL_cleanse(encoded, sizeof(encoded));
  if (written < 0 || *length + static_cast<size_t>(written) >= static_cast<size_t>(VDL_WORK_SIZE)) {
    return false;
  }
  *length += static_cast<size_t>(written);
  return true;
}

// Reads the status line and the headers up to the empty line. A peer that
// closes after the status line leaves the (empty) body to ReadBody.
bool HttpExchange::ReadHeaders(bool* redirected) {
  for (int lines = 0;; lines++) {
    int n = vdl_recv_line(&rx, sock, buffer, VDL_WORK_SIZE);
    // Nothing at all (closed, reset, silent) is what a stale kept
    // connection gives; anything else is the server's answer.
    answered = answered || !(n == VS_LINE_CLOSED || n == VS_LINE_ERROR || n == VDL_RECV_TIMED_OUT ||
                             n == VDL_RECV_TOO_SLOW);
    if (n == VS_LINE_CLOSED && lines > 0) return true;
    if (n < 0) return dl.FailReceive(n, sock);
    // A zero byte inside a line would make it look shorter, even empty.
    if (strlen(buffer) != static_cast<size_t>(n)) {
      dl.SetErrorDetail("zero byte in a header line");
      return Fail(VDL_ERR_INVALID_RESPONSE);
    }
    if (vdl_trim_line_ends(buffer) == 0) {
      if (lines == 0) dl.SetErrorDetail("malformed status line");
      return lines == 0 ? Fail(VDL_ERR_INVALID_RESPONSE) : true;
    }
    if (lines == kMaxHeaderLines) {
      dl.SetErrorDetail("more than %d header lines", kMaxHeaderLines);
      return Fail(VDL_ERR_INVALID_RESPONSE);
    }
    if (lines == 0 && !OnStatusLine(buffer)) return false;
    HeaderAction action = HandleHeader(buffer);
    if (action == HeaderAction::kFailed) return false;
    if (action == HeaderAction::kRedirected) {
      *redirected = true;
      return true;
    }
  }
}

bool HttpExchange::OnStatusLine(const char* line) {
  status = vdl_parse_status_line(line);
  if (status < 0) {
    dl.SetErrorDetail("malformed status line");
    return Fail(VDL_ERR_INVALID_RESPONSE);
  }
  dl.httpStatus = status;
  int32_t result = vdl_http_status_result(status, dl.resumeFrom > 0);
  if (result == VDL_ERR_NONE) return true;
  dl.SetErrorDetail("server answered %d", status);
  return Fail(result);
}

HeaderAction HttpExchange::HandleHeader(const char* line) {
  const char* value = vdl_http_header_value(line, "Content-Length:");
  if (value != nullptr) return OnContentLength(value);
  value = vdl_http_header_value(line, "Content-Range:");
  if (value != nullptr && status == 206) {
    if (!vdl_parse_content_range(value, &range)) {
      dl.SetErrorDetail("malformed Content-Range");
      return FailHeader(VDL_ERR_INVALID_RESPONSE);
    }
    haveRange = true;
    return HeaderAction::kContinue;
  }
  value = vdl_http_header_value(line, "Connection:");
  if (value != nullptr) {
    keepsAlive = strcasecmp(value, "keep-alive") == 0;
    return HeaderAction::kContinue;
  }
  value = vdl_http_header_value(line, "Location:");
  if (value == nullptr) return HeaderAction::kContinue;
  if (dl.followRedirects) return Redirect(value);
  if (dl.failOnRedirect) {
    dl.SetErrorDetail("server answered %d with a redirect", status);
    return FailHeader(VDL_ERR_REDIRECT_OFF);
  }
  return HeaderAction::kContinue;
}

HeaderAction HttpExchange::OnContentLength(const char* value) {
  if (!vdl_parse_content_length(value, &announced)) {
    dl.SetErrorDetail("malformed Content-Length");
    return FailHeader(VDL_ERR_INVALID_RESPONSE);
  }
  haveLength = true;
  // The progress of a resumed body starts once its range is known.
  if (status != 206 && dl.callback != nullptr && !dl.callback(0, announced, dl.userData)) {
    return FailHeader(VDL_ERR_CALLBACK_ABORT);
  }
  return HeaderAction::kContinue;
}

// Fetches `location` with a new downloader into the same stream; its result
// and code become this transfer's. It keeps the limits, the CA file and the
// resume offset, otherwise it has default options. The credentials go along
// only while the redirect stays on the same scheme, host and port. From
// https only https is followed: what TLS protects must not go out in clear.
HeaderAction HttpExchange::Redirect(const char* location) {
  CloseConnection();
  char* url = RedirectUrl(location);
  if (url == nullptr) return FailHeader(VDL_ERR_INVALID_URL);
  VDL_URL_PARTS target;
  const bool parsed = vdl_parse_http_url(url, &target) == VDL_ERR_NONE;
  if (dl.secure && !(parsed && target.tls)) {
    dl.SetErrorDetail("refused to follow https to %.200s", url);
    zfree(url);
    dl.Fail(VDL_ERR_INVALID_URL, VDL_FAIL_TLS_DOWNGRADE);
    return HeaderAction::kFailed;
  }
  bool sameServer = parsed && target.tls == dl.secure && strcasecmp(target.host, dl.host) == 0 &&
                    target.port == dl.port;
  VelmarDownloadNoCurl next(url, dl.callback, sameServer ? dl.user : nullptr,
                            sameServer ? dl.password : nullptr, dl.userData);
  dl.CarryOptionsTo(next);
  redirectResult = next.GetError() == VDL_ERR_NONE && next.DownloadToStream(stream);
  dl.TakeOutcomeFrom(next);
  if (!redirectResult && dl.errorDetail[0] == '\0') {
    dl.SetErrorDetail("cannot follow the redirect to %.200s", url);
  }
  zfree(url);
  return redirectResult ? HeaderAction::kRedirected : HeaderAction::kFailed;
}

// The absolute URL of a "Location:" value, tracked; a path alone stays on
// this server and scheme. Null when out of memory.
char* HttpExchange::RedirectUrl(const char* location) {
  if (location[0] != '/') return zstrdup(location);
  return zmprintf("%s://%s:%d%s", dl.secure ? "https" : "http", dl.host, static_cast<int>(dl.port),
                  location);
}

// Once the headers are read: judges the response as a whole and readies the
// target, before any body byte is written.
bool HttpExchange::PrepareBody() {
  // A redirect that was not followed leaves no file; only 302 has always
  // let its body through, and servers rely on that.
  if (vdl_http_is_redirect(status) && status != 302) {
    dl.SetErrorDetail("server answered %d", status);
    return Fail(VDL_ERR_INVALID_RESPONSE);
  }
  if (status == 206) return PrepareResumedBody();
  total = haveLength ? announced : 0;
  return dl.CheckAnnouncedSize(total) && dl.RestartTarget(stream);
}

// A 206 must carry on exactly where the target ends and run to the file's
// end.
bool HttpExchange::PrepareResumedBody() {
  if (!haveRange) {
    dl.SetErrorDetail("partial content without Content-Range");
    return Fail(VDL_ERR_INVALID_RESPONSE);
  }
  const int64_t length = range.end - range.start + 1;
  if (range.start != dl.resumeFrom || (haveLength && announced != length) ||
      (range.total >= 0 && range.end + 1 != range.total)) {
    dl.SetErrorDetail("server sent bytes %lld-%lld of %lld, asked from %lld",
                      static_cast<long long>(range.start), static_cast<long long>(range.end),
                      static_cast<long long>(range.total), static_cast<long long>(dl.resumeFrom));
    return Fail(VDL_ERR_INVALID_RESPONSE);
  }
  announced = length;
  haveLength = true;
  received = dl.resumeFrom;
  total = range.total >= 0 ? range.total : dl.resumeFrom + length;
  if (!dl.CheckAnnouncedSize(total) || !dl.BeginResumed()) return false;
  if (dl.callback != nullptr && !dl.callback(received, total, dl.userData)) {
    return Fail(VDL_ERR_CALLBACK_ABORT);
  }
  return true;
}

// Passes the body to the stream until the server closes or, when its length
// is known, until that many bytes have arrived.
bool HttpExchange::ReadBody() {
  int64_t body = 0;
  for (;;) {
    uint32_t want = VDL_WORK_SIZE;
    if (haveLength) {
      int64_t remaining = announced - body;
      if (remaining <= 0) break;
      if (remaining < want) want = static_cast<uint32_t>(remaining);
    }
    int n = vdl_recv_chunk(&rx, sock, buffer, want);
    if (n == 0) break;
    if (n < 0) return dl.FailReceive(n, sock);
    if (!dl.WriteBody(stream, buffer, n, &received, total)) return false;
    body += n;
  }
  if (haveLength && body < announced) {
    dl.SetErrorDetail("connection closed after %lld of %lld bytes", static_cast<long long>(body),
                      static_cast<long long>(announced));
    return dl.Fail(VDL_ERR_INVALID_RESPONSE, VDL_FAIL_CUT_SHORT);
  }
  bodyLength = body;
  return true;
}

void HttpExchange::CloseConnection() {
  if (sock != nullptr) sockets->Close(sock);
  sock = nullptr;
}
