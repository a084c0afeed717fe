// The socket layer: TCP and UDP over IPv4 and IPv6, as client and server,
// with optional TLS through OpenSSL.
//
// One Velmar_Sockets3 object owns the socket records (VELMAR_SOCKET) made
// through it, an optional TLS context and a last-error state (a code and a
// text, kept on the object and copied to the record involved). Every object
// keeps OpenSSL initialised while it lives (TlsLibraryInit/TlsLibraryExit are
// reference-counted across the process).
//
// Thread-safety: the open-socket list of an object is guarded by its own lock;
// name resolution, making or freeing a TLS context (also the shared contexts
// of verified client handshakes) and the library initialisation are
// serialised process-wide. The error state and the quiet
// flag are not locked, and a record (with its TLS session) must be used by one
// thread at a time. Nothing throws.
//
// Results: a bool, a record pointer (null on failure) or an int (-1 on error,
// the line results of RecvLine). The reason stays in GetLastError /
// GetLastErrorString: a system error number or one of the VS_ERR_ codes.
#ifndef UPDATER_SRC_SOCKETS3_H_
#define UPDATER_SRC_SOCKETS3_H_

#include <netdb.h>
#include <openssl/ssl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "locks.h"

// The layer's own error codes; any other code is a system error number.
constexpr int32_t VS_ERR_REFUSED = 0x56530000;  // a request the layer refuses
constexpr int32_t VS_ERR_CTX = 0x56530001;      // TLS context could not be made
constexpr int32_t VS_ERR_CERT = 0x56530002;     // certificate could not be loaded
constexpr int32_t VS_ERR_KEY = 0x56530003;      // private key could not be loaded
constexpr int32_t VS_ERR_KEY_MISMATCH = 0x56530004;
constexpr int32_t VS_ERR_BIO = 0x56530010;  // TLS I/O object could not be made
constexpr int32_t VS_ERR_SSL_ALLOC = 0x56530011;
constexpr int32_t VS_ERR_HANDSHAKE_CLEAN = 0x56530012;
constexpr int32_t VS_ERR_HANDSHAKE = 0x56530013;
constexpr int32_t VS_ERR_TLS_READ = 0x56530014;
constexpr int32_t VS_ERR_VERIFY = 0x56530015;  // the server's certificate was not accepted
constexpr int32_t VS_ERR_TLS_WRITE = 0x56530020;

// Feature numbers of IsSupported/IsEnabled, and flag bits of Create/Accept.
constexpr int VS_FEATURE_TLS = 1;
constexpr int VS_FEATURE_COMPRESSION = 2;  // never available

// Line results of RecvLine and RecvLineFrom (0 or more: a line's length).
constexpr int VS_LINE_INCOMPLETE = -1;  // no line end yet, nothing consumed
constexpr int VS_LINE_FULL = -2;        // buffer full without a line end
constexpr int VS_LINE_CLOSED = -3;      // the peer closed the connection
constexpr int VS_LINE_ERROR = -4;       // receive error

// One socket. Made zero-filled by Create or Accept (tracked allocation) and
// freed by Close; the caller owns it in between.
struct VELMAR_SOCKET {
  int sock;                // the system descriptor
  char remoteAddress[40];  // numeric host of the peer; empty when unknown
  char localAddress[40];   // numeric host of the local end; empty when unknown
  int remotePort;          // host byte order; 0 when unknown
  int localPort;
  int family;               // as given to Create; 0 for accepted records
  int type;                 // as given to Create; 0 for accepted records
  int protocol;             // as given to Create; 0 for accepted records
  bool nonBlocking;         // the mode last set by SetNonBlocking
  SSL* ssl;                 // TLS session, null for a plain socket
  int32_t lastError;        // the object's code at this record's last update
  char lastErrorText[128];  // the object's text then, cut to 127 characters
};

// A fixed list of sockets for the list waits.
constexpr uint32_t VS_SOCKET_LIST_MAX = 256;
struct VELMAR_SOCKET_LIST {
  uint32_t count;  // entries in use
  VELMAR_SOCKET* sockets[VS_SOCKET_LIST_MAX];
};

// Empties the list.
void SocketListClear(VELMAR_SOCKET_LIST* list);
// Appends `sock`. A full list (256 entries) or a null argument is refused:
// false, and the list is left as it was.
bool SocketListAdd(VELMAR_SOCKET_LIST* list, VELMAR_SOCKET* sock);
// True when `sock` is among the list's entries in use.
bool SocketListIsSet(const VELMAR_SOCKET_LIST* list, const VELMAR_SOCKET* sock);

class Velmar_Sockets3 {
 public:
  Velmar_Sockets3();

  // Receives up to `length` bytes: the count, 0 when the peer closed, -1 on
  // error. TLS records read through their session.
  virtual int pRecv(VELMAR_SOCKET* sock, char* buffer, uint32_t length);

  // Records still open are reported (unless quiet) but neither closed nor
  // freed; the TLS context is freed.
  virtual ~Velmar_Sockets3();

  // Feature 1 (TLS) is supported; it is enabled once EnableSSL succeeded.
  virtual bool IsSupported(int feature);
  virtual bool IsEnabled(int feature);
  // Quiet (the default) suppresses the layer's console output: the error
  // trace, the TLS banners and the destructor's warnings.
  virtual void SetQuiet(bool quiet);

  // The last error of the record, or of the object when `sock` is null. The
  // text belongs to the record or object and changes with the next error.
  virtual int GetLastError(VELMAR_SOCKET* sock);
  virtual const char* GetLastErrorString(VELMAR_SOCKET* sock);

  // Opens a socket (e.g. AF_INET, SOCK_STREAM, IPPROTO_TCP). Flag 1 (TLS) has
  // no effect here, flag 2 (compression) is refused. Null on failure.
  virtual VELMAR_SOCKET* Create(int family, int type, int protocol, int flags);
  // Shuts down the TLS session (waiting at most a quarter of a second for the
  // peer's farewell, not at all on a non-blocking record), closes and frees
  // the record: the system close's result; -1 for null.
  virtual int Close(VELMAR_SOCKET* sock);
  // True when `sock` is an open record of this object.
  virtual bool IsValidSocket(VELMAR_SOCKET* sock);
  // The family of the first resolved address of `host`; AF_INET on failure.
  virtual int GetAddrFamily(const char* host, int port);

  // Connects to `host`:`port`, trying the resolved addresses in order (a
  // non-blocking record stops after the first attempt).
  virtual bool Connect(VELMAR_SOCKET* sock, const char* host, int port);
  virtual bool ConnectAddr(VELMAR_SOCKET* sock, const sockaddr* addr, socklen_t addrLen);
  // Connects with a time limit per address (at most 5 addresses). An address
  // counts only when the socket becomes writable in time without a pending
  // error. The record's blocking mode is kept.
  virtual bool ConnectWithTimeout(VELMAR_SOCKET* sock, const char* host, int port,
                                  uint32_t timeoutMs);

  // Makes the object's TLS context from a PEM file holding certificate and
  // key. Methods: 0, 1 TLS 1.2; 2 TLS 1.1; 3 TLS 1.0; 4 SSL 3 (unavailable
  // here: VS_ERR_CTX); others TLS 1.0 with a notice.
  virtual bool EnableSSL(const char* certFile, int method);
  // TLS handshakes on a connected record; the session stays on the record
  // (also after a failure) until Close.
  virtual bool SwitchToSSL_Server(VELMAR_SOCKET* sock);
  virtual bool SwitchToSSL_Client(VELMAR_SOCKET* sock);
  // The peer's certificate, or null. The caller owns it (X509_free).
  virtual X509* GetPeerCertificate(VELMAR_SOCKET* sock);
  // The object's TLS context (null before EnableSSL); the object owns it.
  virtual SSL_CTX* GetSSLContext();

  // Sends `length` bytes (-1: the NUL-terminated text). With `sendAll` it
  // loops until all is sent. Bytes sent, 0, or -1. Never raises SIGPIPE.
  virtual int Send(VELMAR_SOCKET* sock, const char* data, int32_t length, bool sendAll);
  virtual int Recv(VELMAR_SOCKET* sock, char* buffer, uint32_t length);
  // Consumes one line into `buffer` without its line ends: its length, or a
  // VS_LINE_ result. The buffer is NUL-terminated.
  virtual int RecvLine(VELMAR_SOCKET* sock, char* buffer, int32_t bufferSize);
  // Reads without consuming: the count, 0, or -1.
  virtual int Peek(VELMAR_SOCKET* sock, char* buffer, uint32_t length);

  // Readiness waits: select's result (above 0 ready, 0 time-out, -1 error).
  // A null time value waits without limit. Note: pass a literal zero time as
  // 0u; a bare 0 matches both forms. A TLS record is ready for reading once a
  // whole record (or the peer's close) has come, within the same time.
  virtual int SelectRead(VELMAR_SOCKET* sock, timeval* timeout);
  virtual int SelectRead(VELMAR_SOCKET* sock, uint32_t timeoutMs);
  virtual int SelectWrite(VELMAR_SOCKET* sock, timeval* timeout);
  virtual int SelectWrite(VELMAR_SOCKET* sock, uint32_t timeoutMs);
  // The list is rebuilt to hold only its ready sockets, in their order.
  virtual int SelectReadList(VELMAR_SOCKET_LIST* list, timeval* timeout);
  virtual int SelectReadList(VELMAR_SOCKET_LIST* list, uint32_t timeoutMs);
  // Either list may be null; both are rebuilt.
  virtual int SelectLists(VELMAR_SOCKET_LIST* readList, VELMAR_SOCKET_LIST* writeList,
                          timeval* timeout);
  virtual int SelectLists(VELMAR_SOCKET_LIST* readList, VELMAR_SOCKET_LIST* writeList,
                          uint32_t timeoutMs);

  // Accepts a connection: a new record (flags: 1 TLS handshake as server,
  // 2 compression, refused), or null. The peer address goes to `addr`.
  virtual VELMAR_SOCKET* Accept(VELMAR_SOCKET* listener, sockaddr* addr, socklen_t* addrLen,
                                int flags);
  virtual VELMAR_SOCKET* Accept(VELMAR_SOCKET* listener, int flags);
  // Binds to the wildcard address of the record's family.
  virtual bool BindToPort(VELMAR_SOCKET* sock, int port);
  virtual bool Listen(VELMAR_SOCKET* sock, int backlog);

  // Datagram reads and writes with the peer's numeric address (TLS records
  // are refused). `host` (of `hostSize` bytes) and `port` may be null.
  virtual int RecvFrom(VELMAR_SOCKET* sock, char* host, uint32_t hostSize, int* port, char* buffer,
                       uint32_t length);
  virtual int PeekFrom(VELMAR_SOCKET* sock, char* host, uint32_t hostSize, int* port, char* buffer,
                       uint32_t length);
  virtual int RecvLineFrom(VELMAR_SOCKET* sock, char* host, uint32_t hostSize, int* port,
                           char* buffer, int32_t bufferSize);
  virtual int SendTo(VELMAR_SOCKET* sock, const char* host, int port, const char* data,
                     int32_t length);

  // Binds to the first resolved address of `host` of the record's family.
  virtual bool BindToAddress(VELMAR_SOCKET* sock, const char* host, int port);

  // Socket options: setsockopt's result (0 or -1).
  virtual int SetRecvTimeout(VELMAR_SOCKET* sock, uint32_t timeoutMs);
  virtual int SetSendTimeout(VELMAR_SOCKET* sock, uint32_t timeoutMs);
  virtual bool IsNonBlocking(VELMAR_SOCKET* sock);
  virtual void SetNonBlocking(VELMAR_SOCKET* sock, bool nonBlocking);
  virtual int SetReuseAddr(VELMAR_SOCKET* sock, bool on);
  virtual int SetLinger(VELMAR_SOCKET* sock, bool on, uint16_t seconds);
  // An option this platform lacks: always false with an error text.
  virtual bool SetUnsupportedOption(VELMAR_SOCKET* sock);
  virtual int SetKeepAlive(VELMAR_SOCKET* sock, bool on);
  virtual int SetBroadcast(VELMAR_SOCKET* sock, bool on);
  virtual bool IsUsable();
  // The first numeric address of `host`; empty when it does not resolve.
  virtual std::string GetHostIP(const char* host);

  // A verified TLS client handshake on a connected TCP record, within
  // `timeoutMs`. TLS 1.2 at least; the server's certificate must chain to the
  // certificates in the PEM file `caFile` or, when `caFile` is null, to the
  // system's trusted certificates, and must name `serverName`: a host name
  // (also sent as the server name indication) or an IPv4/IPv6 literal without
  // brackets. The trusted certificates are read once per file (the system's
  // once) and shared by every object while the library stays initialised.
  // The record's blocking mode is kept. Prints nothing unless the quiet flag
  // is cleared (then the banners of SwitchToSSL_Client).
  // Success: the record reads and writes through its session (as after
  // SwitchToSSL_Client) until Close. Failure: false, the record has no
  // session, and the object and the record hold the reason: VS_ERR_VERIFY
  // ("Certificate verification failed: certificate has expired" and the
  // like), ETIMEDOUT ("TLS handshake timed out"), VS_ERR_HANDSHAKE or
  // VS_ERR_HANDSHAKE_CLEAN ("TLS handshake failed: " and OpenSSL's reason),
  // VS_ERR_CERT (the CA file could not be read), VS_ERR_CTX, VS_ERR_SSL_ALLOC
  // or VS_ERR_REFUSED (no record or name, a session already there).
  virtual bool StartClientTLS(VELMAR_SOCKET* sock, const char* serverName, const char* caFile,
                              uint32_t timeoutMs);

  Velmar_Sockets3(const Velmar_Sockets3&) = delete;
  Velmar_Sockets3& operator=(const Velmar_Sockets3&) = delete;

 protected:
  // Error update from errno, and with an explicit text (code: errno). The
  // record, when given, gets a copy; a real error is traced unless quiet.
  void pUpdateError(VELMAR_SOCKET* sock);
  void pUpdateError(VELMAR_SOCKET* sock, const char* text);

 private:
  // An own code and text, set directly (no trace, no copy to a record).
  void pSetError(int32_t code, const char* text);
  // The same, copied to the record too.
  void pSetError(VELMAR_SOCKET* sock, int32_t code, const char* text);
  void pTraceError();
  void pRefreshAddresses(VELMAR_SOCKET* sock);
  addrinfo* pResolve(VELMAR_SOCKET* sock, const char* host, int port);
  bool pListAppend(VELMAR_SOCKET* sock);
  void pListRemove(VELMAR_SOCKET* sock);
  void pCloseKeepingError(VELMAR_SOCKET* sock);
  bool pHandshake(VELMAR_SOCKET* sock, bool server);
  void pPrintTlsBanner(VELMAR_SOCKET* sock);
  bool pVerifiedHandshake(VELMAR_SOCKET* sock, SSL* ssl, uint32_t timeoutMs);
  void pShutdownTls(VELMAR_SOCKET* sock);
  int pSelectReadTls(VELMAR_SOCKET* sock, timeval* timeout);
  int pProbeTls(VELMAR_SOCKET* sock);
  void pPeekFailed(int reason);
  int pSetIntOption(VELMAR_SOCKET* sock, int option, bool on);
  int pSetTimeOption(VELMAR_SOCKET* sock, int option, uint32_t timeoutMs);
  int pSelectOne(VELMAR_SOCKET* sock, timeval* timeout, bool write);
  int pRecvFrom(VELMAR_SOCKET* sock, char* host, uint32_t hostSize, int* port, char* buffer,
                uint32_t length, int flags);

  RecursiveMutex listLock;
  VELMAR_SOCKET** openSockets;  // tracked array, creation order
  uint32_t openCount;
  uint32_t openCapacity;
  char lastErrorText[512];
  int32_t lastError;
  bool quiet;
  SSL_CTX* sslContext;
};

// Process-wide OpenSSL initialisation, reference-counted: the first call
// initialises, later calls return the first call's result; the teardown runs
// when the count returns to 0 (and again on every call at 0).
bool TlsLibraryInit();
void TlsLibraryExit();
// Initialisations not yet matched by a teardown.
int TlsLibraryInitCount();
// OpenSSL's lock array and the callbacks it is driven by. OpenSSL 3 locks
// internally and never calls them; they are kept for older libraries.
void InstallTlsLocks();
void RemoveTlsLocks();
void TlsThreadId(CRYPTO_THREADID* id);
void TlsLockCallback(int mode, int n, const char* file, int line);
// Reads `length` random bytes from /dev/urandom (or /dev/random), at most 10
// attempts; true when the whole length was read.
bool FillRandom(void* buffer, size_t length);
// The support library's version: 1, 1, 13 and "1.01-ssl-openssl-memleak-mysql"
// (a static text).
void GetLibraryVersion(int* major, int* minor, int* third);
const char* GetLibraryVersionString();

#endif  // UPDATER_SRC_SOCKETS3_H_
