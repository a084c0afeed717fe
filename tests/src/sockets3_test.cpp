// The socket layer over plain TCP and UDP on loopback (127.0.0.1 and ::1).
#include "sockets3.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "download_nocurl.h"
#include "loopback_port.h"
#include "memleak.h"
#include "sockets3_test_util.h"
#include "test_support.h"

using sockets3_test::BoundPort;
using sockets3_test::DescriptorNonBlocking;
using sockets3_test::ListenOn;
using sockets3_test::LoopbackPair;
using sockets3_test::RawSend;
using testsupport::Stdout;

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

std::vector<VELMAR_SOCKET*> Items(const VELMAR_SOCKET_LIST& list) {
  return std::vector<VELMAR_SOCKET*>(list.sockets, list.sockets + list.count);
}

std::string Trace(int code, const std::string& text) {
  return "pUpdateError(): " + std::to_string(code) + " -> " + text + "\n";
}

// "local > remote" addresses and ports of a record.
std::string Ends(const VELMAR_SOCKET* s) {
  return std::string(s->localAddress) + " " + std::to_string(s->localPort) + " > " +
         s->remoteAddress + " " + std::to_string(s->remotePort);
}

std::string Address(const char* host, int port) { return host + (" " + std::to_string(port)); }

// TCP: addresses on both ends, and Accept's refusals close the accepted end.
void CheckTcp(Velmar_Sockets3& net, int family, const char* host) {
  VELMAR_SOCKET* listener = ListenOn(net, family, host);
  ASSERT_NE(nullptr, listener);
  const int port = BoundPort(listener);
  VELMAR_SOCKET* client = net.Create(family, SOCK_STREAM, IPPROTO_TCP, 0);
  ASSERT_TRUE(net.Connect(client, host, port));
  sockaddr_storage peer;
  socklen_t peerLength = sizeof(peer);
  VELMAR_SOCKET* accepted =
      net.Accept(listener, reinterpret_cast<sockaddr*>(&peer), &peerLength, 0);
  ASSERT_NE(nullptr, accepted);
  EXPECT_EQ(family, peer.ss_family);
  const std::string clientEnd = Address(host, BoundPort(client)), serverEnd = Address(host, port);
  EXPECT_EQ(clientEnd + " > " + serverEnd, Ends(client));
  EXPECT_EQ(serverEnd + " > " + clientEnd, Ends(accepted));
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

// UDP: sender addresses, a line and a datagram, a host buffer that cuts.
void CheckUdp(Velmar_Sockets3& net, int family, const char* host) {
  VELMAR_SOCKET* a = net.Create(family, SOCK_DGRAM, IPPROTO_UDP, 0);
  VELMAR_SOCKET* b = net.Create(family, SOCK_DGRAM, IPPROTO_UDP, 0);
  ASSERT_TRUE(net.BindToAddress(a, host, 0) && net.BindToAddress(b, host, 0));
  const std::string endA = Address(host, BoundPort(a)), endB = Address(host, BoundPort(b));
  EXPECT_EQ(11, net.SendTo(a, host, BoundPort(b), "first line\n", -1));
  EXPECT_EQ(endA + " >  0", Ends(a));  // refreshed; no peer
  ASSERT_EQ(1, net.SelectRead(b, 2000u));
  char hostText[40] = "", buffer[64] = "";
  int port = 0;
  EXPECT_EQ(11, net.PeekFrom(b, hostText, sizeof(hostText), &port, buffer, sizeof(buffer)));
  EXPECT_EQ(endB + " > " + endA, Ends(b));
  EXPECT_EQ(endA, Address(hostText, port));
  memset(hostText, 0, sizeof(hostText));
  EXPECT_EQ(10, net.RecvLineFrom(b, hostText, sizeof(hostText), &port, buffer, sizeof(buffer)));
  EXPECT_EQ(endA + " first line", Address(hostText, port) + " " + buffer);
  EXPECT_EQ(4, net.SendTo(a, host, BoundPort(b), "raw!", 4));
  ASSERT_EQ(1, net.SelectRead(b, 2000u));
  memset(buffer, 0, sizeof(buffer));
  EXPECT_EQ(4, net.RecvFrom(b, hostText, 3, &port, buffer, sizeof(buffer)));
  EXPECT_EQ(std::string(host, 2) + " raw!", hostText + (" " + std::string(buffer)));  // cut
  net.Close(a);
  net.Close(b);
}

}  // namespace

TEST(Sockets3, CreateCloseAndErrorState) {
  OpenSockets net;
  VELMAR_SOCKET* sock = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, VS_FEATURE_TLS);
  ASSERT_NE(nullptr, sock);  // TLS starts with a handshake, not here
  EXPECT_EQ(nullptr, sock->ssl);
  const int before = OpenDescriptors();
  EXPECT_EQ(nullptr, net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, VS_FEATURE_COMPRESSION));
  EXPECT_EQ(VS_ERR_REFUSED, net.GetLastError(nullptr));
  EXPECT_STREQ("TWL has not been compiled with zlib support", net.GetLastErrorString(nullptr));
  EXPECT_EQ(before, OpenDescriptors());
  EXPECT_TRUE(net.IsValidSocket(sock));  // closing the refused record left it listed
  EXPECT_EQ(-1, net.Close(nullptr));
  EXPECT_EQ(VS_ERR_REFUSED, net.GetLastError(nullptr));  // untouched
  // Traced unless quiet or expected; no error keeps the text; cut per socket.
  const std::string refused = strerror(ECONNREFUSED), longText(300, 'x');
  const struct {
    int error;
    const char* text;  // the explicit-text form when set
    bool quiet;
    std::string trace, want;
  } cases[] = {
      {ECONNREFUSED, nullptr, false, Trace(ECONNREFUSED, refused), refused},
      {0, nullptr, false, "", refused},
      {ECONNREFUSED, nullptr, true, "", refused},
      {EAGAIN, nullptr, false, "", strerror(EAGAIN)},
      {EINPROGRESS, nullptr, false, "", strerror(EINPROGRESS)},
      {ENOTCONN, nullptr, false, "", strerror(ENOTCONN)},
      {ENOENT, nullptr, false, "", strerror(ENOENT)},
      {EINVAL, longText.c_str(), false, Trace(EINVAL, longText), longText},
  };
  for (const auto& c : cases) {
    net.SetQuiet(c.quiet);
    errno = c.error;
    EXPECT_EQ(c.trace,
              Stdout([&] { c.text ? net.pUpdateError(sock, c.text) : net.pUpdateError(sock); }));
    EXPECT_EQ(c.error, net.GetLastError(nullptr));
    EXPECT_EQ(c.error, net.GetLastError(sock));
    EXPECT_EQ(c.want, net.GetLastErrorString(nullptr));
    EXPECT_EQ(c.want.substr(0, 127), net.GetLastErrorString(sock));
  }
  errno = EAGAIN;
  net.pUpdateError(nullptr);  // the record keeps its own
  EXPECT_EQ(EINVAL, net.GetLastError(sock));
  EXPECT_EQ(0, net.Close(sock));
  EXPECT_FALSE(net.IsValidSocket(sock));
}

// In a child whose descriptor table is full, so this process keeps its own.
TEST(Sockets3, CreateWithoutAFreeDescriptorSaysSo) {
  int out[2];
  ASSERT_EQ(0, pipe(out));
  fflush(stdout);
  const pid_t child = fork();
  ASSERT_NE(-1, child);
  if (child == 0) {
    dup2(out[1], 1);
    Velmar_Sockets3 net;
    FILE* sink = fopen("/dev/null", "w");
    const std::string url = "http://127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/f";
    VelmarDownloadNoCurl warm(url.c_str(), nullptr, nullptr, nullptr, nullptr),
        dl(url.c_str(), nullptr, nullptr, nullptr, nullptr);
    warm.DownloadToHandle(sink);  // the sanitizers' first checks want descriptors
    net.Close(net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0));
    const rlimit few = {64, 64};
    setrlimit(RLIMIT_NOFILE, &few);
    for (int i = 0; i < 64 && dup(0) >= 0; ++i) continue;
    const bool made = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0) != nullptr;
    printf("%d %d %s\n", made, net.GetLastError(nullptr), net.GetLastErrorString(nullptr));
    const bool done = dl.DownloadToHandle(sink);
    printf("%d %d\n", done, dl.GetError());
    fflush(stdout);
    _exit(0);
  }
  close(out[1]);
  waitpid(child, nullptr, 0);  // it cannot wait for anything
  char text[512] = "";
  EXPECT_LT(0, read(out[0], text, sizeof(text) - 1));
  close(out[0]);
  EXPECT_STREQ(
      "0 24 Too many open files\nError creating socket! Error 24: Too many open files\n0 4\n",
      text);
}

TEST(Sockets3, DestructorWarnsAboutOpenRecordsUnlessQuiet) {
  auto* net = new Velmar_Sockets3;
  VELMAR_SOCKET* first = net->Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
  VELMAR_SOCKET* second = net->Create(AF_INET6, SOCK_DGRAM, IPPROTO_UDP, 0);
  ASSERT_TRUE(first != nullptr && second != nullptr);
  strcpy(first->remoteAddress, "127.0.0.1");
  first->remotePort = 80;
  net->SetQuiet(false);
  const std::string out = Stdout([&] { delete net; });
  char expected[256];
  snprintf(expected, sizeof(expected),
           "WARNING: VELMAR_SOCKET 0x%p (127.0.0.1:80) was not closed before Velmar_Sockets3 "
           "was deleted!\nWARNING: VELMAR_SOCKET 0x%p (:0) was not closed before "
           "Velmar_Sockets3 was deleted!\n",
           static_cast<void*>(first), static_cast<void*>(second));
  EXPECT_EQ(expected, out);
  // Quiet by default; the records outlive their object, any object closes them.
  net = new Velmar_Sockets3;
  VELMAR_SOCKET* third = net->Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
  EXPECT_EQ("", Stdout([&] { delete net; }));
  Velmar_Sockets3 closer;
  for (VELMAR_SOCKET* sock : {first, second, third}) EXPECT_EQ(0, closer.Close(sock));
}

TEST(Sockets3, TcpAndUdpOverBothFamilies) {
  const uint64_t blocks = MemLeakCount();
  const std::pair<int, const char*> families[] = {{AF_INET, "127.0.0.1"}, {AF_INET6, "::1"}};
  for (const auto& [family, host] : families) {
    SCOPED_TRACE(host);
    Velmar_Sockets3 net;
    VELMAR_SOCKET* probe = ListenOn(net, family, host);
    if (probe == nullptr) continue;  // no loopback of this family
    net.Close(probe);
    CheckTcp(net, family, host);
    CheckUdp(net, family, host);
  }
  EXPECT_EQ(blocks, MemLeakCount());  // every record was freed
}

TEST(Sockets3, ResolvesBindsAndSetsOptions) {
  Velmar_Sockets3 net;
  EXPECT_EQ(AF_INET, net.GetAddrFamily("127.0.0.1", 80));
  EXPECT_EQ(AF_INET6, net.GetAddrFamily("::1", 80));
  EXPECT_EQ("::1", net.GetHostIP("::1"));
  VELMAR_SOCKET* six = net.Create(AF_INET6, SOCK_STREAM, IPPROTO_TCP, 0);
  if (six != nullptr) {
    EXPECT_FALSE(net.BindToAddress(six, "127.0.0.1", 0));
    EXPECT_STREQ("Could not resolve any addresses matching address family.",
                 net.GetLastErrorString(six));
    net.Close(six);
  }
  for (int family : {AF_INET6, AF_INET}) {  // the wildcard address of the family
    VELMAR_SOCKET* sock = net.Create(family, SOCK_STREAM, IPPROTO_TCP, 0);
    const int port = FreeLoopbackPort();
    if (sock == nullptr) continue;  // no IPv6
    EXPECT_TRUE(net.BindToPort(sock, port));
    EXPECT_EQ(port, BoundPort(sock)) << family;
    net.Close(sock);
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
  VELMAR_SOCKET* tcp = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
  VELMAR_SOCKET* udp = net.Create(AF_INET, SOCK_DGRAM, IPPROTO_UDP, 0);
  ASSERT_TRUE(tcp != nullptr && udp != nullptr);
  EXPECT_EQ(0, net.SetReuseAddr(tcp, true) + net.SetKeepAlive(tcp, true) +
                   net.SetBroadcast(udp, true) + net.SetLinger(tcp, true, 7) +
                   net.SetRecvTimeout(tcp, 1500) + net.SetSendTimeout(tcp, 2500));
  const struct {
    VELMAR_SOCKET* sock;
    int option;
    std::vector<int> want;  // the option value as ints
  } options[] = {
      {tcp, SO_REUSEADDR, {1}},
      {tcp, SO_KEEPALIVE, {1}},
      {udp, SO_BROADCAST, {1}},
      {tcp, SO_LINGER, {1, 7}},
      {tcp, SO_RCVTIMEO, {1, 0, 500000, 0}},  // 1 s and 500000 µs, as two longs
      {tcp, SO_SNDTIMEO, {2, 0, 500000, 0}},
  };
  for (const auto& o : options) {
    std::vector<int> value(o.want.size());
    socklen_t length = value.size() * sizeof(int);
    ASSERT_EQ(0, getsockopt(o.sock->sock, SOL_SOCKET, o.option, value.data(), &length));
    EXPECT_EQ(o.want, value) << o.option;
  }
  VELMAR_SOCKET bad{};
  bad.sock = -1;
  EXPECT_EQ(-1, net.SetReuseAddr(&bad, true));
  EXPECT_EQ(EBADF, net.GetLastError(&bad));
  for (bool on : {true, false}) {
    net.SetNonBlocking(tcp, on);
    EXPECT_EQ(on, net.IsNonBlocking(tcp));
    EXPECT_EQ(on, DescriptorNonBlocking(tcp));
  }
  EXPECT_FALSE(net.SetUnsupportedOption(tcp));
  EXPECT_STREQ("Feature not supported on this platform", net.GetLastErrorString(tcp));
  net.Close(tcp);
  net.Close(udp);
}

TEST(Sockets3, ConnectKeepsModeChecksPendingErrorAndGivesUp) {
  Velmar_Sockets3 net;
  VELMAR_SOCKET* listener = ListenOn(net, AF_INET, "127.0.0.1");
  VELMAR_SOCKET* closed = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
  ASSERT_TRUE(listener != nullptr && net.BindToAddress(closed, "127.0.0.1", 0));
  const int refusing = BoundPort(closed);  // bound, not listening: refused at once
  for (bool nonBlocking : {false, true}) {
    VELMAR_SOCKET* sock = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
    net.SetNonBlocking(sock, nonBlocking);
    EXPECT_TRUE(net.ConnectWithTimeout(sock, "127.0.0.1", BoundPort(listener), 2000));
    EXPECT_EQ(nonBlocking, DescriptorNonBlocking(sock) && net.IsNonBlocking(sock));
    EXPECT_EQ(BoundPort(listener), sock->remotePort);
    net.Close(net.Accept(listener, 0));
    // Refused: writable at once, but with a pending error.
    VELMAR_SOCKET* refused = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
    net.SetNonBlocking(refused, nonBlocking);
    net.SetQuiet(false);
    const std::string out =
        Stdout([&] { EXPECT_FALSE(net.ConnectWithTimeout(refused, "127.0.0.1", refusing, 2000)); });
    EXPECT_NE(std::string::npos, out.find(Trace(ECONNREFUSED, strerror(ECONNREFUSED)))) << out;
    EXPECT_EQ(ECONNREFUSED, net.GetLastError(refused));
    EXPECT_EQ(nonBlocking, DescriptorNonBlocking(refused));
    net.SetQuiet(true);
    net.Close(refused);
    net.Close(sock);
  }
  VELMAR_SOCKET* plain = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
  EXPECT_FALSE(net.Connect(plain, "127.0.0.1", refusing));
  EXPECT_EQ(ECONNREFUSED, net.GetLastError(plain));
  // A non-blocking connect is still in progress: false (and no trace).
  VELMAR_SOCKET* pending = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
  net.SetNonBlocking(pending, true);
  EXPECT_FALSE(net.Connect(pending, "127.0.0.1", BoundPort(listener)));
  EXPECT_EQ(EINPROGRESS, net.GetLastError(pending));
  for (VELMAR_SOCKET* sock : {pending, plain, closed, listener}) net.Close(sock);

  // Backlog 0: once the accept queue holds a connection, further SYNs are
  // dropped and the next connection attempt never completes.
  VELMAR_SOCKET* silent = ListenOn(net, AF_INET, "127.0.0.1", 0);
  ASSERT_NE(nullptr, silent);
  std::vector<VELMAR_SOCKET*> clients;
  bool timedOut = false;
  for (int i = 0; i < 8 && !timedOut; ++i) {
    clients.push_back(net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0));
    timedOut = !net.ConnectWithTimeout(clients.back(), "127.0.0.1", BoundPort(silent), 300);
  }
  ASSERT_TRUE(timedOut);
  EXPECT_EQ(ETIMEDOUT, net.GetLastError(clients.back()));
  EXPECT_FALSE(DescriptorNonBlocking(clients.back()) || net.IsNonBlocking(clients.back()));
  EXPECT_EQ(0, net.SelectRead(clients[0], 100u));  // nothing to read: the wait runs out
  // The socket given up on connects afresh to another address.
  VELMAR_SOCKET* other = ListenOn(net, AF_INET, "127.0.0.1", 4);
  EXPECT_TRUE(net.ConnectWithTimeout(clients.back(), "127.0.0.1", BoundPort(other), 2000));
  clients.push_back(other);
  clients.push_back(silent);
  for (VELMAR_SOCKET* sock : clients) net.Close(sock);
}

class Sockets3Stream : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(nullptr, pair.server); }
  // Peer writes `bytes`; they have all arrived before this returns.
  void Incoming(const std::string& bytes) {
    int before = 0, now = 0;
    ASSERT_EQ(0, ioctl(pair.server->sock, FIONREAD, &before));
    RawSend(pair.client, bytes);
    for (int i = 0; i < 500 && now < before + static_cast<int>(bytes.size()); ++i) {
      if (i > 0) Sleep(10);
      ASSERT_EQ(0, ioctl(pair.server->sock, FIONREAD, &now));
    }
    ASSERT_EQ(before + bytes.size(), static_cast<size_t>(now));
  }
  // One RecvLine into a buffer of `size`: "length:line", or the negative code.
  std::string Line(int32_t size = 64) {
    char buffer[64];
    const int result = net.RecvLine(pair.server, buffer, size);
    return std::to_string(result) + (result >= 0 ? ":" + std::string(buffer) : "");
  }
  Velmar_Sockets3 net;
  LoopbackPair pair{net};
};

TEST_F(Sockets3Stream, SendRecvAndPeek) {
  EXPECT_EQ(5, net.Send(pair.client, "hello", -1, true));
  EXPECT_EQ(0, net.Send(pair.client, "ignored", 0, true));
  ASSERT_EQ(1, net.SelectRead(pair.server, 2000u));
  char buffer[16] = "";
  EXPECT_EQ(5, net.Peek(pair.server, buffer, sizeof(buffer)));
  EXPECT_EQ(std::string("hello"), std::string(buffer, 5));
  EXPECT_EQ(3, net.Recv(pair.server, buffer, 3));
  EXPECT_EQ("hel", std::string(buffer, 3));
  EXPECT_EQ(2, net.pRecv(pair.server, buffer, sizeof(buffer)));
  // Without send-all one send is all; the send time-out cuts it short.
  const std::vector<char> big(16 << 20, 'z');
  ASSERT_EQ(0, net.SetSendTimeout(pair.client, 200));
  const int partial = net.Send(pair.client, big.data(), static_cast<int32_t>(big.size()), false);
  EXPECT_GT(partial, 0);
  EXPECT_LT(partial, static_cast<int>(big.size()));
  EXPECT_EQ(-1, net.Send(pair.client, big.data(), static_cast<int32_t>(big.size()), true));
  EXPECT_EQ(EAGAIN, net.GetLastError(pair.client));
  // To a peer that has gone: EPIPE, not a SIGPIPE that would end the program.
  net.Close(pair.server);
  pair.server = nullptr;
  int result = 0;
  for (int i = 0; i < 50 && result >= 0; ++i) result = net.Send(pair.client, "data", -1, true);
  EXPECT_EQ(-1, result);
  EXPECT_TRUE(net.GetLastError(pair.client) == EPIPE ||
              net.GetLastError(pair.client) == ECONNRESET);
}

TEST_F(Sockets3Stream, RecvLineConsumesExactlyOneLine) {
  const std::string incomplete = std::to_string(VS_LINE_INCOMPLETE);
  const struct {
    std::string incoming;  // more bytes from the peer first, if any
    int32_t size;
    std::string want;
  } steps[] = {
      {"AB\r\nCD", 64, "2:AB"},
      {"", 64, incomplete},  // CD stays
      {"\r\n", 64, "2:CD"},
      {"A\rB", 64, "1:A"},  // a lone CR ends a line only without a LF
      {"\n", 64, "1:B"},
      {"A\rB\n", 64, "3:A\rB"},
      {"x\r\r\n\n", 64, "1:x"},
      {"", 64, "0:"},
      {"ABCDEF", 4, std::to_string(VS_LINE_FULL)},
      {"\n", 1, std::to_string(VS_LINE_FULL)},
      {"", 64, "6:ABCDEF"},
  };
  for (const auto& step : steps) {
    if (!step.incoming.empty()) Incoming(step.incoming);
    EXPECT_EQ(step.want, Line(step.size)) << "after " << step.incoming;
  }
  // Nothing waiting on a non-blocking socket is a receive error.
  net.SetNonBlocking(pair.server, true);
  char byte;
  EXPECT_EQ(-1, net.Recv(pair.server, &byte, 1));
  EXPECT_EQ(EAGAIN, net.GetLastError(pair.server));
  net.SetNonBlocking(pair.server, true);  // the code is 0 again
  EXPECT_EQ(std::to_string(VS_LINE_ERROR), Line());
  EXPECT_EQ(EAGAIN, net.GetLastError(pair.server));
  net.SetNonBlocking(pair.server, false);
  RawSend(pair.client, "AB");
  net.Close(pair.client);
  pair.client = nullptr;
  ASSERT_EQ(1, net.SelectRead(pair.server, 2000u));
  EXPECT_EQ(incomplete, Line());
  char buffer[8];
  ASSERT_EQ(2, net.Recv(pair.server, buffer, sizeof(buffer)));
  EXPECT_EQ(std::to_string(VS_LINE_CLOSED), Line());
}

TEST_F(Sockets3Stream, ListWaitsKeepReadySocketsInOrderWithinLimits) {
  VELMAR_SOCKET_LIST readList, writeList;
  SocketListClear(&readList);
  SocketListClear(&writeList);
  timeval wait = {0, 100000};
  EXPECT_EQ(0, net.SelectReadList(&readList, &wait));  // empty: only waits
  LoopbackPair other(net);
  ASSERT_NE(nullptr, other.server);
  Incoming("ping");
  const std::vector<VELMAR_SOCKET*> all = {other.server, pair.server, other.client};
  for (VELMAR_SOCKET* sock : all) {
    ASSERT_TRUE(SocketListAdd(&readList, sock) && SocketListAdd(&writeList, sock));
  }
  EXPECT_TRUE(SocketListIsSet(&readList, pair.server));
  EXPECT_FALSE(SocketListIsSet(&readList, pair.client));
  EXPECT_EQ(4, net.SelectLists(&readList, &writeList, 1000u));
  EXPECT_EQ(std::vector<VELMAR_SOCKET*>{pair.server}, Items(readList));
  EXPECT_EQ(all, Items(writeList));
  SocketListAdd(&readList, other.server);
  EXPECT_EQ(1, net.SelectReadList(&readList, 1000u));
  EXPECT_EQ(std::vector<VELMAR_SOCKET*>{pair.server}, Items(readList));
  // A full list takes no more; a descriptor beyond the set limit is refused.
  VELMAR_SOCKET fake{};
  while (readList.count < VS_SOCKET_LIST_MAX) ASSERT_TRUE(SocketListAdd(&readList, &fake));
  EXPECT_FALSE(SocketListAdd(&readList, &fake) || SocketListAdd(&writeList, nullptr));
  fake.sock = FD_SETSIZE + 3;
  EXPECT_EQ(-1, net.SelectRead(&fake, 10u));
  EXPECT_EQ(EBADF, net.GetLastError(&fake));
  EXPECT_EQ(-1, net.SelectWrite(&fake, 10u));
  SocketListClear(&readList);
  SocketListAdd(&readList, &fake);
  EXPECT_EQ(-1, net.SelectReadList(&readList, 10u));
  EXPECT_EQ(1u, readList.count);  // left as it was
  EXPECT_EQ(-1, net.SelectLists(nullptr, &readList, 10u));
}
