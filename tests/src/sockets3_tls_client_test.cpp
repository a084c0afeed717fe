// Verified TLS client connections against a Python TLS server on loopback,
// with a certificate authority and server certificates made at test time by
// the openssl command: which servers are accepted, what the refusals say, and
// that no handshake, read, readiness wait or close outlasts its bound.
//
// A server that waits for the client gives up after 10 s and then answers or
// closes, so a client that waited without bound fails the test (it sees the
// server's late answer, or the server reports "gave up") instead of hanging.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sockets3.h"
#include "sockets3_test_util.h"
#include "test_authority.h"

using sockets3_test::Child;

namespace {

std::string certDir;               // the suite's temporary directory
Child* peers = nullptr;            // the suite's TLS servers
std::map<std::string, int> ports;  // their ports by kind

std::string Pem(const char* name) { return certDir + "/" + name; }

std::string PeerScript() {
  const char* source = getenv("UPDATER_SOURCE_DIR");
  return std::string(source != nullptr ? source : ".") + "/tests/src/sockets3_tls_peer.py";
}

// The test authorities (see test_authority.h), then the Python servers, one
// per kind (see the script).
class Sockets3TlsClient : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/sockets3-tls-client-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    certDir = pattern;
    ASSERT_TRUE(MakeTestAuthority(certDir));
    peers = new Child("python3 " + PeerScript() + " " + certDir);
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

// One of the servers: its kind, address and port (0 when it is not running).
struct TlsPeer {
  explicit TlsPeer(const char* kind)
      : kind(kind), host(std::string(kind) == "echo6" ? "::1" : "127.0.0.1"), port(ports[kind]) {}
  const char* kind;
  const char* host;
  int port;
};

// Waits up to 10 s for the servers' report "KIND: ..." and returns its line.
std::string PeerReport(const char* kind) {
  const std::string text = peers->ReadUntil(std::string(kind) + ": ");
  const size_t start = text.find(std::string(kind) + ": ");
  return start == std::string::npos ? text : text.substr(start, text.find('\n', start) - start);
}

// A TCP record connected to the peer, or null.
VELMAR_SOCKET* ConnectTo(Velmar_Sockets3& net, const TlsPeer& peer) {
  const int family = std::string(peer.host).find(':') != std::string::npos ? AF_INET6 : AF_INET;
  VELMAR_SOCKET* sock = net.Create(family, SOCK_STREAM, IPPROTO_TCP, 0);
  if (sock != nullptr && !net.ConnectWithTimeout(sock, peer.host, peer.port, 10000)) {
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

// One verified handshake and, when it succeeds, a line each way.
struct Attempt {
  const TlsPeer* peer;
  const char* serverName;
  const char* caFile;
  int32_t code;      // 0 for success
  std::string text;  // the failure's text, or the server's greeting
};

void ExpectAttempt(const Attempt& a) {
  SCOPED_TRACE(std::string(a.serverName) + " via " + a.peer->host + " trusting " +
               (a.caFile != nullptr ? a.caFile : "the system"));
  Velmar_Sockets3 net;
  VELMAR_SOCKET* sock = ConnectTo(net, *a.peer);
  ASSERT_NE(nullptr, sock);
  const bool ok = net.StartClientTLS(sock, a.serverName, a.caFile, 10000);
  EXPECT_EQ(a.code == 0, ok);
  if (ok) {
    EXPECT_EQ(a.text, ReadLine(net, sock));
    EXPECT_EQ(5, net.Send(sock, "ping\n", -1, true));
    EXPECT_EQ("ping", ReadLine(net, sock));
  } else {
    for (VELMAR_SOCKET* holder : {static_cast<VELMAR_SOCKET*>(nullptr), sock}) {
      EXPECT_EQ(a.code, net.GetLastError(holder));
      EXPECT_EQ(a.text, net.GetLastErrorString(holder));
    }
    EXPECT_EQ(nullptr, sock->ssl);
  }
  EXPECT_EQ(0, net.Close(sock));
}

}  // namespace

TEST_F(Sockets3TlsClient, AcceptsOnlyAServerItCanVerify) {
  // As the engine's object does, this one keeps the shared contexts alive
  // across the table.
  Velmar_Sockets3 keeper;
  TlsPeer good("echo"), good6("echo6"), expired("expired");
  ASSERT_TRUE(good.port != 0 && expired.port != 0);
  const std::string ca = Pem("ca.pem"), other = Pem("other-ca.pem"), none = Pem("none.pem");
  const std::string failed = "Certificate verification failed: ";
  const Attempt attempts[] = {
      {&good, "localhost", ca.c_str(), 0, "sni localhost"},
      {&good, "127.0.0.1", ca.c_str(), 0, "sni -"},  // no name indication for an address
      {&good6, "::1", ca.c_str(), 0, "sni -"},
      {&good, "localhost", nullptr, VS_ERR_VERIFY,
       failed + "unable to get local issuer certificate"},
      {&good, "localhost", other.c_str(), VS_ERR_VERIFY,
       failed + "unable to get local issuer certificate"},
      {&expired, "localhost", ca.c_str(), VS_ERR_VERIFY, failed + "certificate has expired"},
      {&good, "updates.example", ca.c_str(), VS_ERR_VERIFY, failed + "hostname mismatch"},
      {&good, "127.0.0.2", ca.c_str(), VS_ERR_VERIFY, failed + "IP address mismatch"},
      {&good, "localhost", none.c_str(), VS_ERR_CERT, "Error loading the trusted certificates!"},
      {&good, "", ca.c_str(), VS_ERR_REFUSED,
       "A socket and a server name are needed for a verified TLS connection"},
  };
  for (const Attempt& attempt : attempts) {
    if (attempt.peer->port == 0) {
      printf("No server on %s (no IPv6 loopback?): case skipped\n", attempt.peer->host);
      continue;
    }
    ExpectAttempt(attempt);
  }
}

TEST_F(Sockets3TlsClient, RefusesAServerLimitedToTls11) {
  TlsPeer old("tls11");
  if (old.port == 0) GTEST_SKIP() << "this OpenSSL will not run a TLS 1.1 server";
  ExpectAttempt({&old, "localhost", Pem("ca.pem").c_str(), VS_ERR_HANDSHAKE,
                 "TLS handshake failed: tlsv1 alert protocol version"});
}

TEST_F(Sockets3TlsClient, HandshakeWithASilentServerTimesOutKeepingTheMode) {
  TlsPeer silent("silent");
  ASSERT_NE(0, silent.port);
  for (bool nonBlocking : {false, true}) {
    SCOPED_TRACE(nonBlocking ? "non-blocking record" : "blocking record");
    Velmar_Sockets3 net;
    VELMAR_SOCKET* sock = ConnectTo(net, silent);
    ASSERT_NE(nullptr, sock);
    net.SetNonBlocking(sock, nonBlocking);
    EXPECT_FALSE(net.StartClientTLS(sock, "localhost", Pem("ca.pem").c_str(), 300));
    for (VELMAR_SOCKET* holder : {static_cast<VELMAR_SOCKET*>(nullptr), sock}) {
      EXPECT_EQ(ETIMEDOUT, net.GetLastError(holder));
      EXPECT_STREQ("TLS handshake timed out", net.GetLastErrorString(holder));
    }
    EXPECT_EQ(nullptr, sock->ssl);
    EXPECT_EQ(nonBlocking, (fcntl(sock->sock, F_GETFL) & O_NONBLOCK) != 0);
    EXPECT_EQ(0, net.Close(sock));
    EXPECT_EQ("silent: peer closed", PeerReport("silent"));
  }
}

TEST_F(Sockets3TlsClient, PartOfARecordNeitherReadiesNorHoldsARead) {
  TlsPeer partial("partial");
  ASSERT_NE(0, partial.port);
  Velmar_Sockets3 net;
  VELMAR_SOCKET* sock = ConnectTo(net, partial);
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

TEST_F(Sockets3TlsClient, CloseDoesNotWaitForAServerThatStoppedReading) {
  TlsPeer hold("hold");
  ASSERT_NE(0, hold.port);
  Velmar_Sockets3 net;
  VELMAR_SOCKET* sock = ConnectTo(net, hold);
  ASSERT_NE(nullptr, sock);
  ASSERT_TRUE(net.StartClientTLS(sock, "localhost", Pem("ca.pem").c_str(), 10000));
  // Fill the way to the server (which reads nothing) with raw bytes, so that
  // the record stays blocking and our farewell cannot be written.
  const std::string chunk(16384, 'x');
  ssize_t sent = 0;
  for (int i = 0; i < 4096 && sent >= 0; ++i) {
    sent = send(sock->sock, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  }
  ASSERT_EQ(-1, sent);
  EXPECT_EQ(0, net.Close(sock));
  EXPECT_EQ("hold: peer closed", PeerReport("hold"));
}

TEST_F(Sockets3TlsClient, ParallelObjectsOnParallelThreads) {
  TlsPeer good("echo");
  ASSERT_NE(0, good.port);
  const std::string ca = Pem("ca.pem");
  std::vector<std::string> seen(4);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&, i] {
      Velmar_Sockets3 net;
      VELMAR_SOCKET* sock = ConnectTo(net, good);
      if (sock == nullptr) return;
      if (net.StartClientTLS(sock, "localhost", i % 2 ? ca.c_str() : nullptr, 10000)) {
        const std::string line = "thread " + std::to_string(i) + "\n";
        seen[i] = ReadLine(net, sock);
        net.Send(sock, line.c_str(), -1, true);
        seen[i] += ", " + ReadLine(net, sock);
      } else {
        seen[i] = net.GetLastErrorString(sock);
      }
      net.Close(sock);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(i % 2 ? "sni localhost, thread " + std::to_string(i)
                    : "Certificate verification failed: unable to get local issuer certificate",
              seen[i]);
  }
}
