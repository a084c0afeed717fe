// The socket layer over plain TCP and UDP on loopback (127.0.0.1 and ::1).
#include "sockets3.h"

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

class OpenSockets : public Velmar_Sockets3 {
 public:
  using Velmar_Sockets3::pUpdateError;
};

}  // namespace

TEST(Sockets3, ErrorStateAndTrace) {
  OpenSockets net;
  EXPECT_EQ(nullptr, net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, VS_FEATURE_COMPRESSION));
  EXPECT_STREQ("TWL has not been compiled with zlib support", net.GetLastErrorString(nullptr));
  VELMAR_SOCKET* sock = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
  ASSERT_NE(nullptr, sock);
  // Traced unless quiet or expected; no error keeps the text; cut per socket.
  const std::string refused = strerror(ECONNREFUSED), longText(300, 'x');
  const struct {
    int error;
    const char* text;  // the explicit-text form when set
    bool quiet, traced;
    std::string want;
  } cases[] = {
      {ECONNREFUSED, nullptr, false, true, refused},
      {0, nullptr, false, false, refused},
      {EAGAIN, nullptr, false, false, strerror(EAGAIN)},
      {EINVAL, longText.c_str(), true, false, longText},
  };
  for (const auto& c : cases) {
    net.SetQuiet(c.quiet);
    errno = c.error;
    EXPECT_EQ(c.traced ? "pUpdateError(): " + std::to_string(c.error) + " -> " + c.want + "\n" : "",
              Stdout([&] { c.text ? net.pUpdateError(sock, c.text) : net.pUpdateError(sock); }));
    EXPECT_EQ(c.error, net.GetLastError(nullptr));
    EXPECT_EQ(c.error, net.GetLastError(sock));
    EXPECT_EQ(c.want, net.GetLastErrorString(nullptr));
    EXPECT_EQ(c.want.substr(0, 127), net.GetLastErrorString(sock));
  }
  EXPECT_EQ(0, net.Close(sock));
  EXPECT_EQ(-1, net.Close(nullptr));
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

// TCP and UDP over both loopbacks, a datagram's sender cut to its buffer;
// every record freed.
TEST(Sockets3, ConnectsAndSendsOverBothFamilies) {
  const uint64_t blocks = MemLeakCount();
  const std::pair<int, const char*> families[] = {{AF_INET, "127.0.0.1"}, {AF_INET6, "::1"}};
  for (const auto& [family, host] : families) {
    SCOPED_TRACE(host);
    Velmar_Sockets3 net;
    VELMAR_SOCKET* listener = ListenOn(net, family, host);
    if (listener == nullptr) continue;  // no loopback of this family
    VELMAR_SOCKET* client = net.Create(family, SOCK_STREAM, IPPROTO_TCP, 0);
    ASSERT_TRUE(net.ConnectWithTimeout(client, host, BoundPort(listener), 2000));
    VELMAR_SOCKET* accepted = net.Accept(listener, 0);
    ASSERT_NE(nullptr, accepted);
    VELMAR_SOCKET* udp = net.Create(family, SOCK_DGRAM, IPPROTO_UDP, 0);
    ASSERT_TRUE(net.BindToAddress(udp, host, 0));
    EXPECT_EQ(4, net.SendTo(udp, host, BoundPort(udp), "raw!", -1));
    char sender[3], buffer[8] = "";
    int port = 0;
    EXPECT_EQ(4, net.RecvFrom(udp, sender, sizeof(sender), &port, buffer, sizeof(buffer)));
    EXPECT_EQ(std::string(host, 2) + " raw!", sender + (" " + std::string(buffer)));
    for (VELMAR_SOCKET* sock : {client, accepted, listener, udp}) EXPECT_EQ(0, net.Close(sock));
  }
  EXPECT_EQ(blocks, MemLeakCount());
}

TEST(Sockets3, ConnectWithTimeoutKeepsModeAndGivesUp) {
  Velmar_Sockets3 net;
  VELMAR_SOCKET* listener = ListenOn(net, AF_INET, "127.0.0.1");
  VELMAR_SOCKET* closed = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
  ASSERT_TRUE(listener != nullptr && net.BindToAddress(closed, "127.0.0.1", 0));
  VELMAR_SOCKET* sock = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
  EXPECT_TRUE(net.ConnectWithTimeout(sock, "127.0.0.1", BoundPort(listener), 2000));
  // Refused (bound, not listening): writable at once, but with a pending error.
  VELMAR_SOCKET* refused = net.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, 0);
  EXPECT_FALSE(net.ConnectWithTimeout(refused, "127.0.0.1", BoundPort(closed), 2000));
  EXPECT_EQ(ECONNREFUSED, net.GetLastError(refused));
  EXPECT_FALSE(DescriptorNonBlocking(sock) || DescriptorNonBlocking(refused));
  for (VELMAR_SOCKET* end : {sock, refused, net.Accept(listener, 0)}) net.Close(end);
  net.Close(closed);
  net.Close(listener);
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
  clients.insert(clients.end(), {other, silent});
  for (VELMAR_SOCKET* sock : clients) net.Close(sock);
}

// A descriptor beyond what a wait can hold is refused, not written past the set.
TEST(Sockets3, WaitsRefuseWhatTheyCannotHold) {
  Velmar_Sockets3 net;
  VELMAR_SOCKET fake{};
  fake.sock = FD_SETSIZE + 3;
  EXPECT_EQ(-1, net.SelectRead(&fake, 10u));
  EXPECT_EQ(EBADF, net.GetLastError(&fake));
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
  ASSERT_EQ(1, net.SelectRead(pair.server, 2000u));
  char buffer[16] = "";
  EXPECT_EQ(5, net.Peek(pair.server, buffer, sizeof(buffer)));
  EXPECT_EQ(3, net.Recv(pair.server, buffer, 3));
  EXPECT_EQ(2, net.Recv(pair.server, buffer + 3, sizeof(buffer)));
  EXPECT_EQ("hello", std::string(buffer, 5));
  // The receive time-out reaches the descriptor; when it runs out, EAGAIN.
  ASSERT_EQ(0, net.SetRecvTimeout(pair.server, 1500));
  timeval armed{};
  socklen_t length = sizeof(armed);
  ASSERT_EQ(0, getsockopt(pair.server->sock, SOL_SOCKET, SO_RCVTIMEO, &armed, &length));
  EXPECT_EQ(std::make_pair(1L, 500000L), std::make_pair(armed.tv_sec, armed.tv_usec));
  net.SetRecvTimeout(pair.server, 100);
  EXPECT_EQ(-1, net.Recv(pair.server, buffer, 1));
  EXPECT_EQ(EAGAIN, net.GetLastError(pair.server));
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
  const std::pair<std::string, std::string> steps[] = {
      {"AB\r\nCD", "2:AB"},
      {"", incomplete},  // CD stays
      {"\rEF", "2:CD"},  // a lone CR ends a line only without a LF
      {"\n", "2:EF"},
  };
  for (const auto& [incoming, want] : steps) {
    if (!incoming.empty()) Incoming(incoming);
    EXPECT_EQ(want, Line()) << "after " << incoming;
  }
  Incoming("ABCDEF\n");
  EXPECT_EQ(std::to_string(VS_LINE_FULL), Line(4));
  net.Close(pair.client);
  pair.client = nullptr;
  EXPECT_EQ("6:ABCDEF", Line());
  ASSERT_EQ(1, net.SelectRead(pair.server, 2000u));
  EXPECT_EQ(std::to_string(VS_LINE_CLOSED), Line());
}
