#define MEMLEAK_SOURCE "sockets3"
// Verified TLS client connections: a client context per set of trusted
// certificates, shared by every object of the process, and a handshake that
// checks the server's certificate and name within a time limit.
//
// Reading the system's trusted certificates costs tens of milliseconds, and a
// downloader makes a fresh socket-layer object for every transfer, so the
// contexts are kept process-wide (under the TLS lock) rather than per object.
// The system's certificates are taken from OpenSSL's built-in locations, not
// from the environment: the updater runs as root and reads no environment.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "GenLib.h"
#include "memleak.h"
#include "sockets3.h"
#include "sockets3_internal.h"

namespace {

// One shared context and the CA file it trusts ("" for the system's store).
struct TrustEntry {
  char caFile[1024];
  SSL_CTX* context;
};

// Guarded by SocketsTlsLock(). When full, the oldest entry is replaced.
constexpr size_t kTrustEntries = 8;
TrustEntry trustEntries[kTrustEntries];
size_t trustNext = 0;

// Loads the system's trusted certificates: the bundle file and the hashed
// directory. Either may be missing; verification then fails for want of an
// issuer, which names the problem better than a load error here.
void TrustSystemStore(SSL_CTX* context) {
  X509_STORE* store = SSL_CTX_get_cert_store(context);
  X509_STORE_load_file(store, X509_get_default_cert_file());
  X509_STORE_load_path(store, X509_get_default_cert_dir());
  ERR_clear_error();
}

// A new verifying client context, or null with *code set.
SSL_CTX* MakeVerifyingContext(const char* caFile, int32_t* code) {
  *code = VS_ERR_CTX;
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (context == nullptr || SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1) {
    SSL_CTX_free(context);
    return nullptr;
  }
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_mode(context, SSL_MODE_AUTO_RETRY);
  if (caFile == nullptr) {
    TrustSystemStore(context);
  } else if (SSL_CTX_load_verify_locations(context, caFile, nullptr) != 1) {
    *code = VS_ERR_CERT;
    SSL_CTX_free(context);
    return nullptr;
  }
  return context;
}

// The shared context for `key`, made and kept on first use; null with *code
// set. `*kept` tells whether the cache holds it (a key too long for an entry
// gets a context of its own, which the caller frees). Needs the TLS lock.
SSL_CTX* VerifyingContext(const char* caFile, int32_t* code, bool* kept) {
  const char* key = caFile != nullptr ? caFile : "";
  for (TrustEntry& entry : trustEntries) {
    if (entry.context != nullptr && strcmp(entry.caFile, key) == 0) {
      *kept = true;
      return entry.context;
    }
  }
  SSL_CTX* context = MakeVerifyingContext(caFile, code);
  *kept = context != nullptr && strlen(key) < sizeof(trustEntries[0].caFile);
  if (!*kept) return context;
  TrustEntry& entry = trustEntries[trustNext];
  trustNext = (trustNext + 1) % kTrustEntries;
  SSL_CTX_free(entry.context);  // sessions made from it hold their own reference
  strlcpy(entry.caFile, key, sizeof(entry.caFile));
  entry.context = context;
  return context;
}

// A new session that trusts `caFile`; null with *code set.
SSL* NewVerifyingSession(const char* caFile, int32_t* code) {
  ScopedLock lock(SocketsTlsLock());
  bool kept = false;
  SSL_CTX* context = VerifyingContext(caFile, code, &kept);
  if (context == nullptr) return nullptr;
  SSL* ssl = SSL_new(context);
  if (!kept) SSL_CTX_free(context);
  if (ssl == nullptr) *code = VS_ERR_SSL_ALLOC;
  return ssl;
}

// What the server's certificate must name: an IP address for a literal, else
// the host name, which also goes out as the server name indication.
bool NameTheServer(SSL* ssl, const char* serverName) {
  unsigned char address[sizeof(in6_addr)];
  if (inet_pton(AF_INET, serverName, address) == 1 ||
      inet_pton(AF_INET6, serverName, address) == 1) {
    return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), serverName) == 1;
  }
  SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  return SSL_set_tlsext_host_name(ssl, serverName) == 1 && SSL_set1_host(ssl, serverName) == 1;
}

// The text for a session that could not be made.
const char* SessionFailureText(int32_t code) {
  switch (code) {
    case VS_ERR_CERT:
      return "Error loading the trusted certificates!";
    case VS_ERR_SSL_ALLOC:
      return "Error Allocating a SSL!";
    default:
      return "Error initializing a SSL_CTX structure!";
  }
}

// The code and text of a failed handshake: the verification result when the
// certificate was refused, else OpenSSL's reason or the system's.
int32_t DescribeFailure(SSL* ssl, int result, int sslError, int systemError, char* text,
                        size_t size) {
  const long verify = SSL_get_verify_result(ssl);
  if (verify != X509_V_OK) {
    snprintf(text, size, "Certificate verification failed: %s",
             X509_verify_cert_error_string(verify));
    return VS_ERR_VERIFY;
  }
  char reason[256] = "";
  const unsigned long queued = ERR_peek_error();
  if (queued != 0) {
    const char* name = ERR_reason_error_string(queued);
    if (name != nullptr) {
      strlcpy(reason, name, sizeof(reason));
    } else {
      ERR_error_string_n(queued, reason, sizeof(reason));
    }
  } else if (sslError == SSL_ERROR_SYSCALL && systemError != 0) {
    strlcpy(reason, strerror(systemError), sizeof(reason));
  } else {
    strlcpy(reason, "the server closed the connection", sizeof(reason));
  }
  snprintf(text, size, "TLS handshake failed: %s", reason);
  return result == 0 ? VS_ERR_HANDSHAKE_CLEAN : VS_ERR_HANDSHAKE;
}

}  // namespace

void FreeVerifyingContexts() {
  ScopedLock lock(SocketsTlsLock());
  for (TrustEntry& entry : trustEntries) {
    SSL_CTX_free(entry.context);
    entry.context = nullptr;
    entry.caFile[0] = '\0';
  }
  trustNext = 0;
}

bool Velmar_Sockets3::StartClientTLS(VELMAR_SOCKET* sock, const char* serverName,
                                     const char* caFile, uint32_t timeoutMs) {
  if (sock == nullptr || serverName == nullptr || serverName[0] == '\0') {
    pSetError(sock, VS_ERR_REFUSED,
              "A socket and a server name are needed for a verified TLS connection");
    return false;
  }
  if (sock->ssl != nullptr) {
    pSetError(sock, VS_ERR_REFUSED, "TLS has already been started on this socket");
    return false;
  }
  int32_t code = 0;
  SSL* ssl = NewVerifyingSession(caFile, &code);
  if (ssl == nullptr) {
    ERR_clear_error();
    pSetError(sock, code, SessionFailureText(code));
    return false;
  }
  if (!NameTheServer(ssl, serverName) || SSL_set_fd(ssl, sock->sock) != 1) {
    ERR_clear_error();
    SSL_free(ssl);
    pSetError(sock, VS_ERR_REFUSED, "The server name cannot be checked in a certificate");
    return false;
  }
  if (!pVerifiedHandshake(sock, ssl, timeoutMs)) {
    SSL_free(ssl);
    return false;
  }
  sock->ssl = ssl;
  pPrintTlsBanner(sock);
  return true;
}

// Runs the handshake on the descriptor made non-blocking, waiting for it with
// poll until `timeoutMs` has passed. Failure records the reason.
bool Velmar_Sockets3::pVerifiedHandshake(VELMAR_SOCKET* sock, SSL* ssl, uint32_t timeoutMs) {
  const int64_t deadline = MonotonicMicros() + static_cast<int64_t>(timeoutMs) * 1000;
  NonBlockingScope nonBlocking(sock->sock);
  SigpipeGuard guard;
  for (;;) {
    ERR_clear_error();
    errno = 0;
    const int result = SSL_connect(ssl);
    if (result == 1 && SSL_get0_peer_certificate(ssl) == nullptr) {
      // Only a cipher without authentication leaves nothing to verify.
      pSetError(sock, VS_ERR_VERIFY, "Certificate verification failed: no certificate");
      return false;
    }
    if (result == 1) return true;
    const int systemError = errno;
    const int sslError = SSL_get_error(ssl, result);
    if (sslError != SSL_ERROR_WANT_READ && sslError != SSL_ERROR_WANT_WRITE) {
      char text[256];
      const int32_t code = DescribeFailure(ssl, result, sslError, systemError, text, sizeof(text));
      ERR_clear_error();
      pSetError(sock, code, text);
      return false;
    }
    const int ready = WaitForDescriptor(sock->sock, sslError == SSL_ERROR_WANT_WRITE, deadline);
    if (ready == 0) {
      errno = ETIMEDOUT;
      pUpdateError(sock, "TLS handshake timed out");
      return false;
    }
    if (ready < 0 && errno != EINTR) {
      pUpdateError(sock);
      return false;
    }
  }
}
