// TLS on the socket layer with certificates made at test time: failures and
// what they report, verified sessions with the Python servers of
// sockets3_tls_peer.py.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "fixtures/script_server.h"
#include "sockets3.h"
#include "sockets3_test_util.h"
#include "test_authority.h"
#include "test_support.h"

using sockets3_test::DescriptorNonBlocking;
using sockets3_test::ListenOn;
using sockets3_test::LoopbackPair;
using sockets3_test::RawSend;
using testsupport::Stderr;
using testsupport::Stdout;

namespace {

TempDir* dir = nullptr;        // the test authorities (test_authority.h) and "both.pem"
PeerProcess* peers = nullptr;  // the Python servers, their output in "peers.log"
int peerPort = 0;

std::string Pem(const char* name) { return dir->path + "/" + name; }

class Sockets3Tls : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    signal(SIGPIPE, SIG_DFL);  // which the fixtures ignore: no write here may need that
    dir = new TempDir;
    ASSERT_TRUE(MakeTestAuthority(dir->path));
    ASSERT_EQ(0, system(("cd " + dir->path + " && cat good.pem leaf-key.pem >both.pem").c_str()));
    peers = new PeerProcess;
    peerPort = peers->StartOnFreePort(
        {"/usr/bin/python3",
         std::string(getenv("UPDATER_SOURCE_DIR")) + "/tests/src/sockets3_tls_peer.py", "{port}",
         dir->path},
        Pem("peers.log"));
  }
  static void TearDownTestSuite() {
    delete peers;
    delete dir;
  }
};

// A TCP record connected to the Python servers on `host`, the kind of server
// asked for; null when there is no connection.
VELMAR_SOCKET* ConnectTo(Velmar_Sockets3& net, const std::string& kind,
                         const char* host = "127.0.0.1") {
  VELMAR_SOCKET* sock =
      net.Create(host[0] == ':' ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
  if (sock != nullptr && !net.ConnectWithTimeout(sock, host, peerPort, 10000)) {
    net.Close(sock);
    return nullptr;
  }
  if (sock != nullptr) RawSend(sock, kind + "\n");
  return sock;
}

// A verified session with the Python server of that kind, or null.
VELMAR_SOCKET* Session(Velmar_Sockets3& net, const std::string& kind) {
  VELMAR_SOCKET* sock = ConnectTo(net, kind);
  if (sock != nullptr && !net.StartClientTLS(sock, "localhost", Pem("ca.pem").c_str(), 10000)) {
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

// A verified handshake with a server of that kind, trusting the CA file: the
// code and text of the failure, or 0 and the server's greeting and echo of
// "ping".
std::pair<int32_t, std::string> Attempt(const std::string& kind, const char* host,
                                        const char* serverName, const char* caFile) {
  Velmar_Sockets3 net;
  VELMAR_SOCKET* sock = ConnectTo(net, kind, host);
  if (sock == nullptr) return {-1, "no connection"};
  std::pair<int32_t, std::string> seen;
  if (net.StartClientTLS(sock, serverName, caFile, 10000)) {
    seen.second = ReadLine(net, sock);
    net.Send(sock, "ping\n", -1, true);
    seen.second += ", " + ReadLine(net, sock);
  } else {
    seen = {net.GetLastError(nullptr), net.GetLastErrorString(nullptr)};
    EXPECT_EQ(nullptr, sock->ssl);
  }
  EXPECT_EQ(0, net.Close(sock));
  return seen;
}

}  // namespace

// Code and text on the object, the line printed whatever the quiet flag says;
// the verified client prints nothing, keeps no session and keeps the mode.
TEST_F(Sockets3Tls, FailedHandshakesSayWhy) {
  enum Side { kServer, kClient, kVerified };
  const std::string reply = "HTTP/1.0 400 Bad Request\r\n\r\n",
                    eof = "unexpected eof while reading",
                    cut = std::string("\x16\x03\x03") + '\0' + "@half";  // 4 of 64 bytes
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
      {kClient, cut, VS_ERR_HANDSHAKE, "error:0A000126:SSL routines::" + eof},
      {kVerified, reply, VS_ERR_HANDSHAKE, "TLS handshake failed: wrong version number"},
      {kVerified, cut, VS_ERR_HANDSHAKE, "TLS handshake failed: " + eof},
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

TEST_F(Sockets3Tls, ReadyWithDecryptedBytesAndWritesFailWithoutASignal) {
  Velmar_Sockets3 net;
  VELMAR_SOCKET* sock = Session(net, "lines");
  ASSERT_NE(nullptr, sock);
  EXPECT_EQ("one", ReadLine(net, sock));
  // The second line is decrypted already: ready without a wait.
  EXPECT_GT(SSL_pending(sock->ssl), 0);
  timeval none = {0, 0};
  EXPECT_EQ(1, net.SelectRead(sock, &none));
  char line[8];
  EXPECT_EQ(3, net.RecvLine(sock, line, sizeof(line)));
  // Once the server has closed, writing fails without a SIGPIPE.
  net.Send(sock, "bye\n", -1, true);  // the server closes when it reads
  net.SelectRead(sock, 10000u);       // and that has come
  int result = 0;
  const std::string out = Stdout([&] {
    for (int i = 0; i < 50 && result >= 0; ++i) result = net.Send(sock, "data", -1, true);
  });
  EXPECT_EQ(-1, result);
  EXPECT_EQ(VS_ERR_TLS_WRITE, net.GetLastError(nullptr));
  EXPECT_EQ("OpenSSL Error: " + std::string(net.GetLastErrorString(nullptr)) + "\n",
            out.substr(out.rfind("OpenSSL Error: ")));
  EXPECT_EQ(0, net.Close(sock));
}

// A failed TLS read or peek leaves its code and text, prints OpenSSL's
// reason to standard error and nothing to standard output, quiet or not. A
// record cut short reads as a close, told apart by that reason only.
TEST_F(Sockets3Tls, FailedReadsSayWhy) {
  const struct {
    const char* kind;  // what the server sends before it stops writing
    bool line;         // RecvLine (peek first), else Recv
    int result;
    const char* text;
    std::string reason;  // on standard error; "": nothing there
  } cases[] = {
      {"garbage", false, -1, "Error returned by SSL_read(): -1", "wrong version number"},
      {"cut", false, 0, "Error returned by SSL_read(): 0", "unexpected eof"},
      {"close", false, 0, "Error returned by SSL_read(): 0", ""},
      {"garbage", true, VS_LINE_ERROR, "error:00000001:lib(0)::reason(1)", "wrong version"},
  };
  bool quiet = false;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Velmar_Sockets3 net;
    VELMAR_SOCKET* sock = Session(net, c.kind);
    ASSERT_NE(nullptr, sock);
    net.SetRecvTimeout(sock, 10000);  // a read that waits
    net.SetQuiet(quiet = !quiet);
    char buffer[64];
    int result = 0;
    std::string out;
    const std::string err = Stderr([&] {
      out = Stdout([&] {
        result = c.line ? net.RecvLine(sock, buffer, sizeof(buffer))
                        : net.Recv(sock, buffer, sizeof(buffer));
      });
    });
    EXPECT_EQ(c.result, result);
    EXPECT_EQ(VS_ERR_TLS_READ, net.GetLastError(nullptr));
    EXPECT_STREQ(c.text, net.GetLastErrorString(nullptr));
    EXPECT_EQ("", out);
    EXPECT_EQ(c.reason.empty(), err.empty()) << err;
    EXPECT_NE(std::string::npos, err.find(c.reason)) << err;
    net.Close(sock);
  }
}

TEST_F(Sockets3Tls, VerifiedClientAcceptsOnlyAServerItCanVerify) {
  Velmar_Sockets3 keeper;  // keeps the shared contexts across the table, as the engine does
  ASSERT_NE(0, peerPort);
  VELMAR_SOCKET* six = ListenOn(keeper, AF_INET6, "::1");
  keeper.Close(six);
  const std::string ca = Pem("ca.pem"), none = Pem("none.pem");
  const struct {
    const char *kind, *host, *serverName, *caFile;
    int32_t code;
    std::string text;
  } cases[] = {
      {"echo", "127.0.0.1", "localhost", ca.c_str(), 0, "sni localhost, ping"},
      // no name indication for an address
      {"echo", "127.0.0.1", "127.0.0.1", ca.c_str(), 0, "sni -, ping"},
      {"echo", "::1", "::1", ca.c_str(), 0, "sni -, ping"},
      {"echo", "127.0.0.1", "127.0.0.2", ca.c_str(), VS_ERR_VERIFY,
       "Certificate verification failed: IP address mismatch"},
      {"echo", "127.0.0.1", "localhost", none.c_str(), VS_ERR_CERT,
       "Error loading the trusted certificates!"},
      {"echo", "127.0.0.1", "", ca.c_str(), VS_ERR_REFUSED,
       "A socket and a server name are needed for a verified TLS connection"},
      {"tls11", "127.0.0.1", "localhost", ca.c_str(), VS_ERR_HANDSHAKE,
       "TLS handshake failed: tlsv1 alert protocol version"},
  };
  for (const auto& c : cases) {
    if (c.host[0] == ':' && six == nullptr) continue;  // no IPv6 loopback
    SCOPED_TRACE(std::string(c.kind) + " as " + c.serverName + " trusting " + c.caFile);
    EXPECT_EQ(std::make_pair(c.code, c.text), Attempt(c.kind, c.host, c.serverName, c.caFile));
  }
}

TEST_F(Sockets3Tls, PartOfARecordNeitherReadiesNorHoldsARead) {
  Velmar_Sockets3 net;
  VELMAR_SOCKET* sock = Session(net, "partial");
  ASSERT_NE(nullptr, sock);
  EXPECT_EQ(0, net.SelectRead(sock, 300u));
  ASSERT_EQ(0, net.SetRecvTimeout(sock, 200));
  char buffer[64];
  EXPECT_EQ(-1, net.Recv(sock, buffer, sizeof(buffer)));
  RawSend(sock, "g");                       // the server sends the rest of the record now
  EXPECT_EQ("hello", ReadLine(net, sock));  // and the session has survived
  EXPECT_EQ(0, net.Close(sock));
}

TEST_F(Sockets3Tls, CloseDoesNotWaitForAServerThatStoppedReading) {
  Velmar_Sockets3 net;
  VELMAR_SOCKET* sock = Session(net, "hold");
  ASSERT_NE(nullptr, sock);
  // Raw bytes fill the way to the server (which reads nothing), so that the
  // record stays blocking and our farewell cannot be written.
  const std::string chunk(16384, 'x');
  ssize_t sent = 0;
  for (int i = 0; i < 4096 && sent >= 0; ++i) {
    sent = send(sock->sock, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  }
  ASSERT_EQ(-1, sent);
  EXPECT_EQ(0, net.Close(sock));
  std::string log;
  for (int i = 0; i < 1000 && log.find("hold: ") == std::string::npos; ++i) {
    Sleep(10);
    std::ifstream file(Pem("peers.log"));
    log.assign(std::istreambuf_iterator<char>(file), {});
  }
  EXPECT_EQ("hold: peer closed\n", log);
}

TEST_F(Sockets3Tls, LibraryInitialisationIsReferenceCounted) {
  ASSERT_EQ(0, TlsLibraryInitCount()) << "no object lives, so the library is not initialised";
  auto* first = new Velmar_Sockets3;
  delete new Velmar_Sockets3;
  EXPECT_EQ(1, TlsLibraryInitCount());
  delete first;
  EXPECT_EQ(0, TlsLibraryInitCount());
  Velmar_Sockets3 net;  // the library works again after a teardown
  EXPECT_FALSE(net.EnableSSL(Pem("good.pem").c_str(), 0));
  EXPECT_STREQ("Error loading your Private Key!", net.GetLastErrorString(nullptr));
  EXPECT_TRUE(net.EnableSSL(Pem("both.pem").c_str(), 0));
}
