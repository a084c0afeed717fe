// TLS on the socket layer with a certificate made at test time: our server
// with our client, each against an OpenSSL command-line peer on 127.0.0.1,
// the context errors, and the library initialisation.
#include <gtest/gtest.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "locks.h"
#include "sockets3.h"
#include "sockets3_test_util.h"

using sockets3_test::BoundPort;
using sockets3_test::CaptureOutput;
using sockets3_test::Child;
using sockets3_test::ListenOn;
using sockets3_test::RawSend;

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
  EXPECT_FALSE(net.EnableSSL(Pem("cert.pem").c_str(), 0));
  EXPECT_EQ(VS_ERR_KEY, net.GetLastError(nullptr));
  EXPECT_STREQ("Error loading your Private Key!", net.GetLastErrorString(nullptr));
  EXPECT_FALSE(net.EnableSSL(Pem("missing.pem").c_str(), 0));
  EXPECT_EQ(VS_ERR_CERT, net.GetLastError(nullptr));
  EXPECT_STREQ("Error loading your certificate!", net.GetLastErrorString(nullptr));
  EXPECT_FALSE(net.EnableSSL(Pem("ec-pair.pem").c_str(), 0));
  EXPECT_EQ(VS_ERR_KEY_MISMATCH, net.GetLastError(nullptr));
  EXPECT_STREQ("Private key does not match the certificate public key!",
               net.GetLastErrorString(nullptr));
  EXPECT_EQ(nullptr, net.GetSSLContext());
  EXPECT_FALSE(net.IsEnabled(VS_FEATURE_TLS));

  // This OpenSSL has no SSL 3: no context can be made for it.
  const std::string both = Pem("both.pem");
  EXPECT_FALSE(net.EnableSSL(both.c_str(), 4));
  EXPECT_EQ(VS_ERR_CTX, net.GetLastError(nullptr));
  EXPECT_STREQ("Error initializing a SSL_CTX structure!", net.GetLastErrorString(nullptr));

  net.SetQuiet(false);
  std::string out = CaptureOutput([&] { EXPECT_TRUE(net.EnableSSL(both.c_str(), 7)); });
  EXPECT_EQ("Velmar_Sockets3: Unknown TLS method, using default...\n", out);
  net.SetQuiet(true);
  EXPECT_EQ("", CaptureOutput([&] { EXPECT_TRUE(net.EnableSSL(both.c_str(), 9)); }));
  EXPECT_TRUE(net.EnableSSL(both.c_str(), 0));
  EXPECT_TRUE(net.IsEnabled(VS_FEATURE_TLS));
  EXPECT_TRUE(SSL_CTX_get_mode(net.GetSSLContext()) & SSL_MODE_AUTO_RETRY);
}

TEST_F(Sockets3Tls, HandshakeWithoutContextOrWithPlainPeerFails) {
  Velmar_Sockets3 net;
  VELMAR_SOCKET* listener = ListenOn(net, AF_INET, "127.0.0.1");
  ASSERT_NE(nullptr, listener);
  VELMAR_SOCKET* client = ConnectWhenUp(net, BoundPort(listener));
  VELMAR_SOCKET* server = net.Accept(listener, 0);
  ASSERT_TRUE(client != nullptr && server != nullptr);
  EXPECT_FALSE(net.SwitchToSSL_Client(client));
  EXPECT_EQ(VS_ERR_SSL_ALLOC, net.GetLastError(nullptr));
  EXPECT_STREQ("Error Allocating a SSL!\n", net.GetLastErrorString(nullptr));
  EXPECT_EQ(nullptr, net.GetPeerCertificate(client));

  // A plain server's reply is no TLS record: printed whatever the quiet flag.
  ASSERT_TRUE(net.EnableSSL(Pem("both.pem").c_str(), 0));
  RawSend(server, "HTTP/1.0 400 Bad Request\r\n\r\n");
  const std::string out = CaptureOutput([&] { EXPECT_FALSE(net.SwitchToSSL_Client(client)); });
  EXPECT_EQ(VS_ERR_HANDSHAKE, net.GetLastError(nullptr));
  EXPECT_EQ("OpenSSL Error: " + std::string(net.GetLastErrorString(nullptr)) + "\n", out);
  EXPECT_NE(nullptr, client->ssl);  // kept until Close
  for (VELMAR_SOCKET* sock : {client, server, listener}) EXPECT_EQ(0, net.Close(sock));
}

TEST_F(Sockets3Tls, OurServerWithOurClient) {
  Velmar_Sockets3 serverNet;
  ASSERT_TRUE(serverNet.EnableSSL(Pem("both.pem").c_str(), 0));
  VELMAR_SOCKET* listener = ListenOn(serverNet, AF_INET, "127.0.0.1");
  ASSERT_NE(nullptr, listener);
  std::string serverLine;
  bool serverPeerHasNoCertificate = false;
  std::thread server([&] {
    if (serverNet.SelectRead(listener, 10000u) != 1) return;
    VELMAR_SOCKET* sock = serverNet.Accept(listener, VS_FEATURE_TLS);
    if (sock == nullptr) return;
    serverPeerHasNoCertificate = serverNet.GetPeerCertificate(sock) == nullptr;
    char line[64];
    if (serverNet.SelectRead(sock, 10000u) == 1 && serverNet.RecvLine(sock, line, 64) >= 0) {
      serverLine = line;
    }
    serverNet.Send(sock, "one\ntwo\n", -1, true);
    serverNet.SelectRead(sock, 10000u);
    serverNet.Recv(sock, line, 1);  // until the client says it is done
    serverNet.Close(sock);
  });

  Velmar_Sockets3 clientNet;
  ASSERT_TRUE(clientNet.EnableSSL(Pem("both.pem").c_str(), 0));
  VELMAR_SOCKET* client = ConnectWhenUp(clientNet, BoundPort(listener));
  ASSERT_NE(nullptr, client);
  clientNet.SetQuiet(false);
  std::string out = CaptureOutput([&] { EXPECT_TRUE(clientNet.SwitchToSSL_Client(client)); });
  clientNet.SetQuiet(true);
  EXPECT_EQ(0u, out.find("SSL connection established\nSSL Version: TLSv1.2, Cipher: ")) << out;
  EXPECT_NE(std::string::npos, out.find("\nUsing 256 of 256 maximum possible bits for security\n"))
      << out;
  X509* peer = clientNet.GetPeerCertificate(client);
  ASSERT_NE(nullptr, peer);
  char name[64] = "";
  X509_NAME_get_text_by_NID(X509_get_subject_name(peer), NID_commonName, name, sizeof(name));
  EXPECT_STREQ("localhost", name);
  X509_free(peer);

  EXPECT_EQ(6, clientNet.Send(client, "hello\n", -1, false));
  char line[64];
  ASSERT_EQ(1, clientNet.SelectRead(client, 10000u));
  EXPECT_EQ(3, clientNet.RecvLine(client, line, sizeof(line)));
  EXPECT_STREQ("one", line);
  // The second line is decrypted already: ready without a wait.
  EXPECT_GT(SSL_pending(client->ssl), 0);
  timeval none = {0, 0};
  EXPECT_EQ(1, clientNet.SelectRead(client, &none));
  EXPECT_EQ(3, clientNet.RecvLine(client, line, sizeof(line)));
  EXPECT_STREQ("two", line);

  // Datagram operations refuse a TLS socket.
  char host[40];
  int port;
  EXPECT_EQ(-1, clientNet.RecvFrom(client, host, sizeof(host), &port, line, sizeof(line)));
  EXPECT_EQ(VS_ERR_REFUSED, clientNet.GetLastError(nullptr));
  EXPECT_STREQ("RecvFrom doesn't work with SSL", clientNet.GetLastErrorString(nullptr));
  EXPECT_EQ(-1, clientNet.PeekFrom(client, host, sizeof(host), &port, line, sizeof(line)));
  EXPECT_STREQ("PeekFrom doesn't work with SSL", clientNet.GetLastErrorString(nullptr));
  EXPECT_EQ(-1, clientNet.SendTo(client, "127.0.0.1", 9, "x", 1));
  EXPECT_STREQ("SendTo doesn't work with SSL", clientNet.GetLastErrorString(nullptr));
  EXPECT_EQ(VS_LINE_ERROR,
            clientNet.RecvLineFrom(client, host, sizeof(host), &port, line, sizeof(line)));

  // Once the server has closed, writing fails without a SIGPIPE.
  EXPECT_EQ(1, clientNet.Send(client, "x", -1, true));
  server.join();
  int result = 0;
  out = CaptureOutput([&] {
    for (int i = 0; i < 50 && result >= 0; ++i) result = clientNet.Send(client, "data", -1, true);
  });
  EXPECT_EQ(-1, result);
  EXPECT_EQ(VS_ERR_TLS_WRITE, clientNet.GetLastError(nullptr));
  EXPECT_EQ(0u, out.find("OpenSSL Error: ")) << out;
  EXPECT_EQ(0, clientNet.Close(client));
  EXPECT_EQ("hello", serverLine);
  EXPECT_TRUE(serverPeerHasNoCertificate);
  serverNet.Close(listener);
}

TEST_F(Sockets3Tls, OurClientWithOpensslServer) {
  Velmar_Sockets3 net;
  VELMAR_SOCKET* probe = ListenOn(net, AF_INET, "127.0.0.1");
  ASSERT_NE(nullptr, probe);
  const int port = BoundPort(probe);  // a free loopback port
  net.Close(probe);
  Child server("openssl s_server -accept 127.0.0.1:" + std::to_string(port) + " -cert " +
               Pem("both.pem") + " -rev -quiet");
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
  ASSERT_NE(nullptr, sock->ssl);
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
  EXPECT_EQ(base + 1, TlsLibraryInitCount());
  EXPECT_TRUE(net.EnableSSL(Pem("both.pem").c_str(), 0));
}

TEST(Sockets3Library, RandomBytesVersionAndLockHooks) {
  unsigned char bytes[64] = {};
  EXPECT_TRUE(FillRandom(bytes, sizeof(bytes)));
  EXPECT_NE(std::string(64, '\0'), std::string(bytes, bytes + 64));
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
  CRYPTO_THREADID id;
  TlsThreadId(&id);
  RemoveTlsLocks();
  TlsLockCallback(CRYPTO_LOCK, 0, __FILE__, __LINE__);
}
