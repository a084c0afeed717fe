// Verified TLS client connections against Python TLS servers on loopback,
// with a certificate authority and server certificates made at test time by
// the openssl command: which servers are accepted, what the refusals say, and
// that no handshake, read, readiness wait or close outlasts its bound. A
// server that waits for the client gives up after 10 s and then answers or
// closes, so a client that waited without bound fails instead of hanging.
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

// Waits up to 10 s for the servers' report "KIND: ..." and returns its line.
std::string PeerReport(const std::string& kind) {
  const std::string text = peers->ReadUntil(kind + ": ");
  const size_t start = text.find(kind + ": ");
  return start == std::string::npos ? text : text.substr(start, text.find('\n', start) - start);
}

// A TCP record connected to the server of that kind, or null.
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
// (null: the system's): the code and text of the failure (VS_ERR_...), or 0
// and the server's greeting and echo of `line`.
std::pair<int32_t, std::string> Attempt(const std::string& kind, const char* serverName,
                                        const char* caFile, const std::string& line = "ping") {
  Velmar_Sockets3 net;
  VELMAR_SOCKET* sock = ConnectTo(net, kind);
  if (sock == nullptr) return {-1, "no connection"};
  std::pair<int32_t, std::string> seen;
  if (net.StartClientTLS(sock, serverName, caFile, 10000)) {
    seen.second = ReadLine(net, sock);
    net.Send(sock, (line + "\n").c_str(), -1, true);
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

}  // namespace

TEST_F(Sockets3TlsClient, AcceptsOnlyAServerItCanVerify) {
  // As the engine's object does, this one keeps the shared contexts alive
  // across the table.
  Velmar_Sockets3 keeper;
  ASSERT_TRUE(ports["echo"] != 0 && ports["expired"] != 0);
  const std::string ca = Pem("ca.pem"), other = Pem("other-ca.pem"), none = Pem("none.pem");
  const std::string failed = "Certificate verification failed: ";
  const struct {
    const char *kind, *serverName, *caFile;
    int32_t code;
    std::string text;
  } cases[] = {
      {"echo", "localhost", ca.c_str(), 0, "sni localhost, ping"},
      {"echo", "127.0.0.1", ca.c_str(), 0, "sni -, ping"},  // no name indication for an address
      {"echo6", "::1", ca.c_str(), 0, "sni -, ping"},
      {"echo", "localhost", nullptr, VS_ERR_VERIFY,
       failed + "unable to get local issuer certificate"},
      {"echo", "localhost", other.c_str(), VS_ERR_VERIFY,
       failed + "unable to get local issuer certificate"},
      {"expired", "localhost", ca.c_str(), VS_ERR_VERIFY, failed + "certificate has expired"},
      {"echo", "updates.example", ca.c_str(), VS_ERR_VERIFY, failed + "hostname mismatch"},
      {"echo", "127.0.0.2", ca.c_str(), VS_ERR_VERIFY, failed + "IP address mismatch"},
      {"echo", "localhost", none.c_str(), VS_ERR_CERT, "Error loading the trusted certificates!"},
      {"echo", "", ca.c_str(), VS_ERR_REFUSED,
       "A socket and a server name are needed for a verified TLS connection"},
      {"tls11", "localhost", ca.c_str(), VS_ERR_HANDSHAKE,
       "TLS handshake failed: tlsv1 alert protocol version"},
  };
  for (const auto& c : cases) {
    if (ports[c.kind] == 0) {  // no IPv6 loopback, or no TLS 1.1 in this OpenSSL
      printf("No server of kind %s here: case skipped\n", c.kind);
      continue;
    }
    SCOPED_TRACE(std::string(c.kind) + " as " + c.serverName + " trusting " +
                 (c.caFile != nullptr ? c.caFile : "the system"));
    EXPECT_EQ(std::make_pair(c.code, c.text), Attempt(c.kind, c.serverName, c.caFile));
  }
}

TEST_F(Sockets3TlsClient, HandshakeWithASilentServerTimesOutKeepingTheMode) {
  ASSERT_NE(0, ports["silent"]);
  for (bool nonBlocking : {false, true}) {
    SCOPED_TRACE(nonBlocking ? "non-blocking record" : "blocking record");
    Velmar_Sockets3 net;
    VELMAR_SOCKET* sock = ConnectTo(net, "silent");
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

TEST_F(Sockets3TlsClient, CloseDoesNotWaitForAServerThatStoppedReading) {
  Velmar_Sockets3 net;
  VELMAR_SOCKET* sock = ConnectTo(net, "hold");
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
  ASSERT_NE(0, ports["echo"]);
  const std::string ca = Pem("ca.pem");
  std::vector<std::pair<int32_t, std::string>> seen(4);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&, i] {
      seen[i] = Attempt("echo", "localhost", i % 2 ? ca.c_str() : nullptr, std::to_string(i));
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(i % 2 ? "sni localhost, " + std::to_string(i)
                    : "Certificate verification failed: unable to get local issuer certificate",
              seen[i].second);
  }
}
