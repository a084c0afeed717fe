// The downloader without a network: URL parsing, the error table, and the
// text parsers of the HTTP and FTP exchanges.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "download_nocurl.h"
#include "download_parse.h"
#include "download_recv.h"
#include "fixtures/script_server.h"

namespace {

TEST(DownloadUrl, ParsesOrRefusesUrls) {
  const std::string host127(127, 'h');
  struct Case {
    std::string url;
    int32_t code;
    std::string parts = "";  // host, port, path and "tls" of a success
  } cases[] = {
      {"http://example/x", VDL_ERR_NONE, "example 80 /x"},
      {"HTTPS://example:8443/a/b.xml?x=1&y=%20z", VDL_ERR_NONE,
       "example 8443 /a/b.xml?x=1&y=%20z tls"},
      {"https://example/x", VDL_ERR_NONE, "example 443 /x tls"},
      {"http://example", VDL_ERR_INVALID_URL},  // no path
      {"example", VDL_ERR_INVALID_PROTOCOL},    // no "/" at all
      // Too long for their members, or forging request lines.
      {"http://" + host127 + "h/x", VDL_ERR_INVALID_URL},
      {"http://" + host127 + ":81/x", VDL_ERR_NONE, host127 + " 81 /x"},
      {"http://h/" + std::string(511, 'p'), VDL_ERR_INVALID_URL},
      {"http://h/x\r\nX-Injected: 1", VDL_ERR_INVALID_URL},
  };
  for (const Case& c : cases) {
    VDL_URL_PARTS p{};
    EXPECT_EQ(vdl_parse_http_url(c.url.c_str(), &p), c.code) << c.url;
    if (c.code != VDL_ERR_NONE) continue;
    EXPECT_EQ(p.host + (" " + std::to_string(p.port)) + " " + p.path + (p.tls ? " tls" : ""),
              c.parts);
  }
}

TEST(DownloadUrl, ErrorTableHasFourteenTexts) {
  std::string texts;
  for (int32_t code = -1; code <= VDL_ERROR_COUNT; code++)
    texts += std::string(vdl_error_text(code)) + "|";
  EXPECT_EQ(texts,
            "Unkown Error|No Error|File Access Error|Error Connecting to Host|Invalid Response|"
            "Error Creating Socket|Error initializing libCURL|Error writing file|Invalid URL|"
            "Callback Abort|Invalid Protocol|File Not Found|"
            "Server tried to redirect, but FollowRedirects is Off|Transfer Timed Out|"
            "Authorization Needed or Bad Username/Password|Unkown Error|");
}

// A downloader refused at construction fails without touching its target.
TEST(DownloadUrl, RefusedUrlLeavesTheTargetAlone) {
  TempDir dir;
  const std::string target = dir.path + "/target.bin";
  ASSERT_TRUE(WriteFile(target, "keep me"));
  VelmarDownloadNoCurl dl("gopher://127.0.0.1/x", nullptr, nullptr, nullptr, nullptr);
  FILE* handle = fopen(target.c_str(), "r+b");
  ASSERT_NE(handle, nullptr);
  EXPECT_FALSE(dl.DownloadToHandle(handle));
  char content[32] = {};
  EXPECT_EQ(fread(content, 1, sizeof(content), handle), 7u);  // neither truncated nor moved
  EXPECT_STREQ(content, "keep me");
  EXPECT_EQ(fclose(handle), 0);  // still open: the downloader did not close it
  EXPECT_EQ(dl.GetError(), VDL_ERR_INVALID_URL);
}

TEST(DownloadParse, HttpHeadersAndLengths) {
  EXPECT_EQ(vdl_http_header_value("X-Content-Length: 42", "Content-Length:"), nullptr);
  EXPECT_STREQ(vdl_http_header_value("LOCATION:/next", "Location:"), "/next");
  int64_t length = -1;
  EXPECT_TRUE(vdl_parse_content_length("9000000000", &length));
  EXPECT_EQ(length, 9000000000LL);
  for (const char* bad : {"-1", "12abc", "", "99999999999999999999"}) {
    EXPECT_FALSE(vdl_parse_content_length(bad, &length)) << bad;
  }
}

TEST(DownloadParse, FtpSizes) {
  // The size is N of the last "(N bytes)", whatever parentheses come before.
  struct Case {
    const char* text;
    int64_t size;
  } sizes[] = {{"(5 bytes) then (7 bytes)", 7},
               {"(7 bytes) then (x bytes)", 7},
               {"(9223372036854775807 bytes)", INT64_MAX}};
  for (const Case& c : sizes) EXPECT_EQ(vdl_parse_150_size(c.text), c.size) << c.text;
  for (const char* bad : {"for pkg(2).bin", "(9223372036854775808 bytes)", "(-12 bytes)"}) {
    EXPECT_EQ(vdl_parse_150_size(bad), -1) << bad;
  }
}

TEST(DownloadParse, StatusLines) {
  EXPECT_EQ(vdl_parse_status_line("HTTP/1.1 404 Not Found"), 404);
  EXPECT_EQ(vdl_parse_status_line("HTTP/1.0 200\tOK"), 200);
  EXPECT_EQ(vdl_parse_status_line("HTTP/1.0 000"), 0);
  for (const char* bad :
       {"HTTP/1.0 2000 OK", "HTTP/1.0_200 OK", "HTTP/1.0 20 OK", "HTTP/1.0 200OK",
        "HTTP/1.0  200 OK", "HTTP/1.0 2x0 OK", "HTTP/10.0 200 OK", "HTTP/1. 200 OK",
        "HTTP/1.x 200 OK", "http/1.0 200 OK", "XHTTP/1.0 200 OK", "HTTP/1.0"}) {
    EXPECT_EQ(vdl_parse_status_line(bad), -1) << bad;
  }
}

TEST(DownloadParse, ContentRangesRefused) {
  VDL_CONTENT_RANGE r;
  for (const char* bad :
       {"bytes 10-5/11", "bytes 5-11/11", "bytes */11", "bytes 5-10", "bytes5-10/11",
        "bytes -5-10/11", "items 5-10/11", "bytes 99999999999999999999-1/2"}) {
    EXPECT_FALSE(vdl_parse_content_range(bad, &r)) << bad;
  }
}

// A window of 2 s at 1000 bytes/s needs 2000 bytes; meeting that starts the
// next window.
TEST(DownloadRateGuard, JudgesWholeWindows) {
  struct Step {
    uint64_t at;     // ms
    uint64_t bytes;  // counted at `at`
    bool tooSlow;    // judged at `at`, after counting
    uint32_t remaining;
  } steps[] = {
      {0, 0, false, 2000},      {1000, 1500, false, 1000}, {1999, 0, false, 1},
      {1500, 500, false, 2000},  // the quota is met: a new window from 1500
      {3499, 1999, false, 1},   {3500, 0, true, 1},        {3600, 5000, true, 1},
  };
  VdlRateGuard guard;
  guard.Start(1000, 2, 0);
  for (const Step& step : steps) {
    guard.Count(step.bytes, step.at);
    EXPECT_EQ(guard.TooSlow(step.at), step.tooSlow) << step.at;
    EXPECT_EQ(guard.RemainingMs(step.at), step.remaining) << step.at;
  }
  for (uint32_t rate : {0u, 1000u}) {
    VdlRateGuard off;
    off.Start(rate, rate == 0 ? 60 : 0, 0);  // a rate or a window of 0
    EXPECT_FALSE(off.TooSlow(UINT64_MAX / 2)) << rate;
    EXPECT_EQ(off.RemainingMs(5), UINT32_MAX) << rate;
  }
}

}  // namespace
