// The FTP client against a scripted loopback server (exact commands, the
// reply rules, limits, broken and stalled servers) and against pyftpdlib for
// real transfers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>

#include "download_nocurl.h"
#include "fixtures/script_server.h"

namespace {

std::string Opening(size_t size) {
  return "150 Opening BINARY mode data connection for file.bin (" + std::to_string(size) +
         " bytes).\r\n";
}

ScriptServer& Greet(ScriptServer& server) { return server.Accept().Send("220 ready\r\n"); }

// The exchange through the RETR command, answered with `reply`.
ScriptServer& Retrieve(ScriptServer& server, const std::string& reply) {
  Greet(server).ReadLine().Send("331 Password required\r\n");
  server.ReadLine().Send("230 Logged in\r\n").ReadLine().Send("200 Type set to I\r\n");
  return server.ReadLine().PassiveMode().ReadLine().Send(reply);
}

// The end of a complete transfer after the 150 reply.
ScriptServer& Complete(ScriptServer& server, const std::string& data) {
  server.SendData(data).Close(ScriptServer::kData).Send("226 Transfer complete\r\n");
  return server.ReadLine().ExpectClosed();
}

// Options of a Fetch beside the defaults.
struct Options {
  uint64_t timeoutMs = 0;
  int64_t maxSize = 0;
  uint32_t minRate = VDL_DEFAULT_MIN_RATE;
  int64_t resumeFrom = 0;
};

// Downloads "/pub/file.bin" from the scripted `server` into `out`; the
// error detail goes to `detail`.
int32_t Fetch(ScriptServer& server, StringStream* out, ProgressLog* log,
              const Options& options = Options(), std::string* detail = nullptr) {
  VelmarDownloadNoCurl dl(VDL_PROTO_FTP, "127.0.0.1", server.Port(), "/pub/file.bin",
                          ProgressLog::Callback, nullptr, nullptr, log);
  dl.SetTimeout(options.timeoutMs);
  dl.SetMaxSize(options.maxSize);
  dl.SetMinimumRate(options.minRate, 1);
  dl.SetResumeFrom(options.resumeFrom);
  bool ok = dl.DownloadToStream(&out->stream);
  EXPECT_EQ(ok, dl.GetError() == VDL_ERR_NONE);
  EXPECT_EQ(dl.GetHttpStatus(), 0);
  EXPECT_FALSE(dl.WasResumed());
  if (detail != nullptr) *detail = dl.GetErrorDetail();
  return dl.GetError();
}

TEST(DownloadFtp, LogsInAnonymouslyAndRetrievesTheFile) {
  std::string content = PseudoRandomBytes(70000, 3);
  ScriptServer server;
  Complete(Retrieve(server, Opening(content.size())), content);
  ASSERT_TRUE(server.Start());
  StringStream out;
  ProgressLog log;
  EXPECT_EQ(Fetch(server, &out, &log), VDL_ERR_NONE);
  EXPECT_TRUE(out.data == content);
  ASSERT_EQ(server.Finish(), "");
  EXPECT_EQ(server.Received(),
            "USER anonymous\r\nPASS updater@tw.none\r\nTYPE I\r\nPASV\r\n"
            "RETR /pub/file.bin\r\nQUIT\r\n");
  ASSERT_FALSE(log.calls.empty());
  EXPECT_EQ(log.calls.back().first, 70000);
  for (const auto& call : log.calls) EXPECT_EQ(call.second, 70000);
}

TEST(DownloadFtp, ScriptedRepliesGiveTheirCodes) {
  using Script = std::function<void(ScriptServer&)>;
  const int32_t kInvalid = VDL_ERR_INVALID_RESPONSE;
  const std::string content(3000, 'f'), slow = "below 1000 bytes/s for 1 s";
  const Options none, silent = {300}, capped = {0, 2999}, crawl = {0, 0, 1000};
  struct Case {
    const char* name;
    Script script;
    int32_t code;
    std::string body;  // "?" when not known
    Options options = Options();
    std::string detail = "-";        // GetErrorDetail(), unless "-"
    const char* received = nullptr;  // the whole control exchange, when it matters
    int abortAt = -1;                // of the progress calls
    uint64_t acceptLimit = UINT64_MAX;
  } cases[] = {
      {"size 0: nothing is read",
       [](ScriptServer& s) {
         Retrieve(s, "150 Opening data connection (0 bytes)\r\n").Send("226 Done\r\n");
         s.ReadLine().ExpectClosed();
       },
       VDL_ERR_NONE, "", none, ""},
      {"no size: read until the data connection closes",
       [](ScriptServer& s) { Complete(Retrieve(s, "150 File status okay.\r\n"), "whole file"); },
       VDL_ERR_NONE, "whole file"},
      {"530 to PASS",
       [](ScriptServer& s) {
         Greet(s).ReadLine().Send("331 Password\r\n").ReadLine();
         s.Send("530 Login incorrect\r\n").ExpectClosed();
       },
       VDL_ERR_AUTH, ""},
      {"multi-line greeting: the continuation is taken as the USER reply",
       [](ScriptServer& s) {
         s.Accept().Send("220-Welcome\r\n220 ready\r\n").ReadLine().ExpectClosed();
       },
       kInvalid, "", none, "-", "USER anonymous\r\n"},
      {"blank lines between replies are passed over; 230 to USER",
       [](ScriptServer& s) {
         s.Accept().Send("\r\n220 ready\r\n\r\n").ReadLine().Send("230 ok\r\n").ExpectClosed();
       },
       kInvalid, "", none, "-", "USER anonymous\r\n"},
      {"125 to RETR",
       [](ScriptServer& s) { Retrieve(s, "125 Data connection already open\r\n").ExpectClosed(); },
       kInvalid, ""},
      {"control connection reset", [](ScriptServer& s) { Greet(s).ReadLine().Reset(); }, kInvalid,
       ""},
      {"empty reply line",
       [](ScriptServer& s) { s.Accept().Send(std::string("\0 ready\r\n", 9)).ExpectClosed(); },
       kInvalid, ""},
      {"data short of the size, then 226",
       [](ScriptServer& s) {
         Retrieve(s, Opening(1000)).SendData("only this").Close(ScriptServer::kData);
         s.Send("226 Transfer complete\r\n").ExpectClosed();
       },
       kInvalid, "only this"},
      {"control silent after USER", [](ScriptServer& s) { Greet(s).ReadLine().ExpectClosed(); },
       VDL_ERR_TIMEOUT, "", silent},
      {"data connection silent",
       [](ScriptServer& s) { Retrieve(s, Opening(1000)).SendData("first part").ExpectClosed(); },
       VDL_ERR_TIMEOUT, "first part", silent},
      {"announced size over the cap",
       [](ScriptServer& s) { Retrieve(s, Opening(3000)).ExpectClosed(); }, kInvalid, "", capped,
       "announced 3000 bytes, limit 2999"},
      {"unsized data past the cap",
       [&](ScriptServer& s) { Retrieve(s, "150 Opening\r\n").SendData(content).ExpectClosed(); },
       kInvalid, content.substr(0, 2999), capped, "body goes past the limit of 2999 bytes"},
      {"control replies that crawl",
       [](ScriptServer& s) { s.Accept().Send("220 ready and waiting\r\n", 1, 100); },
       VDL_ERR_TIMEOUT, "", crawl, slow},
      {"data that crawls",
       [&](ScriptServer& s) { Retrieve(s, "150 Opening\r\n").SendData(content, 1, 100); },
       VDL_ERR_TIMEOUT, "?", crawl, slow},
      // The callback or the stream stops the transfer, closing both connections.
      {"callback abort",
       [&](ScriptServer& s) {
         Retrieve(s, Opening(200000)).SendData(PseudoRandomBytes(200000, 5));
         s.ExpectClosed(ScriptServer::kData).ExpectClosed();
       },
       VDL_ERR_CALLBACK_ABORT, "?", none, "-", nullptr, 0},
      {"stream that takes nothing",
       [](ScriptServer& s) { Retrieve(s, Opening(4)).SendData("data").ExpectClosed(); },
       VDL_ERR_WRITE, "", none, "-", nullptr, -1, 0},
      // A resumed target is rewound, the rest is its owner's.
      {"a resume offset fetches the whole file anyway",
       [](ScriptServer& s) { Complete(Retrieve(s, Opening(5)), "whole"); },
       VDL_ERR_NONE,
       "whole56789",
       {0, 0, VDL_DEFAULT_MIN_RATE, 3},
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptServer server;
    c.script(server);
    ASSERT_TRUE(server.Start());
    StringStream out;
    out.data = "0123456789";
    out.position = out.data.size();
    out.acceptLimit = c.acceptLimit;
    ProgressLog log;
    log.abortAt = c.abortAt;
    std::string detail;
    EXPECT_EQ(Fetch(server, &out, &log, c.options, &detail), c.code);
    if (c.body != "?") {
      EXPECT_EQ(out.data, c.options.resumeFrom > 0 ? c.body : "0123456789" + c.body);
    }
    if (c.detail != "-") {
      EXPECT_EQ(detail, c.detail);
    }
    if (c.options.minRate == VDL_DEFAULT_MIN_RATE) {
      EXPECT_EQ(server.Finish(), "");
    }
    if (c.received != nullptr) {
      EXPECT_EQ(server.Received(), c.received);
    }
  }
}

// pyftpdlib on loopback with an anonymous and a named read-only user. Its
// handler announces the size in the 150 reply, as vsftpd does.
const char kFtpServerScript[] = R"(import os, sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

class Handler(FTPHandler):
    auth_failed_timeout = 0
    def ftp_RETR(self, file):
        self._size = os.path.getsize(file) if os.path.isfile(file) else None
        return FTPHandler.ftp_RETR(self, file)
    def respond(self, resp, *args, **kwargs):
        if resp[:4] in ("125 ", "150 ") and getattr(self, "_size", None) is not None:
            resp, self._size = "150 Opening BINARY mode data connection (%d bytes)." % self._size, None
        return FTPHandler.respond(self, resp, *args, **kwargs)

Handler.authorizer = DummyAuthorizer()
Handler.authorizer.add_anonymous(sys.argv[2])
Handler.authorizer.add_user("tester", "s3cret!", sys.argv[2], perm="elr")
FTPServer(("127.0.0.1", int(sys.argv[1])), Handler).serve_forever()
)";

TEST(DownloadFtpReal, AnonymousAndNamedUsers) {
  TempDir dir;
  const std::string content = PseudoRandomBytes(3 * 1024 * 1024 + 17, 11);
  ASSERT_TRUE(WriteFile(dir.path + "/server.py", kFtpServerScript));
  ASSERT_EQ(mkdir((dir.path + "/root").c_str(), 0755), 0);
  ASSERT_TRUE(WriteFile(dir.path + "/root/big.bin", content));
  PeerProcess server;
  uint16_t port = server.StartOnFreePort(
      {"/usr/bin/python3", dir.path + "/server.py", "{port}", dir.path + "/root"},
      dir.path + "/server.log");
  ASSERT_NE(port, 0) << "pyftpdlib did not start";
  struct Case {
    const char *path, *user, *password;
    int32_t code;
  } cases[] = {
      {"/big.bin", nullptr, nullptr, VDL_ERR_NONE},
      {"big.bin", "tester", "s3cret!", VDL_ERR_NONE},
      {"big.bin", "tester", "wrong", VDL_ERR_AUTH},
      {"/missing.bin", nullptr, nullptr, VDL_ERR_INVALID_RESPONSE},  // 550 to RETR
  };
  for (const Case& c : cases) {
    VelmarDownloadNoCurl dl(VDL_PROTO_FTP, "127.0.0.1", port, c.path, nullptr, c.user, c.password,
                            nullptr);
    dl.SetTimeout(20000);
    StringStream out;
    EXPECT_EQ(dl.DownloadToStream(&out.stream), c.code == VDL_ERR_NONE) << c.path;
    EXPECT_EQ(dl.GetError(), c.code) << c.path << " " << dl.GetErrorString();
    EXPECT_TRUE(out.data == (c.code == VDL_ERR_NONE ? content : "")) << c.path;
  }
}

}  // namespace
