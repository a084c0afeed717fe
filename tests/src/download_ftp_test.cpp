// The FTP client against a scripted loopback server (exact commands, the
// reply rules, broken and stalled servers) and against pyftpdlib for real
// transfers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>

#include "download_nocurl.h"
#include "fixtures/script_server.h"
#include "streams.h"

namespace {

const int32_t kInvalidCode = VDL_ERR_INVALID_RESPONSE;

std::string Opening(size_t size) {
  return "150 Opening BINARY mode data connection for file.bin (" + std::to_string(size) +
         " bytes).\r\n";
}

ScriptServer& Greet(ScriptServer& server) { return server.Accept().Send("220 ready\r\n"); }

// The exchange up to and including the RETR command.
ScriptServer& LoginAndRetrieve(ScriptServer& server) {
  Greet(server).ReadLine().Send("331 Password required\r\n");
  server.ReadLine().Send("230 Logged in\r\n").ReadLine().Send("200 Type set to I\r\n");
  return server.ReadLine().PassiveMode().ReadLine();
}

// Options of a Fetch beside the defaults.
struct Options {
  uint64_t timeoutMs = 0;
  int64_t maxSize = 0;
  uint32_t minRate = VDL_DEFAULT_MIN_RATE;
  int64_t resumeFrom = 0;
  std::string* detail = nullptr;  // receives GetErrorDetail()
};

// Downloads "/pub/file.bin" from the scripted `server` into `out`.
int32_t Fetch(ScriptServer& server, StringStream* out, ProgressLog* log = nullptr,
              const Options& options = Options()) {
  VelmarDownloadNoCurl dl(VDL_PROTO_FTP, "127.0.0.1", server.Port(), "/pub/file.bin",
                          log ? ProgressLog::Callback : nullptr, nullptr, nullptr, log);
  dl.SetTimeout(options.timeoutMs);
  dl.SetMaxSize(options.maxSize);
  dl.SetMinimumRate(options.minRate, 1);
  dl.SetResumeFrom(options.resumeFrom);
  bool ok = dl.DownloadToStream(&out->stream);
  EXPECT_EQ(ok, dl.GetError() == VDL_ERR_NONE);
  EXPECT_EQ(dl.GetHttpStatus(), 0);
  EXPECT_FALSE(dl.WasResumed());
  if (options.detail != nullptr) *options.detail = dl.GetErrorDetail();
  return dl.GetError();
}

TEST(DownloadFtp, LogsInAnonymouslyAndRetrievesTheFile) {
  std::string content = PseudoRandomBytes(70000, 3);
  ScriptServer server;
  LoginAndRetrieve(server).Send(Opening(content.size()));
  server.SendData(content).CloseData().Send("226 Transfer complete\r\n");
  server.ReadLine().ExpectClosed();
  ASSERT_TRUE(server.Start());
  StringStream out;
  ProgressLog log;
  EXPECT_EQ(Fetch(server, &out, &log), VDL_ERR_NONE);
  EXPECT_EQ(Sha256Hex(out.data), Sha256Hex(content));
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
  struct Case {
    const char* name;
    Script script;
    int32_t code;
    std::string body;
    const char* received;  // the whole control exchange, when it matters
  } cases[] = {
      {"size 0: nothing is read",
       [](ScriptServer& s) {
         LoginAndRetrieve(s).Send("150 Opening data connection (0 bytes)\r\n");
         s.Send("226 Transfer complete\r\n").ReadLine().ExpectClosed();
       },
       VDL_ERR_NONE, "", nullptr},
      {"no number: read until the data connection closes",
       [](ScriptServer& s) {
         LoginAndRetrieve(s).Send("150 Opening data connection (unknown size)\r\n");
         s.SendData("whole file").CloseData().Send("226 Transfer complete\r\n");
         s.ReadLine().ExpectClosed();
       },
       VDL_ERR_NONE, "whole file", nullptr},
      {"230 to USER",
       [](ScriptServer& s) { Greet(s).ReadLine().Send("230 Logged in\r\n").ExpectClosed(); },
       kInvalid, "", "USER anonymous\r\n"},
      {"530 to PASS",
       [](ScriptServer& s) {
         Greet(s).ReadLine().Send("331 Password\r\n").ReadLine();
         s.Send("530 Login incorrect\r\n").ExpectClosed();
       },
       VDL_ERR_AUTH, "", nullptr},
      {"multi-line greeting: the continuation is taken as the USER reply",
       [](ScriptServer& s) {
         s.Accept().Send("220-Welcome\r\n220 ready\r\n").ReadLine().ExpectClosed();
       },
       kInvalid, "", "USER anonymous\r\n"},
      {"blank lines between replies are passed over",
       [](ScriptServer& s) {
         s.Accept().Send("\r\n220 ready\r\n\r\n").ReadLine().Send("230 ok\r\n").ExpectClosed();
       },
       kInvalid, "", "USER anonymous\r\n"},
      {"125 to RETR",
       [](ScriptServer& s) {
         LoginAndRetrieve(s).Send("125 Data connection already open\r\n").ExpectClosed();
       },
       kInvalid, "", nullptr},
      {"150 without a size: read until the data connection closes",
       [](ScriptServer& s) {
         LoginAndRetrieve(s).Send("150 File status okay.\r\n").SendData("data").CloseData();
         s.Send("226 Transfer complete\r\n").ReadLine().ExpectClosed();
       },
       VDL_ERR_NONE, "data", nullptr},
      {"a parenthesis in the file name is no size",
       [](ScriptServer& s) {
         LoginAndRetrieve(s).Send("150 Opening BINARY mode data connection for pkg(2).bin\r\n");
         s.SendData("whole").CloseData().Send("226 Transfer complete\r\n");
         s.ReadLine().ExpectClosed();
       },
       VDL_ERR_NONE, "whole", nullptr},
      {"control connection closed", [](ScriptServer& s) { Greet(s).ReadLine().Close(); }, kInvalid,
       "", nullptr},
      {"control connection reset", [](ScriptServer& s) { Greet(s).ReadLine().Reset(); }, kInvalid,
       "", nullptr},
      {"empty reply line",
       [](ScriptServer& s) { s.Accept().Send(std::string("\0 ready\r\n", 9)).ExpectClosed(); },
       kInvalid, "", nullptr},
      {"data short of the size, then 226",
       [](ScriptServer& s) {
         LoginAndRetrieve(s).Send(Opening(1000)).SendData("only this").CloseData();
         s.Send("226 Transfer complete\r\n").ExpectClosed();
       },
       kInvalid, "only this", nullptr},
      {"control silent after USER", [](ScriptServer& s) { Greet(s).ReadLine().ExpectClosed(); },
       VDL_ERR_TIMEOUT, "", nullptr},
      {"data connection silent",
       [](ScriptServer& s) {
         LoginAndRetrieve(s).Send(Opening(1000)).SendData("first part").ExpectClosed();
       },
       VDL_ERR_TIMEOUT, "first part", nullptr},
  };
  for (const Case& c : cases) {
    ScriptServer server;
    c.script(server);
    ASSERT_TRUE(server.Start());
    StringStream out;
    Options options;
    options.timeoutMs = c.code == VDL_ERR_TIMEOUT ? 300 : 0;
    EXPECT_EQ(Fetch(server, &out, nullptr, options), c.code) << c.name;
    EXPECT_EQ(out.data, c.body) << c.name;
    EXPECT_EQ(server.Finish(), "") << c.name;
    if (c.received != nullptr) {
      EXPECT_EQ(server.Received(), c.received) << c.name;
    }
  }
}

TEST(DownloadFtp, CallbackAndStreamStopTheTransferClosingBothConnections) {
  std::string content = PseudoRandomBytes(200000, 5);
  ScriptServer server;
  LoginAndRetrieve(server).Send(Opening(content.size())).SendData(content);
  server.ExpectDataClosed(3000).ExpectClosed(3000);
  ASSERT_TRUE(server.Start());
  StringStream out;
  ProgressLog log;
  log.abortAt = 0;
  EXPECT_EQ(Fetch(server, &out, &log), VDL_ERR_CALLBACK_ABORT);
  EXPECT_EQ(log.calls.size(), 1u);
  EXPECT_EQ(out.data.size(), static_cast<size_t>(log.calls[0].first));
  EXPECT_EQ(server.Finish(), "");

  ScriptServer refused;
  LoginAndRetrieve(refused).Send(Opening(4)).SendData("data").ExpectClosed();
  ASSERT_TRUE(refused.Start());
  StringStream none;
  none.acceptLimit = 0;
  EXPECT_EQ(Fetch(refused, &none), VDL_ERR_WRITE);
}

// The size comes from the "(N bytes)" group, whatever parentheses the file
// name holds.
TEST(DownloadFtp, SizeFromTheBytesGroupNotTheFileName) {
  const std::string content = PseudoRandomBytes(100000, 9);
  ScriptServer server;
  LoginAndRetrieve(server).Send(
      "150 Opening BINARY mode data connection for pkg(2).bin (100000 bytes).\r\n");
  server.SendData(content).Send("226 Transfer complete\r\n").ReadLine().ExpectClosed();
  ASSERT_TRUE(server.Start());
  StringStream out;
  ProgressLog log;
  EXPECT_EQ(Fetch(server, &out, &log), VDL_ERR_NONE);
  EXPECT_EQ(Sha256Hex(out.data), Sha256Hex(content));
  ASSERT_FALSE(log.calls.empty());
  EXPECT_EQ(log.calls.back(), std::make_pair(int64_t{100000}, int64_t{100000}));
  EXPECT_EQ(server.Finish(), "");
}

// The size cap, the minimum rate and a resume offset over FTP.
TEST(DownloadFtp, LimitsAndResumeOffset) {
  using Script = std::function<void(ScriptServer&)>;
  const std::string content(3000, 'f');
  struct Case {
    const char* name;
    Script script;
    Options options;
    int32_t code;
    std::string body;
    const char* detail;
  } cases[] = {
      {"announced size over the cap",
       [&](ScriptServer& s) { LoginAndRetrieve(s).Send(Opening(3000)).ExpectClosed(); },
       {0, 2999},
       kInvalidCode,
       "",
       "announced 3000 bytes, limit 2999"},
      {"unsized data past the cap",
       [&](ScriptServer& s) {
         LoginAndRetrieve(s).Send("150 Opening data connection\r\n").SendData(content);
         s.ExpectClosed();
       },
       {0, 2999},
       kInvalidCode,
       content.substr(0, 2999),
       "body goes past the limit of 2999 bytes"},
      {"control replies that crawl",
       [](ScriptServer& s) { s.Accept().SendSplit("220 ready and waiting\r\n", 1, 100); },
       {0, 0, 1000},
       VDL_ERR_TIMEOUT,
       "",
       "below 1000 bytes/s for 1 s"},
      {"data that crawls",
       [&](ScriptServer& s) {
         LoginAndRetrieve(s).Send("150 Opening data connection\r\n");
         s.SendDataSplit(content.substr(0, 40), 1, 100);
       },
       {0, 0, 1000},
       VDL_ERR_TIMEOUT,
       "",
       "below 1000 bytes/s for 1 s"},
      {"a resume offset fetches the whole file anyway",
       [&](ScriptServer& s) {
         LoginAndRetrieve(s).Send(Opening(5)).SendData("whole").CloseData();
         s.Send("226 Transfer complete\r\n").ReadLine().ExpectClosed();
       },
       {0, 0, VDL_DEFAULT_MIN_RATE, 3},
       VDL_ERR_NONE,
       "whole56789",
       ""},
  };
  for (const Case& c : cases) {
    ScriptServer server;
    c.script(server);
    ASSERT_TRUE(server.Start());
    StringStream out;
    out.data = "0123456789";  // a resumed target is rewound, the rest is its owner's
    out.position = out.data.size();
    std::string detail;
    Options options = c.options;
    options.detail = &detail;
    EXPECT_EQ(Fetch(server, &out, nullptr, options), c.code) << c.name;
    if (c.code != VDL_ERR_TIMEOUT) {
      EXPECT_EQ(out.data, c.options.resumeFrom > 0 ? c.body : "0123456789" + c.body) << c.name;
    }
    EXPECT_EQ(detail, c.detail) << c.name;
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
    if (c.code == VDL_ERR_NONE) {
      EXPECT_EQ(Sha256Hex(out.data), Sha256Hex(content)) << c.path;
    }
  }
}

}  // namespace
