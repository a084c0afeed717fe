// The downloader without a network: URL parsing, the constructors, the error
// table, the sticky error code, and the text parsers of the HTTP and FTP
// exchanges.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "download_nocurl.h"
#include "download_parse.h"
#include "streams.h"

namespace {

TEST(DownloadUrl, ParsesOrRefusesUrls) {
  const std::string longHost = "http://" + std::string(128, 'h') + "/x";
  const std::string host127(127, 'h');
  const std::string fitHost = "http://" + host127 + ":81/x";
  const std::string longPath = "http://h/" + std::string(511, 'p');
  struct Case {
    std::string url;
    int32_t code;
    const char* host = nullptr;
    uint32_t port = 0;
    const char* path = nullptr;
  } cases[] = {
      {"http://example/x", VDL_ERR_NONE, "example", 80, "/x"},
      {"HTTP://example:8080/a/b.xml?x=1&y=%20z", VDL_ERR_NONE, "example", 8080,
       "/a/b.xml?x=1&y=%20z"},
      {"hTtP://127.0.0.1:/", VDL_ERR_NONE, "127.0.0.1", 0, "/"},  // an empty port reads as 0
      {"http://example", VDL_ERR_INVALID_URL},                    // no path
      {"http://example?x=1", VDL_ERR_INVALID_URL},
      {"ftp://example/x", VDL_ERR_INVALID_URL},
      {"https://example/x", VDL_ERR_INVALID_URL},
      {"xhttp://example/x", VDL_ERR_INVALID_URL},
      {"http:/", VDL_ERR_INVALID_URL},
      {"example", VDL_ERR_INVALID_PROTOCOL},  // no "/" at all
      {"", VDL_ERR_INVALID_PROTOCOL},
      // Texts that do not fit their members, and line breaks that would forge
      // request lines.
      {longHost, VDL_ERR_INVALID_URL},
      {fitHost, VDL_ERR_NONE, host127.c_str(), 81, "/x"},
      {longPath, VDL_ERR_INVALID_URL},
      {"http://h/x\r\nX-Injected: 1", VDL_ERR_INVALID_URL},
  };
  for (const Case& c : cases) {
    VDL_URL_PARTS p{};
    EXPECT_EQ(vdl_parse_http_url(c.url.c_str(), &p), c.code) << c.url;
    if (c.code != VDL_ERR_NONE) continue;
    EXPECT_STREQ(p.host, c.host) << c.url;
    EXPECT_EQ(p.port, c.port) << c.url;
    EXPECT_STREQ(p.path, c.path) << c.url;
  }
}

TEST(DownloadUrl, ConstructorsRefuseBadInput) {
  EXPECT_NE(VelmarDownloadNoCurl(nullptr, nullptr, nullptr, nullptr, nullptr).GetError(),
            VDL_ERR_NONE);
  std::string longUser(128, 'u');
  EXPECT_EQ(
      VelmarDownloadNoCurl("http://h/x", nullptr, longUser.c_str(), nullptr, nullptr).GetError(),
      VDL_ERR_INVALID_URL);
  for (uint32_t protocol : {1u, 7u}) {
    VelmarDownloadNoCurl dl(protocol, "h", 80, "/x", nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(dl.GetError(), VDL_ERR_INVALID_PROTOCOL) << protocol;
  }
  VelmarDownloadNoCurl injected(VDL_PROTO_FTP, "h", 21, "f\r\nDELE x", nullptr, nullptr, nullptr,
                                nullptr);
  EXPECT_EQ(injected.GetError(), VDL_ERR_INVALID_URL);
}

TEST(DownloadUrl, ErrorTableHasFourteenTexts) {
  const char* expected[] = {"No Error",
                            "File Access Error",
                            "Error Connecting to Host",
                            "Invalid Response",
                            "Error Creating Socket",
                            "Error initializing libCURL",
                            "Error writing file",
                            "Invalid URL",
                            "Callback Abort",
                            "Invalid Protocol",
                            "File Not Found",
                            "Server tried to redirect, but FollowRedirects is Off",
                            "Transfer Timed Out",
                            "Authorization Needed or Bad Username/Password"};
  for (int32_t code = 0; code < VDL_ERROR_COUNT; code++) {
    EXPECT_STREQ(vdl_error_text(code), expected[code]) << code;
  }
  EXPECT_STREQ(vdl_error_text(14), "Unkown Error");
  EXPECT_STREQ(vdl_error_text(-1), "Unkown Error");
}

TEST(DownloadUrl, RefusedDownloaderNeverOpensItsTarget) {
  char dir[] = "/tmp/dlurl.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string target = std::string(dir) + "/target.bin";
  ASSERT_TRUE(std::ofstream(target) << "keep me");

  VelmarDownloadNoCurl dl("gopher://127.0.0.1/x", nullptr, nullptr, nullptr, nullptr);
  ASSERT_EQ(dl.GetError(), VDL_ERR_INVALID_URL);
  EXPECT_FALSE(dl.DownloadToFile(target.c_str()));
  FILE* handle = fopen(target.c_str(), "r+b");
  ASSERT_NE(handle, nullptr);
  EXPECT_FALSE(dl.DownloadToHandle(handle));
  char content[32] = {};
  EXPECT_EQ(fread(content, 1, sizeof(content), handle), 7u);  // neither truncated nor moved
  EXPECT_STREQ(content, "keep me");
  EXPECT_EQ(fclose(handle), 0);  // still open: the downloader did not close it
  int writes = 0;
  DataStream counting{};
  counting.write = [](const void*, uint64_t count, DataStream* stream) -> int64_t {
    ++*static_cast<int*>(stream->handle);
    return static_cast<int64_t>(count);
  };
  counting.handle = &writes;
  EXPECT_FALSE(dl.DownloadToStream(&counting));
  EXPECT_EQ(dl.GetError(), VDL_ERR_INVALID_URL);

  // A target in a directory that does not exist: code 1, and it sticks.
  VelmarDownloadNoCurl good("http://127.0.0.1:9/x", nullptr, nullptr, nullptr, nullptr);
  EXPECT_FALSE(good.DownloadToFile((std::string(dir) + "/no/such/dir/file").c_str()));
  EXPECT_EQ(good.GetError(), VDL_ERR_FILE_ACCESS);
  EXPECT_FALSE(good.DownloadToStream(&counting));
  EXPECT_EQ(writes, 0);
  std::filesystem::remove_all(dir);
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

TEST(DownloadParse, PassiveRepliesAndSizes) {
  char address[40];
  uint32_t port = 0;
  ASSERT_TRUE(vdl_parse_pasv_reply("Entering Passive Mode (10,0,0,5,4,1).", address,
                                   sizeof(address), &port));
  EXPECT_STREQ(address, "10.0.0.5");
  EXPECT_EQ(port, 1025u);
  ASSERT_TRUE(vdl_parse_pasv_reply("ok (127,0,0,1,255,255,7)", address, sizeof(address), &port));
  EXPECT_STREQ(address, "127.0.0.1");
  EXPECT_EQ(port, 65535u);
  for (const char* bad : {"Entering Passive Mode 10,0,0,5,4,1", "(10,0,0,5,4,1", "(10,0,0,5,4)",
                          "(10,0,0,256,4,1)", "(10,0,x,5,4,1)"}) {
    EXPECT_FALSE(vdl_parse_pasv_reply(bad, address, sizeof(address), &port)) << bad;
  }

  EXPECT_EQ(vdl_parse_150_size("Opening BINARY mode data connection for f (1000 bytes)."), 1000);
  EXPECT_EQ(vdl_parse_150_size("File status okay."), -1);
  EXPECT_EQ(vdl_parse_150_size("Opening (12kB)"), -2);
}

}  // namespace
