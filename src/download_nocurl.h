// The downloader: one object per transfer of one file over HTTP/1.0 or FTP
// (passive mode, binary), into a file by name, an open stdio handle or a
// DataStream, with an optional progress callback.
//
// VelmarDownloadCore is the abstract downloader (callback, user data, the last
// error code and its text, the three download targets); VelmarDownloadNoCurl
// is the self-contained HTTP and FTP client over Velmar_Sockets3. Usage: build
// the object, check GetError() (a non-zero code means it can only report its
// error), download once, destroy it. The error code is sticky: once it is set,
// every download operation returns false without touching the network or the
// target.
//
// Thread-safety: an object is used by one thread at a time; the progress
// callback runs on the thread that called the download operation. Each object
// owns its own socket-layer object; objects share nothing else. Nothing
// throws; the only console output is the line printed when no socket can be
// created for an HTTP transfer.
#ifndef UPDATER_SRC_DOWNLOAD_NOCURL_H_
#define UPDATER_SRC_DOWNLOAD_NOCURL_H_

#include <cstdint>
#include <cstdio>

#ifndef VDL_PROGRESS_CALLBACK_DECLARED
#define VDL_PROGRESS_CALLBACK_DECLARED
// Progress of one transfer: bytes so far, total bytes (0 when unknown), the
// user data given to the downloader. Returning false aborts the transfer.
typedef bool (*VDL_PROGRESS_CALLBACK)(int64_t received, int64_t total, void* userData);
#endif

struct DataStream;
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

// The text of an error code: the table's entry for 0 to 13, "Unkown Error"
// for any other value. The text is static.
const char* vdl_error_text(int32_t code);

class VelmarDownloadCore {
 public:
  VelmarDownloadCore();
  VelmarDownloadCore(const VelmarDownloadCore&) = delete;
  VelmarDownloadCore& operator=(const VelmarDownloadCore&) = delete;

  // Clears the callback, the user data and the error code.
  virtual void Init();
  virtual ~VelmarDownloadCore();

  // Truncates or creates `path` ("wb") and downloads into it; the file stays
  // in place with whatever arrived, also on failure. A file that cannot be
  // opened sets VDL_ERR_FILE_ACCESS, one that cannot be closed cleanly after
  // a transfer VDL_ERR_WRITE. False at once, without opening the file, when
  // the error code is already set.
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

 protected:
  // Stores a failure code (negative codes are never stored) and returns
  // false, so failing paths can `return Fail(code);`.
  bool Fail(int32_t code);

  VDL_PROGRESS_CALLBACK callback;
  void* userData;
  int32_t errorCode;
};

class VelmarDownloadNoCurl : public VelmarDownloadCore {
 public:
  // For an http URL ("http://host[:port]/path[?query]", scheme in any case).
  // `user` and `password` (either may be null) are used for Basic
  // authentication. A URL without any "/" gives VDL_ERR_INVALID_PROTOCOL;
  // any other scheme, a URL without a path, or a text too long for its
  // member gives VDL_ERR_INVALID_URL.
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

  // What the constructor stored (for inspection).
  const char* GetHost() const { return host; }
  const char* GetPath() const { return path; }
  uint32_t GetPort() const { return port; }
  uint32_t GetProtocol() const { return protocol; }
  const char* GetUser() const { return user; }
  const char* GetPassword() const { return password; }

 private:
  bool ParseUrl(const char* url);
  bool HttpDownload(DataStream* stream);
  bool FtpDownload(DataStream* stream);
  // The receive time-out to apply: the one set, else the default.
  uint32_t EffectiveTimeout() const;

  char host[128];
  char path[512];
  char userAgent[512];
  uint32_t port;
  bool followRedirects;
  bool failOnRedirect;
  uint64_t timeout;
  uint32_t protocol;
  char user[128];
  char password[128];
  Velmar_Sockets3* sockets;

  friend class HttpExchange;
  friend class FtpExchange;
};

#endif  // UPDATER_SRC_DOWNLOAD_NOCURL_H_
