// Connections kept between HTTP transfers: two downloads share a cache and a
// scripted server shows how many connections they made and what they asked.
#include "download_keepalive.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "download_nocurl.h"
#include "fixtures/script_server.h"

namespace {

std::string Answer(const std::string& body, const char* connection) {
  return std::string("HTTP/1.0 200 OK\r\n") + connection +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

const char kKeep[] = "Connection: keep-alive\r\n";

// Downloads `path` through `cache` (may be null): the body, or "<failed>".
std::string Fetch(const ScriptServer& server, VdlConnectionCache* cache, const char* path) {
  std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + path;
  VelmarDownloadNoCurl dl(url.c_str(), nullptr, nullptr, nullptr, nullptr);
  dl.SetTimeout(3000);
  dl.SetConnectionCache(cache);
  StringStream out;
  return dl.DownloadToStream(&out.stream) ? out.data : "<failed>";
}

TEST(ConnectionCache, KeepsOnlyWhatTheServerKeepsAndRetriesAStaleConnection) {
  struct {
    const char* what;
    bool cached;
    void (*script)(ScriptServer&);
    int connections;  // the requests of each, in order, go to Received(i)
  } cases[] = {
      {"kept: both over one connection", true,
       [](ScriptServer& s) {
         s.Accept().ReadRequest().Send(Answer("one", kKeep)).ReadRequest();
         s.Send(Answer("two", kKeep)).Close();
       },
       1},
      {"the server does not say keep-alive: a new connection", true,
       [](ScriptServer& s) {
         s.Accept().ReadRequest().Send(Answer("one", "")).ExpectClosed();
         s.Accept().ReadRequest().Send(Answer("two", "")).Close();
       },
       2},
      {"a body without its length is never kept", true,
       [](ScriptServer& s) {
         s.Accept().ReadRequest().Send(std::string("HTTP/1.0 200 OK\r\n") + kKeep + "\r\none");
         s.Close().Accept().ReadRequest().Send(Answer("two", kKeep)).Close();
       },
       2},
      {"kept, then closed by the server: asked again on a new one", true,
       [](ScriptServer& s) {
         s.Accept().ReadRequest().Send(Answer("one", kKeep)).Close();
         s.Accept().ReadRequest().Send(Answer("two", kKeep)).Close();
       },
       2},
      {"kept, then reset by the server: asked again on a new one", true,
       [](ScriptServer& s) {
         s.Accept().ReadRequest().Send(Answer("one", kKeep)).Delay(200).Reset();
         s.Accept().ReadRequest().Send(Answer("two", kKeep)).Close();
       },
       2},
      {"no cache: a connection each, closed", false,
       [](ScriptServer& s) {
         s.Accept().ReadRequest().Send(Answer("one", kKeep)).ExpectClosed();
         s.Accept().ReadRequest().Send(Answer("two", kKeep)).Close();
       },
       2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptServer server;
    c.script(server);
    ASSERT_TRUE(server.Start());
    VdlConnectionCache cache;
    VdlConnectionCache* used = c.cached ? &cache : nullptr;
    EXPECT_EQ(Fetch(server, used, "/one"), "one");
    if (std::string(c.what).find("reset") != std::string::npos) usleep(400000);
    EXPECT_EQ(Fetch(server, used, "/two"), "two");
    EXPECT_EQ(server.Finish(), "");
    // /one went over the first connection, /two over the last, and only
    // there.
    const std::string first = server.Received(0), last = server.Received(c.connections - 1);
    const std::string header = c.cached ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    EXPECT_EQ(first.rfind("GET /one HTTP/1.0\r\n", 0), 0u) << first;
    EXPECT_NE(first.find(header), std::string::npos) << first;
    EXPECT_NE(last.find("GET /two HTTP/1.0\r\n"), std::string::npos) << last;
    if (c.connections > 1) {
      EXPECT_EQ(first.find("/two"), std::string::npos) << first;
    }
    EXPECT_EQ(server.Received(c.connections), "") << "no connection more";
  }
}

}  // namespace
