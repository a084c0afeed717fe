#define MEMLEAK_SOURCE "download_nocurl"
// The downloader objects: the error table, the download targets, the options,
// both constructors and the dispatch by protocol. The exchanges themselves
// live in download_http.cpp and download_ftp.cpp.
#include "download_nocurl.h"

#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <new>

#include "GenLib.h"
#include "download_parse.h"
#include "download_recv.h"
#include "memleak.h"
#include "sockets3.h"
#include "streams.h"

namespace {

const char* const kErrorTexts[VDL_ERROR_COUNT] = {
    "No Error",
    "File Access Error",
    "Error Connecting to Host",
    "Invalid Response",
    "Error Creating Socket",
    "Error initializing libCURL",
    "Error writing file",
    "Invalid URL",
    "Callback Abort",
    "Invalid Protocol",
    "File Not Found",
    "Server tried to redirect, but FollowRedirects is Off",
    "Transfer Timed Out",
    "Authorization Needed or Bad Username/Password",
};

const char kDefaultUserAgent[] = "Velmar HTTP Downloader Class (Mozilla)";
// Password of anonymous FTP logins: a placeholder address of 15 characters.
const char kAnonymousPassword[] = "updater@tw.none";
static_assert(sizeof(kAnonymousPassword) == 16, "the placeholder has 15 characters");

// Copies `text` into a member of `size` bytes. False when it does not fit.
bool CopyMember(char* member, size_t size, const char* text) {
  return strlcpy(member, text, size) < size;
}

}  // namespace

const char* vdl_error_text(int32_t code) {
  if (code < 0 || code >= VDL_ERROR_COUNT) return "Unkown Error";
  return kErrorTexts[code];
}

// ---------------------------------------------------------------------------
// VelmarDownloadCore

VelmarDownloadCore::VelmarDownloadCore() { VelmarDownloadCore::Init(); }

void VelmarDownloadCore::Init() {
  callback = nullptr;
  userData = nullptr;
  errorCode = VDL_ERR_NONE;
  maxSize = 0;
  minRate = VDL_DEFAULT_MIN_RATE;
  rateWindowSeconds = VDL_DEFAULT_RATE_WINDOW_S;
  resumeFrom = 0;
  resumed = false;
  httpStatus = 0;
  failureKind = VDL_FAIL_OTHER;
  errorDetail[0] = '\0';
  caFile[0] = '\0';
  targetFile = nullptr;
  cutAtResume = false;
}

VelmarDownloadCore::~VelmarDownloadCore() {}

bool VelmarDownloadCore::DownloadToFile(const char* path) {
  if (errorCode != VDL_ERR_NONE) return false;
  if (path == nullptr) return Fail(VDL_ERR_FILE_ACCESS);
  DataStream* stream = resumeFrom > 0 ? OpenResumeTarget(path) : stream_open_file(path, "wb");
  if (stream == nullptr) return Fail(VDL_ERR_FILE_ACCESS);
  targetFile = static_cast<FILE*>(stream->handle);
  cutAtResume = resumeFrom > 0;
  bool ok = DownloadToStream(stream);
  targetFile = nullptr;
  cutAtResume = false;
  // Closing writes out what the stdio buffer still holds; when that fails
  // the file lacks data although every chunk was accepted.
  if (stream->close(stream) != 0 && ok) return Fail(VDL_ERR_WRITE);
  return ok;
}

bool VelmarDownloadCore::DownloadToHandle(FILE* file) {
  if (errorCode != VDL_ERR_NONE) return false;
  if (file == nullptr) return Fail(VDL_ERR_FILE_ACCESS);
  DataStream* stream = stream_from_handle(file, false);
  if (stream == nullptr) return Fail(VDL_ERR_FILE_ACCESS);
  targetFile = file;
  bool ok = DownloadToStream(stream);
  targetFile = nullptr;
  stream->close(stream);  // leaves the handle open
  return ok;
}

// Opens `path` for a resumed download: kept as it is, positioned at the
// resume offset. Null when it cannot be opened or is shorter than that.
DataStream* VelmarDownloadCore::OpenResumeTarget(const char* path) {
  DataStream* stream = stream_open_file(path, "r+b");
  if (stream == nullptr) {
    SetErrorDetail("cannot open the file to resume");
    return nullptr;
  }
  int64_t size = stream->seek(stream, 0, 2) == 0 ? stream->tell(stream) : -1;
  if (size < resumeFrom || stream->seek(stream, resumeFrom, 0) != 0) {
    SetErrorDetail("file holds %lld bytes, fewer than the resume offset %lld",
                   static_cast<long long>(size), static_cast<long long>(resumeFrom));
    stream->close(stream);
    return nullptr;
  }
  return stream;
}

int VelmarDownloadCore::GetError() { return errorCode; }

const char* VelmarDownloadCore::GetErrorString() { return vdl_error_text(errorCode); }

bool VelmarDownloadCore::Fail(int32_t code) {
  if (code >= 0) errorCode = code;
  return false;
}

bool VelmarDownloadCore::Fail(int32_t code, VdlFailureKind kind) {
  failureKind = kind;
  return Fail(code);
}

void VelmarDownloadCore::ClearFailure() {
  errorCode = VDL_ERR_NONE;
  failureKind = VDL_FAIL_OTHER;
  errorDetail[0] = '\0';
  httpStatus = 0;
}

void VelmarDownloadCore::SetErrorDetail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(errorDetail, sizeof(errorDetail), format, args);
  va_end(args);
}

void VelmarDownloadCore::SetMaxSize(int64_t bytes) { maxSize = bytes > 0 ? bytes : 0; }

void VelmarDownloadCore::SetMinimumRate(uint32_t bytesPerSecond, uint32_t windowSeconds) {
  minRate = bytesPerSecond;
  rateWindowSeconds = windowSeconds;
}

void VelmarDownloadCore::SetResumeFrom(int64_t offset) { resumeFrom = offset > 0 ? offset : 0; }

void VelmarDownloadCore::SetCaFile(const char* path) {
  if (path == nullptr) path = "";
  // A cut path would name another file, or none.
  if (strlcpy(caFile, path, sizeof(caFile)) >= sizeof(caFile)) {
    caFile[0] = '\0';
    SetErrorDetail("CA file name longer than %zu characters", sizeof(caFile) - 1);
    Fail(VDL_ERR_FILE_ACCESS);
  }
}

// ---------------------------------------------------------------------------
// VelmarDownloadCore: body helpers for the protocols

bool VelmarDownloadCore::CheckAnnouncedSize(int64_t total) {
  if (maxSize == 0 || total <= maxSize) return true;
  SetErrorDetail("announced %lld bytes, limit %lld", static_cast<long long>(total),
                 static_cast<long long>(maxSize));
  return Fail(VDL_ERR_INVALID_RESPONSE, VDL_FAIL_SIZE_LIMIT);
}

bool VelmarDownloadCore::WriteBody(DataStream* stream, const char* bytes, int64_t count,
                                   int64_t* received, int64_t total) {
  const bool over = maxSize > 0 && count > maxSize - *received;
  const int64_t take = over ? maxSize - *received : count;
  if (take > 0 && stream->write(bytes, static_cast<uint64_t>(take), stream) != take) {
    SetErrorDetail("the target took fewer bytes than given");
    return Fail(VDL_ERR_WRITE);
  }
  *received += take;
  if (over) {
    SetErrorDetail("body goes past the limit of %lld bytes", static_cast<long long>(maxSize));
    return Fail(VDL_ERR_INVALID_RESPONSE, VDL_FAIL_SIZE_LIMIT);
  }
  if (callback != nullptr && !callback(*received, total, userData)) {
    return Fail(VDL_ERR_CALLBACK_ABORT);
  }
  return true;
}

bool VelmarDownloadCore::RestartTarget(DataStream* stream) {
  if (resumeFrom == 0) return true;
  if (stream->seek == nullptr || stream->seek(stream, 0, 0) != 0) {
    SetErrorDetail("cannot rewind the target for the whole file");
    return Fail(VDL_ERR_WRITE);
  }
  if (targetFile != nullptr && (fflush(targetFile) != 0 || ftruncate(fileno(targetFile), 0) != 0)) {
    SetErrorDetail("cannot truncate the target for the whole file");
    return Fail(VDL_ERR_WRITE);
  }
  return true;
}

bool VelmarDownloadCore::BeginResumed() {
  if (cutAtResume && targetFile != nullptr &&
      (fflush(targetFile) != 0 || ftruncate(fileno(targetFile), resumeFrom) != 0)) {
    SetErrorDetail("cannot cut the target at the resume offset");
    return Fail(VDL_ERR_WRITE);
  }
  resumed = true;
  return true;
}

void VelmarDownloadCore::CarryOptionsTo(VelmarDownloadCore& next) const {
  next.maxSize = maxSize;
  next.minRate = minRate;
  next.rateWindowSeconds = rateWindowSeconds;
  next.resumeFrom = resumeFrom;
  memcpy(next.caFile, caFile, sizeof(caFile));
  next.targetFile = targetFile;
  next.cutAtResume = cutAtResume;
}

void VelmarDownloadCore::TakeOutcomeFrom(const VelmarDownloadCore& next) {
  errorCode = next.errorCode;
  failureKind = next.failureKind;
  resumed = next.resumed;
  // A redirect that read no response leaves the redirecting one's status.
  if (next.httpStatus != 0) httpStatus = next.httpStatus;
  memcpy(errorDetail, next.errorDetail, sizeof(errorDetail));
}

// ---------------------------------------------------------------------------
// VelmarDownloadNoCurl: construction and options

VelmarDownloadNoCurl::VelmarDownloadNoCurl(const char* url, VDL_PROGRESS_CALLBACK callback,
                                           const char* user, const char* password, void* userData)
    : sockets(nullptr) {
  Init();
  this->callback = callback;
  this->userData = userData;
  if ((user != nullptr && !CopyMember(this->user, sizeof(this->user), user)) ||
      (password != nullptr && !CopyMember(this->password, sizeof(this->password), password))) {
    Fail(VDL_ERR_INVALID_URL);
    return;
  }
  if (errorCode == VDL_ERR_NONE) ParseUrl(url);
}

VelmarDownloadNoCurl::VelmarDownloadNoCurl(uint32_t protocol, const char* host, uint32_t port,
                                           const char* path, VDL_PROGRESS_CALLBACK callback,
                                           const char* user, const char* password, void* userData)
    : sockets(nullptr) {
  Init();
  this->protocol = protocol;
  this->port = port;
  this->callback = callback;
  this->userData = userData;
  const char* texts[4] = {host, path, user, password};
  char* members[4] = {this->host, this->path, this->user, this->password};
  const size_t sizes[4] = {sizeof(this->host), sizeof(this->path), sizeof(this->user),
                           sizeof(this->password)};
  for (int i = 0; i < 4; i++) {
    if (texts[i] == nullptr) continue;
    // These texts go into request and command lines as they are.
    if (!CopyMember(members[i], sizes[i], texts[i]) || vdl_has_control_chars(texts[i])) {
      members[i][0] = '\0';
      Fail(VDL_ERR_INVALID_URL);
    }
  }
  if (protocol == VDL_PROTO_FTP) {
    if (this->user[0] == '\0') strlcpy(this->user, "anonymous", sizeof(this->user));
    if (this->password[0] == '\0') {
      strlcpy(this->password, kAnonymousPassword, sizeof(this->password));
    }
  }
  if (protocol != VDL_PROTO_HTTP && protocol != VDL_PROTO_FTP) Fail(VDL_ERR_INVALID_PROTOCOL);
}

void VelmarDownloadNoCurl::Init() {
  VelmarDownloadCore::Init();
  host[0] = '\0';
  path[0] = '\0';
  strlcpy(userAgent, kDefaultUserAgent, sizeof(userAgent));
  port = 0;
  followRedirects = false;
  failOnRedirect = true;
  timeout = 0;
  protocol = VDL_PROTO_HTTP;
  secure = false;
  user[0] = '\0';
  password[0] = '\0';
  keepAlive = nullptr;
  delete sockets;
  sockets = new (std::nothrow) Velmar_Sockets3();
  if (sockets == nullptr) Fail(VDL_ERR_SOCKET);
}

VelmarDownloadNoCurl::~VelmarDownloadNoCurl() { delete sockets; }

void VelmarDownloadNoCurl::SetTimeout(uint64_t milliseconds) { timeout = milliseconds; }

void VelmarDownloadNoCurl::SetUserAgent(const char* agent) {
  if (agent == nullptr) agent = "";
  strlcpy(userAgent, agent, sizeof(userAgent));
  // A line end in the agent would end the header early.
  for (char* p = userAgent; *p != '\0'; p++) {
    if (static_cast<unsigned char>(*p) < 32 || *p == 127) *p = ' ';
  }
}

void VelmarDownloadNoCurl::SetFollowRedirects(bool follow) { followRedirects = follow; }

void VelmarDownloadNoCurl::SetFailOnRedirect(bool fail) { failOnRedirect = fail; }

uint32_t VelmarDownloadNoCurl::EffectiveTimeout() const {
  if (timeout == 0) return static_cast<uint32_t>(VDL_DEFAULT_TIMEOUT_MS);
  if (timeout > UINT32_MAX) return UINT32_MAX;
  return static_cast<uint32_t>(timeout);
}

bool VelmarDownloadNoCurl::FailReceive(int result, VELMAR_SOCKET* sock) {
  int32_t code = VDL_ERR_INVALID_RESPONSE;
  switch (result) {
    case VDL_RECV_TOO_SLOW:
      SetErrorDetail("below %u bytes/s for %u s", minRate, rateWindowSeconds);
      return Fail(VDL_ERR_TIMEOUT, VDL_FAIL_TOO_SLOW);
    case VS_LINE_ERROR:
      code = vdl_recv_failure_code(sockets, sock);
      if (code != VDL_ERR_TIMEOUT) {
        SetErrorDetail("receive failed: %s", sockets->GetLastErrorString(sock));
        return Fail(code, VDL_FAIL_CUT_SHORT);
      }
      // A receive that timed out.
      // fall through
    case VDL_RECV_TIMED_OUT:
    case VDL_LINE_STALLED:
      SetErrorDetail("no data for %u ms", EffectiveTimeout());
      return Fail(VDL_ERR_TIMEOUT);
    case VS_LINE_FULL:
      SetErrorDetail("line longer than %d bytes", static_cast<int>(VDL_WORK_SIZE));
      return Fail(code);
    case VS_LINE_CLOSED:
      SetErrorDetail("connection closed early");
      return Fail(code, VDL_FAIL_CUT_SHORT);
    case VDL_LINE_TRUNCATED:
      SetErrorDetail("connection closed within a line");
      return Fail(code, VDL_FAIL_CUT_SHORT);
    default:  // a line that kept coming in pieces for too long
      SetErrorDetail("incomplete line");
      return Fail(code);
  }
}

bool VelmarDownloadNoCurl::ParseUrl(const char* url) {
  VDL_URL_PARTS parts;
  int32_t code = url == nullptr ? VDL_ERR_INVALID_PROTOCOL : vdl_parse_http_url(url, &parts);
  if (code != VDL_ERR_NONE) return Fail(code);
  protocol = VDL_PROTO_HTTP;
  secure = parts.tls;
  port = parts.port;
  strlcpy(host, parts.host, sizeof(host));
  strlcpy(path, parts.path, sizeof(path));
  return true;
}

bool VelmarDownloadNoCurl::DownloadToStream(DataStream* stream) {
  if (errorCode != VDL_ERR_NONE) return false;
  if (stream == nullptr || stream->write == nullptr) return Fail(VDL_ERR_FILE_ACCESS);
  if (sockets == nullptr) return Fail(VDL_ERR_SOCKET);
  failureKind = VDL_FAIL_OTHER;
  resumed = false;
  httpStatus = 0;
  if (protocol == VDL_PROTO_HTTP) return HttpDownload(stream);
  if (protocol == VDL_PROTO_FTP) return FtpDownload(stream);
  return Fail(VDL_ERR_INVALID_PROTOCOL);
}
