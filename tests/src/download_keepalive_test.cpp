// Connections kept between HTTP transfers: two downloads share a cache and a
// scripted server shows how many connections they made and what they asked.
#include "download_keepalive.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "fixtures/http_download.h"

namespace {

const char kKeep[] = "Connection: keep-alive\r\n";

std::string Answer(const std::string& body, const char* connection) {
  return std::string("HTTP/1.0 200 OK\r\n") + connection +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Downloads `path` through `cache` (may be null): the body, or "<failed>".
std::string Fetch(ScriptServer& server, VdlConnectionCache* cache, const char* path) {
  Download d(server, path);
  d.dl.SetConnectionCache(cache);
  return d.Run() ? d.out.data : "<failed>";
}

// What the server does after its first answer.
enum After { kServeAgain, kWaitForClose, kClose, kReset };

TEST(ConnectionCache, KeepsOnlyWhatTheServerKeepsAndRetriesAStaleConnection) {
  const struct {
    const char* what;
    bool cached;
    std::string first;
    After after;
  } cases[] = {
      {"kept: both over one connection", true, Answer("one", kKeep), kServeAgain},
      {"the server does not say keep-alive", true, Answer("one", ""), kWaitForClose},
      {"a body without its length", true, std::string("HTTP/1.0 200 OK\r\n") + kKeep + "\r\none",
       kClose},
      {"kept, then closed by the server: asked again", true, Answer("one", kKeep), kClose},
      {"kept, then reset by the server: asked again", true, Answer("one", kKeep), kReset},
      {"no cache: a connection each, closed", false, Answer("one", kKeep), kWaitForClose},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptServer server;
    server.Accept().ReadRequest().Send(c.first);
    if (c.after == kWaitForClose) server.ExpectClosed();
    if (c.after == kReset) server.Delay(200).Reset();
    if (c.after != kServeAgain) server.Accept();
    server.ReadRequest().Send(Answer("two", kKeep)).Close();
    ASSERT_TRUE(server.Start());
    VdlConnectionCache cache;
    VdlConnectionCache* used = c.cached ? &cache : nullptr;
    EXPECT_EQ(Fetch(server, used, "/one"), "one");
    if (c.after == kReset) usleep(400000);
    EXPECT_EQ(Fetch(server, used, "/two"), "two");
    EXPECT_EQ(server.Finish(), "");
    // /one went over the first connection, /two over the last, and only there.
    const size_t connections = c.after == kServeAgain ? 1 : 2;
    const std::string first = server.Received(0), last = server.Received(connections - 1);
    EXPECT_EQ(first.rfind("GET /one HTTP/1.0\r\n", 0), 0u) << first;
    EXPECT_NE(first.find(c.cached ? kKeep : "Connection: close\r\n"), std::string::npos) << first;
    EXPECT_NE(last.find("GET /two HTTP/1.0\r\n"), std::string::npos) << last;
    EXPECT_TRUE(connections == 1 || first.find("/two") == std::string::npos) << first;
    EXPECT_EQ(server.Received(connections), "") << "no connection more";
  }
}

}  // namespace
