#define MEMLEAK_SOURCE "download_nocurl"
// The HTTP/1.0 exchange: one GET per connection with "Connection: close",
// optional Basic authentication, the header phase with the status and
// redirect rules, and the body phase into the caller's stream.
#include <openssl/evp.h>
#include <strings.h>

#include <cstdio>
#include <cstring>

#include "GenLib.h"
#include "download_nocurl.h"
#include "download_parse.h"
#include "memleak.h"
#include "sockets3.h"
#include "streams.h"

namespace {

constexpr int32_t kWorkSize = 16384;
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
      : dl(downloader), stream(stream), sockets(downloader.sockets) {}
  ~HttpExchange() {
    CloseConnection();
    if (buffer != nullptr) zfree(buffer);
  }
  HttpExchange(const HttpExchange&) = delete;
  HttpExchange& operator=(const HttpExchange&) = delete;

  bool Run();

 private:
  bool Connect();
  bool SendRequest();
  bool AppendAuthorization(size_t* length);
  bool ReadHeaders(bool* redirected);
  HeaderAction HandleHeader(const char* line);
  HeaderAction Redirect(const char* location);
  bool ReadBody();
  void CloseConnection();
  bool Fail(int32_t code) { return dl.Fail(code); }

  VelmarDownloadNoCurl& dl;
  DataStream* stream;
  Velmar_Sockets3* sockets;
  VELMAR_SOCKET* sock = nullptr;
  char* buffer = nullptr;
  int64_t announced = 0;
  bool haveLength = false;
  int64_t received = 0;
  bool redirectResult = false;
};

bool VelmarDownloadNoCurl::HttpDownload(DataStream* stream) {
  HttpExchange exchange(*this, stream);
  return exchange.Run();
}

bool HttpExchange::Run() {
  buffer = static_cast<char*>(zmalloc(kWorkSize));
  if (buffer == nullptr) return Fail(VDL_ERR_SOCKET);
  if (!Connect() || !SendRequest()) return false;
  bool redirected = false;
  if (!ReadHeaders(&redirected)) return false;
  if (redirected) return redirectResult;
  return ReadBody();
}

bool HttpExchange::Connect() {
  sock = sockets->Create(2, 1, 6, 0);
  if (sock == nullptr) {
    printf("Error creating socket! Error %d: %s\n", sockets->GetLastError(nullptr),
           sockets->GetLastErrorString(nullptr));
    return Fail(VDL_ERR_SOCKET);
  }
  if (!vdl_connect(sockets, sock, dl.host, dl.port, dl.EffectiveTimeout())) {
    return Fail(VDL_ERR_CONNECT);
  }
  return true;
}

bool HttpExchange::SendRequest() {
  int written = snprintf(buffer, kWorkSize,
                         "GET %s HTTP/1.0\r\nHost: %s\r\nUser-Agent: %s\r\nConnection: close\r\n",
                         dl.path, dl.host, dl.userAgent);
  if (written < 0 || written >= kWorkSize) return Fail(VDL_ERR_INVALID_URL);
  size_t length = static_cast<size_t>(written);
  if ((dl.user[0] != '\0' || dl.password[0] != '\0') && !AppendAuthorization(&length)) {
    return Fail(VDL_ERR_INVALID_URL);
  }
  if (strlcat(buffer, "\r\n", kWorkSize) >= static_cast<size_t>(kWorkSize)) {
    return Fail(VDL_ERR_INVALID_URL);
  }
  length += 2;
  int sent = sockets->Send(sock, buffer, -1, true);
  memset(buffer, 0, kWorkSize);
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
  int written = snprintf(buffer + *length, kWorkSize - *length, "Authorization: Basic %s\r\n",
                         reinterpret_cast<const char*>(encoded));
  OPENSSL_cleanse(encoded, sizeof(encoded));
  if (written < 0 || *length + static_cast<size_t>(written) >= static_cast<size_t>(kWorkSize)) {
    return false;
  }
  *length += static_cast<size_t>(written);
  return true;
}

// Reads the status line and the headers up to the empty line. A peer that
// closes after the status line leaves the (empty) body to ReadBody.
bool HttpExchange::ReadHeaders(bool* redirected) {
  int waits = 0;
  int lines = 0;
  for (;;) {
    int n = vdl_recv_line(sockets, sock, buffer, kWorkSize, &waits, kMaxHeaderWaits,
                          dl.EffectiveTimeout());
    if (n == VS_LINE_CLOSED && lines > 0) return true;
    if (n == VDL_LINE_STALLED) return Fail(VDL_ERR_TIMEOUT);
    if (n == VS_LINE_ERROR) return Fail(vdl_recv_failure_code(sockets, sock));
    // Closed before a status line or in the middle of a line, a line longer
    // than the buffer, or a line that never ended.
    if (n < 0) return Fail(VDL_ERR_INVALID_RESPONSE);
    // A zero byte inside a line would make it look shorter, even empty.
    if (strlen(buffer) != static_cast<size_t>(n)) return Fail(VDL_ERR_INVALID_RESPONSE);
    vdl_trim_line_ends(buffer);
    if (buffer[0] == '\0') {
      if (lines == 0) return Fail(VDL_ERR_INVALID_RESPONSE);
      return true;
    }
    if (lines == kMaxHeaderLines) return Fail(VDL_ERR_INVALID_RESPONSE);
    if (lines++ == 0) {
      int32_t status = vdl_http_status_result(buffer);
      if (status != VDL_ERR_NONE) return Fail(status);
    }
    HeaderAction action = HandleHeader(buffer);
    if (action == HeaderAction::kFailed) return false;
    if (action == HeaderAction::kRedirected) {
      *redirected = true;
      return true;
    }
  }
}

HeaderAction HttpExchange::HandleHeader(const char* line) {
  const char* value = vdl_http_header_value(line, "Content-Length:");
  if (value != nullptr) {
    if (!vdl_parse_content_length(value, &announced)) {
      Fail(VDL_ERR_INVALID_RESPONSE);
      return HeaderAction::kFailed;
    }
    haveLength = true;
    if (dl.callback != nullptr && !dl.callback(0, announced, dl.userData)) {
      Fail(VDL_ERR_CALLBACK_ABORT);
      return HeaderAction::kFailed;
    }
    return HeaderAction::kContinue;
  }
  value = vdl_http_header_value(line, "Location:");
  if (value == nullptr) return HeaderAction::kContinue;
  if (dl.followRedirects) return Redirect(value);
  if (dl.failOnRedirect) {
    Fail(VDL_ERR_REDIRECT_OFF);
    return HeaderAction::kFailed;
  }
  return HeaderAction::kContinue;
}

// Fetches `location` with a new downloader of default options into the same
// stream; its result and code become this transfer's. The credentials go
// along only while the redirect stays on the same host and port.
HeaderAction HttpExchange::Redirect(const char* location) {
  CloseConnection();
  char* url = location[0] == '/'
                  ? zmprintf("http://%s:%d%s", dl.host, static_cast<int>(dl.port), location)
                  : zstrdup(location);
  if (url == nullptr) {
    Fail(VDL_ERR_INVALID_URL);
    return HeaderAction::kFailed;
  }
  VDL_URL_PARTS target;
  bool sameServer = vdl_parse_http_url(url, &target) == VDL_ERR_NONE &&
                    strcasecmp(target.host, dl.host) == 0 && target.port == dl.port;
  VelmarDownloadNoCurl next(url, dl.callback, sameServer ? dl.user : nullptr,
                            sameServer ? dl.password : nullptr, dl.userData);
  zfree(url);
  redirectResult = next.GetError() == VDL_ERR_NONE && next.DownloadToStream(stream);
  dl.errorCode = next.GetError();
  return redirectResult ? HeaderAction::kRedirected : HeaderAction::kFailed;
}

// Passes the body to the stream until the server closes or, when a length
// was announced, until that many bytes have arrived.
bool HttpExchange::ReadBody() {
  for (;;) {
    uint32_t want = kWorkSize;
    if (haveLength) {
      int64_t remaining = announced - received;
      if (remaining <= 0) break;
      if (remaining < want) want = static_cast<uint32_t>(remaining);
    }
    int n = sockets->Recv(sock, buffer, want);
    if (n == 0) break;
    if (n < 0) return Fail(vdl_recv_failure_code(sockets, sock));
    if (stream->write(buffer, static_cast<uint64_t>(n), stream) != n) {
      return Fail(VDL_ERR_WRITE);
    }
    received += n;
    if (dl.callback != nullptr && !dl.callback(received, announced, dl.userData)) {
      return Fail(VDL_ERR_CALLBACK_ABORT);
    }
  }
  if (haveLength && received < announced) return Fail(VDL_ERR_INVALID_RESPONSE);
  return true;
}

void HttpExchange::CloseConnection() {
  if (sock != nullptr) sockets->Close(sock);
  sock = nullptr;
}
