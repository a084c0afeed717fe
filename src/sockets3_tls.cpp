#define MEMLEAK_SOURCE "sockets3"
// TLS through OpenSSL: the library initialisation (reference-counted per
// process), its lock array and callbacks, random seeding, the object's TLS
// context and the handshakes, and the support library's version.
//
// OpenSSL 3 locks internally: its locking and thread-id hooks are empty and it
// asks for one lock. The hooks are still installed and removed as the older
// libraries require, which costs nothing there.
#define OPENSSL_SUPPRESS_DEPRECATED  // the fixed-version methods of EnableSSL
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "GenLib.h"
#include "memleak.h"
#include "sockets3.h"
#include "sockets3_internal.h"

namespace {

// Process-wide library state, guarded by LibraryLock().
int initCount = 0;
bool initResult = false;
RecursiveMutex** tlsLocks = nullptr;
int tlsLockCount = 0;
bool locksInstalled = false;

RecursiveMutex& LibraryLock() {
  static RecursiveMutex lock;
  return lock;
}

// OpenSSL's allocator hooks carry the caller's position; the system
// allocator does not want it.
void* TlsMalloc(size_t size, const char*, int) { return malloc(size); }
void* TlsRealloc(void* block, size_t size, const char*, int) { return realloc(block, size); }
void TlsFree(void* block, const char*, int) { free(block); }

// Seeding stops after this many rounds when the devices give nothing.
constexpr int kSeedRounds = 16;
constexpr size_t kSeedBytes = 1024;

bool SeedRandom() {
  for (int round = 0; round < kSeedRounds && RAND_status() != 1; ++round) {
    unsigned char seed[kSeedBytes];
    if (FillRandom(seed, sizeof(seed))) RAND_add(seed, sizeof(seed), 1023.0);
  }
  return RAND_status() == 1;
}

const SSL_METHOD* PickMethod(int method, bool quiet) {
  switch (method) {
    case 0:
    case 1:
      return TLSv1_2_method();
    case 2:
      return TLSv1_1_method();
    case 3:
      return TLSv1_method();
    case 4:
#ifndef OPENSSL_NO_SSL3_METHOD
      return SSLv3_method();
#else
      return nullptr;  // not built into this OpenSSL: no context can be made
#endif
    default:
      if (!quiet) printf("Velmar_Sockets3: Unknown TLS method, using default...\n");
      return TLSv1_method();
  }
}

}  // namespace

RecursiveMutex& SocketsTlsLock() {
  static RecursiveMutex lock;
  return lock;
}

SigpipeGuard::SigpipeGuard() : blocked(false), wasPending(false) {
  const int savedErrno = errno;
  sigset_t pending;
  sigemptyset(&pending);
  if (sigpending(&pending) == 0) wasPending = sigismember(&pending, SIGPIPE) == 1;
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGPIPE);
  blocked = pthread_sigmask(SIG_BLOCK, &block, &oldMask) == 0;
  errno = savedErrno;
}

SigpipeGuard::~SigpipeGuard() {
  if (!blocked) return;
  const int savedErrno = errno;
  sigset_t pending;
  sigemptyset(&pending);
  if (!wasPending && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    const timespec none = {0, 0};
    sigtimedwait(&pipe, nullptr, &none);
  }
  pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  errno = savedErrno;
}

int WaitForDescriptor(int fd, bool write, int64_t deadline) {
  const int64_t left = deadline - MonotonicMicros();
  if (left <= 0) return 0;  // a peer that trickles bytes cannot stretch the time
  pollfd entry = {fd, static_cast<short>(write ? POLLOUT : POLLIN), 0};
  const int64_t milliseconds = (left + 999) / 1000;
  return poll(&entry, 1, milliseconds > INT_MAX ? INT_MAX : static_cast<int>(milliseconds));
}

NonBlockingScope::NonBlockingScope(int descriptor) : fd(descriptor), oldFlags(-1) {
  const int savedErrno = errno;
  const int flags = fcntl(fd, F_GETFL, 0);
  if (flags >= 0 && !(flags & O_NONBLOCK) && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0) {
    oldFlags = flags;
  }
  errno = savedErrno;
}

NonBlockingScope::~NonBlockingScope() {
  if (oldFlags < 0) return;
  const int savedErrno = errno;
  fcntl(fd, F_SETFL, oldFlags);
  errno = savedErrno;
}

// ---- library initialisation ----

bool TlsLibraryInit() {
  ScopedLock lock(LibraryLock());
  if (++initCount > 1) return initResult;
  initResult = false;
  // Succeeds only before OpenSSL's first allocation; later the library keeps
  // the allocator it has, which is the same system allocator.
  CRYPTO_set_mem_functions(TlsMalloc, TlsRealloc, TlsFree);
  if (CRYPTO_THREADID_get_callback() == nullptr) {
    (void)CRYPTO_THREADID_set_callback(TlsThreadId);
  }
  if (CRYPTO_get_locking_callback() == nullptr) InstallTlsLocks();
  ERR_load_BIO_strings();
  SSL_load_error_strings();
  SSL_library_init();
  OpenSSL_add_all_digests();
  initResult = SeedRandom();
  return initResult;
}

void TlsLibraryExit() {
  ScopedLock lock(LibraryLock());
  if (initCount > 0 && --initCount > 0) return;
  FreeVerifyingContexts();
  RAND_cleanup();
  EVP_cleanup();
  ERR_free_strings();
  if (locksInstalled) RemoveTlsLocks();
}

int TlsLibraryInitCount() {
  ScopedLock lock(LibraryLock());
  return initCount;
}

void InstallTlsLocks() {
  ScopedLock lock(LibraryLock());
  if (locksInstalled) return;
  const int count = CRYPTO_num_locks();
  tlsLocks = static_cast<RecursiveMutex**>(malloc(count * sizeof(RecursiveMutex*)));
  if (tlsLocks == nullptr) return;
  for (int i = 0; i < count; ++i) tlsLocks[i] = new (std::nothrow) RecursiveMutex;
  tlsLockCount = count;
  CRYPTO_set_locking_callback(TlsLockCallback);
  locksInstalled = true;
}

void RemoveTlsLocks() {
  ScopedLock lock(LibraryLock());
  CRYPTO_set_locking_callback(nullptr);
  for (int i = 0; i < tlsLockCount; ++i) delete tlsLocks[i];
  free(tlsLocks);
  tlsLocks = nullptr;
  tlsLockCount = 0;
  locksInstalled = false;
}

void TlsLockCallback(int mode, int n, const char* file, int line) {
  if (tlsLocks == nullptr || n < 0 || n >= tlsLockCount || tlsLocks[n] == nullptr) return;
  if (mode & CRYPTO_LOCK) {
    tlsLocks[n]->Lock();
  } else {
    tlsLocks[n]->Unlock();
  }
}

void TlsThreadId(CRYPTO_THREADID* id) {
  CRYPTO_THREADID_set_numeric(id, static_cast<unsigned long>(pthread_self()));
}

bool FillRandom(void* buffer, size_t length) {
  if (length == 0) return true;
  unsigned char* bytes = static_cast<unsigned char*>(buffer);
  size_t done = 0;
  for (int attempt = 0; attempt < 10 && done < length; ++attempt) {
    FILE* device = fopen("/dev/urandom", "rb");
    if (device == nullptr) device = fopen("/dev/random", "rb");
    if (device == nullptr) continue;
    while (done < length) {
      const size_t got = fread(bytes + done, 1, length - done, device);
      if (got == 0) break;
      done += got;
    }
    fclose(device);
  }
  return done == length;
}

void GetLibraryVersion(int* major, int* minor, int* third) {
  if (major != nullptr) *major = 1;
  if (minor != nullptr) *minor = 1;
  if (third != nullptr) *third = 13;
}

static const char* BuildVersionString() {
  static char text[64];
  int major = 0, minor = 0;
  GetLibraryVersion(&major, &minor, nullptr);
  snprintf(text, sizeof(text), "%d.%02d", major, minor);
  strlcat(text, "-ssl-openssl", sizeof(text));
  strlcat(text, "-memleak", sizeof(text));
  strlcat(text, "-mysql", sizeof(text));
  return text;
}

const char* GetLibraryVersionString() {
  static const char* text = BuildVersionString();  // built once, thread-safe
  return text;
}

// ---- the object's context and the handshakes ----

bool Velmar_Sockets3::EnableSSL(const char* certFile, int method) {
  ScopedLock lock(SocketsTlsLock());
  // A second context replaces the first; sessions made from it hold their
  // own reference to it.
  if (sslContext != nullptr) SSL_CTX_free(sslContext);
  const SSL_METHOD* chosen = PickMethod(method, quiet);
  sslContext = chosen != nullptr ? SSL_CTX_new(chosen) : nullptr;
  if (sslContext == nullptr) {
    ERR_print_errors_fp(stderr);
    pSetError(VS_ERR_CTX, "Error initializing a SSL_CTX structure!");
    return false;
  }
  const long mode = SSL_CTX_ctrl(sslContext, SSL_CTRL_MODE, 0, nullptr);
  SSL_CTX_ctrl(sslContext, SSL_CTRL_MODE, mode | SSL_MODE_AUTO_RETRY, nullptr);
  SSL_CTX_set_options(sslContext, SSL_OP_NO_SSLv2 | SSL_OP_NO_SSLv3);
  int32_t code = 0;
  const char* text = nullptr;
  if (SSL_CTX_use_certificate_file(sslContext, certFile, SSL_FILETYPE_PEM) < 1) {
    code = VS_ERR_CERT;
    text = "Error loading your certificate!";
  } else if (SSL_CTX_use_PrivateKey_file(sslContext, certFile, SSL_FILETYPE_PEM) < 1) {
    code = VS_ERR_KEY;
    text = "Error loading your Private Key!";
  } else if (SSL_CTX_check_private_key(sslContext) == 0) {
    code = VS_ERR_KEY_MISMATCH;
    text = "Private key does not match the certificate public key!";
  }
  if (text == nullptr) return true;
  ERR_print_errors_fp(stderr);
  pSetError(code, text);
  SSL_CTX_free(sslContext);
  sslContext = nullptr;
  return false;
}

bool Velmar_Sockets3::SwitchToSSL_Server(VELMAR_SOCKET* sock) { return pHandshake(sock, true); }

bool Velmar_Sockets3::SwitchToSSL_Client(VELMAR_SOCKET* sock) { return pHandshake(sock, false); }

bool Velmar_Sockets3::pHandshake(VELMAR_SOCKET* sock, bool server) {
  if (sock->ssl == nullptr) {
    BIO* bio = BIO_new_socket(sock->sock, BIO_NOCLOSE);
    if (bio == nullptr) {
      pSetError(VS_ERR_BIO, "Error Allocating a BIO!\n");
      return false;
    }
    SSL* ssl = sslContext != nullptr ? SSL_new(sslContext) : nullptr;
    if (ssl == nullptr) {
      pSetError(VS_ERR_SSL_ALLOC, "Error Allocating a SSL!\n");
      BIO_free(bio);
      return false;
    }
    sock->ssl = ssl;
    SSL_set_bio(ssl, bio, bio);
  }
  int result;
  {
    SigpipeGuard guard;
    result = server ? SSL_accept(sock->ssl) : SSL_connect(sock->ssl);
  }
  if (result == 1) {
    pPrintTlsBanner(sock);
    return true;
  }
  lastError = result == 0 ? VS_ERR_HANDSHAKE_CLEAN : VS_ERR_HANDSHAKE;
  if (!server && result == 0) {
    snprintf(lastErrorText, sizeof(lastErrorText), "SSL connection failed cleanly: %d",
             SSL_get_error(sock->ssl, result));
    ERR_print_errors_fp(stderr);
    return false;
  }
  ERR_error_string_n(ERR_get_error(), lastErrorText, sizeof(lastErrorText));
  if (server) {
    printf("OpenSSL Error: %d, %s\n", result, lastErrorText);
  } else {
    printf("OpenSSL Error: %s\n", lastErrorText);
  }
  return false;
}

void Velmar_Sockets3::pPrintTlsBanner(VELMAR_SOCKET* sock) {
  const SSL_CIPHER* cipher = SSL_get_current_cipher(sock->ssl);
  int algorithmBits = 0;
  const int secretBits = SSL_CIPHER_get_bits(cipher, &algorithmBits);
  if (quiet) return;
  printf("SSL connection established\n");
  printf("SSL Version: %s, Cipher: %s\n", SSL_get_version(sock->ssl), SSL_CIPHER_get_name(cipher));
  printf("Using %d of %d maximum possible bits for security\n", secretBits, algorithmBits);
}

// Sends our close_notify and gives the peer a bounded time for its own (none
// on a non-blocking record, which gets one more attempt only). The descriptor
// is non-blocking meanwhile, so neither a peer that stopped reading nor one
// that never answers can hold the caller; it is closed right after anyway.
void Velmar_Sockets3::pShutdownTls(VELMAR_SOCKET* sock) {
  constexpr int64_t kFarewellWait = 250 * 1000;  // microseconds
  constexpr int kMaxRounds = 16;
  const int64_t deadline = MonotonicMicros() + (sock->nonBlocking ? 0 : kFarewellWait);
  NonBlockingScope nonBlocking(sock->sock);
  SigpipeGuard guard;
  ERR_clear_error();
  int result = SSL_shutdown(sock->ssl);
  for (int round = 0; result != 1 && round < kMaxRounds; ++round) {
    if (result < 0) {
      const int reason = SSL_get_error(sock->ssl, result);
      if (reason != SSL_ERROR_WANT_READ && reason != SSL_ERROR_WANT_WRITE) break;
      const int ready = WaitForDescriptor(sock->sock, reason == SSL_ERROR_WANT_WRITE, deadline);
      if (ready == 0 || (ready < 0 && errno != EINTR)) break;
    }
    ERR_clear_error();
    result = SSL_shutdown(sock->ssl);
  }
  ERR_clear_error();
}

X509* Velmar_Sockets3::GetPeerCertificate(VELMAR_SOCKET* sock) {
  if (sock == nullptr || sock->ssl == nullptr) return nullptr;
  return SSL_get_peer_certificate(sock->ssl);
}

SSL_CTX* Velmar_Sockets3::GetSSLContext() { return sslContext; }
