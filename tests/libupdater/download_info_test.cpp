// Updater::DownloadInfo against a one-shot HTTP server on loopback, run in a
// temporary working directory that receives the scratch file.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "updater.h"

namespace {

// Accepts one connection on 127.0.0.1, reads the request head, sends `reply`
// and closes. Every wait is bounded by ten seconds.
class OneShotServer {
 public:
  explicit OneShotServer(const std::string& reply) {
    listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    EXPECT_EQ(listen(listener, 1), 0);
    EXPECT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    port = ntohs(address.sin_port);
    worker = std::thread([this, reply] { Serve(reply); });
  }
  ~OneShotServer() {
    worker.join();
    close(listener);
  }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port) + path;
  }

 private:
  static bool Wait(int fd) {
    struct pollfd entry = {fd, POLLIN, 0};
    return poll(&entry, 1, 10000) == 1;
  }
  void Serve(const std::string& reply) {
    if (!Wait(listener)) return;
    int client = accept(listener, nullptr, nullptr);
    if (client < 0) return;
    std::string request;
    char chunk[1024];
    while (request.find("\r\n\r\n") == std::string::npos && Wait(client)) {
      ssize_t got = recv(client, chunk, sizeof(chunk), 0);
      if (got <= 0) break;
      request.append(chunk, got);
    }
    send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
    close(client);
  }

  int listener;
  int port;
  std::thread worker;
};

int64_t g_lastReceived = -1;
int64_t g_lastTotal = -1;
bool RecordProgress(int64_t received, int64_t total, void* userData) {
  g_lastReceived = received;
  g_lastTotal = total;
  return userData == nullptr;
}
UpdaterCallbacks g_callbacks = {RecordProgress, nullptr, nullptr, nullptr};

class DownloadInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(getcwd(savedDir, sizeof(savedDir)), nullptr);
    char pattern[] = "/tmp/download_info_testXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    workDir = pattern;
    ASSERT_EQ(chdir(workDir.c_str()), 0);
    g_lastReceived = g_lastTotal = -1;
  }
  void TearDown() override {
    updater.Reset();  // deletes the scratch name here, not in the test's own directory
    EXPECT_EQ(chdir(savedDir), 0);
    if (workDir.empty()) return;
    EXPECT_EQ(system(("rm -rf '" + workDir + "'").c_str()), 0);
  }

  // Runs DownloadInfo for `url` with "before" as the earlier document.
  bool Fetch(const std::string& url) {
    updater.Init(url.c_str(), "/tmp/", "updater", "", &g_callbacks);
    updater.infoText = "before";
    return updater.DownloadInfo();
  }
  bool ScratchExists() { return access("updater-info.xml", F_OK) == 0; }
  void PutScratch() {
    FILE* file = fopen("updater-info.xml", "w");
    ASSERT_NE(file, nullptr);
    fputs("stale", file);
    fclose(file);
  }

  char savedDir[1024];
  std::string workDir;
  Updater updater;
};

TEST_F(DownloadInfoTest, DocumentIsReadWholeAndTheScratchFileDeleted) {
  std::string body("<update_info/>\n\0tail", 21);
  OneShotServer server("HTTP/1.0 200 OK\r\nContent-Length: 21\r\n\r\n" + body);
  PutScratch();
  ASSERT_TRUE(Fetch(server.Url("/updates/x.info"))) << updater.GetLastError();
  EXPECT_EQ(updater.infoText, "<update_info/>\n");  // cut at the zero byte
  EXPECT_EQ(g_lastReceived, 21);
  EXPECT_EQ(g_lastTotal, 21);
  EXPECT_FALSE(ScratchExists());
}

TEST_F(DownloadInfoTest, FailuresKeepTheEarlierDocument) {
  {
    OneShotServer server("HTTP/1.0 200 OK\r\n\r\n");
    PutScratch();
    EXPECT_FALSE(Fetch(server.Url("/x.info")));
    EXPECT_STREQ(updater.GetLastError(), "Error reading updater-info.xml!");
    EXPECT_EQ(updater.infoText, "before");
    EXPECT_FALSE(ScratchExists());
  }
  {
    OneShotServer server("HTTP/1.0 404 Not Found\r\n\r\n");
    EXPECT_FALSE(Fetch(server.Url("/x.info")));
    EXPECT_STREQ(updater.GetLastError(), "VDL reports File Not Found");
    EXPECT_EQ(updater.infoText, "before");
    EXPECT_FALSE(ScratchExists());
  }
  // Rejected before anything is created.
  EXPECT_FALSE(Fetch("ftp://127.0.0.1/x.info"));
  EXPECT_STREQ(updater.GetLastError(), "VDL reports Invalid URL");
  EXPECT_FALSE(ScratchExists());
  // The scratch name taken by a directory that Init cannot remove.
  ASSERT_EQ(mkdir("updater-info.xml", 0755), 0);
  ASSERT_EQ(mkdir("updater-info.xml/inside", 0755), 0);
  EXPECT_FALSE(Fetch("http://127.0.0.1:1/x.info"));
  EXPECT_STREQ(updater.GetLastError(), "Error opening updater-info.xml");
  EXPECT_EQ(updater.infoText, "before");
}

}  // namespace
