// The downloader: one object per transfer of one file over HTTP/1.0, HTTP/1.0
// over TLS (https, the server's certificate verified) or FTP (passive mode,
// binary), into a file by name, an open stdio handle or a DataStream, with an
// optional progress callback.
//
// VelmarDownloadCore is the abstract downloader (callback, user data, the last
// error code and its text, the three download targets); VelmarDownloadNoCurl
// is the self-contained HTTP and FTP client over Velmar_Sockets3. Usage: build
// the object, check GetError() (a non-zero code means it can only report its
// error), download once, destroy it. The error code is sticky: once it is set,
// every download operation returns false without touching the network or the
// target.
//
// Limits bound what a server can make a transfer cost: SetMaxSize caps the
// bytes that reach the target, SetMinimumRate ends a transfer that crawls.
// SetResumeFrom asks an HTTP server for the rest of a file only; SetCaFile
// names the authorities an https server's certificate must chain to. After a
// failure GetErrorDetail says more than the code, GetFailureKind tells the
// kinds of failure a code does not tell apart, and GetHttpStatus gives the
// last HTTP status read.
//
// Thread-safety: an object is used by one thread at a time; the progress
// callback runs on the thread that called the download operation. Each object
// owns its own socket-layer object; objects share nothing else. Nothing
// throws; the only console output is the line printed when no socket can be
// created for an HTTP transfer.
#ifndef UPDATER_SRC_DOWNLOAD_NOCURL_H_
#define UPDATER_SRC_DOWNLOAD_NOCURL_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

#ifndef VDL_PROGRESS_CALLBACK_DECLARED
#define VDL_PROGRESS_CALLBACK_DECLARED
// Progress of one transfer: bytes so far, total bytes (0 when unknown), the
// user data given to the downloader. Returning false aborts the transfer.
typedef bool (*VDL_PROGRESS_CALLBACK)(int64_t received, int64_t total, void* userData);
#endif

struct DataStream;
struct VELMAR_SOCKET;
class Velmar_Sockets3;

// Error codes; GetErrorString gives their texts.
enum : int32_t {
  VDL_ERR_NONE = 0,
  VDL_ERR_FILE_ACCESS = 1,
  VDL_ERR_CONNECT = 2,
  VDL_ERR_INVALID_RESPONSE = 3,
  VDL_ERR_SOCKET = 4,
  VDL_ERR_LIBCURL_INIT = 5,  // kept for the table; never set here
  VDL_ERR_WRITE = 6,
  VDL_ERR_INVALID_URL = 7,
  VDL_ERR_CALLBACK_ABORT = 8,
  VDL_ERR_INVALID_PROTOCOL = 9,
  VDL_ERR_NOT_FOUND = 10,
  VDL_ERR_REDIRECT_OFF = 11,
  VDL_ERR_TIMEOUT = 12,
  VDL_ERR_AUTH = 13,
};
constexpr int32_t VDL_ERROR_COUNT = 14;

// Protocols; 1 is reserved and refused.
constexpr uint32_t VDL_PROTO_HTTP = 0;
constexpr uint32_t VDL_PROTO_FTP = 2;

// The connect and receive time-out used when none is set, in milliseconds.
constexpr uint64_t VDL_DEFAULT_TIMEOUT_MS = 60000;

// The minimum transfer rate that applies unless SetMinimumRate changes it.
constexpr uint32_t VDL_DEFAULT_MIN_RATE = 1024;     // bytes a second
constexpr uint32_t VDL_DEFAULT_RATE_WINDOW_S = 60;  // seconds

// Size of the GetErrorDetail text, terminator included.
constexpr size_t VDL_ERROR_DETAIL_SIZE = 256;

// Size of the SetCaFile path, terminator included.
constexpr size_t VDL_CA_FILE_SIZE = 1024;

// What GetFailureKind tells beyond the error code.
enum VdlFailureKind : int32_t {
  VDL_FAIL_OTHER = 0,          // no failure, or one the code says all about
  VDL_FAIL_SIZE_LIMIT = 1,     // the size cap (VDL_ERR_INVALID_RESPONSE)
  VDL_FAIL_TOO_SLOW = 2,       // below the minimum rate (VDL_ERR_TIMEOUT)
  VDL_FAIL_CERTIFICATE = 3,    // the server's certificate was refused (VDL_ERR_CONNECT)
  VDL_FAIL_TLS = 4,            // another TLS handshake failure (VDL_ERR_CONNECT or _TIMEOUT)
  VDL_FAIL_TLS_DOWNGRADE = 5,  // a redirect from https to another scheme (VDL_ERR_INVALID_URL)
  VDL_FAIL_CUT_SHORT = 6,      // closed or reset before the response was whole
};

// The text of an error code: the table's entry for 0 to 13, "Unkown Error"
// for any other value. The text is static.
const char* vdl_error_text(int32_t code);

class VelmarDownloadCore {
 public:
  VelmarDownloadCore();
  VelmarDownloadCore(const VelmarDownloadCore&) = delete;
  VelmarDownloadCore& operator=(const VelmarDownloadCore&) = delete;

  // Clears the callback, the user data, the error code, its detail and kind
  // and the CA file, and sets the limits and the resume offset to their
  // defaults.
  virtual void Init();
  virtual ~VelmarDownloadCore();

  // Truncates or creates `path` ("wb") and downloads into it; the file stays
  // in place with whatever arrived, also on failure. A file that cannot be
  // opened sets VDL_ERR_FILE_ACCESS, one that cannot be closed cleanly after
  // a transfer VDL_ERR_WRITE. False at once, without opening the file, when
  // the error code is already set. With a resume offset the file is opened
  // without truncating and must hold at least that many bytes (see
  // SetResumeFrom).
  virtual bool DownloadToFile(const char* path);
  // Downloads at the handle's current position. The handle stays open and
  // the caller's, also on failure.
  virtual bool DownloadToHandle(FILE* file);
  // Downloads into `stream` through its write operation; the stream stays
  // the caller's. False with the reason in GetError() on failure.
  virtual bool DownloadToStream(DataStream* stream) = 0;

  // Time-out in milliseconds for connecting and for each receive, over HTTP
  // and FTP; 0 means none set, and VDL_DEFAULT_TIMEOUT_MS applies.
  virtual void SetTimeout(uint64_t milliseconds) = 0;
  // The User-Agent header's value; longer texts are cut to 511 characters,
  // control characters become spaces.
  virtual void SetUserAgent(const char* agent) = 0;
  // Follow an HTTP "Location:" header (once); off by default.
  virtual void SetFollowRedirects(bool follow) = 0;
  // With redirects off: a "Location:" header fails the transfer with
  // VDL_ERR_REDIRECT_OFF (true, the default) or is ignored (false).
  virtual void SetFailOnRedirect(bool fail) = 0;

  virtual int GetError();
  // Static text of the error code.
  virtual const char* GetErrorString();

  // Caps the bytes a transfer may bring (0, the default: no cap; a negative
  // value counts as 0). A length announced above the cap fails the transfer
  // before any body byte is written; a body that goes on past it is cut
  // there: at most `bytes` bytes reach the target and the transfer fails.
  // Either way the code is VDL_ERR_INVALID_RESPONSE and SizeLimitHit() is
  // true. A resumed transfer counts the bytes it resumes from.
  void SetMaxSize(int64_t bytes);
  bool SizeLimitHit() const { return failureKind == VDL_FAIL_SIZE_LIMIT; }

  // A transfer whose received bytes (HTTP headers and body, FTP replies and
  // data) stay below `bytesPerSecond` for a whole window of `windowSeconds`
  // fails with VDL_ERR_TIMEOUT. Default VDL_DEFAULT_MIN_RATE over
  // VDL_DEFAULT_RATE_WINDOW_S; a rate or a window of 0 turns the check off.
  void SetMinimumRate(uint32_t bytesPerSecond, uint32_t windowSeconds);

  // Asks an HTTP server for the file from byte `offset` on (0, the default:
  // the whole file; a negative value counts as 0). The caller puts the
  // target at `offset`; DownloadToFile does so itself, keeping the file's
  // first `offset` bytes. When the server sends that rest, the body goes to
  // the target's current position, progress counts from `offset` and
  // WasResumed() is true. When it sends the whole file instead, the target
  // is rewound to its start first (a file or handle is also truncated there;
  // a stream given to DownloadToStream is only rewound, so its owner must
  // empty it) and WasResumed() is false. A server that answers with another
  // range, or that cannot satisfy the range (HTTP 416, see GetHttpStatus),
  // fails the transfer with VDL_ERR_INVALID_RESPONSE before anything is
  // written. A redirect keeps the offset. FTP transfers ignore it and always
  // fetch the whole file, rewinding the target like the HTTP case above.
  void SetResumeFrom(int64_t offset);
  bool WasResumed() const { return resumed; }

  // The PEM file of the authorities an https server's certificate must
  // chain to; null or "" (the default): the system's trusted certificates.
  // A path of VDL_CA_FILE_SIZE characters or more sets VDL_ERR_FILE_ACCESS.
  // A file that cannot be read fails each https transfer with
  // VDL_ERR_CONNECT and VDL_FAIL_TLS.
  void SetCaFile(const char* path);

  // Status code of the last HTTP response read (the final one after a
  // redirect); 0 when none was read, and for FTP.
  int GetHttpStatus() const { return httpStatus; }
  // More about the last failure (a status, a limit, a rate, the TLS layer's
  // reason); "" when there is none. The text belongs to the object.
  const char* GetErrorDetail() const { return errorDetail; }
  // The kind of the last failure (VDL_FAIL_OTHER when there is none).
  VdlFailureKind GetFailureKind() const { return failureKind; }

 protected:
  // Stores a failure code (negative codes are never stored) and returns
  // false, so failing paths can `return Fail(code);`.
  bool Fail(int32_t code);
  // The same, with the failure's kind.
  bool Fail(int32_t code, VdlFailureKind kind);
  // Forgets a failure that is about to be tried again: code, kind, detail
  // and HTTP status back to none.
  void ClearFailure();
  // Formats the GetErrorDetail text, cut to its fixed size.
  void SetErrorDetail(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // Body helpers shared by the protocols. `*received` counts the bytes of
  // the file so far (from the resume offset when resumed); `total` is what
  // the progress callback reports (0 when unknown).
  //
  // Fails (VDL_ERR_INVALID_RESPONSE, SizeLimitHit) when `total` passes the
  // size cap.
  bool CheckAnnouncedSize(int64_t total);
  // Writes `count` bytes to `stream` and reports progress: VDL_ERR_WRITE when
  // the stream takes fewer, VDL_ERR_CALLBACK_ABORT when the callback says
  // stop, and the size cap's failure once the file would pass it (the part
  // up to the cap is written first).
  bool WriteBody(DataStream* stream, const char* bytes, int64_t count, int64_t* received,
                 int64_t total);
  // For a whole file that comes instead of the asked-for rest: puts the
  // target back at its start (and truncates a file there). VDL_ERR_WRITE
  // when that fails. Nothing to do without a resume offset.
  bool RestartTarget(DataStream* stream);
  // Marks the transfer as resumed; a file opened by DownloadToFile is cut at
  // the resume offset first. VDL_ERR_WRITE when that fails.
  bool BeginResumed();
  // The options a follow-up transfer (a redirect) keeps, and its outcome
  // taken back.
  void CarryOptionsTo(VelmarDownloadCore& next) const;
  void TakeOutcomeFrom(const VelmarDownloadCore& next);

  VDL_PROGRESS_CALLBACK callback;
  void* userData;
  int32_t errorCode;

  int64_t maxSize;
  uint32_t minRate;
  uint32_t rateWindowSeconds;
  int64_t resumeFrom;
  bool resumed;
  int httpStatus;
  VdlFailureKind failureKind;
  char errorDetail[VDL_ERROR_DETAIL_SIZE];
  char caFile[VDL_CA_FILE_SIZE];

 private:
  DataStream* OpenResumeTarget(const char* path);

  // The file under the running transfer's target, when there is one: a
  // whole file that replaces a resumed one is truncated through it.
  FILE* targetFile;
  // DownloadToFile cuts its file at the resume offset once the rest comes.
  bool cutAtResume;
};

class VdlConnectionCache;

class VelmarDownloadNoCurl : public VelmarDownloadCore {
 public:
  // For an http or https URL ("http://host[:port]/path[?query]", scheme in
  // any case; port 80 or, for https, 443 unless given). `user` and `password`
  // (either may be null) are used for Basic authentication. A URL without
  // any "/" gives VDL_ERR_INVALID_PROTOCOL; any other scheme, a URL without
  // a path, or a text too long for its member gives VDL_ERR_INVALID_URL.
  //
  // An https transfer runs a verified TLS handshake (TLS 1.2 or newer, the
  // server's certificate chained to the trusted authorities, see SetCaFile,
  // and naming the URL's host) within the time-out and one window of the
  // minimum rate. A refused certificate fails with VDL_ERR_CONNECT and
  // VDL_FAIL_CERTIFICATE, another handshake failure with VDL_ERR_CONNECT (or
  // VDL_ERR_TIMEOUT) and VDL_FAIL_TLS; the detail is the TLS layer's reason.
  // A redirect from https to any other scheme is refused
  // (VDL_ERR_INVALID_URL, VDL_FAIL_TLS_DOWNGRADE).
  VelmarDownloadNoCurl(const char* url, VDL_PROGRESS_CALLBACK callback, const char* user,
                       const char* password, void* userData);
  // From parts (texts may be null). For FTP the user defaults to "anonymous"
  // and the password to a placeholder address; the caller gives the port.
  // A protocol other than VDL_PROTO_HTTP and VDL_PROTO_FTP gives
  // VDL_ERR_INVALID_PROTOCOL; a text too long for its member, or one holding
  // control characters, gives VDL_ERR_INVALID_URL.
  VelmarDownloadNoCurl(uint32_t protocol, const char* host, uint32_t port, const char* path,
                       VDL_PROGRESS_CALLBACK callback, const char* user, const char* password,
                       void* userData);

  // Resets every member to its default and makes a new socket object (an
  // earlier one is deleted); VDL_ERR_SOCKET when it cannot be made.
  void Init() override;
  ~VelmarDownloadNoCurl() override;

  bool DownloadToStream(DataStream* stream) override;
  void SetTimeout(uint64_t milliseconds) override;
  void SetUserAgent(const char* agent) override;
  void SetFollowRedirects(bool follow) override;
  void SetFailOnRedirect(bool fail) override;

  // Lets HTTP transfers keep their connection open in `cache` for the next
  // downloader that uses the same cache, and take one kept there (see
  // download_keepalive.h); null, the default, closes every connection after
  // its transfer. The cache stays the caller's and must outlive the
  // transfers. FTP transfers ignore it; a redirect goes without it.
  void SetConnectionCache(VdlConnectionCache* cache) { keepAlive = cache; }

  // What the constructor stored (for inspection).
  const char* GetHost() const { return host; }
  const char* GetPath() const { return path; }
  uint32_t GetPort() const { return port; }
  uint32_t GetProtocol() const { return protocol; }
  // True for an https URL.
  bool IsSecure() const { return secure; }
  const char* GetUser() const { return user; }
  const char* GetPassword() const { return password; }

 private:
  bool ParseUrl(const char* url);
  bool HttpDownload(DataStream* stream);
  bool FtpDownload(DataStream* stream);
  // The receive time-out to apply: the one set, else the default.
  uint32_t EffectiveTimeout() const;
  // Fails the transfer for a receive result of download_recv.h on `sock`
  // (a line or chunk that did not come), with its code and detail.
  bool FailReceive(int result, VELMAR_SOCKET* sock);

  char host[128];
  char path[512];
  char userAgent[512];
  uint32_t port;
  bool followRedirects;
  bool failOnRedirect;
  uint64_t timeout;
  uint32_t protocol;
  bool secure;  // HTTP over TLS
  char user[128];
  char password[128];
  Velmar_Sockets3* sockets;
  VdlConnectionCache* keepAlive;

  friend class HttpExchange;
  friend class FtpExchange;
};

#endif  // UPDATER_SRC_DOWNLOAD_NOCURL_H_
