// Resuming over HTTP: the Range request, the rest in a 206, the whole file
// in a 200, and every answer that must leave the target alone; against a
// scripted server and against nginx.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "download_nocurl.h"
#include "fixtures/http_download.h"
#include "fixtures/script_server.h"

namespace {

// A target that already holds "HELLO" (and bytes after it) asks for the rest
// from byte 5.
TEST(DownloadResume, TakesTheRestOrStartsOver) {
  const std::string partial = "HTTP/1.0 206 Partial Content\r\n";
  struct Case {
    std::string response;
    int32_t code;
    std::string file;  // the handle's file afterwards
    bool resumed;
    std::vector<Call> calls;
  } cases[] = {
      {partial + "Content-Length: 6\r\nContent-Range: bytes 5-10/11\r\n\r\n WORLD",
       VDL_ERR_NONE,
       "HELLO WORLD",
       true,
       {{5, 11}, {11, 11}}},
      {partial + "content-range:  bytes 5-10/*\r\n\r\n WORLD",
       VDL_ERR_NONE,
       "HELLO WORLD",
       true,
       {{5, 11}, {11, 11}}},
      // The server sends the whole file: it replaces what was there.
      {Ok("hi!"), VDL_ERR_NONE, "hi!", false, {{0, 3}, {3, 3}}},
      // Anything but the asked-for rest leaves the file as it was.
      {partial + "Content-Range: bytes 4-10/11\r\n\r\nO WORLD",
       VDL_ERR_INVALID_RESPONSE,
       "HELLOxyz",
       false,
       {}},
      {partial + "Content-Range: bytes 5-7/11\r\n\r\n WO",
       VDL_ERR_INVALID_RESPONSE,
       "HELLOxyz",
       false,
       {}},
      {partial + "Content-Length: 5\r\nContent-Range: bytes 5-10/11\r\n\r\n WORL",
       VDL_ERR_INVALID_RESPONSE,
       "HELLOxyz",
       false,
       {}},
      {partial + "Content-Range: bytes 5-10\r\n\r\n WORLD",
       VDL_ERR_INVALID_RESPONSE,
       "HELLOxyz",
       false,
       {}},
      {partial + "\r\n WORLD", VDL_ERR_INVALID_RESPONSE, "HELLOxyz", false, {}},
      {"HTTP/1.0 416 Range Not Satisfiable\r\n\r\n",
       VDL_ERR_INVALID_RESPONSE,
       "HELLOxyz",
       false,
       {}},
  };
  TempDir dir;
  const std::string path = dir.path + "/target";
  for (const Case& c : cases) {
    ASSERT_TRUE(WriteFile(path, "HELLOxyz"));
    FILE* handle = fopen(path.c_str(), "r+b");
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(fseek(handle, 5, SEEK_SET), 0);
    ScriptServer server;
    Answer(server, c.response);
    Download d(server);
    d.dl.SetResumeFrom(5);
    EXPECT_EQ(d.dl.DownloadToHandle(handle), c.code == VDL_ERR_NONE) << c.response;
    EXPECT_EQ(fclose(handle), 0);
    EXPECT_EQ(d.dl.GetError(), c.code) << c.response;
    EXPECT_EQ(ReadFile(path), c.file) << c.response;
    EXPECT_EQ(d.dl.WasResumed(), c.resumed) << c.response;
    EXPECT_EQ(d.log.calls, c.calls) << c.response;
    ASSERT_EQ(server.Finish(), "");
    EXPECT_NE(server.Received().find("Connection: close\r\nRange: bytes=5-\r\n\r\n"),
              std::string::npos);
  }
}

// DownloadToFile keeps the file's first bytes itself and cuts what follows;
// a file too short to resume is refused untouched. A stream is only rewound
// for a whole file.
TEST(DownloadResume, IntoFileAndStream) {
  const std::string rest =
      "HTTP/1.0 206 Partial Content\r\nContent-Range: bytes 5-10/11\r\n\r\n WORLD";
  struct Case {
    const char* before;  // null: no file
    std::string response;
    int64_t limit;
    int32_t code;
    const char* after;  // null: no file
  } cases[] = {
      {"HELLO and more to cut", rest, 0, VDL_ERR_NONE, "HELLO WORLD"},
      {"HELLO", rest, 11, VDL_ERR_NONE, "HELLO WORLD"},
      {"HELLO", rest, 10, VDL_ERR_INVALID_RESPONSE, "HELLO"},  // the whole file is over the limit
      {"HELLO and more", Ok("whole"), 0, VDL_ERR_NONE, "whole"},
      {"HELL", rest, 0, VDL_ERR_FILE_ACCESS, "HELL"},
      {nullptr, rest, 0, VDL_ERR_FILE_ACCESS, nullptr},
  };
  TempDir dir;
  const std::string path = dir.path + "/target";
  for (const Case& c : cases) {
    std::remove(path.c_str());
    if (c.before != nullptr) {
      ASSERT_TRUE(WriteFile(path, c.before));
    }
    ScriptServer server;
    Answer(server, c.response);
    Download d(server);
    d.dl.SetResumeFrom(5);
    d.dl.SetMaxSize(c.limit);
    EXPECT_EQ(d.dl.DownloadToFile(path.c_str()), c.code == VDL_ERR_NONE) << c.before;
    EXPECT_EQ(d.dl.GetError(), c.code) << c.before;
    EXPECT_EQ(access(path.c_str(), F_OK) == 0, c.after != nullptr) << c.before;
    if (c.after != nullptr) {
      EXPECT_EQ(ReadFile(path), c.after) << c.before;
    }
  }

  ScriptServer server;
  Answer(server, Ok("new"));
  Download d(server);
  d.dl.SetResumeFrom(5);
  d.out.data = "old content";
  d.out.position = 5;
  EXPECT_TRUE(d.Run());
  EXPECT_EQ(d.out.data, "new content");
}

// nginx on loopback answers ranges for real: the rest of a file, and 416
// once nothing is left.
TEST(DownloadResumeReal, NginxSendsTheRest) {
  TempDir dir;
  const std::string content = PseudoRandomBytes(3 * 1024 * 1024 + 5, 13);
  ASSERT_EQ(mkdir((dir.path + "/root").c_str(), 0755), 0);
  ASSERT_TRUE(WriteFile(dir.path + "/root/big.bin", content));
  const std::string conf = "daemon off; master_process off; pid " + dir.path +
                           "/nginx.pid;\n"
                           "events { worker_connections 16; }\n"
                           "http { access_log off; client_body_temp_path " +
                           dir.path +
                           "/tmp;\n"
                           "  proxy_temp_path " +
                           dir.path + "/tmp; fastcgi_temp_path " + dir.path +
                           "/tmp;\n"
                           "  uwsgi_temp_path " +
                           dir.path + "/tmp; scgi_temp_path " + dir.path +
                           "/tmp;\n"
                           "  server { listen 127.0.0.1:{port}; root " +
                           dir.path + "/root; } }\n";
  PeerProcess server;
  uint16_t port =
      server.StartOnFreePort({"/usr/sbin/nginx", "-p", dir.path, "-c", dir.path + "/nginx.conf",
                              "-e", dir.path + "/error.log"},
                             dir.path + "/server.log", {{dir.path + "/nginx.conf", conf}});
  ASSERT_NE(port, 0) << "nginx did not start";
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/big.bin";
  struct Case {
    size_t have;  // bytes already in the target
    int32_t code;
    int status;
  } cases[] = {
      {1024 * 1024 + 7, VDL_ERR_NONE, 206},
      {content.size(), VDL_ERR_INVALID_RESPONSE, 416},
  };
  for (const Case& c : cases) {
    const std::string target = dir.path + "/target.bin";
    ASSERT_TRUE(WriteFile(target, content.substr(0, c.have)));
    ProgressLog log;
    VelmarDownloadNoCurl dl(url.c_str(), ProgressLog::Callback, nullptr, nullptr, &log);
    dl.SetResumeFrom(static_cast<int64_t>(c.have));
    EXPECT_EQ(dl.DownloadToFile(target.c_str()), c.code == VDL_ERR_NONE) << c.have;
    EXPECT_EQ(dl.GetError(), c.code) << c.have;
    EXPECT_EQ(dl.GetHttpStatus(), c.status) << c.have;
    EXPECT_EQ(dl.WasResumed(), c.code == VDL_ERR_NONE) << c.have;
    EXPECT_EQ(Sha256Hex(ReadFile(target)),
              Sha256Hex(c.code == VDL_ERR_NONE ? content : content.substr(0, c.have)));
    if (c.code != VDL_ERR_NONE) continue;
    const int64_t size = static_cast<int64_t>(content.size());
    ASSERT_FALSE(log.calls.empty());
    EXPECT_EQ(log.calls.front(), Call(static_cast<int64_t>(c.have), size));
    EXPECT_EQ(log.calls.back(), Call(size, size));
  }
}

}  // namespace
