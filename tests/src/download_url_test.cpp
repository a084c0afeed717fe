// The downloader without a network: URL parsing, the constructors and their
// defaults, the error table, the sticky error code, and the text parsers of
// the HTTP and FTP exchanges.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "download_nocurl.h"
#include "download_parse.h"
#include "streams.h"

namespace {

VDL_URL_PARTS Parse(const char* url, int32_t* code) {
  VDL_URL_PARTS parts{};
  *code = vdl_parse_http_url(url, &parts);
  return parts;
}

TEST(DownloadUrl, SplitsHostPortAndPath) {
  int32_t code = -1;
  VDL_URL_PARTS p = Parse("http://example/x", &code);
  EXPECT_EQ(code, VDL_ERR_NONE);
  EXPECT_STREQ(p.host, "example");
  EXPECT_EQ(p.port, 80u);
  EXPECT_STREQ(p.path, "/x");

  // Scheme in capitals, a port, and query text kept unchanged.
  p = Parse("HTTP://example:8080/a/b.xml?x=1&y=%20z", &code);
  EXPECT_EQ(code, VDL_ERR_NONE);
  EXPECT_STREQ(p.host, "example");
  EXPECT_EQ(p.port, 8080u);
  EXPECT_STREQ(p.path, "/a/b.xml?x=1&y=%20z");

  p = Parse("hTtP://127.0.0.1:/", &code);  // an empty port reads as 0
  EXPECT_EQ(code, VDL_ERR_NONE);
  EXPECT_STREQ(p.host, "127.0.0.1");
  EXPECT_EQ(p.port, 0u);
  EXPECT_STREQ(p.path, "/");

  p = Parse("http://host:abc/x", &code);  // not a number: port 0
  EXPECT_EQ(code, VDL_ERR_NONE);
  EXPECT_EQ(p.port, 0u);
}

TEST(DownloadUrl, RefusesOtherSchemesAndMissingParts) {
  int32_t code = -1;
  Parse("http://example", &code);  // no path
  EXPECT_EQ(code, VDL_ERR_INVALID_URL);
  Parse("http://example?x=1", &code);
  EXPECT_EQ(code, VDL_ERR_INVALID_URL);
  Parse("ftp://example/x", &code);
  EXPECT_EQ(code, VDL_ERR_INVALID_URL);
  Parse("https://example/x", &code);
  EXPECT_EQ(code, VDL_ERR_INVALID_URL);
  Parse("xhttp://example/x", &code);
  EXPECT_EQ(code, VDL_ERR_INVALID_URL);
  Parse("http:/", &code);  // ends right after the first "/"
  EXPECT_EQ(code, VDL_ERR_INVALID_URL);
  Parse("example", &code);  // no "/" at all
  EXPECT_EQ(code, VDL_ERR_INVALID_PROTOCOL);
  Parse("", &code);
  EXPECT_EQ(code, VDL_ERR_INVALID_PROTOCOL);

  // Texts that do not fit their members, and line breaks that would forge
  // request lines.
  std::string longHost = "http://" + std::string(128, 'h') + "/x";
  Parse(longHost.c_str(), &code);
  EXPECT_EQ(code, VDL_ERR_INVALID_URL);
  std::string fitHost = "http://" + std::string(127, 'h') + ":81/x";
  Parse(fitHost.c_str(), &code);
  EXPECT_EQ(code, VDL_ERR_NONE);
  std::string longPath = "http://h/" + std::string(511, 'p');
  Parse(longPath.c_str(), &code);
  EXPECT_EQ(code, VDL_ERR_INVALID_URL);
  Parse("http://h/x\r\nX-Injected: 1", &code);
  EXPECT_EQ(code, VDL_ERR_INVALID_URL);
}

TEST(DownloadUrl, ConstructorStoresPartsOrTheCode) {
  VelmarDownloadNoCurl dl("Http://127.0.0.1:8080/updates/a.info?v=2", nullptr, "u", "p", nullptr);
  EXPECT_EQ(dl.GetError(), VDL_ERR_NONE);
  EXPECT_STREQ(dl.GetErrorString(), "No Error");
  EXPECT_STREQ(dl.GetHost(), "127.0.0.1");
  EXPECT_EQ(dl.GetPort(), 8080u);
  EXPECT_STREQ(dl.GetPath(), "/updates/a.info?v=2");
  EXPECT_EQ(dl.GetProtocol(), VDL_PROTO_HTTP);
  EXPECT_STREQ(dl.GetUser(), "u");
  EXPECT_STREQ(dl.GetPassword(), "p");

  VelmarDownloadNoCurl ftp("ftp://127.0.0.1/x", nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(ftp.GetError(), VDL_ERR_INVALID_URL);
  EXPECT_STREQ(ftp.GetErrorString(), "Invalid URL");
  VelmarDownloadNoCurl noSlash("localhost", nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(noSlash.GetError(), VDL_ERR_INVALID_PROTOCOL);
  VelmarDownloadNoCurl nullUrl(nullptr, nullptr, nullptr, nullptr, nullptr);
  EXPECT_NE(nullUrl.GetError(), VDL_ERR_NONE);
  std::string longUser(128, 'u');
  VelmarDownloadNoCurl tooLong("http://h/x", nullptr, longUser.c_str(), nullptr, nullptr);
  EXPECT_EQ(tooLong.GetError(), VDL_ERR_INVALID_URL);
}

TEST(DownloadUrl, PartsConstructorAppliesFtpDefaults) {
  VelmarDownloadNoCurl anon(VDL_PROTO_FTP, "127.0.0.1", 21, "/pub/f", nullptr, nullptr, nullptr,
                            nullptr);
  EXPECT_EQ(anon.GetError(), VDL_ERR_NONE);
  EXPECT_STREQ(anon.GetUser(), "anonymous");
  EXPECT_EQ(strlen(anon.GetPassword()), 15u);
  EXPECT_EQ(anon.GetPort(), 21u);
  EXPECT_STREQ(anon.GetPath(), "/pub/f");

  VelmarDownloadNoCurl named(VDL_PROTO_FTP, "h", 2121, "f", nullptr, "bob", "s3cret", nullptr);
  EXPECT_STREQ(named.GetUser(), "bob");
  EXPECT_STREQ(named.GetPassword(), "s3cret");

  // HTTP from parts: no defaults, not even a port.
  VelmarDownloadNoCurl http(VDL_PROTO_HTTP, "h", 0, "/x", nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(http.GetError(), VDL_ERR_NONE);
  EXPECT_STREQ(http.GetUser(), "");
  EXPECT_EQ(http.GetPort(), 0u);

  VelmarDownloadNoCurl reserved(1, "h", 80, "/x", nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(reserved.GetError(), VDL_ERR_INVALID_PROTOCOL);
  VelmarDownloadNoCurl other(7, "h", 80, "/x", nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(other.GetError(), VDL_ERR_INVALID_PROTOCOL);
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
  EXPECT_STREQ(vdl_error_text(1000), "Unkown Error");
}

// A stream that counts every call, so a test can see it was never touched.
int64_t CountingWrite(const void*, uint64_t count, DataStream* stream) {
  ++*static_cast<int*>(stream->handle);
  return static_cast<int64_t>(count);
}

TEST(DownloadUrl, RefusedDownloaderNeverOpensItsTarget) {
  char dir[] = "/tmp/dlurl.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string target = std::string(dir) + "/target.bin";
  FILE* f = fopen(target.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fputs("keep me", f);
  fclose(f);

  VelmarDownloadNoCurl dl("gopher://127.0.0.1/x", nullptr, nullptr, nullptr, nullptr);
  ASSERT_EQ(dl.GetError(), VDL_ERR_INVALID_URL);
  EXPECT_FALSE(dl.DownloadToFile(target.c_str()));
  FILE* handle = fopen(target.c_str(), "r+b");
  ASSERT_NE(handle, nullptr);
  EXPECT_FALSE(dl.DownloadToHandle(handle));
  EXPECT_EQ(ftell(handle), 0);
  EXPECT_EQ(fclose(handle), 0);  // still open: the downloader did not close it
  int writes = 0;
  DataStream counting{};
  counting.write = CountingWrite;
  counting.handle = &writes;
  EXPECT_FALSE(dl.DownloadToStream(&counting));
  EXPECT_EQ(writes, 0);
  EXPECT_EQ(dl.GetError(), VDL_ERR_INVALID_URL);

  char content[32] = {};
  f = fopen(target.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(fread(content, 1, sizeof(content), f), 7u);
  fclose(f);
  EXPECT_STREQ(content, "keep me");

  // A target in a directory that does not exist: code 1, and it sticks.
  VelmarDownloadNoCurl good("http://127.0.0.1:9/x", nullptr, nullptr, nullptr, nullptr);
  std::string missing = std::string(dir) + "/no/such/dir/file";
  EXPECT_FALSE(good.DownloadToFile(missing.c_str()));
  EXPECT_EQ(good.GetError(), VDL_ERR_FILE_ACCESS);
  EXPECT_FALSE(good.DownloadToStream(&counting));
  EXPECT_EQ(writes, 0);

  remove(target.c_str());
  rmdir(dir);
}

TEST(DownloadParse, HttpStatusAndHeaders) {
  EXPECT_EQ(vdl_http_status_result("HTTP/1.0 200 OK"), VDL_ERR_NONE);
  EXPECT_EQ(vdl_http_status_result("HTTP/1.1 302 Found"), VDL_ERR_NONE);
  EXPECT_EQ(vdl_http_status_result("HTTP/1.0 401 Unauthorized"), VDL_ERR_AUTH);
  EXPECT_EQ(vdl_http_status_result("HTTP/1.0 404 Not Found"), VDL_ERR_NOT_FOUND);
  EXPECT_EQ(vdl_http_status_result("HTTP/1.0 301 Moved"), VDL_ERR_INVALID_RESPONSE);
  EXPECT_EQ(vdl_http_status_result("HTTP/1.0 500 Error"), VDL_ERR_INVALID_RESPONSE);

  const char* v = vdl_http_header_value("content-length:  42", "Content-Length:");
  ASSERT_NE(v, nullptr);
  int64_t length = -1;
  EXPECT_TRUE(vdl_parse_content_length(v, &length));
  EXPECT_EQ(length, 42);
  EXPECT_EQ(vdl_http_header_value("Content-Length : 42", "Content-Length:"), nullptr);
  EXPECT_EQ(vdl_http_header_value("X-Content-Length: 42", "Content-Length:"), nullptr);
  v = vdl_http_header_value("LOCATION:/next", "Location:");
  ASSERT_NE(v, nullptr);
  EXPECT_STREQ(v, "/next");
  EXPECT_STREQ(vdl_http_header_value("Location: http://h/x", "Location:"), "http://h/x");

  EXPECT_TRUE(vdl_parse_content_length("9000000000", &length));
  EXPECT_EQ(length, 9000000000LL);
  EXPECT_FALSE(vdl_parse_content_length("-1", &length));
  EXPECT_FALSE(vdl_parse_content_length("12abc", &length));
  EXPECT_FALSE(vdl_parse_content_length("", &length));
  EXPECT_FALSE(vdl_parse_content_length("99999999999999999999", &length));
}

TEST(DownloadParse, FtpReplies) {
  const char* text = nullptr;
  EXPECT_EQ(vdl_ftp_reply_code("220 Service ready", &text), 220);
  EXPECT_STREQ(text, "Service ready");
  EXPECT_EQ(vdl_ftp_reply_code("220-Welcome here", &text), 220);
  EXPECT_STREQ(text, "here");
  EXPECT_EQ(vdl_ftp_reply_code("226", &text), 226);
  EXPECT_STREQ(text, "226");
  EXPECT_EQ(vdl_ftp_reply_code("hello", &text), 0);

  char address[40];
  uint32_t port = 0;
  ASSERT_TRUE(vdl_parse_pasv_reply("Entering Passive Mode (10,0,0,5,4,1).", address,
                                   sizeof(address), &port));
  EXPECT_STREQ(address, "10.0.0.5");
  EXPECT_EQ(port, 1025u);
  ASSERT_TRUE(vdl_parse_pasv_reply("ok (127,0,0,1,255,255,7)", address, sizeof(address), &port));
  EXPECT_STREQ(address, "127.0.0.1");
  EXPECT_EQ(port, 65535u);
  EXPECT_FALSE(
      vdl_parse_pasv_reply("Entering Passive Mode 10,0,0,5,4,1", address, sizeof(address), &port));
  EXPECT_FALSE(vdl_parse_pasv_reply("(10,0,0,5,4,1", address, sizeof(address), &port));
  EXPECT_FALSE(vdl_parse_pasv_reply("(10,0,0,5,4)", address, sizeof(address), &port));
  EXPECT_FALSE(vdl_parse_pasv_reply("(10,0,0,256,4,1)", address, sizeof(address), &port));
  EXPECT_FALSE(vdl_parse_pasv_reply("(10,0,x,5,4,1)", address, sizeof(address), &port));

  EXPECT_EQ(vdl_parse_150_size("Opening BINARY mode data connection for f (1000 bytes)."), 1000);
  EXPECT_EQ(vdl_parse_150_size("Opening data connection (0 bytes)"), 0);
  EXPECT_EQ(vdl_parse_150_size("(77)"), 77);
  EXPECT_EQ(vdl_parse_150_size("File status okay."), -1);
  EXPECT_EQ(vdl_parse_150_size("Opening (unknown size)"), -2);
  EXPECT_EQ(vdl_parse_150_size("Opening (12kB)"), -2);
}

}  // namespace
