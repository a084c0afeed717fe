// The HTTP client against a scripted loopback server: status and redirect
// rules, header parsing, hostile and stalled servers, resuming with a Range
// request, and connections kept between transfers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "download_keepalive.h"
#include "download_nocurl.h"
#include "fixtures/http_download.h"
#include "fixtures/script_server.h"
#include "memleak.h"

namespace {

// The request the updater sends for `path` up to its Connection header.
std::string Request(const std::string& path) {
  return "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n" +
         "User-Agent: Velmar HTTP Downloader Class (Mozilla)\r\n";
}

// How the server ends its script after the response (or serves again).
enum End { kClose, kReset, kSilent, kServeAgain };

std::string WithLine(size_t length, const char* end) {  // a header line of `length` characters
  return "HTTP/1.0 200 OK\r\nX-Big: " + std::string(length - 7, 'x') + end +
         "Content-Length: 4\r\n\r\nbody";
}

TEST(DownloadHttp, ResponsesAndBrokenServersGiveTheirCodes) {
  std::string endless = "HTTP/1.0 200 OK\r\n";
  for (int i = 0; i < 1500; i++) endless += "X-Filler: " + std::to_string(i) + "\r\n";
  const std::string unsized = "HTTP/1.0 200 OK\r\n\r\n", big(40000, 'b'), hundred(100, 'z');
  std::string crawl;  // a status line with a pause after each character
  for (char c : std::string("HTTP/1.0 200 OK")) crawl += c + std::string("~");
  const char* const slow = "below 1000 bytes/s for 1 s";
  const int32_t kInvalid = VDL_ERR_INVALID_RESPONSE;
  struct Case {
    std::string response;  // each "~" in it a pause of 150 ms
    End end;
    int32_t code;
    std::string body;
    int status = -1;                    // GetHttpStatus(), when not -1
    const char* detail = nullptr;       // GetErrorDetail(), when given
    int64_t total = -1;                 // of every progress call, when not -1
    int64_t limit = 0;                  // SetMaxSize()
    int abortAt = -1;                   // the progress call that returns false
    uint64_t acceptLimit = UINT64_MAX;  // of the stream
    uint32_t rate = 0;                  // bytes a second over a window of 1 s
  } cases[] = {
      {"", kClose, kInvalid, ""},                            // closed before any status line
      {"HTTP/1.0 200 OK\r", kClose, VDL_ERR_NONE, "", 200},  // a last CR ends the line
      {"HTTP/1.0 401 Unauthorized\r\n\r\n", kClose, VDL_ERR_AUTH, "", 401, "server answered 401"},
      {"HTTP/1.0 404 Not Found\r\n\r\nno!", kClose, VDL_ERR_NOT_FOUND, "", 404},
      {"HTTP/1.0 500 Error 2001\r\n\r\n", kClose, kInvalid, "", 500, "server answered 500"},
      {"Content-Length: 200\r\n\r\nerror page", kClose, kInvalid, "", 0, "malformed status line"},
      {"HTTP/1.0 206 Partial\r\nContent-Range: bytes 0-3/4\r\n\r\nbody", kClose, kInvalid, "", 206},
      // Redirects are not followed: a Location fails whatever the code;
      // without one only 302 passes.
      {"HTTP/1.0 302 Found\r\nLocation: /b\r\n\r\nbody", kClose, VDL_ERR_REDIRECT_OFF, "", 302,
       "server answered 302 with a redirect"},
      {"HTTP/1.0 200 OK\r\nLocation: /b\r\n\r\nbody", kClose, VDL_ERR_REDIRECT_OFF, "", 200,
       "server answered 200 with a redirect"},
      {"HTTP/1.0 307 Temporary Redirect\r\n\r\nbody", kClose, kInvalid, "", 307},
      {"HTTP/1.0 304 Not Modified\r\n\r\n", kClose, kInvalid, "", 304},
      {"HTTP/1.0 302 Found\r\n\r\nbody", kClose, VDL_ERR_NONE, "body", 302},
      {"HTTP/1.0 200 OK\r\nContent-Length: -4\r\n\r\nbody", kClose, kInvalid, ""},
      {"HTTP/1.0 200 OK\r\nContent-Len", kClose, kInvalid, ""},  // a cut header is no body
      {"HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nshort", kClose, kInvalid, "short"},
      {std::string("HTTP/1.0 200 OK\r\n\0X: 1\r\n\r\nbody", 30), kClose, kInvalid, ""},
      {endless + "\r\nbody", kClose, kInvalid, ""},
      // A line and its line end may fill the 16384-byte buffer, a longer one
      // is refused and never splits into a header and a body.
      {WithLine(16382, "\r\n"), kClose, VDL_ERR_NONE, "body", 200, nullptr, 4},
      {WithLine(16383, "\r\n"), kClose, kInvalid, ""},
      {WithLine(16383, "\n"), kClose, VDL_ERR_NONE, "body", 200, nullptr, 4},
      // A CR alone ends a line, and so does a CR LF split between packets. The
      // lower-case header with two spaces counts; " :" does not.
      {"HTTP/1.0 200 OK\rContent-Length: 4\r\rbody", kClose, VDL_ERR_NONE, "body", 200, nullptr, 4},
      {"HTTP/1.0 200 OK\r~\nContent-Length: 4\r~\n\r~\nbody", kClose, VDL_ERR_NONE, "body", 200,
       nullptr, 4},
      {"HTTP/1.0 200 OK\r\nSer~ver: x\r\ncontent-length:  4\r\nContent-Length : 9\r\n\r\n~body",
       kClose, VDL_ERR_NONE, "body", 200, nullptr, 4},
      {unsized + "some", kReset, kInvalid, "some"},  // only a clean close ends an unsized body
      {"", kSilent, VDL_ERR_TIMEOUT, "", 0, "no data for 300 ms"},
      {"HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\npart", kSilent, VDL_ERR_TIMEOUT, "part"},
      // Below the minimum rate, crawling or silent, far sooner than the time-out.
      {crawl, kSilent, VDL_ERR_TIMEOUT, "", -1, slow, -1, 0, -1, UINT64_MAX, 1000},
      {"", kSilent, VDL_ERR_TIMEOUT, "", 0, slow, -1, 0, -1, UINT64_MAX, 1000},
      // The size limit, announced or reached.
      {Ok(hundred), kClose, kInvalid, "", 200, "announced 100 bytes, limit 99", -1, 99},
      {Ok(hundred), kClose, VDL_ERR_NONE, hundred, 200, nullptr, 100, 100},
      {unsized + hundred + "!", kClose, kInvalid, hundred, 200,
       "body goes past the limit of 100 bytes", -1, 100},
      {unsized + hundred, kClose, VDL_ERR_NONE, hundred, 200, nullptr, 0, 100},
      // The callback or the stream stops the transfer.
      {Ok(big), kClose, VDL_ERR_CALLBACK_ABORT, "", 200, nullptr, -1, 0, 0},
      {unsized + big, kClose, VDL_ERR_WRITE, "", 200, nullptr, -1, 0, -1, 0},
  };
  const uint64_t blocks = MemLeakCount();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.response.substr(0, 60));
    ScriptServer server;
    server.Accept().ReadRequest();
    for (size_t at = 0, end = 0; end != std::string::npos; at = end + 1) {
      end = c.response.find('~', at);
      server.Send(c.response.substr(at, end - at)).Delay(end == std::string::npos ? 0 : 150);
    }
    if (c.end == kClose) server.Close();
    if (c.end == kReset) server.Delay(100).Reset();
    if (c.end == kSilent) server.ExpectClosed();
    ASSERT_TRUE(server.Start());
    Download d(server);
    if (c.end == kSilent) d.dl.SetTimeout(c.rate ? 5000 : 300);
    if (c.rate != 0) d.dl.SetMinimumRate(c.rate, 1);
    d.dl.SetMaxSize(c.limit);
    d.log.abortAt = c.abortAt;
    d.out.acceptLimit = c.acceptLimit;
    EXPECT_EQ(d.Run(), c.code == VDL_ERR_NONE);
    EXPECT_EQ(d.dl.GetError(), c.code);
    EXPECT_TRUE(d.out.data == c.body);
    EXPECT_EQ(d.dl.SizeLimitHit(), c.detail != nullptr && strstr(c.detail, "limit") != nullptr);
    EXPECT_TRUE(c.status == -1 || d.dl.GetHttpStatus() == c.status) << d.dl.GetHttpStatus();
    EXPECT_TRUE((c.detail == nullptr && c.code != VDL_ERR_NONE) ||
                d.dl.GetErrorDetail() == std::string(c.detail ? c.detail : ""))
        << d.dl.GetErrorDetail();
    if (c.total == -1) continue;
    ASSERT_FALSE(d.log.calls.empty());
    for (const Call& call : d.log.calls) EXPECT_EQ(call.second, c.total);
    EXPECT_EQ(d.log.calls.back().first, static_cast<int64_t>(c.body.size()));
  }
  EXPECT_EQ(MemLeakCount(), blocks);  // failing transfers release what they took
}

std::string Partial(const std::string& rest) { return "HTTP/1.0 206 Partial Content\r\n" + rest; }

// A target that holds "HELLOxyz" asks for the rest from byte 5: the asked-for
// rest is written there; a whole file starts over; anything else leaves the
// target as it was.
TEST(DownloadResume, TakesTheRestOrStartsOver) {
  const std::string rest = Partial("Content-Range: bytes 5-10/11\r\n\r\n WORLD");
  const int32_t kInvalid = VDL_ERR_INVALID_RESPONSE;
  struct Case {
    std::string response;
    int32_t code;
    const char* after;
    int64_t total = 0;  // of the progress calls of a success
    int64_t limit = 0;
  } cases[] = {
      {Partial("content-range:  bytes 5-10/*\r\n\r\n WORLD"), VDL_ERR_NONE, "HELLO WORLD", 11},
      {Ok("hi!"), VDL_ERR_NONE, "hi!LOxyz", 3},
      {Partial("Content-Range: bytes 4-10/11\r\n\r\nO WORLD"), kInvalid, "HELLOxyz"},
      {Partial("Content-Range: bytes 5-7/11\r\n\r\n WO"), kInvalid, "HELLOxyz"},
      {Partial("Content-Length: 5\r\nContent-Range: bytes 5-10/11\r\n\r\n WORL"), kInvalid,
       "HELLOxyz"},
      {Partial("\r\n WORLD"), kInvalid, "HELLOxyz"},
      {"HTTP/1.0 416 Range Not Satisfiable\r\n\r\n", kInvalid, "HELLOxyz"},
      {rest, VDL_ERR_NONE, "HELLO WORLD", 11, 11},
      {rest, kInvalid, "HELLOxyz", 0, 10},  // the whole file is over the limit
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.response);
    ScriptServer server;
    server.Accept().ReadRequest().Send(c.response).Close();
    ASSERT_TRUE(server.Start());
    Download d(server);
    d.dl.SetResumeFrom(5);
    d.dl.SetMaxSize(c.limit);
    d.out.data = "HELLOxyz";
    d.out.position = 5;
    EXPECT_EQ(d.Run(), c.code == VDL_ERR_NONE);
    EXPECT_EQ(d.dl.GetError(), c.code);
    EXPECT_EQ(d.out.data, c.after);
    const bool resumed = c.code == VDL_ERR_NONE && c.response.find(" 206 ") != std::string::npos;
    EXPECT_EQ(d.dl.WasResumed(), resumed);
    EXPECT_EQ(d.dl.GetHttpStatus(), std::stoi(c.response.substr(9)));
    std::vector<Call> calls = {{resumed ? 5 : 0, c.total}, {c.total, c.total}};
    EXPECT_EQ(d.log.calls, c.total == 0 ? std::vector<Call>() : calls);
    ASSERT_EQ(server.Finish(), "");
    EXPECT_EQ(server.Received(), Request("/f") + "Connection: close\r\nRange: bytes=5-\r\n\r\n");
  }
}

// Connections kept between transfers: two downloads share a cache and the
// server shows how many connections they made and what they asked.
const char kKeep[] = "Connection: keep-alive\r\n";

TEST(ConnectionCache, KeepsOnlyWhatTheServerKeepsAndRetriesAStaleConnection) {
  const struct {
    const char* what;
    bool cached;
    std::string first;
    End after;  // after the first answer
  } cases[] = {
      {"kept: both over one connection", true, Ok("one", kKeep), kServeAgain},
      {"the server does not say keep-alive", true, Ok("one"), kSilent},
      {"a body without its length", true, std::string("HTTP/1.0 200 OK\r\n") + kKeep + "\r\none",
       kClose},
      {"kept, then closed by the server: asked again", true, Ok("one", kKeep), kClose},
      {"kept, then reset by the server: asked again", true, Ok("one", kKeep), kReset},
      {"no cache: a connection each, closed", false, Ok("one", kKeep), kSilent},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptServer server;
    server.Accept().ReadRequest().Send(c.first);
    if (c.after == kSilent) server.ExpectClosed();
    if (c.after == kReset) server.Delay(200).Reset();
    if (c.after != kServeAgain) server.Accept();
    server.ReadRequest().Send(Ok("two", kKeep)).Close();
    ASSERT_TRUE(server.Start());
    VdlConnectionCache cache;
    auto fetch = [&](const char* path) {  // the body, or "<failed>"
      Download d(server, path);
      d.dl.SetConnectionCache(c.cached ? &cache : nullptr);
      return d.Run() ? d.out.data : "<failed>";
    };
    EXPECT_EQ(fetch("/one"), "one");
    if (c.after == kReset) usleep(400000);
    EXPECT_EQ(fetch("/two"), "two");
    EXPECT_EQ(server.Finish(), "");
    // /one went over the first connection, /two over the last, and only there.
    const size_t connections = c.after == kServeAgain ? 1 : 2;
    const std::string first = server.Received(0), last = server.Received(connections - 1);
    EXPECT_EQ(first.substr(0, first.find("\r\n\r\n") + 4),
              Request("/one") + (c.cached ? kKeep : "Connection: close\r\n") + "\r\n");
    EXPECT_NE(last.find("GET /two HTTP/1.0\r\n"), std::string::npos) << last;
    EXPECT_TRUE(connections == 1 || first.find("/two") == std::string::npos) << first;
    EXPECT_EQ(server.Received(connections), "") << "no connection more";
  }
}

}  // namespace
