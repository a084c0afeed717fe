// TLS on the socket layer with certificates made at test time: contexts,
// failures and what they report, our server with our client and with
// `openssl s_client`, verified handshakes with the Python servers of
// sockets3_tls_peer.py (which give up after 10 s rather than hang a test).
#include <gtest/gtest.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "sockets3.h"
#include "sockets3_test_util.h"
#include "test_authority.h"
#include "test_support.h"

using sockets3_test::BoundPort;
using sockets3_test::Child;
using sockets3_test::DescriptorNonBlocking;
using sockets3_test::ListenOn;
using sockets3_test::LoopbackPair;
using sockets3_test::RawSend;
using testsupport::Stderr;
using testsupport::Stdout;

namespace {

std::string certDir;               // the suite's temporary directory
Child* peers = nullptr;            // the suite's Python TLS servers
std::map<std::string, int> ports;  // their ports by kind

std::string Pem(const char* name) { return certDir + "/" + name; }

// The test authorities (test_authority.h), "both.pem" (server certificate and
// key), "mismatch.pem" (the certificate, another key); the Python servers.
class Sockets3Tls : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/sockets3-tls-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    certDir = pattern;
    ASSERT_TRUE(MakeTestAuthority(certDir));
    ASSERT_EQ(
        0,
        system(
            ("cd " + certDir + " && cat good.pem leaf-key.pem >both.pem && " +
             "openssl genpkey -algorithm ed25519 -out ed.pem && cat good.pem ed.pem >mismatch.pem")
                .c_str()));
    const char* source = getenv("UPDATER_SOURCE_DIR");
    peers = new Child("python3 " + std::string(source != nullptr ? source : ".") +
                      "/tests/src/sockets3_tls_peer.py " + certDir);
    std::istringstream lines(peers->ReadUntil("ready\n"));
    std::string kind;
    int port = 0;
    while (lines >> kind >> port) ports[kind] = port;
  }
  static void TearDownTestSuite() {
    delete peers;
    peers = nullptr;
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

// A TCP record connected to the Python server of that kind, or null.
VELMAR_SOCKET* ConnectTo(Velmar_Sockets3& net, const std::string& kind) {
  const bool six = kind == "echo6";
  VELMAR_SOCKET* sock = net.Create(six ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
  if (sock != nullptr &&
      !net.ConnectWithTimeout(sock, six ? "::1" : "127.0.0.1", ports[kind], 10000)) {
    net.Close(sock);
    return nullptr;
  }
  return sock;
}

// The next line through the record within 10 s, or what went wrong.
std::string ReadLine(Velmar_Sockets3& net, VELMAR_SOCKET* sock) {
  char line[256];
  if (net.SelectRead(sock, 10000u) != 1) return "(not readable)";
  const int result = net.RecvLine(sock, line, sizeof(line));
  return result >= 0 ? line : "(line result " + std::to_string(result) + ")";
}

// A verified handshake with a server of that kind, trusting the CA file
// (null: the system's): the code and text of the failure, or 0 and the
// server's greeting and echo of "ping".
std::pair<int32_t, std::string> Attempt(const std::string& kind, const char* serverName,
                                        const char* caFile) {
  Velmar_Sockets3 net;
  VELMAR_SOCKET* sock = ConnectTo(net, kind);
  if (sock == nullptr) return {-1, "no connection"};
  std::pair<int32_t, std::string> seen;
  if (net.StartClientTLS(sock, serverName, caFile, 10000)) {
    seen.second = ReadLine(net, sock);
    net.Send(sock, "ping\n", -1, true);
    seen.second += ", " + ReadLine(net, sock);
  } else {
    seen = {net.GetLastError(nullptr), net.GetLastErrorString(nullptr)};
    EXPECT_EQ(seen.first, net.GetLastError(sock));
    EXPECT_EQ(seen.second, net.GetLastErrorString(sock));
    EXPECT_EQ(nullptr, sock->ssl);
  }
  EXPECT_EQ(0, net.Close(sock));
  return seen;
}

// The header of a TLS record of `type` announcing 64 bytes, and 4 of them.
std::string CutRecord(char type) { return std::string(1, type) + "\x03\x03" + '\0' + "@half"; }

}  // namespace

TEST_F(Sockets3Tls, ContextErrors) {
  Velmar_Sockets3 net;
  const struct {
    std::string file;
    int method;
    int32_t code;
    const char* text;
  } cases[] = {
      {Pem("good.pem"), 0, VS_ERR_KEY, "Error loading your Private Key!"},
      {Pem("missing.pem"), 0, VS_ERR_CERT, "Error loading your certificate!"},
      {Pem("mismatch.pem"), 0, VS_ERR_KEY_MISMATCH,
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
  LoopbackPair pair(net);  // a handshake without a context
  EXPECT_FALSE(net.SwitchToSSL_Client(pair.client));
  EXPECT_EQ(VS_ERR_SSL_ALLOC, net.GetLastError(nullptr));
  EXPECT_STREQ("Error Allocating a SSL!\n", net.GetLastErrorString(nullptr));
  EXPECT_EQ(nullptr, pair.client->ssl);
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
  EXPECT_EQ("", Stdout([&] { net.EnableSSL(both.c_str(), 9); }));
  net.SetQuiet(false);
  EXPECT_EQ("Velmar_Sockets3: Unknown TLS method, using default...\n",
            Stdout([&] { EXPECT_TRUE(net.EnableSSL(both.c_str(), 7)); }));
  EXPECT_TRUE(net.IsEnabled(VS_FEATURE_TLS));
  EXPECT_TRUE(SSL_CTX_get_mode(net.GetSSLContext()) & SSL_MODE_AUTO_RETRY);
}

// A peer that sends no handshake, breaks off mid-record or stays silent: code
// and text on the object, the line printed whatever the quiet flag says. The
// verified client prints nothing, copies the reason to the record, keeps no
// session and keeps the record's blocking mode.
TEST_F(Sockets3Tls, FailedHandshakesSayWhy) {
  enum Side { kServer, kClient, kVerified };
  const std::string reply = "HTTP/1.0 400 Bad Request\r\n\r\n",
                    eof = "unexpected eof while reading";
  const struct {
    Side side;
    std::string peerSends;  // then the peer stops writing, unless we are to time out
    int32_t code;
    std::string text;
  } cases[] = {
      {kServer, "GET / HTTP/1.0\r\n\r\n", VS_ERR_HANDSHAKE,
       "error:0A00009C:SSL routines::http request"},
      {kServer, "", VS_ERR_HANDSHAKE, "error:0A000126:SSL routines::" + eof},
      {kClient, reply, VS_ERR_HANDSHAKE, "error:0A00010B:SSL routines::wrong version number"},
      {kClient, CutRecord('\x16'), VS_ERR_HANDSHAKE, "error:0A000126:SSL routines::" + eof},
      {kVerified, reply, VS_ERR_HANDSHAKE, "TLS handshake failed: wrong version number"},
      {kVerified, CutRecord('\x16'), VS_ERR_HANDSHAKE, "TLS handshake failed: " + eof},
      {kVerified, "", ETIMEDOUT, "TLS handshake timed out"},  // quiet, not traced
  };
  bool quiet = false;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Velmar_Sockets3 net;
    LoopbackPair pair(net);
    ASSERT_NE(nullptr, pair.server);
    ASSERT_TRUE(net.EnableSSL(Pem("both.pem").c_str(), 0));
    VELMAR_SOCKET* ours = c.side == kServer ? pair.server : pair.client;
    VELMAR_SOCKET* peer = c.side == kServer ? pair.client : pair.server;
    if (!c.peerSends.empty()) RawSend(peer, c.peerSends);
    if (c.code != ETIMEDOUT) shutdown(peer->sock, SHUT_WR);
    net.SetQuiet(quiet = !quiet);
    const bool nonBlocking = c.side == kVerified && quiet;
    net.SetNonBlocking(ours, nonBlocking);
    const std::string out = Stdout([&] {
      EXPECT_FALSE(c.side == kServer   ? net.SwitchToSSL_Server(ours)
                   : c.side == kClient ? net.SwitchToSSL_Client(ours)
                                       : net.StartClientTLS(ours, "localhost", nullptr, 300));
    });
    EXPECT_EQ(c.code, net.GetLastError(nullptr));
    EXPECT_EQ(c.text, net.GetLastErrorString(nullptr));
    const char* prefix[] = {"OpenSSL Error: -1, ", "OpenSSL Error: ", nullptr};
    EXPECT_EQ(prefix[c.side] ? prefix[c.side] + c.text + "\n" : "", out);
    EXPECT_EQ(c.side == kVerified ? c.code : 0, ours->lastError);
    EXPECT_EQ(c.side == kVerified, ours->ssl == nullptr);  // else kept until Close
    EXPECT_EQ(nonBlocking, DescriptorNonBlocking(ours));
  }
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
  EXPECT_EQ(0, X509_cmp(peer, SSL_CTX_get0_certificate(tls.serverNet.GetSSLContext())));
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

// A failed TLS read or peek leaves its code and text, prints OpenSSL's
// reason to standard error and nothing to standard output, quiet or not. A
// record cut short reads as a close, told apart by that reason only.
TEST_F(Sockets3Tls, FailedReadsSayWhy) {
  const struct {
    std::string peerSends;  // raw bytes, then the peer stops writing; "": a TLS close
    bool line;              // RecvLine (peek first), else Recv
    int result;
    const char* text;
    std::string reason;  // on standard error; "": nothing there
  } cases[] = {
      {"garbage\r\n", false, -1, "Error returned by SSL_read(): -1", "wrong version number"},
      {CutRecord('\x17'), false, 0, "Error returned by SSL_read(): 0", "unexpected eof"},
      {"", false, 0, "Error returned by SSL_read(): 0", ""},
      {"garbage\r\n", true, VS_LINE_ERROR, "error:00000001:lib(0)::reason(1)", "wrong version"},
  };
  bool quiet = false;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    TlsPair tls;
    ASSERT_TRUE(tls.up) << tls.banner;
    if (c.peerSends.empty()) {
      tls.serverNet.Close(tls.server);
      tls.server = nullptr;
    } else {
      RawSend(tls.server, c.peerSends);
      shutdown(tls.server->sock, SHUT_WR);
    }
    tls.clientNet.SetQuiet(quiet = !quiet);
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
    EXPECT_STREQ(c.text, tls.clientNet.GetLastErrorString(nullptr));
    EXPECT_EQ("", out);
    EXPECT_EQ(c.reason.empty(), err.empty()) << err;
    EXPECT_NE(std::string::npos, err.find(c.reason)) << err;
  }
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

TEST_F(Sockets3Tls, VerifiedClientAcceptsOnlyAServerItCanVerify) {
  Velmar_Sockets3 keeper;  // keeps the shared contexts across the table, as the engine does
  ASSERT_NE(0, ports["echo"]);
  const std::string ca = Pem("ca.pem"), none = Pem("none.pem");
  const struct {
    const char *kind, *serverName, *caFile;
    int32_t code;
    std::string text;
  } cases[] = {
      {"echo", "localhost", ca.c_str(), 0, "sni localhost, ping"},
      {"echo", "127.0.0.1", ca.c_str(), 0, "sni -, ping"},  // no name indication for an address
      {"echo6", "::1", ca.c_str(), 0, "sni -, ping"},
      {"echo", "127.0.0.2", ca.c_str(), VS_ERR_VERIFY,
       "Certificate verification failed: IP address mismatch"},
      {"echo", "localhost", none.c_str(), VS_ERR_CERT, "Error loading the trusted certificates!"},
      {"echo", "", ca.c_str(), VS_ERR_REFUSED,
       "A socket and a server name are needed for a verified TLS connection"},
      {"tls11", "localhost", ca.c_str(), VS_ERR_HANDSHAKE,
       "TLS handshake failed: tlsv1 alert protocol version"},
  };
  for (const auto& c : cases) {
    if (ports[c.kind] == 0) continue;  // no IPv6 loopback, or no TLS 1.1 in this OpenSSL
    SCOPED_TRACE(std::string(c.kind) + " as " + c.serverName + " trusting " + c.caFile);
    EXPECT_EQ(std::make_pair(c.code, c.text), Attempt(c.kind, c.serverName, c.caFile));
  }
}

TEST_F(Sockets3Tls, PartOfARecordNeitherReadiesNorHoldsARead) {
  Velmar_Sockets3 net;
  VELMAR_SOCKET* sock = ConnectTo(net, "partial");
  ASSERT_NE(nullptr, sock);
  ASSERT_TRUE(net.StartClientTLS(sock, "localhost", Pem("ca.pem").c_str(), 10000));
  EXPECT_EQ(0, net.SelectRead(sock, 300u));
  ASSERT_EQ(0, net.SetRecvTimeout(sock, 200));
  char buffer[64];
  EXPECT_EQ(-1, net.Recv(sock, buffer, sizeof(buffer)));
  // The rest of the record comes now, and the session has survived.
  ASSERT_EQ(3, write(peers->input, "go\n", 3));
  EXPECT_EQ("hello", ReadLine(net, sock));
  EXPECT_EQ(0, net.Close(sock));
}

TEST_F(Sockets3Tls, CloseDoesNotWaitForAServerThatStoppedReading) {
  Velmar_Sockets3 net;
  VELMAR_SOCKET* sock = ConnectTo(net, "hold");
  ASSERT_NE(nullptr, sock);
  ASSERT_TRUE(net.StartClientTLS(sock, "localhost", Pem("ca.pem").c_str(), 10000));
  // Raw bytes fill the way to the server (which reads nothing), so that the
  // record stays blocking and our farewell cannot be written.
  const std::string chunk(16384, 'x');
  ssize_t sent = 0;
  for (int i = 0; i < 4096 && sent >= 0; ++i) {
    sent = send(sock->sock, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  }
  ASSERT_EQ(-1, sent);
  EXPECT_EQ(0, net.Close(sock));
  EXPECT_NE(std::string::npos, peers->ReadUntil("hold: peer closed").find("hold: peer closed"));
}

TEST_F(Sockets3Tls, LibraryInitialisationIsReferenceCounted) {
  ASSERT_EQ(0, TlsLibraryInitCount()) << "no object lives, so the library is not initialised";
  auto* first = new Velmar_Sockets3;
  auto* second = new Velmar_Sockets3;
  EXPECT_EQ(2, TlsLibraryInitCount());
  delete first;
  EXPECT_EQ(1, TlsLibraryInitCount());
  EXPECT_TRUE(TlsLibraryInit());  // a later caller gets the first result
  TlsLibraryExit();
  delete second;
  EXPECT_EQ(0, TlsLibraryInitCount());
  Velmar_Sockets3 net;  // the library works again after a teardown
  EXPECT_TRUE(net.EnableSSL(Pem("both.pem").c_str(), 0));
  unsigned char bytes[64] = {};
  EXPECT_TRUE(FillRandom(bytes, sizeof(bytes)));
  EXPECT_NE(std::string(64, '\0'), std::string(bytes, bytes + 64));
  int major = 0, minor = 0, third = 0;
  GetLibraryVersion(&major, &minor, &third);
  EXPECT_EQ(10113, major * 10000 + minor * 100 + third);
  EXPECT_STREQ("1.01-ssl-openssl-memleak-mysql", GetLibraryVersionString());
}
