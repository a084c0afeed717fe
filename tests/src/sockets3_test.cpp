// The socket layer over plain TCP and UDP on loopback (127.0.0.1 and ::1).
#include "sockets3.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "memleak.h"
#include "sockets3_test_util.h"

using sockets3_test::BoundPort;
using sockets3_test::CaptureOutput;
using sockets3_test::Connected;
using sockets3_test::ListenOn;
using sockets3_test::Pair;
using sockets3_test::RawSend;

namespace {

// Exposes the error update for its own tests.
class OpenSockets : public Velmar_Sockets3 {
 public:
  using Velmar_Sockets3::pUpdateError;
};

int OpenDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

bool DescriptorNonBlocking(const VELMAR_SOCKET* sock) {
  return (fcntl(sock->sock, F_GETFL, 0) & O_NONBLOCK) != 0;
}

bool HaveIpv6Loopback() {
  Velmar_Sockets3 net;
  VELMAR_SOCKET* listener = ListenOn(net, AF_INET6, "::1");
  if (listener == nullptr) return false;
  net.Close(listener);
  return true;
}

// A local port nothing listens on: bound but not listening, so every
// connection attempt to it is refused at once.
struct RefusingPort {
  Velmar_Sockets3 net;
  VELMAR_SOCKET* sock;
  int port;
  RefusingPort() {
    sock = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
    net.BindToAddress(sock, "127.0.0.1", 0);
    port = BoundPort(sock);
  }
  ~RefusingPort() { net.Close(sock); }
};

}  // namespace

TEST(Sockets3, CreatesTracksAndClosesRecords) {
  Velmar_Sockets3 net;
  EXPECT_TRUE(net.IsSupported(VS_FEATURE_TLS));
  EXPECT_FALSE(net.IsSupported(VS_FEATURE_COMPRESSION));
  EXPECT_FALSE(net.IsEnabled(VS_FEATURE_TLS));
  EXPECT_TRUE(net.IsUsable());
  EXPECT_EQ(nullptr, net.GetSSLContext());

  VELMAR_SOCKET* sock = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, VS_FEATURE_TLS);
  ASSERT_NE(nullptr, sock);  // TLS starts with a handshake, not here
  EXPECT_TRUE(net.IsValidSocket(sock));
  EXPECT_FALSE(net.IsValidSocket(nullptr));
  EXPECT_EQ(AF_INET, sock->family);
  EXPECT_EQ(SOCK_STREAM, sock->type);
  EXPECT_EQ(IPPROTO_TCP, sock->protocol);
  EXPECT_EQ(nullptr, sock->ssl);
  EXPECT_FALSE(net.IsNonBlocking(sock));

  const int before = OpenDescriptors();
  EXPECT_EQ(nullptr, net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, VS_FEATURE_COMPRESSION));
  EXPECT_EQ(VS_ERR_REFUSED, net.GetLastError(nullptr));
  EXPECT_STREQ("TWL has not been compiled with zlib support", net.GetLastErrorString(nullptr));
  EXPECT_EQ(before, OpenDescriptors());

  EXPECT_EQ(-1, net.Close(nullptr));
  EXPECT_EQ(VS_ERR_REFUSED, net.GetLastError(nullptr));  // untouched

  EXPECT_FALSE(net.SetUnsupportedOption(sock));
  EXPECT_STREQ("Feature not supported on this platform", net.GetLastErrorString(sock));
  EXPECT_EQ(ENOPROTOOPT, net.GetLastError(nullptr));

  VELMAR_SOCKET* other = net.Create(AF_INET, SOCK_DGRAM, IPPROTO_UDP, 0);
  ASSERT_NE(nullptr, other);
  EXPECT_EQ(0, net.Close(sock));
  EXPECT_FALSE(net.IsValidSocket(sock));
  EXPECT_TRUE(net.IsValidSocket(other));
  EXPECT_EQ(0, net.Close(other));
}

TEST(Sockets3, DestructorWarnsAboutOpenRecordsUnlessQuiet) {
  Velmar_Sockets3 closer;
  VELMAR_SOCKET* first;
  VELMAR_SOCKET* second;
  auto* net = new Velmar_Sockets3;
  first = net->Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
  second = net->Create(AF_INET6, SOCK_DGRAM, IPPROTO_UDP, 0);
  ASSERT_NE(nullptr, first);
  ASSERT_NE(nullptr, second);
  strcpy(first->remoteAddress, "127.0.0.1");
  first->remotePort = 80;
  net->SetQuiet(false);
  const std::string out = CaptureOutput([&] { delete net; });
  char expected[512];
  snprintf(expected, sizeof(expected),
           "WARNING: VELMAR_SOCKET 0x%p (127.0.0.1:80) was not closed before Velmar_Sockets3 "
           "was deleted!\nWARNING: VELMAR_SOCKET 0x%p (:0) was not closed before "
           "Velmar_Sockets3 was deleted!\n",
           static_cast<void*>(first), static_cast<void*>(second));
  EXPECT_EQ(expected, out);

  // The records outlive their object; any object can close them.
  net = new Velmar_Sockets3;
  VELMAR_SOCKET* third = net->Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
  EXPECT_EQ("", CaptureOutput([&] { delete net; }));
  EXPECT_EQ(0, closer.Close(first));
  EXPECT_EQ(0, closer.Close(second));
  EXPECT_EQ(0, closer.Close(third));
}

TEST(Sockets3, ErrorUpdateRecordsTracesAndCuts) {
  OpenSockets net;
  VELMAR_SOCKET* sock = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
  ASSERT_NE(nullptr, sock);
  net.SetQuiet(false);

  errno = ECONNREFUSED;
  std::string out = CaptureOutput([&] { net.pUpdateError(sock); });
  EXPECT_EQ(std::string("pUpdateError(): 111 -> ") + strerror(ECONNREFUSED) + "\n", out);
  EXPECT_EQ(ECONNREFUSED, net.GetLastError(sock));
  EXPECT_STREQ(strerror(ECONNREFUSED), net.GetLastErrorString(nullptr));

  errno = 0;  // no error: code 0, the text stays, nothing printed
  EXPECT_EQ("", CaptureOutput([&] { net.pUpdateError(sock); }));
  EXPECT_EQ(0, net.GetLastError(nullptr));
  EXPECT_STREQ(strerror(ECONNREFUSED), net.GetLastErrorString(sock));

  for (int quietCode : {EAGAIN, EINPROGRESS, ENOTCONN, ENOENT}) {
    errno = quietCode;
    EXPECT_EQ("", CaptureOutput([&] { net.pUpdateError(nullptr); }));
    EXPECT_EQ(quietCode, net.GetLastError(nullptr));
    EXPECT_STREQ(strerror(quietCode), net.GetLastErrorString(nullptr));
  }

  const std::string longText(300, 'x');
  errno = EINVAL;
  out = CaptureOutput([&] { net.pUpdateError(sock, longText.c_str()); });
  EXPECT_EQ("pUpdateError(): 22 -> " + longText + "\n", out);
  EXPECT_EQ(longText, net.GetLastErrorString(nullptr));
  EXPECT_EQ(std::string(127, 'x'), net.GetLastErrorString(sock));
  EXPECT_EQ(EINVAL, net.GetLastError(sock));

  net.SetQuiet(true);
  errno = EPIPE;
  EXPECT_EQ("", CaptureOutput([&] { net.pUpdateError(sock); }));
  net.Close(sock);
}

TEST(Sockets3, CreateWithoutDescriptorsReportsEmfile) {
  Velmar_Sockets3 net;
  rlimit saved;
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));
  const int lowestFree = dup(0);
  ASSERT_GE(lowestFree, 0);
  close(lowestFree);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowestFree);  // every allowed slot taken
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &tight));
  VELMAR_SOCKET* sock = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(nullptr, sock);
  EXPECT_EQ(EMFILE, net.GetLastError(nullptr));
  EXPECT_STREQ(strerror(EMFILE), net.GetLastErrorString(nullptr));
}

TEST(Sockets3, ResolvesAndBindsByFamily) {
  Velmar_Sockets3 net;
  EXPECT_EQ(AF_INET, net.GetAddrFamily("127.0.0.1", 80));
  EXPECT_EQ(AF_INET6, net.GetAddrFamily("::1", 80));
  EXPECT_EQ(AF_INET, net.GetAddrFamily("::1", -1));  // invalid service: fails
  EXPECT_EQ("127.0.0.1", net.GetHostIP("127.0.0.1"));
  EXPECT_EQ("::1", net.GetHostIP("::1"));

  VELMAR_SOCKET* six = net.Create(AF_INET6, SOCK_STREAM, IPPROTO_TCP, 0);
  if (six != nullptr) {
    EXPECT_FALSE(net.BindToAddress(six, "127.0.0.1", 0));
    EXPECT_STREQ("Could not resolve any addresses matching address family.",
                 net.GetLastErrorString(nullptr));
    EXPECT_STREQ("Could not resolve any addresses matching address family.",
                 net.GetLastErrorString(six));
    EXPECT_NE(0, net.GetLastError(six));
    net.Close(six);
  }

  VELMAR_SOCKET* four = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
  ASSERT_NE(nullptr, four);
  EXPECT_TRUE(net.BindToPort(four, 0));
  EXPECT_EQ(0, net.GetLastError(four));
  EXPECT_NE(0, BoundPort(four));
  VELMAR_SOCKET* clash = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
  EXPECT_FALSE(net.BindToPort(clash, BoundPort(four)));
  EXPECT_EQ(EADDRINUSE, net.GetLastError(clash));
  EXPECT_FALSE(net.BindToAddress(clash, "127.0.0.1", BoundPort(four)));
  EXPECT_EQ(EADDRINUSE, net.GetLastError(clash));

  // A successful Listen leaves the error state alone.
  EXPECT_TRUE(net.Listen(four, 4));
  EXPECT_EQ(EADDRINUSE, net.GetLastError(nullptr));
  EXPECT_EQ(EADDRINUSE, net.GetLastError(clash));
  net.Close(clash);
  net.Close(four);
}

static void CheckTcpLoopback(int family, const char* host) {
  Velmar_Sockets3 net;
  VELMAR_SOCKET* listener = ListenOn(net, family, host);
  ASSERT_NE(nullptr, listener);
  const int port = BoundPort(listener);

  VELMAR_SOCKET* client = net.Create(family, SOCK_STREAM, IPPROTO_TCP, 0);
  ASSERT_TRUE(net.Connect(client, host, port));
  EXPECT_STREQ(host, client->remoteAddress);
  EXPECT_EQ(port, client->remotePort);
  EXPECT_STREQ(host, client->localAddress);
  EXPECT_NE(0, client->localPort);

  sockaddr_storage peer;
  socklen_t peerLength = sizeof(peer);
  VELMAR_SOCKET* accepted =
      net.Accept(listener, reinterpret_cast<sockaddr*>(&peer), &peerLength, 0);
  ASSERT_NE(nullptr, accepted);
  EXPECT_TRUE(net.IsValidSocket(accepted));
  EXPECT_EQ(family, peer.ss_family);
  EXPECT_STREQ(host, accepted->remoteAddress);
  EXPECT_EQ(client->localPort, accepted->remotePort);
  EXPECT_EQ(port, accepted->localPort);
  EXPECT_EQ(0, accepted->family);
  EXPECT_EQ(0, accepted->type);
  EXPECT_EQ(0, accepted->protocol);

  VELMAR_SOCKET* second = net.Create(family, SOCK_STREAM, IPPROTO_TCP, 0);
  ASSERT_TRUE(net.Connect(second, host, port));
  VELMAR_SOCKET* acceptedSecond = net.Accept(listener, 0);
  ASSERT_NE(nullptr, acceptedSecond);
  EXPECT_EQ(second->localPort, acceptedSecond->remotePort);

  for (VELMAR_SOCKET* sock : {client, accepted, second, acceptedSecond, listener}) {
    EXPECT_EQ(0, net.Close(sock));
  }
}

TEST(Sockets3, TcpOverIpv4AsClientAndServer) {
  const uint64_t blocks = MemLeakCount();
  CheckTcpLoopback(AF_INET, "127.0.0.1");
  EXPECT_EQ(blocks, MemLeakCount());  // every record and list freed
}

TEST(Sockets3, TcpOverIpv6AsClientAndServer) {
  if (!HaveIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback";
  const uint64_t blocks = MemLeakCount();
  CheckTcpLoopback(AF_INET6, "::1");
  EXPECT_EQ(blocks, MemLeakCount());
}

TEST(Sockets3, AcceptRefusesTlsWithoutContextAndCompression) {
  Velmar_Sockets3 net;
  VELMAR_SOCKET* listener = ListenOn(net, AF_INET, "127.0.0.1");
  ASSERT_NE(nullptr, listener);
  const int flags[] = {VS_FEATURE_TLS, VS_FEATURE_COMPRESSION};
  const char* texts[] = {"SSL has not been enabled!",
                         "TWL has not been compiled with zlib support"};
  for (int i = 0; i < 2; ++i) {
    VELMAR_SOCKET* client = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
    ASSERT_TRUE(net.Connect(client, "127.0.0.1", BoundPort(listener)));
    const int before = OpenDescriptors();
    EXPECT_EQ(nullptr, net.Accept(listener, flags[i]));
    EXPECT_EQ(VS_ERR_REFUSED, net.GetLastError(nullptr));
    EXPECT_STREQ(texts[i], net.GetLastErrorString(nullptr));
    EXPECT_EQ(before, OpenDescriptors());
    char byte;
    EXPECT_EQ(0, net.Recv(client, &byte, 1));  // the accepted end was closed
    net.Close(client);
  }
  net.Close(listener);
}

TEST(Sockets3, OptionsAndBlockingMode) {
  Velmar_Sockets3 net;
  VELMAR_SOCKET* tcp = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
  VELMAR_SOCKET* udp = net.Create(AF_INET, SOCK_DGRAM, IPPROTO_UDP, 0);
  ASSERT_NE(nullptr, tcp);
  ASSERT_NE(nullptr, udp);

  EXPECT_EQ(0, net.SetRecvTimeout(tcp, 1500));
  timeval time{};
  socklen_t length = sizeof(time);
  ASSERT_EQ(0, getsockopt(tcp->sock, SOL_SOCKET, SO_RCVTIMEO, &time, &length));
  EXPECT_EQ(1, time.tv_sec);
  EXPECT_EQ(500000, time.tv_usec);
  EXPECT_EQ(0, net.SetSendTimeout(tcp, 2500));
  ASSERT_EQ(0, getsockopt(tcp->sock, SOL_SOCKET, SO_SNDTIMEO, &time, &length));
  EXPECT_EQ(2, time.tv_sec);
  EXPECT_EQ(500000, time.tv_usec);

  auto intOption = [](VELMAR_SOCKET* sock, int option) {
    int value = -1;
    socklen_t size = sizeof(value);
    getsockopt(sock->sock, SOL_SOCKET, option, &value, &size);
    return value;
  };
  EXPECT_EQ(0, net.SetReuseAddr(tcp, true));
  EXPECT_EQ(1, intOption(tcp, SO_REUSEADDR));
  EXPECT_EQ(0, net.SetReuseAddr(tcp, false));
  EXPECT_EQ(0, intOption(tcp, SO_REUSEADDR));
  EXPECT_EQ(0, net.SetKeepAlive(tcp, true));
  EXPECT_EQ(1, intOption(tcp, SO_KEEPALIVE));
  EXPECT_EQ(0, net.SetBroadcast(udp, true));
  EXPECT_EQ(1, intOption(udp, SO_BROADCAST));
  EXPECT_EQ(0, net.GetLastError(udp));

  EXPECT_EQ(0, net.SetLinger(tcp, true, 7));
  linger value{};
  length = sizeof(value);
  ASSERT_EQ(0, getsockopt(tcp->sock, SOL_SOCKET, SO_LINGER, &value, &length));
  EXPECT_EQ(1, value.l_onoff);
  EXPECT_EQ(7, value.l_linger);
  EXPECT_EQ(0, net.SetLinger(tcp, false, 7));
  ASSERT_EQ(0, getsockopt(tcp->sock, SOL_SOCKET, SO_LINGER, &value, &length));
  EXPECT_EQ(0, value.l_onoff);

  net.SetNonBlocking(tcp, true);
  EXPECT_TRUE(net.IsNonBlocking(tcp));
  EXPECT_TRUE(DescriptorNonBlocking(tcp));
  net.SetNonBlocking(tcp, false);
  EXPECT_FALSE(net.IsNonBlocking(tcp));
  EXPECT_FALSE(DescriptorNonBlocking(tcp));

  VELMAR_SOCKET dead{};
  dead.sock = -1;
  EXPECT_EQ(-1, net.SetKeepAlive(&dead, true));
  EXPECT_EQ(EBADF, net.GetLastError(&dead));
  net.Close(tcp);
  net.Close(udp);
}

TEST(Sockets3, ConnectWithTimeoutKeepsModeAndChecksPendingError) {
  Velmar_Sockets3 net;
  VELMAR_SOCKET* listener = ListenOn(net, AF_INET, "127.0.0.1");
  ASSERT_NE(nullptr, listener);
  RefusingPort refusing;

  for (bool nonBlocking : {false, true}) {
    VELMAR_SOCKET* sock = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
    if (nonBlocking) net.SetNonBlocking(sock, true);
    EXPECT_TRUE(net.ConnectWithTimeout(sock, "127.0.0.1", BoundPort(listener), 2000));
    EXPECT_EQ(nonBlocking, DescriptorNonBlocking(sock));
    EXPECT_EQ(nonBlocking, net.IsNonBlocking(sock));
    EXPECT_EQ(BoundPort(listener), sock->remotePort);
    VELMAR_SOCKET* accepted = net.Accept(listener, 0);
    EXPECT_NE(nullptr, accepted);
    net.Close(accepted);

    // Refused: writable at once, but with a pending error.
    VELMAR_SOCKET* refused = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
    if (nonBlocking) net.SetNonBlocking(refused, true);
    net.SetQuiet(false);
    const std::string out = CaptureOutput(
        [&] { EXPECT_FALSE(net.ConnectWithTimeout(refused, "127.0.0.1", refusing.port, 2000)); });
    EXPECT_NE(std::string::npos,
              out.find(std::string("pUpdateError(): 111 -> ") + strerror(ECONNREFUSED) + "\n"))
        << out;
    EXPECT_EQ(ECONNREFUSED, net.GetLastError(refused));
    EXPECT_EQ(ECONNREFUSED, net.GetLastError(nullptr));
    EXPECT_EQ(nonBlocking, DescriptorNonBlocking(refused));
    net.SetQuiet(true);
    EXPECT_EQ("", CaptureOutput([&] {
                EXPECT_FALSE(net.ConnectWithTimeout(refused, "127.0.0.1", refusing.port, 2000));
              }));
    net.Close(refused);
    net.Close(sock);
  }
  net.Close(listener);
}

TEST(Sockets3, ConnectWithTimeoutGivesUpOnSilentLoopbackListener) {
  // Backlog 0: once the accept queue holds a connection, further SYNs are
  // dropped and the next connection attempt never completes.
  Velmar_Sockets3 net;
  VELMAR_SOCKET* listener = ListenOn(net, AF_INET, "127.0.0.1", 0);
  ASSERT_NE(nullptr, listener);
  std::vector<VELMAR_SOCKET*> clients;
  bool timedOut = false;
  for (int i = 0; i < 8 && !timedOut; ++i) {
    VELMAR_SOCKET* sock = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
    clients.push_back(sock);
    if (net.ConnectWithTimeout(sock, "127.0.0.1", BoundPort(listener), 300)) continue;
    timedOut = true;
    EXPECT_EQ(ETIMEDOUT, net.GetLastError(sock));
    EXPECT_FALSE(DescriptorNonBlocking(sock));
    EXPECT_FALSE(net.IsNonBlocking(sock));
  }
  EXPECT_TRUE(timedOut);
  // Nothing to read: the wait runs out.
  EXPECT_EQ(0, net.SelectRead(clients[0], 100u));
  for (VELMAR_SOCKET* sock : clients) net.Close(sock);
  net.Close(listener);
}

TEST(Sockets3, ConnectRecordsFailures) {
  Velmar_Sockets3 net;
  RefusingPort refusing;
  VELMAR_SOCKET* sock = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
  net.SetQuiet(false);
  std::string out =
      CaptureOutput([&] { EXPECT_FALSE(net.Connect(sock, "127.0.0.1", refusing.port)); });
  EXPECT_NE(std::string::npos, out.find("pUpdateError(): 111 -> ")) << out;
  EXPECT_EQ(ECONNREFUSED, net.GetLastError(sock));
  net.Close(sock);

  // Non-blocking: one attempt, still in progress, nothing traced.
  VELMAR_SOCKET* listener = ListenOn(net, AF_INET, "127.0.0.1");
  sock = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
  net.SetNonBlocking(sock, true);
  out = CaptureOutput([&] { net.Connect(sock, "127.0.0.1", BoundPort(listener)); });
  EXPECT_EQ("", out);
  net.SetQuiet(true);
  net.Close(sock);
  net.Close(listener);
}

class Sockets3Stream : public ::testing::Test {
 protected:
  void SetUp() override {
    listener = ListenOn(net, AF_INET, "127.0.0.1");
    ASSERT_NE(nullptr, listener);
    pair = Connected(net, listener, AF_INET, "127.0.0.1");
    ASSERT_NE(nullptr, pair.server);
  }
  void TearDown() override {
    net.Close(pair.client);
    net.Close(pair.server);
    net.Close(listener);
  }
  // Peer writes `bytes`; they are readable before this returns.
  void Incoming(const std::string& bytes) {
    RawSend(pair.client, bytes);
    ASSERT_EQ(1, net.SelectRead(pair.server, 2000u));
  }
  Velmar_Sockets3 net;
  VELMAR_SOCKET* listener = nullptr;
  Pair pair;
};

TEST_F(Sockets3Stream, SendRecvAndPeek) {
  EXPECT_EQ(5, net.Send(pair.client, "hello", -1, true));
  EXPECT_EQ(0, net.Send(pair.client, "ignored", 0, true));
  ASSERT_EQ(1, net.SelectRead(pair.server, 2000u));
  char buffer[16] = "";
  EXPECT_EQ(5, net.Peek(pair.server, buffer, sizeof(buffer)));
  EXPECT_EQ(std::string("hello"), std::string(buffer, 5));
  memset(buffer, 0, sizeof(buffer));
  EXPECT_EQ(3, net.Recv(pair.server, buffer, 3));
  EXPECT_STREQ("hel", buffer);
  EXPECT_EQ(2, net.pRecv(pair.server, buffer, sizeof(buffer)));

  // Without send-all one partial send is all: the peer reads nothing and the
  // send time-out cuts the first send short.
  const std::vector<char> big(16 << 20, 'z');
  ASSERT_EQ(0, net.SetSendTimeout(pair.client, 200));
  const int partial = net.Send(pair.client, big.data(), static_cast<int32_t>(big.size()), false);
  EXPECT_GT(partial, 0);
  EXPECT_LT(partial, static_cast<int>(big.size()));
  EXPECT_EQ(-1, net.Send(pair.client, big.data(), static_cast<int32_t>(big.size()), true));
  EXPECT_EQ(EAGAIN, net.GetLastError(pair.client));
}

TEST_F(Sockets3Stream, SendToClosedPeerGivesEpipeWithoutSignal) {
  net.Close(pair.server);
  pair.server = nullptr;
  int result = 0;
  for (int i = 0; i < 50 && result >= 0; ++i) result = net.Send(pair.client, "data", -1, true);
  EXPECT_EQ(-1, result);  // a SIGPIPE would have ended the test program
  const int code = net.GetLastError(pair.client);
  EXPECT_TRUE(code == EPIPE || code == ECONNRESET) << code;
}

TEST_F(Sockets3Stream, RecvLineConsumesExactlyOneLine) {
  char buffer[64];
  Incoming("AB\r\nCD");
  EXPECT_EQ(2, net.RecvLine(pair.server, buffer, sizeof(buffer)));
  EXPECT_STREQ("AB", buffer);
  EXPECT_EQ(VS_LINE_INCOMPLETE, net.RecvLine(pair.server, buffer, sizeof(buffer)));
  ASSERT_EQ(2, net.Recv(pair.server, buffer, 2));
  EXPECT_EQ(0, memcmp(buffer, "CD", 2));

  Incoming("\r\n");
  EXPECT_EQ(0, net.RecvLine(pair.server, buffer, sizeof(buffer)));
  EXPECT_STREQ("", buffer);

  Incoming("A\rB");
  EXPECT_EQ(1, net.RecvLine(pair.server, buffer, sizeof(buffer)));
  EXPECT_STREQ("A", buffer);
  Incoming("\n");  // the B now ends in a line feed
  EXPECT_EQ(1, net.RecvLine(pair.server, buffer, sizeof(buffer)));
  EXPECT_STREQ("B", buffer);

  Incoming("A\rB\n");
  EXPECT_EQ(3, net.RecvLine(pair.server, buffer, sizeof(buffer)));
  EXPECT_STREQ("A\rB", buffer);

  Incoming("x\r\r\n\n");
  EXPECT_EQ(1, net.RecvLine(pair.server, buffer, sizeof(buffer)));
  EXPECT_STREQ("x", buffer);
  EXPECT_EQ(0, net.RecvLine(pair.server, buffer, sizeof(buffer)));

  Incoming("ABCDEF");
  char small[4];
  EXPECT_EQ(VS_LINE_FULL, net.RecvLine(pair.server, small, sizeof(small)));
  EXPECT_EQ(VS_LINE_INCOMPLETE, net.RecvLine(pair.server, buffer, sizeof(buffer)));
  ASSERT_EQ(6, net.Recv(pair.server, buffer, sizeof(buffer)));

  // Nothing waiting on a non-blocking socket is a receive error.
  net.SetNonBlocking(pair.server, true);
  EXPECT_EQ(VS_LINE_ERROR, net.RecvLine(pair.server, buffer, sizeof(buffer)));
  EXPECT_EQ(EAGAIN, net.GetLastError(pair.server));
  net.SetNonBlocking(pair.server, false);

  RawSend(pair.client, "AB");
  net.Close(pair.client);
  pair.client = nullptr;
  ASSERT_EQ(1, net.SelectRead(pair.server, 2000u));
  EXPECT_EQ(VS_LINE_INCOMPLETE, net.RecvLine(pair.server, buffer, sizeof(buffer)));
  ASSERT_EQ(2, net.Recv(pair.server, buffer, sizeof(buffer)));
  EXPECT_EQ(VS_LINE_CLOSED, net.RecvLine(pair.server, buffer, sizeof(buffer)));
}

TEST_F(Sockets3Stream, RecvLineFromOnStreamNamesThePeer) {
  Incoming("one\ntwo");
  char host[40];
  int port = 0;
  char buffer[32];
  EXPECT_EQ(3, net.RecvLineFrom(pair.server, host, sizeof(host), &port, buffer, sizeof(buffer)));
  EXPECT_STREQ("one", buffer);
  EXPECT_STREQ("127.0.0.1", host);
  EXPECT_EQ(pair.client->localPort, port);
  EXPECT_EQ(VS_LINE_INCOMPLETE,
            net.RecvLineFrom(pair.server, nullptr, 0, nullptr, buffer, sizeof(buffer)));
}

TEST_F(Sockets3Stream, ListWaitsKeepReadySocketsInOrder) {
  VELMAR_SOCKET_LIST list;
  SocketListClear(&list);
  timeval wait = {0, 100000};
  EXPECT_EQ(0, net.SelectReadList(&list, &wait));  // empty: only waits
  EXPECT_EQ(0u, list.count);

  Pair other = Connected(net, listener, AF_INET, "127.0.0.1");
  ASSERT_NE(nullptr, other.server);
  Incoming("ping");
  VELMAR_SOCKET_LIST readList, writeList;
  SocketListClear(&readList);
  SocketListClear(&writeList);
  for (VELMAR_SOCKET* sock : {other.server, pair.server, other.client}) {
    ASSERT_TRUE(SocketListAdd(&readList, sock));
    ASSERT_TRUE(SocketListAdd(&writeList, sock));
  }
  EXPECT_TRUE(SocketListIsSet(&readList, pair.server));
  EXPECT_FALSE(SocketListIsSet(&readList, pair.client));
  EXPECT_EQ(4, net.SelectLists(&readList, &writeList, 1000u));
  ASSERT_EQ(1u, readList.count);
  EXPECT_EQ(pair.server, readList.sockets[0]);
  ASSERT_EQ(3u, writeList.count);
  EXPECT_EQ(other.server, writeList.sockets[0]);
  EXPECT_EQ(pair.server, writeList.sockets[1]);
  EXPECT_EQ(other.client, writeList.sockets[2]);

  SocketListAdd(&readList, other.server);
  EXPECT_EQ(1, net.SelectReadList(&readList, 1000u));
  ASSERT_EQ(1u, readList.count);
  EXPECT_EQ(pair.server, readList.sockets[0]);
  EXPECT_EQ(1, net.SelectLists(&readList, nullptr, 1000u));
  net.Close(other.client);
  net.Close(other.server);
}

TEST(Sockets3, ListAndDescriptorLimitsAreRefused) {
  Velmar_Sockets3 net;
  VELMAR_SOCKET fake{};
  VELMAR_SOCKET_LIST list;
  SocketListClear(&list);
  for (uint32_t i = 0; i < VS_SOCKET_LIST_MAX; ++i) ASSERT_TRUE(SocketListAdd(&list, &fake));
  EXPECT_FALSE(SocketListAdd(&list, &fake));
  EXPECT_EQ(VS_SOCKET_LIST_MAX, list.count);
  EXPECT_FALSE(SocketListAdd(&list, nullptr));

  fake.sock = FD_SETSIZE + 3;
  EXPECT_EQ(-1, net.SelectRead(&fake, 10u));
  EXPECT_EQ(EBADF, net.GetLastError(&fake));
  EXPECT_EQ(-1, net.SelectWrite(&fake, 10u));
  SocketListClear(&list);
  SocketListAdd(&list, &fake);
  EXPECT_EQ(-1, net.SelectReadList(&list, 10u));
  EXPECT_EQ(1u, list.count);  // left as it was
  EXPECT_EQ(-1, net.SelectLists(nullptr, &list, 10u));
}

static void CheckUdpLoopback(int family, const char* host) {
  Velmar_Sockets3 net;
  VELMAR_SOCKET* a = net.Create(family, SOCK_DGRAM, IPPROTO_UDP, 0);
  VELMAR_SOCKET* b = net.Create(family, SOCK_DGRAM, IPPROTO_UDP, 0);
  ASSERT_TRUE(net.BindToAddress(a, host, 0));
  ASSERT_TRUE(net.BindToAddress(b, host, 0));
  const int portA = BoundPort(a);
  const int portB = BoundPort(b);

  EXPECT_EQ(11, net.SendTo(a, host, portB, "first line\n", -1));
  EXPECT_STREQ(host, a->localAddress);
  EXPECT_EQ(portA, a->localPort);
  ASSERT_EQ(1, net.SelectRead(b, 2000u));
  char hostText[40] = "";
  int port = 0;
  char buffer[64] = "";
  EXPECT_EQ(11, net.PeekFrom(b, hostText, sizeof(hostText), &port, buffer, sizeof(buffer)));
  EXPECT_STREQ(host, hostText);
  EXPECT_EQ(portA, port);
  EXPECT_EQ(10, net.RecvLineFrom(b, hostText, sizeof(hostText), &port, buffer, sizeof(buffer)));
  EXPECT_STREQ("first line", buffer);
  EXPECT_EQ(portA, port);

  EXPECT_EQ(4, net.SendTo(a, host, portB, "raw!", 4));
  ASSERT_EQ(1, net.SelectRead(b, 2000u));
  memset(buffer, 0, sizeof(buffer));
  port = 0;
  EXPECT_EQ(4, net.RecvFrom(b, hostText, 3, &port, buffer, sizeof(buffer)));
  EXPECT_STREQ("raw!", buffer);
  EXPECT_EQ(std::string(host).substr(0, 2), hostText);  // cut to the buffer
  EXPECT_STREQ(host, b->remoteAddress);
  EXPECT_EQ(portA, b->remotePort);

  // Nothing waiting: the system error stands.
  net.SetNonBlocking(b, true);
  EXPECT_EQ(-1, net.RecvFrom(b, nullptr, 0, nullptr, buffer, sizeof(buffer)));
  EXPECT_EQ(EAGAIN, net.GetLastError(b));
  net.Close(a);
  net.Close(b);
}

TEST(Sockets3, UdpOverIpv4) { CheckUdpLoopback(AF_INET, "127.0.0.1"); }

TEST(Sockets3, UdpOverIpv6) {
  if (!HaveIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback";
  CheckUdpLoopback(AF_INET6, "::1");
}
