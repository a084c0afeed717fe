// TLS on the socket layer with a certificate made at test time: the context
// errors, failed handshakes and reads with what they print, our server with
// our client, each against an OpenSSL command-line peer on 127.0.0.1, and the
// library initialisation.
#include <gtest/gtest.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "locks.h"
#include "sockets3.h"
#include "sockets3_test_util.h"
#include "test_support.h"

using sockets3_test::BoundPort;
using sockets3_test::Child;
using sockets3_test::ListenOn;
using sockets3_test::LoopbackPair;
using sockets3_test::RawSend;
using testsupport::Stderr;
using testsupport::Stdout;

namespace {

// A temporary directory for the whole program with a self-signed RSA
// certificate: "both.pem" (certificate and key), "cert.pem" (certificate
// only) and "ec-pair.pem" (certificate with a key of another pair).
std::string certDir;

std::string Pem(const char* name) { return certDir + "/" + name; }

class Sockets3Tls : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/sockets3-tls-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    certDir = pattern;
    const std::string script =
        "cd " + certDir + " && exec >/dev/null 2>&1 && " +
        "openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=localhost -days 1 "
        "-keyout key.pem -out cert.pem && "
        "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ec.pem && "
        "cat cert.pem key.pem >both.pem && cat cert.pem ec.pem >ec-pair.pem";
    ASSERT_EQ(0, system(script.c_str()));
  }
  static void TearDownTestSuite() {
    if (!certDir.empty()) system(("rm -rf '" + certDir + "'").c_str());
  }
};

// Our client and our server over loopback, the handshake done (the server's
// on a thread of its own). Each end has its own object.
struct TlsPair {
  TlsPair() {
    if (!serverNet.EnableSSL(Pem("both.pem").c_str(), 0) ||
        !clientNet.EnableSSL(Pem("both.pem").c_str(), 0)) {
      return;
    }
    listener = ListenOn(serverNet, AF_INET, "127.0.0.1");
    if (listener == nullptr) return;
    std::thread accepter([this] {
      if (serverNet.SelectRead(listener, 10000u) == 1) {
        server = serverNet.Accept(listener, VS_FEATURE_TLS);
      }
    });
    client = clientNet.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
    clientNet.SetQuiet(false);
    banner = Stdout([&] {
      up = clientNet.Connect(client, "127.0.0.1", BoundPort(listener)) &&
           clientNet.SwitchToSSL_Client(client);
      accepter.join();  // the quiet server's handshake prints nothing
    });
    clientNet.SetQuiet(true);
    up = up && server != nullptr;
  }
  ~TlsPair() {
    clientNet.Close(client);
    serverNet.Close(server);
    serverNet.Close(listener);
  }
  Velmar_Sockets3 serverNet, clientNet;
  VELMAR_SOCKET* listener = nullptr;
  VELMAR_SOCKET* server = nullptr;
  VELMAR_SOCKET* client = nullptr;
  std::string banner;  // what both handshakes printed, the client's not quiet
  bool up = false;
};

// Connects to a server that may still be starting (up to 10 s).
VELMAR_SOCKET* ConnectWhenUp(Velmar_Sockets3& net, int port) {
  for (int round = 0; round < 100; ++round) {
    VELMAR_SOCKET* sock = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
    if (sock == nullptr || net.Connect(sock, "127.0.0.1", port)) return sock;
    net.Close(sock);
    Sleep(100);
  }
  return nullptr;
}

}  // namespace

TEST_F(Sockets3Tls, ContextErrors) {
  Velmar_Sockets3 net;
  const struct {
    std::string file;
    int method;
    int32_t code;
    const char* text;
  } cases[] = {
      {Pem("cert.pem"), 0, VS_ERR_KEY, "Error loading your Private Key!"},
      {Pem("missing.pem"), 0, VS_ERR_CERT, "Error loading your certificate!"},
      {Pem("ec-pair.pem"), 0, VS_ERR_KEY_MISMATCH,
       "Private key does not match the certificate public key!"},
      // This OpenSSL has no SSL 3: no context can be made for it.
      {Pem("both.pem"), 4, VS_ERR_CTX, "Error initializing a SSL_CTX structure!"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(net.EnableSSL(c.file.c_str(), c.method)) << c.text;
    EXPECT_EQ(c.code, net.GetLastError(nullptr));
    EXPECT_STREQ(c.text, net.GetLastErrorString(nullptr));
    EXPECT_EQ(nullptr, net.GetSSLContext());
    EXPECT_FALSE(net.IsEnabled(VS_FEATURE_TLS));
  }
  // The method number picks the protocol version; an unknown one, TLS 1.0.
  const std::string both = Pem("both.pem");
  const std::pair<int, int> methods[] = {{0, TLS1_2_VERSION},
                                         {1, TLS1_2_VERSION},
                                         {2, TLS1_1_VERSION},
                                         {3, TLS1_VERSION},
                                         {9, TLS1_VERSION}};
  for (const auto& [method, version] : methods) {
    ASSERT_TRUE(net.EnableSSL(both.c_str(), method));
    SSL* session = SSL_new(net.GetSSLContext());
    EXPECT_EQ(version, SSL_version(session)) << method;
    SSL_free(session);
    EXPECT_TRUE(SSL_CTX_get_options(net.GetSSLContext()) & SSL_OP_NO_SSLv3);
  }
  net.SetQuiet(false);
  EXPECT_EQ("Velmar_Sockets3: Unknown TLS method, using default...\n",
            Stdout([&] { EXPECT_TRUE(net.EnableSSL(both.c_str(), 7)); }));
  net.SetQuiet(true);
  EXPECT_EQ("", Stdout([&] { EXPECT_TRUE(net.EnableSSL(both.c_str(), 9)); }));
  EXPECT_TRUE(net.IsEnabled(VS_FEATURE_TLS));
  EXPECT_TRUE(SSL_CTX_get_mode(net.GetSSLContext()) & SSL_MODE_AUTO_RETRY);
}

// Failed handshakes leave their code and text on the object, print the
// "OpenSSL Error" line whatever the quiet flag says, and never the trace.
// (An end that closes in the handshake is no clean TLS close here either.)
TEST_F(Sockets3Tls, FailedHandshakesSayWhy) {
  const struct {
    const char* what;
    bool server;            // our end runs the server's handshake
    const char* peerSends;  // before our handshake; null: the peer closes
    bool quiet;
    const char* lineFormat;  // with the result (-1) and the text
  } cases[] = {
      {"client, plain reply", false, "HTTP/1.0 400 Bad Request\r\n\r\n", true,
       "OpenSSL Error: %2$s\n"},
      {"server, plain request", true, "GET / HTTP/1.0\r\n\r\n", false,
       "OpenSSL Error: %1$d, %2$s\n"},
      {"server, peer gone", true, nullptr, true, "OpenSSL Error: %1$d, %2$s\n"},
      {"client, peer gone", false, nullptr, false, "OpenSSL Error: %2$s\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Velmar_Sockets3 net;
    LoopbackPair pair(net);
    ASSERT_NE(nullptr, pair.server);
    ASSERT_TRUE(net.EnableSSL(Pem("both.pem").c_str(), 0));
    VELMAR_SOCKET*& ours = c.server ? pair.server : pair.client;
    VELMAR_SOCKET*& peer = c.server ? pair.client : pair.server;
    if (c.peerSends != nullptr) {
      RawSend(peer, c.peerSends);
    } else {
      net.Close(peer);
      peer = nullptr;
    }
    net.SetQuiet(c.quiet);
    const std::string out = Stdout([&] {
      EXPECT_FALSE(c.server ? net.SwitchToSSL_Server(ours) : net.SwitchToSSL_Client(ours));
    });
    EXPECT_EQ(VS_ERR_HANDSHAKE, net.GetLastError(nullptr));
    EXPECT_EQ(0, strncmp("error:", net.GetLastErrorString(nullptr), 6));  // OpenSSL's reason
    char line[1024];
    snprintf(line, sizeof(line), c.lineFormat, -1, net.GetLastErrorString(nullptr));
    EXPECT_EQ(line, out);
    EXPECT_EQ(0, ours->lastError);  // not copied to the record
    EXPECT_NE(nullptr, ours->ssl);  // kept until Close
  }
}

TEST_F(Sockets3Tls, HandshakeWithoutContextFails) {
  Velmar_Sockets3 net;
  LoopbackPair pair(net);
  ASSERT_NE(nullptr, pair.server);
  net.SetQuiet(false);
  EXPECT_EQ("", Stdout([&] { EXPECT_FALSE(net.SwitchToSSL_Client(pair.client)); }));
  EXPECT_EQ(VS_ERR_SSL_ALLOC, net.GetLastError(nullptr));
  EXPECT_STREQ("Error Allocating a SSL!\n", net.GetLastErrorString(nullptr));
  EXPECT_EQ(nullptr, pair.client->ssl);
  EXPECT_EQ(nullptr, net.GetPeerCertificate(pair.client));
}

TEST_F(Sockets3Tls, OurServerWithOurClient) {
  TlsPair tls;
  ASSERT_TRUE(tls.up) << tls.banner;
  EXPECT_EQ(0u, tls.banner.find("SSL connection established\nSSL Version: TLSv1.2, Cipher: "))
      << tls.banner;
  EXPECT_NE(std::string::npos,
            tls.banner.find("\nUsing 256 of 256 maximum possible bits for security\n"));
  EXPECT_EQ(std::string::npos, tls.banner.find("SSL connection established", 1));
  X509* peer = tls.clientNet.GetPeerCertificate(tls.client);
  ASSERT_NE(nullptr, peer);
  char name[64] = "";
  X509_NAME_get_text_by_NID(X509_get_subject_name(peer), NID_commonName, name, sizeof(name));
  EXPECT_STREQ("localhost", name);
  X509_free(peer);
  EXPECT_EQ(nullptr, tls.serverNet.GetPeerCertificate(tls.server));

  char line[64];
  EXPECT_EQ(6, tls.clientNet.Send(tls.client, "hello\n", -1, false));
  ASSERT_EQ(1, tls.serverNet.SelectRead(tls.server, 10000u));
  EXPECT_EQ(5, tls.serverNet.RecvLine(tls.server, line, sizeof(line)));
  EXPECT_STREQ("hello", line);
  EXPECT_EQ(8, tls.serverNet.Send(tls.server, "one\ntwo\n", -1, true));
  ASSERT_EQ(1, tls.clientNet.SelectRead(tls.client, 10000u));
  EXPECT_EQ(3, tls.clientNet.RecvLine(tls.client, line, sizeof(line)));
  EXPECT_STREQ("one", line);
  // The second line is decrypted already: ready without a wait.
  EXPECT_GT(SSL_pending(tls.client->ssl), 0);
  timeval none = {0, 0};
  EXPECT_EQ(1, tls.clientNet.SelectRead(tls.client, &none));
  EXPECT_EQ(3, tls.clientNet.RecvLine(tls.client, line, sizeof(line)));
  EXPECT_STREQ("two", line);

  // Datagram operations refuse a TLS socket.
  char host[40];
  int port;
  Velmar_Sockets3& net = tls.clientNet;
  EXPECT_EQ(-1, net.RecvFrom(tls.client, host, sizeof(host), &port, line, sizeof(line)));
  EXPECT_EQ(VS_ERR_REFUSED, net.GetLastError(nullptr));
  EXPECT_STREQ("RecvFrom doesn't work with SSL", net.GetLastErrorString(nullptr));
  EXPECT_EQ(-1, net.PeekFrom(tls.client, host, sizeof(host), &port, line, sizeof(line)));
  EXPECT_STREQ("PeekFrom doesn't work with SSL", net.GetLastErrorString(nullptr));
  EXPECT_EQ(-1, net.SendTo(tls.client, "127.0.0.1", 9, "x", 1));
  EXPECT_STREQ("SendTo doesn't work with SSL", net.GetLastErrorString(nullptr));
  EXPECT_EQ(VS_LINE_ERROR,
            net.RecvLineFrom(tls.client, host, sizeof(host), &port, line, sizeof(line)));

  // Once the server has closed, writing fails without a SIGPIPE.
  tls.serverNet.Close(tls.server);
  tls.server = nullptr;
  int result = 0;
  const std::string out = Stdout([&] {
    for (int i = 0; i < 50 && result >= 0; ++i) result = net.Send(tls.client, "data", -1, true);
  });
  EXPECT_EQ(-1, result);
  EXPECT_EQ(VS_ERR_TLS_WRITE, net.GetLastError(nullptr));
  EXPECT_EQ("OpenSSL Error: " + std::string(net.GetLastErrorString(nullptr)) + "\n",
            out.substr(out.rfind("OpenSSL Error: ")));
}

// A failed TLS read or peek leaves VS_ERR_TLS_READ and prints OpenSSL's
// reasons to standard error, nothing to standard output, quiet or not.
TEST_F(Sockets3Tls, FailedReadsSayWhy) {
  const struct {
    const char* what;
    const char* peerSends;  // raw bytes, not a record; null: a TLS close
    bool line;              // RecvLine (peek first), else Recv
    bool quiet;
    int result;
    const char* text;  // null: OpenSSL's text, not checked
    bool reasons;      // OpenSSL has reasons to print
  } cases[] = {
      {"read, no record", "garbage\r\n", false, false, -1, "Error returned by SSL_read(): -1",
       true},
      {"read, closed", nullptr, false, true, 0, "Error returned by SSL_read(): 0", false},
      {"peek, no record", "garbage\r\n", true, true, VS_LINE_ERROR, nullptr, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TlsPair tls;
    ASSERT_TRUE(tls.up) << tls.banner;
    if (c.peerSends != nullptr) {
      RawSend(tls.server, c.peerSends);
    } else {
      tls.serverNet.Close(tls.server);
      tls.server = nullptr;
    }
    tls.clientNet.SetQuiet(c.quiet);
    char buffer[64];
    int result = 0;
    std::string out;
    const std::string err = Stderr([&] {
      out = Stdout([&] {
        result = c.line ? tls.clientNet.RecvLine(tls.client, buffer, sizeof(buffer))
                        : tls.clientNet.Recv(tls.client, buffer, sizeof(buffer));
      });
    });
    EXPECT_EQ(c.result, result);
    EXPECT_EQ(VS_ERR_TLS_READ, tls.clientNet.GetLastError(nullptr));
    if (c.text != nullptr) {
      EXPECT_STREQ(c.text, tls.clientNet.GetLastErrorString(nullptr));
    }
    EXPECT_EQ("", out);
    EXPECT_EQ(c.reasons, !err.empty()) << err;
  }
}

TEST_F(Sockets3Tls, OurClientWithOpensslServer) {
  const int port = []() {
    Velmar_Sockets3 probe;
    VELMAR_SOCKET* sock = ListenOn(probe, AF_INET, "127.0.0.1");
    const int free = sock != nullptr ? BoundPort(sock) : 0;
    probe.Close(sock);
    return free;
  }();
  Child server("openssl s_server -accept 127.0.0.1:" + std::to_string(port) + " -cert " +
               Pem("both.pem") + " -rev -quiet");
  Velmar_Sockets3 net;
  ASSERT_TRUE(net.EnableSSL(Pem("both.pem").c_str(), 0));
  VELMAR_SOCKET* client = ConnectWhenUp(net, port);
  ASSERT_NE(nullptr, client);
  ASSERT_TRUE(net.SwitchToSSL_Client(client));
  EXPECT_EQ(6, net.Send(client, "hello\n", -1, true));
  char line[64] = "";
  int result = VS_LINE_INCOMPLETE;
  for (int round = 0; round < 100 && result == VS_LINE_INCOMPLETE; ++round) {
    if (net.SelectRead(client, 100u) == 1) result = net.RecvLine(client, line, sizeof(line));
  }
  EXPECT_EQ(5, result);
  EXPECT_STREQ("olleh", line);
  EXPECT_EQ(0, net.Close(client));
}

TEST_F(Sockets3Tls, OurServerWithOpensslClient) {
  Velmar_Sockets3 net;
  ASSERT_TRUE(net.EnableSSL(Pem("both.pem").c_str(), 0));
  VELMAR_SOCKET* listener = ListenOn(net, AF_INET, "127.0.0.1");
  ASSERT_NE(nullptr, listener);
  Child client("openssl s_client -quiet -no_ign_eof -connect 127.0.0.1:" +
               std::to_string(BoundPort(listener)));
  ASSERT_EQ(1, net.SelectRead(listener, 10000u));
  VELMAR_SOCKET* sock = net.Accept(listener, VS_FEATURE_TLS);
  ASSERT_NE(nullptr, sock);
  ASSERT_EQ(6, write(client.input, "ping\r\n", 6));
  char line[64] = "";
  ASSERT_EQ(1, net.SelectRead(sock, 10000u));
  EXPECT_EQ(4, net.RecvLine(sock, line, sizeof(line)));
  EXPECT_STREQ("ping", line);
  EXPECT_EQ(5, net.Send(sock, "pong\n", -1, true));
  EXPECT_NE(std::string::npos, client.ReadUntil("pong\n").find("pong\n"));
  close(client.input);  // the client ends its side
  client.input = -1;
  ASSERT_EQ(1, net.SelectRead(sock, 10000u));
  EXPECT_EQ(VS_LINE_CLOSED, net.RecvLine(sock, line, sizeof(line)));
  EXPECT_EQ(0, net.Close(sock));
  EXPECT_EQ(0, net.Close(listener));
}

TEST_F(Sockets3Tls, LibraryInitialisationIsReferenceCounted) {
  const int base = TlsLibraryInitCount();
  ASSERT_EQ(0, base) << "no object lives, so the library is not initialised";
  auto* first = new Velmar_Sockets3;
  auto* second = new Velmar_Sockets3;
  EXPECT_EQ(base + 2, TlsLibraryInitCount());
  delete first;
  EXPECT_EQ(base + 1, TlsLibraryInitCount());
  delete second;
  EXPECT_EQ(base, TlsLibraryInitCount());
  auto* third = new Velmar_Sockets3;
  EXPECT_EQ(base + 1, TlsLibraryInitCount());
  EXPECT_TRUE(TlsLibraryInit());  // a later caller gets the first result
  TlsLibraryExit();
  delete third;
  EXPECT_EQ(base, TlsLibraryInitCount());
  // The library still works after a teardown and a fresh start.
  Velmar_Sockets3 net;
  EXPECT_TRUE(net.EnableSSL(Pem("both.pem").c_str(), 0));
}

TEST(Sockets3Library, RandomBytesVersionAndLockHooks) {
  unsigned char bytes[64] = {};
  EXPECT_TRUE(FillRandom(bytes, sizeof(bytes)));
  EXPECT_NE(std::string(64, '\0'), std::string(bytes, bytes + 64));
  EXPECT_TRUE(FillRandom(nullptr, 0));
  int major = 0, minor = 0, third = 0;
  GetLibraryVersion(&major, &minor, &third);
  EXPECT_EQ(10113, major * 10000 + minor * 100 + third);
  EXPECT_STREQ("1.01-ssl-openssl-memleak-mysql", GetLibraryVersionString());

  // Installing twice keeps one array; numbers outside it are ignored, and
  // without the array the callback does nothing.
  InstallTlsLocks();
  InstallTlsLocks();
  TlsLockCallback(CRYPTO_LOCK, 0, __FILE__, __LINE__);
  TlsLockCallback(CRYPTO_UNLOCK, 0, __FILE__, __LINE__);
  TlsLockCallback(CRYPTO_LOCK, 1 << 20, __FILE__, __LINE__);
  RemoveTlsLocks();
  TlsLockCallback(CRYPTO_LOCK, 0, __FILE__, __LINE__);
}
