// The socket layer over plain TCP and UDP on loopback (127.0.0.1 and ::1).
#include "sockets3.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "memleak.h"
#include "sockets3_test_util.h"

using sockets3_test::BoundPort;
using sockets3_test::CaptureOutput;
using sockets3_test::ListenOn;
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
  net.Close(listener);
  return listener != nullptr;
}

// Bound but not listening: every connection to the port is refused at once.
struct RefusingPort {
  Velmar_Sockets3 net;
  VELMAR_SOCKET* sock = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
  int port = net.BindToAddress(sock, "127.0.0.1", 0) ? BoundPort(sock) : 0;
  ~RefusingPort() { net.Close(sock); }
};

std::vector<VELMAR_SOCKET*> Items(const VELMAR_SOCKET_LIST& list) {
  return std::vector<VELMAR_SOCKET*>(list.sockets, list.sockets + list.count);
}

void CheckTcp(Velmar_Sockets3& net, int family, const char* host) {
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
  EXPECT_EQ(family, peer.ss_family);
  EXPECT_STREQ(host, accepted->remoteAddress);
  EXPECT_EQ(client->localPort, accepted->remotePort);
  EXPECT_EQ(port, accepted->localPort);

  // The short form: refused flags close the accepted end without a leak.
  const std::pair<int, const char*> refusals[] = {
      {VS_FEATURE_TLS, "SSL has not been enabled!"},
      {VS_FEATURE_COMPRESSION, "TWL has not been compiled with zlib support"}};
  for (const auto& [flags, text] : refusals) {
    VELMAR_SOCKET* refused = net.Create(family, SOCK_STREAM, IPPROTO_TCP, 0);
    ASSERT_TRUE(net.Connect(refused, host, port));
    const int before = OpenDescriptors();
    EXPECT_EQ(nullptr, net.Accept(listener, flags));
    EXPECT_EQ(VS_ERR_REFUSED, net.GetLastError(nullptr));
    EXPECT_STREQ(text, net.GetLastErrorString(nullptr));
    EXPECT_EQ(before, OpenDescriptors());
    char byte;
    EXPECT_EQ(0, net.Recv(refused, &byte, 1));  // the accepted end was closed
    net.Close(refused);
  }
  for (VELMAR_SOCKET* sock : {client, accepted, listener}) EXPECT_EQ(0, net.Close(sock));
}

void CheckUdp(Velmar_Sockets3& net, int family, const char* host) {
  VELMAR_SOCKET* a = net.Create(family, SOCK_DGRAM, IPPROTO_UDP, 0);
  VELMAR_SOCKET* b = net.Create(family, SOCK_DGRAM, IPPROTO_UDP, 0);
  ASSERT_TRUE(net.BindToAddress(a, host, 0));
  ASSERT_TRUE(net.BindToAddress(b, host, 0));
  const int portA = BoundPort(a);
  EXPECT_EQ(11, net.SendTo(a, host, BoundPort(b), "first line\n", -1));
  EXPECT_STREQ(host, a->localAddress);
  EXPECT_EQ(portA, a->localPort);
  ASSERT_EQ(1, net.SelectRead(b, 2000u));
  char hostText[40] = "";
  int port = 0;
  char buffer[64] = "";
  EXPECT_EQ(11, net.PeekFrom(b, hostText, sizeof(hostText), &port, buffer, sizeof(buffer)));
  EXPECT_STREQ(host, hostText);
  EXPECT_EQ(portA, port);
  port = 0;
  EXPECT_EQ(10, net.RecvLineFrom(b, hostText, sizeof(hostText), &port, buffer, sizeof(buffer)));
  EXPECT_STREQ("first line", buffer);
  EXPECT_EQ(portA, port);

  EXPECT_EQ(4, net.SendTo(a, host, BoundPort(b), "raw!", 4));
  ASSERT_EQ(1, net.SelectRead(b, 2000u));
  memset(buffer, 0, sizeof(buffer));
  EXPECT_EQ(4, net.RecvFrom(b, hostText, 3, &port, buffer, sizeof(buffer)));
  EXPECT_STREQ("raw!", buffer);
  EXPECT_EQ(std::string(host).substr(0, 2), hostText);  // cut to the buffer
  EXPECT_STREQ(host, b->remoteAddress);
  EXPECT_EQ(portA, b->remotePort);

  net.Close(a);
  net.Close(b);
}

// TCP and UDP as client and server; every record and list is freed.
void CheckLoopback(int family, const char* host) {
  const uint64_t blocks = MemLeakCount();
  {
    Velmar_Sockets3 net;
    CheckTcp(net, family, host);
    CheckUdp(net, family, host);
  }
  EXPECT_EQ(blocks, MemLeakCount());
}

}  // namespace

TEST(Sockets3, CreateCloseAndErrorState) {
  OpenSockets net;
  VELMAR_SOCKET* sock = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, VS_FEATURE_TLS);
  ASSERT_NE(nullptr, sock);  // TLS starts with a handshake, not here
  EXPECT_EQ(nullptr, sock->ssl);
  EXPECT_TRUE(net.IsValidSocket(sock));
  EXPECT_FALSE(net.IsValidSocket(nullptr));
  const int before = OpenDescriptors();
  EXPECT_EQ(nullptr, net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, VS_FEATURE_COMPRESSION));
  EXPECT_EQ(VS_ERR_REFUSED, net.GetLastError(nullptr));
  EXPECT_STREQ("TWL has not been compiled with zlib support", net.GetLastErrorString(nullptr));
  EXPECT_EQ(before, OpenDescriptors());
  EXPECT_EQ(-1, net.Close(nullptr));
  EXPECT_EQ(VS_ERR_REFUSED, net.GetLastError(nullptr));  // untouched

  // Errors are traced unless quiet or expected, and texts are cut per socket.
  net.SetQuiet(false);
  errno = ECONNREFUSED;
  std::string out = CaptureOutput([&] { net.pUpdateError(sock); });
  EXPECT_EQ(std::string("pUpdateError(): 111 -> ") + strerror(ECONNREFUSED) + "\n", out);
  EXPECT_EQ(ECONNREFUSED, net.GetLastError(sock));
  EXPECT_STREQ(strerror(ECONNREFUSED), net.GetLastErrorString(nullptr));
  errno = EAGAIN;
  EXPECT_EQ("", CaptureOutput([&] { net.pUpdateError(nullptr); }));
  EXPECT_EQ(EAGAIN, net.GetLastError(nullptr));
  const std::string longText(300, 'x');
  errno = EINVAL;
  out = CaptureOutput([&] { net.pUpdateError(sock, longText.c_str()); });
  EXPECT_EQ("pUpdateError(): 22 -> " + longText + "\n", out);
  EXPECT_EQ(longText, net.GetLastErrorString(nullptr));
  EXPECT_EQ(std::string(127, 'x'), net.GetLastErrorString(sock));
  EXPECT_EQ(EINVAL, net.GetLastError(sock));

  EXPECT_EQ(0, net.Close(sock));
  EXPECT_FALSE(net.IsValidSocket(sock));
}

TEST(Sockets3, DestructorWarnsAboutOpenRecordsUnlessQuiet) {
  auto* net = new Velmar_Sockets3;
  VELMAR_SOCKET* first = net->Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
  VELMAR_SOCKET* second = net->Create(AF_INET6, SOCK_DGRAM, IPPROTO_UDP, 0);
  ASSERT_TRUE(first != nullptr && second != nullptr);
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
  Velmar_Sockets3 closer;
  for (VELMAR_SOCKET* sock : {first, second, third}) EXPECT_EQ(0, closer.Close(sock));
}

TEST(Sockets3, ResolvesAndBindsByFamily) {
  Velmar_Sockets3 net;
  EXPECT_EQ(AF_INET, net.GetAddrFamily("127.0.0.1", 80));
  EXPECT_EQ(AF_INET6, net.GetAddrFamily("::1", 80));
  EXPECT_EQ("::1", net.GetHostIP("::1"));

  VELMAR_SOCKET* six = net.Create(AF_INET6, SOCK_STREAM, IPPROTO_TCP, 0);
  if (six != nullptr) {
    EXPECT_FALSE(net.BindToAddress(six, "127.0.0.1", 0));
    EXPECT_STREQ("Could not resolve any addresses matching address family.",
                 net.GetLastErrorString(six));
    EXPECT_NE(0, net.GetLastError(six));
    net.Close(six);
  }

  VELMAR_SOCKET* four = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
  ASSERT_TRUE(net.BindToPort(four, 0));
  VELMAR_SOCKET* clash = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
  EXPECT_FALSE(net.BindToAddress(clash, "127.0.0.1", BoundPort(four)));
  EXPECT_EQ(EADDRINUSE, net.GetLastError(clash));
  EXPECT_TRUE(net.Listen(four, 4));
  EXPECT_EQ(EADDRINUSE, net.GetLastError(nullptr));  // success leaves the error alone
  net.Close(clash);
  net.Close(four);
}

TEST(Sockets3, Ipv4TcpAndUdp) { CheckLoopback(AF_INET, "127.0.0.1"); }

TEST(Sockets3, Ipv6TcpAndUdp) {
  if (!HaveIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback";
  CheckLoopback(AF_INET6, "::1");
}

TEST(Sockets3, OptionsAndBlockingMode) {
  Velmar_Sockets3 net;
  VELMAR_SOCKET* tcp = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
  VELMAR_SOCKET* udp = net.Create(AF_INET, SOCK_DGRAM, IPPROTO_UDP, 0);
  ASSERT_TRUE(tcp != nullptr && udp != nullptr);
  EXPECT_EQ(0, net.SetRecvTimeout(tcp, 1500));
  timeval time{};
  socklen_t length = sizeof(time);
  ASSERT_EQ(0, getsockopt(tcp->sock, SOL_SOCKET, SO_RCVTIMEO, &time, &length));
  EXPECT_EQ(1, time.tv_sec);
  EXPECT_EQ(500000, time.tv_usec);

  EXPECT_EQ(0, net.SetReuseAddr(tcp, true));
  EXPECT_EQ(0, net.SetKeepAlive(tcp, true));
  EXPECT_EQ(0, net.SetBroadcast(udp, true));
  for (auto [sock, option] :
       {std::pair{tcp, SO_REUSEADDR}, {tcp, SO_KEEPALIVE}, {udp, SO_BROADCAST}}) {
    int on = 0;
    length = sizeof(on);
    ASSERT_EQ(0, getsockopt(sock->sock, SOL_SOCKET, option, &on, &length));
    EXPECT_EQ(1, on) << option;
  }
  EXPECT_EQ(0, net.SetLinger(tcp, true, 7));
  linger value{};
  length = sizeof(value);
  ASSERT_EQ(0, getsockopt(tcp->sock, SOL_SOCKET, SO_LINGER, &value, &length));
  EXPECT_TRUE(value.l_onoff == 1 && value.l_linger == 7);

  for (bool on : {true, false}) {
    net.SetNonBlocking(tcp, on);
    EXPECT_EQ(on, net.IsNonBlocking(tcp));
    EXPECT_EQ(on, DescriptorNonBlocking(tcp));
  }
  net.Close(tcp);
  net.Close(udp);
}

TEST(Sockets3, ConnectWithTimeoutKeepsModeAndChecksPendingError) {
  Velmar_Sockets3 net;
  VELMAR_SOCKET* listener = ListenOn(net, AF_INET, "127.0.0.1");
  ASSERT_NE(nullptr, listener);
  RefusingPort refusing;
  const std::string trace = std::string("pUpdateError(): 111 -> ") + strerror(ECONNREFUSED) + "\n";
  for (bool nonBlocking : {false, true}) {
    VELMAR_SOCKET* sock = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
    net.SetNonBlocking(sock, nonBlocking);
    EXPECT_TRUE(net.ConnectWithTimeout(sock, "127.0.0.1", BoundPort(listener), 2000));
    EXPECT_EQ(nonBlocking, DescriptorNonBlocking(sock));
    EXPECT_EQ(nonBlocking, net.IsNonBlocking(sock));
    EXPECT_EQ(BoundPort(listener), sock->remotePort);
    net.Close(net.Accept(listener, 0));

    // Refused: writable at once, but with a pending error.
    VELMAR_SOCKET* refused = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
    net.SetNonBlocking(refused, nonBlocking);
    net.SetQuiet(false);
    const std::string out = CaptureOutput(
        [&] { EXPECT_FALSE(net.ConnectWithTimeout(refused, "127.0.0.1", refusing.port, 2000)); });
    EXPECT_NE(std::string::npos, out.find(trace)) << out;
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
  VELMAR_SOCKET* plain = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
  EXPECT_FALSE(net.Connect(plain, "127.0.0.1", refusing.port));
  EXPECT_EQ(ECONNREFUSED, net.GetLastError(plain));
  net.Close(plain);
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
  EXPECT_EQ(0, net.SelectRead(clients[0], 100u));  // nothing to read: the wait runs out
  // The socket given up on connects afresh to another address.
  VELMAR_SOCKET* other = ListenOn(net, AF_INET, "127.0.0.1", 4);
  ASSERT_NE(nullptr, other);
  EXPECT_TRUE(net.ConnectWithTimeout(clients.back(), "127.0.0.1", BoundPort(other), 2000));
  net.Close(other);
  for (VELMAR_SOCKET* sock : clients) net.Close(sock);
  net.Close(listener);
}

class Sockets3Stream : public ::testing::Test {
 protected:
  void SetUp() override {
    listener = ListenOn(net, AF_INET, "127.0.0.1");
    ASSERT_NE(nullptr, listener);
    client = ConnectTo(&server);
    ASSERT_NE(nullptr, server);
  }
  void TearDown() override {
    for (VELMAR_SOCKET* sock : {client, server, listener}) net.Close(sock);
  }
  // A client connected to the listener; its accepted end goes to `accepted`.
  VELMAR_SOCKET* ConnectTo(VELMAR_SOCKET** accepted) {
    VELMAR_SOCKET* sock = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
    const bool up = net.Connect(sock, "127.0.0.1", BoundPort(listener));
    *accepted = up && net.SelectRead(listener, 5000u) == 1 ? net.Accept(listener, 0) : nullptr;
    return sock;
  }
  // Peer writes `bytes`; they are readable before this returns.
  void Incoming(const std::string& bytes) {
    RawSend(client, bytes);
    ASSERT_EQ(1, net.SelectRead(server, 2000u));
  }
  // One RecvLine into a buffer of `size`: "length:line", or the negative code.
  std::string Line(int32_t size = 64) {
    char buffer[64];
    const int result = net.RecvLine(server, buffer, size);
    return std::to_string(result) + (result >= 0 ? ":" + std::string(buffer) : "");
  }
  Velmar_Sockets3 net;
  VELMAR_SOCKET* listener = nullptr;
  VELMAR_SOCKET* client = nullptr;
  VELMAR_SOCKET* server = nullptr;
};

TEST_F(Sockets3Stream, SendRecvAndPeek) {
  EXPECT_EQ(5, net.Send(client, "hello", -1, true));
  EXPECT_EQ(0, net.Send(client, "ignored", 0, true));
  ASSERT_EQ(1, net.SelectRead(server, 2000u));
  char buffer[16] = "";
  EXPECT_EQ(5, net.Peek(server, buffer, sizeof(buffer)));
  EXPECT_EQ(std::string("hello"), std::string(buffer, 5));
  memset(buffer, 0, sizeof(buffer));
  EXPECT_EQ(3, net.Recv(server, buffer, 3));
  EXPECT_STREQ("hel", buffer);
  EXPECT_EQ(2, net.pRecv(server, buffer, sizeof(buffer)));

  // Without send-all one partial send is all: the peer reads nothing and the
  // send time-out cuts the first send short.
  const std::vector<char> big(16 << 20, 'z');
  ASSERT_EQ(0, net.SetSendTimeout(client, 200));
  const int partial = net.Send(client, big.data(), static_cast<int32_t>(big.size()), false);
  EXPECT_GT(partial, 0);
  EXPECT_LT(partial, static_cast<int>(big.size()));
  EXPECT_EQ(-1, net.Send(client, big.data(), static_cast<int32_t>(big.size()), true));
  EXPECT_EQ(EAGAIN, net.GetLastError(client));
}

TEST_F(Sockets3Stream, SendToClosedPeerGivesEpipeWithoutSignal) {
  net.Close(server);
  server = nullptr;
  int result = 0;
  for (int i = 0; i < 50 && result >= 0; ++i) result = net.Send(client, "data", -1, true);
  EXPECT_EQ(-1, result);  // a SIGPIPE would have ended the test program
  const int code = net.GetLastError(client);
  EXPECT_TRUE(code == EPIPE || code == ECONNRESET) << code;
}

TEST_F(Sockets3Stream, RecvLineConsumesExactlyOneLine) {
  const std::string incomplete = std::to_string(VS_LINE_INCOMPLETE);
  char buffer[64];
  Incoming("AB\r\nCD");
  EXPECT_EQ("2:AB", Line());
  EXPECT_EQ(incomplete, Line());
  ASSERT_EQ(2, net.Recv(server, buffer, 2));
  EXPECT_EQ(0, memcmp(buffer, "CD", 2));
  Incoming("\r\n");
  EXPECT_EQ("0:", Line());
  Incoming("A\rB");
  EXPECT_EQ("1:A", Line());
  Incoming("\n");  // the B now ends in a line feed
  EXPECT_EQ("1:B", Line());
  Incoming("A\rB\n");
  EXPECT_EQ("3:A\rB", Line());
  Incoming("x\r\r\n\n");
  EXPECT_EQ("1:x", Line());
  EXPECT_EQ("0:", Line());
  Incoming("ABCDEF");
  EXPECT_EQ(std::to_string(VS_LINE_FULL), Line(4));
  EXPECT_EQ(incomplete, Line());
  ASSERT_EQ(6, net.Recv(server, buffer, sizeof(buffer)));

  // Nothing waiting on a non-blocking socket is a receive error.
  net.SetNonBlocking(server, true);
  EXPECT_EQ(std::to_string(VS_LINE_ERROR), Line());
  EXPECT_EQ(EAGAIN, net.GetLastError(server));
  net.SetNonBlocking(server, false);

  RawSend(client, "AB");
  net.Close(client);
  client = nullptr;
  ASSERT_EQ(1, net.SelectRead(server, 2000u));
  EXPECT_EQ(incomplete, Line());
  ASSERT_EQ(2, net.Recv(server, buffer, sizeof(buffer)));
  EXPECT_EQ(std::to_string(VS_LINE_CLOSED), Line());
}

TEST_F(Sockets3Stream, ListWaitsKeepReadySocketsInOrder) {
  VELMAR_SOCKET_LIST readList, writeList;
  SocketListClear(&readList);
  SocketListClear(&writeList);
  timeval wait = {0, 100000};
  EXPECT_EQ(0, net.SelectReadList(&readList, &wait));  // empty: only waits
  EXPECT_EQ(0u, readList.count);

  VELMAR_SOCKET* otherServer;
  VELMAR_SOCKET* otherClient = ConnectTo(&otherServer);
  ASSERT_NE(nullptr, otherServer);
  Incoming("ping");
  const std::vector<VELMAR_SOCKET*> all = {otherServer, server, otherClient};
  for (VELMAR_SOCKET* sock : all) {
    ASSERT_TRUE(SocketListAdd(&readList, sock));
    ASSERT_TRUE(SocketListAdd(&writeList, sock));
  }
  EXPECT_TRUE(SocketListIsSet(&readList, server));
  EXPECT_FALSE(SocketListIsSet(&readList, client));
  EXPECT_EQ(4, net.SelectLists(&readList, &writeList, 1000u));
  EXPECT_EQ(std::vector<VELMAR_SOCKET*>{server}, Items(readList));
  EXPECT_EQ(all, Items(writeList));

  SocketListAdd(&readList, otherServer);
  EXPECT_EQ(1, net.SelectReadList(&readList, 1000u));
  EXPECT_EQ(std::vector<VELMAR_SOCKET*>{server}, Items(readList));
  EXPECT_EQ(1, net.SelectLists(&readList, nullptr, 1000u));
  net.Close(otherClient);
  net.Close(otherServer);
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
