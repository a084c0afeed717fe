// TLS on the socket layer with a certificate made at test time: our server
// with our client, each against an OpenSSL command-line peer on 127.0.0.1,
// the context errors, and the library initialisation.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/x509.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "locks.h"
#include "sockets3.h"
#include "sockets3_test_util.h"

using sockets3_test::BoundPort;
using sockets3_test::CaptureOutput;
using sockets3_test::ListenOn;
using sockets3_test::RawSend;

namespace {

// A child process with pipes to its standard input and output; killed and
// reaped when the object goes.
class Child {
 public:
  explicit Child(const std::vector<std::string>& args) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    pid = fork();
    if (pid == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      const int null = open("/dev/null", O_WRONLY);
      if (null >= 0) dup2(null, 2);
      for (int fd = 3; fd < 1024; ++fd) close(fd);
      std::vector<char*> argv;
      for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    input = in[1];
    output = out[0];
  }
  ~Child() {
    CloseInput();
    if (output >= 0) close(output);
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  void CloseInput() {
    if (input >= 0) close(input);
    input = -1;
  }
  void Write(const std::string& text) {
    ASSERT_EQ(static_cast<ssize_t>(text.size()), write(input, text.data(), text.size()));
  }
  // Reads what the child prints until `wanted` appears or 10 s pass.
  std::string ReadUntil(const std::string& wanted) {
    std::string text;
    for (int round = 0; round < 100 && text.find(wanted) == std::string::npos; ++round) {
      pollfd ready = {output, POLLIN, 0};
      if (poll(&ready, 1, 100) != 1) continue;
      char buffer[256];
      const ssize_t got = read(output, buffer, sizeof(buffer));
      if (got <= 0) break;
      text.append(buffer, got);
    }
    return text;
  }
  pid_t pid = -1;
  int input = -1;
  int output = -1;
};

// The certificate files, made once for the program in a temporary directory.
struct Certificates {
  std::string dir;
  std::string both;      // certificate and key
  std::string certOnly;  // certificate without key
  std::string otherKey;  // certificate with a key of another pair
  std::string ecKey;     // certificate with a key of another type
};
Certificates* certs = nullptr;

bool RunCommand(const std::string& command) { return system(command.c_str()) == 0; }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

class Sockets3Tls : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/sockets3-tls-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    certs = new Certificates;
    certs->dir = pattern;
    const std::string d = certs->dir;
    const std::string quiet = " >/dev/null 2>&1";
    ASSERT_TRUE(
        RunCommand("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=localhost -days 1 "
                   "-keyout " +
                   d + "/key.pem -out " + d + "/cert.pem" + quiet));
    ASSERT_TRUE(RunCommand("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " +
                           d + "/other.pem" + quiet));
    ASSERT_TRUE(RunCommand("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " +
                           d + "/ec.pem" + quiet));
    const std::string cert = ReadFile(d + "/cert.pem");
    certs->both = d + "/both.pem";
    certs->certOnly = d + "/cert.pem";
    certs->otherKey = d + "/other-pair.pem";
    certs->ecKey = d + "/ec-pair.pem";
    WriteFile(certs->both, cert + ReadFile(d + "/key.pem"));
    WriteFile(certs->otherKey, cert + ReadFile(d + "/other.pem"));
    WriteFile(certs->ecKey, cert + ReadFile(d + "/ec.pem"));
  }
  static void TearDownTestSuite() {
    if (certs == nullptr) return;
    RunCommand("rm -rf '" + certs->dir + "'");
    delete certs;
    certs = nullptr;
  }
};

// A free loopback port: bound by the system, then released.
int FreePort() {
  Velmar_Sockets3 net;
  VELMAR_SOCKET* sock = ListenOn(net, AF_INET, "127.0.0.1");
  const int port = sock != nullptr ? BoundPort(sock) : 0;
  net.Close(sock);
  return port;
}

// Connects to a server that may still be starting (up to 10 s).
VELMAR_SOCKET* ConnectWhenUp(Velmar_Sockets3& net, int port) {
  for (int round = 0; round < 100; ++round) {
    VELMAR_SOCKET* sock = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
    if (sock == nullptr) return nullptr;
    if (net.Connect(sock, "127.0.0.1", port)) return sock;
    net.Close(sock);
    Sleep(100);
  }
  return nullptr;
}

// The protocol version a context's sessions speak.
int ContextVersion(SSL_CTX* context) {
  SSL* session = SSL_new(context);
  const int version = session != nullptr ? SSL_version(session) : 0;
  SSL_free(session);
  return version;
}

}  // namespace

TEST_F(Sockets3Tls, ContextErrors) {
  Velmar_Sockets3 net;
  EXPECT_FALSE(net.EnableSSL(certs->certOnly.c_str(), 0));
  EXPECT_EQ(VS_ERR_KEY, net.GetLastError(nullptr));
  EXPECT_STREQ("Error loading your Private Key!", net.GetLastErrorString(nullptr));
  EXPECT_EQ(nullptr, net.GetSSLContext());
  EXPECT_FALSE(net.IsEnabled(VS_FEATURE_TLS));

  EXPECT_FALSE(net.EnableSSL((certs->dir + "/missing.pem").c_str(), 0));
  EXPECT_EQ(VS_ERR_CERT, net.GetLastError(nullptr));
  EXPECT_STREQ("Error loading your certificate!", net.GetLastErrorString(nullptr));

  // OpenSSL itself refuses a key of the same type that belongs to another
  // certificate; a key of another type gets as far as the pair check.
  EXPECT_FALSE(net.EnableSSL(certs->otherKey.c_str(), 0));
  EXPECT_TRUE(net.GetLastError(nullptr) == VS_ERR_KEY ||
              net.GetLastError(nullptr) == VS_ERR_KEY_MISMATCH);
  EXPECT_FALSE(net.EnableSSL(certs->ecKey.c_str(), 0));
  EXPECT_EQ(VS_ERR_KEY_MISMATCH, net.GetLastError(nullptr));
  EXPECT_STREQ("Private key does not match the certificate public key!",
               net.GetLastErrorString(nullptr));
  EXPECT_EQ(nullptr, net.GetSSLContext());

  // This OpenSSL has no SSL 3: no context can be made for it.
  EXPECT_FALSE(net.EnableSSL(certs->both.c_str(), 4));
  EXPECT_EQ(VS_ERR_CTX, net.GetLastError(nullptr));
  EXPECT_STREQ("Error initializing a SSL_CTX structure!", net.GetLastErrorString(nullptr));

  net.SetQuiet(false);
  std::string out = CaptureOutput([&] { EXPECT_TRUE(net.EnableSSL(certs->both.c_str(), 7)); });
  EXPECT_EQ("Velmar_Sockets3: Unknown TLS method, using default...\n", out);
  EXPECT_EQ(TLS1_VERSION, ContextVersion(net.GetSSLContext()));
  net.SetQuiet(true);
  EXPECT_EQ("", CaptureOutput([&] { EXPECT_TRUE(net.EnableSSL(certs->both.c_str(), 9)); }));
  for (int method : {0, 1, 2, 3}) EXPECT_TRUE(net.EnableSSL(certs->both.c_str(), method));
  EXPECT_EQ(TLS1_VERSION, ContextVersion(net.GetSSLContext()));
  EXPECT_TRUE(net.EnableSSL(certs->both.c_str(), 2));
  EXPECT_EQ(TLS1_1_VERSION, ContextVersion(net.GetSSLContext()));
  EXPECT_TRUE(net.EnableSSL(certs->both.c_str(), 0));
  EXPECT_EQ(TLS1_2_VERSION, ContextVersion(net.GetSSLContext()));
  EXPECT_TRUE(net.IsEnabled(VS_FEATURE_TLS));
  EXPECT_TRUE(SSL_CTX_get_mode(net.GetSSLContext()) & SSL_MODE_AUTO_RETRY);
}

TEST_F(Sockets3Tls, HandshakeWithoutContextOrWithPlainPeerFails) {
  Velmar_Sockets3 net;
  VELMAR_SOCKET* listener = ListenOn(net, AF_INET, "127.0.0.1");
  ASSERT_NE(nullptr, listener);
  VELMAR_SOCKET* client = ConnectWhenUp(net, BoundPort(listener));
  ASSERT_NE(nullptr, client);
  VELMAR_SOCKET* server = net.Accept(listener, 0);
  ASSERT_NE(nullptr, server);

  EXPECT_FALSE(net.SwitchToSSL_Client(client));
  EXPECT_EQ(VS_ERR_SSL_ALLOC, net.GetLastError(nullptr));
  EXPECT_STREQ("Error Allocating a SSL!\n", net.GetLastErrorString(nullptr));
  EXPECT_EQ(nullptr, client->ssl);
  EXPECT_EQ(nullptr, net.GetPeerCertificate(client));

  // A plain server's reply is no TLS record: printed whatever the quiet flag.
  ASSERT_TRUE(net.EnableSSL(certs->both.c_str(), 0));
  RawSend(server, "HTTP/1.0 400 Bad Request\r\n\r\n");
  const std::string out = CaptureOutput([&] { EXPECT_FALSE(net.SwitchToSSL_Client(client)); });
  EXPECT_EQ(VS_ERR_HANDSHAKE, net.GetLastError(nullptr));
  EXPECT_EQ("OpenSSL Error: " + std::string(net.GetLastErrorString(nullptr)) + "\n", out);
  EXPECT_NE(nullptr, client->ssl);  // kept until Close
  EXPECT_EQ(0, net.Close(client));
  EXPECT_EQ(0, net.Close(server));
  EXPECT_EQ(0, net.Close(listener));
}

TEST_F(Sockets3Tls, OurServerWithOurClient) {
  Velmar_Sockets3 serverNet;
  ASSERT_TRUE(serverNet.EnableSSL(certs->both.c_str(), 0));
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
    if (serverNet.SelectRead(sock, 10000u) == 1 &&
        serverNet.RecvLine(sock, line, sizeof(line)) >= 0) {
      serverLine = line;
    }
    serverNet.Send(sock, "one\ntwo\n", -1, true);
    char end;
    serverNet.SelectRead(sock, 10000u);
    serverNet.Recv(sock, &end, 1);  // until the client has gone
    serverNet.Close(sock);
  });

  Velmar_Sockets3 clientNet;
  ASSERT_TRUE(clientNet.EnableSSL(certs->both.c_str(), 0));
  VELMAR_SOCKET* client = ConnectWhenUp(clientNet, BoundPort(listener));
  ASSERT_NE(nullptr, client);
  clientNet.SetQuiet(false);
  const std::string out = CaptureOutput([&] { EXPECT_TRUE(clientNet.SwitchToSSL_Client(client)); });
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

  EXPECT_EQ(0, clientNet.Close(client));
  server.join();
  EXPECT_EQ("hello", serverLine);
  EXPECT_TRUE(serverPeerHasNoCertificate);
  serverNet.Close(listener);
}

TEST_F(Sockets3Tls, WritingToClosedPeerRaisesNoSignal) {
  Velmar_Sockets3 serverNet;
  ASSERT_TRUE(serverNet.EnableSSL(certs->both.c_str(), 0));
  VELMAR_SOCKET* listener = ListenOn(serverNet, AF_INET, "127.0.0.1");
  ASSERT_NE(nullptr, listener);
  std::thread server([&] {
    if (serverNet.SelectRead(listener, 10000u) != 1) return;
    serverNet.Close(serverNet.Accept(listener, VS_FEATURE_TLS));
  });
  Velmar_Sockets3 clientNet;
  ASSERT_TRUE(clientNet.EnableSSL(certs->both.c_str(), 0));
  VELMAR_SOCKET* client = ConnectWhenUp(clientNet, BoundPort(listener));
  ASSERT_NE(nullptr, client);
  EXPECT_TRUE(clientNet.SwitchToSSL_Client(client));
  server.join();
  int result = 0;
  const std::string out = CaptureOutput([&] {
    for (int i = 0; i < 50 && result >= 0; ++i) result = clientNet.Send(client, "data", -1, true);
  });
  EXPECT_EQ(-1, result);  // a SIGPIPE would have ended the test program
  EXPECT_EQ(VS_ERR_TLS_WRITE, clientNet.GetLastError(nullptr));
  EXPECT_EQ(0u, out.find("OpenSSL Error: ")) << out;
  EXPECT_EQ(0, clientNet.Close(client));
  serverNet.Close(listener);
}

TEST_F(Sockets3Tls, OurClientWithOpensslServer) {
  const int port = FreePort();
  ASSERT_NE(0, port);
  Child server({"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port), "-cert",
                certs->both, "-key", certs->both, "-rev", "-quiet"});
  Velmar_Sockets3 net;
  ASSERT_TRUE(net.EnableSSL(certs->both.c_str(), 0));
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
  ASSERT_TRUE(net.EnableSSL(certs->both.c_str(), 0));
  VELMAR_SOCKET* listener = ListenOn(net, AF_INET, "127.0.0.1");
  ASSERT_NE(nullptr, listener);
  Child client({"openssl", "s_client", "-connect",
                "127.0.0.1:" + std::to_string(BoundPort(listener)), "-quiet", "-no_ign_eof"});
  ASSERT_EQ(1, net.SelectRead(listener, 10000u));
  VELMAR_SOCKET* sock = net.Accept(listener, VS_FEATURE_TLS);
  ASSERT_NE(nullptr, sock);
  ASSERT_NE(nullptr, sock->ssl);
  client.Write("ping\r\n");
  char line[64] = "";
  ASSERT_EQ(1, net.SelectRead(sock, 10000u));
  EXPECT_EQ(4, net.RecvLine(sock, line, sizeof(line)));
  EXPECT_STREQ("ping", line);
  EXPECT_EQ(5, net.Send(sock, "pong\n", -1, true));
  EXPECT_NE(std::string::npos, client.ReadUntil("pong\n").find("pong\n"));
  client.CloseInput();  // the client ends its side
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
  if (base == 0) {
    TlsLibraryExit();  // at 0 the teardown runs again; the count stays
    EXPECT_EQ(0, TlsLibraryInitCount());
  }
  // The library still works after a teardown and a fresh start.
  Velmar_Sockets3 net;
  EXPECT_EQ(base + 1, TlsLibraryInitCount());
  EXPECT_TRUE(net.EnableSSL(certs->both.c_str(), 0));
}

TEST(Sockets3Library, RandomBytesAndVersion) {
  EXPECT_TRUE(FillRandom(nullptr, 0));
  unsigned char bytes[64] = {};
  EXPECT_TRUE(FillRandom(bytes, sizeof(bytes)));
  int nonZero = 0;
  for (unsigned char byte : bytes) nonZero += byte != 0;
  EXPECT_GT(nonZero, 0);

  int major = 0, minor = 0, third = 0;
  GetLibraryVersion(&major, &minor, &third);
  EXPECT_EQ(1, major);
  EXPECT_EQ(1, minor);
  EXPECT_EQ(13, third);
  const char* text = GetLibraryVersionString();
  EXPECT_STREQ("1.01-ssl-openssl-memleak-mysql", text);
  EXPECT_EQ(text, GetLibraryVersionString());

  // The lock hooks: installing twice keeps one array; the callback takes and
  // gives back a lock of it, and numbers outside it are ignored.
  InstallTlsLocks();
  InstallTlsLocks();
  TlsLockCallback(CRYPTO_LOCK, 0, __FILE__, __LINE__);
  TlsLockCallback(CRYPTO_UNLOCK, 0, __FILE__, __LINE__);
  TlsLockCallback(CRYPTO_LOCK, 1 << 20, __FILE__, __LINE__);
  CRYPTO_THREADID id;
  TlsThreadId(&id);
  RemoveTlsLocks();
  TlsLockCallback(CRYPTO_LOCK, 0, __FILE__, __LINE__);  // no array: nothing
}
