// Resuming over HTTP against a scripted server: the Range request, the rest
// in a 206, the whole file in a 200, and every answer that must leave the
// target alone.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "download_nocurl.h"
#include "fixtures/http_download.h"
#include "fixtures/script_server.h"

namespace {

std::string Partial(const std::string& rest) { return "HTTP/1.0 206 Partial Content\r\n" + rest; }

// A target that already holds "HELLO" (and bytes after it) asks for the rest
// from byte 5.
TEST(DownloadResume, TakesTheRestOrStartsOver) {
  const std::vector<Call> rest = {{5, 11}, {11, 11}};
  struct Case {
    std::string response;
    int32_t code = VDL_ERR_INVALID_RESPONSE;
    std::string file = "HELLOxyz";  // the handle's file afterwards
    bool resumed = false;
    std::vector<Call> calls = {};
  } cases[] = {
      {Partial("Content-Length: 6\r\nContent-Range: bytes 5-10/11\r\n\r\n WORLD"), VDL_ERR_NONE,
       "HELLO WORLD", true, rest},
      {Partial("content-range:  bytes 5-10/*\r\n\r\n WORLD"), VDL_ERR_NONE, "HELLO WORLD", true,
       rest},
      // The server sends the whole file: it replaces what was there.
      {Ok("hi!"), VDL_ERR_NONE, "hi!", false, {{0, 3}, {3, 3}}},
      // Anything but the asked-for rest leaves the file as it was.
      {Partial("Content-Range: bytes 4-10/11\r\n\r\nO WORLD")},
      {Partial("Content-Range: bytes 5-7/11\r\n\r\n WO")},
      {Partial("Content-Length: 5\r\nContent-Range: bytes 5-10/11\r\n\r\n WORL")},
      {Partial("Content-Range: bytes 5-10\r\n\r\n WORLD")},
      {Partial("\r\n WORLD")},
      {"HTTP/1.0 416 Range Not Satisfiable\r\n\r\n"},
  };
  TempDir dir;
  const std::string path = dir.path + "/target";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.response);
    ASSERT_TRUE(WriteFile(path, "HELLOxyz"));
    FILE* handle = fopen(path.c_str(), "r+b");
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(fseek(handle, 5, SEEK_SET), 0);
    ScriptServer server;
    Answer(server, c.response);
    Download d(server);
    d.dl.SetResumeFrom(5);
    EXPECT_EQ(d.dl.DownloadToHandle(handle), c.code == VDL_ERR_NONE);
    EXPECT_EQ(fclose(handle), 0);
    EXPECT_EQ(d.dl.GetError(), c.code);
    EXPECT_EQ(ReadFile(path), c.file);
    EXPECT_EQ(d.dl.WasResumed(), c.resumed);
    EXPECT_EQ(d.log.calls, c.calls);
    ASSERT_EQ(server.Finish(), "");
    EXPECT_NE(server.Received().find("Connection: close\r\nRange: bytes=5-\r\n\r\n"),
              std::string::npos);
  }
}

// DownloadToFile keeps the file's first bytes itself and cuts what follows;
// a file too short to resume is refused untouched. A stream is only rewound
// for a whole file.
TEST(DownloadResume, IntoFileAndStream) {
  const std::string rest = Partial("Content-Range: bytes 5-10/11\r\n\r\n WORLD");
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
    SCOPED_TRACE(c.before ? c.before : "no file");
    std::remove(path.c_str());
    if (c.before != nullptr) {
      ASSERT_TRUE(WriteFile(path, c.before));
    }
    ScriptServer server;
    Answer(server, c.response);
    Download d(server);
    d.dl.SetResumeFrom(5);
    d.dl.SetMaxSize(c.limit);
    EXPECT_EQ(d.dl.DownloadToFile(path.c_str()), c.code == VDL_ERR_NONE);
    EXPECT_EQ(d.dl.GetError(), c.code);
    EXPECT_EQ(access(path.c_str(), F_OK) == 0, c.after != nullptr);
    if (c.after != nullptr) {
      EXPECT_EQ(ReadFile(path), c.after);
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

}  // namespace
