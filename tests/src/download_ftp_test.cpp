// The FTP client against a scripted loopback server (exact commands, the
// reply rules, broken and stalled servers) and against pyftpdlib for real
// transfers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "download_nocurl.h"
#include "fixtures/script_server.h"
#include "streams.h"

namespace {

const char kPassiveFormat[] = "227 Entering Passive Mode (%s).\r\n";

std::string Opening(size_t size) {
  return "150 Opening BINARY mode data connection for file.bin (" + std::to_string(size) +
         " bytes).\r\n";
}

// The exchange up to and including the RETR command.
ScriptServer& LoginAndRetrieve(ScriptServer& server) {
  server.Accept().Send("220 Scripted FTP ready\r\n");
  server.ReadLine().Send("331 Password required\r\n");
  server.ReadLine().Send("230 Logged in\r\n");
  server.ReadLine().Send("200 Type set to I\r\n");
  server.ReadLine().PassiveReply(kPassiveFormat);
  return server.AcceptData().ReadLine();
}

struct Result {
  bool ok;
  int32_t code;
};

Result Fetch(ScriptServer& server, StringStream* out, ProgressLog* log = nullptr,
             uint64_t timeoutMs = 0, const char* user = nullptr, const char* password = nullptr) {
  VelmarDownloadNoCurl dl(VDL_PROTO_FTP, "127.0.0.1", server.Port(), "/pub/file.bin",
                          log ? ProgressLog::Callback : nullptr, user, password, log);
  dl.SetTimeout(timeoutMs);
  bool ok = dl.DownloadToStream(&out->stream);
  return Result{ok, dl.GetError()};
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
  Result r = Fetch(server, &out, &log);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.code, VDL_ERR_NONE);
  EXPECT_EQ(Sha256Hex(out.data), Sha256Hex(content));
  ASSERT_TRUE(server.Finish()) << server.Error();
  EXPECT_EQ(server.Received(),
            "USER anonymous\r\nPASS updater@tw.none\r\nTYPE I\r\nPASV\r\n"
            "RETR /pub/file.bin\r\nQUIT\r\n");
  ASSERT_FALSE(log.calls.empty());
  EXPECT_EQ(log.calls.back().first, 70000);
  for (const auto& call : log.calls) EXPECT_EQ(call.second, 70000);
}

TEST(DownloadFtp, SizeZeroAndUnknownSize) {
  // Size 0: nothing is read, 226 follows.
  {
    ScriptServer server;
    LoginAndRetrieve(server).Send("150 Opening data connection (0 bytes)\r\n");
    server.Send("226 Transfer complete\r\n").ReadLine().ExpectClosed();
    ASSERT_TRUE(server.Start());
    StringStream out;
    Result r = Fetch(server, &out, nullptr, 0, "bob", "pw");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(out.data, "");
    ASSERT_TRUE(server.Finish()) << server.Error();
    EXPECT_EQ(server.Received().substr(0, 23), "USER bob\r\nPASS pw\r\nTYPE");
  }
  // A size that is not a number: read until the data connection closes.
  {
    ScriptServer server;
    LoginAndRetrieve(server).Send("150 Opening data connection (unknown size)\r\n");
    server.SendData("whole file").CloseData().Send("226 Transfer complete\r\n");
    server.ReadLine().ExpectClosed();
    ASSERT_TRUE(server.Start());
    StringStream out;
    EXPECT_TRUE(Fetch(server, &out).ok);
    EXPECT_EQ(out.data, "whole file");
  }
}

TEST(DownloadFtp, BadRepliesFail) {
  // Each scripted server answers USER with the first reply; the client must
  // give up with the code and close the connection.
  {
    ScriptServer server;  // no password asked
    server.Accept().Send("220 ready\r\n").ReadLine().Send("230 Logged in\r\n").ExpectClosed();
    ASSERT_TRUE(server.Start());
    StringStream out;
    EXPECT_EQ(Fetch(server, &out).code, VDL_ERR_INVALID_RESPONSE);
    EXPECT_TRUE(server.Finish()) << server.Error();
  }
  {
    ScriptServer server;  // password refused
    server.Accept().Send("220 ready\r\n").ReadLine().Send("331 Password\r\n").ReadLine();
    server.Send("530 Login incorrect\r\n").ExpectClosed();
    ASSERT_TRUE(server.Start());
    StringStream out;
    Result r = Fetch(server, &out);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.code, VDL_ERR_AUTH);
    EXPECT_TRUE(server.Finish()) << server.Error();
  }
  {
    ScriptServer server;  // multi-line greeting: the continuation is read as the USER reply
    server.Accept().Send("220-Welcome\r\n220 ready\r\n").ReadLine().ExpectClosed();
    ASSERT_TRUE(server.Start());
    StringStream out;
    EXPECT_EQ(Fetch(server, &out).code, VDL_ERR_INVALID_RESPONSE);
    ASSERT_TRUE(server.Finish()) << server.Error();
    EXPECT_EQ(server.Received(), "USER anonymous\r\n");
  }
  {
    ScriptServer server;  // 125 instead of 150 to RETR
    LoginAndRetrieve(server).Send("125 Data connection already open\r\n").ExpectClosed();
    ASSERT_TRUE(server.Start());
    StringStream out;
    EXPECT_EQ(Fetch(server, &out).code, VDL_ERR_INVALID_RESPONSE);
    EXPECT_TRUE(server.Finish()) << server.Error();
  }
  {
    ScriptServer server;  // a 150 without a size is not acted on; 226 then fails
    LoginAndRetrieve(server).Send("150 File status okay.\r\n").SendData("data").CloseData();
    server.Send("226 Transfer complete\r\n").ExpectClosed();
    ASSERT_TRUE(server.Start());
    StringStream out;
    EXPECT_EQ(Fetch(server, &out).code, VDL_ERR_INVALID_RESPONSE);
    EXPECT_EQ(out.data, "");
  }
  {
    ScriptServer server;  // a passive reply without its numbers
    server.Accept().Send("220 ready\r\n").ReadLine().Send("331 pw\r\n").ReadLine();
    server.Send("230 ok\r\n").ReadLine().Send("200 ok\r\n").ReadLine();
    server.Send("227 Entering Passive Mode 127,0,0,1,1,1\r\n").ExpectClosed();
    ASSERT_TRUE(server.Start());
    StringStream out;
    EXPECT_EQ(Fetch(server, &out).code, VDL_ERR_INVALID_RESPONSE);
  }
}

TEST(DownloadFtp, BrokenConnectionsFail) {
  {
    ScriptServer server;  // the control connection closes after the greeting
    server.Accept().Send("220 ready\r\n").ReadLine().Close();
    ASSERT_TRUE(server.Start());
    StringStream out;
    Result r = Fetch(server, &out);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.code, VDL_ERR_INVALID_RESPONSE);
  }
  {
    ScriptServer server;  // a reply line that is empty but for a zero byte
    server.Accept().Send(std::string("\0 ready\r\n", 9)).ExpectClosed();
    ASSERT_TRUE(server.Start());
    StringStream out;
    EXPECT_EQ(Fetch(server, &out).code, VDL_ERR_INVALID_RESPONSE);
  }
  {
    ScriptServer server;  // blank lines between replies are passed over
    server.Accept().Send("\r\n220 ready\r\n\r\n").ReadLine().Send("230 ok\r\n").ExpectClosed();
    ASSERT_TRUE(server.Start());
    StringStream out;
    EXPECT_EQ(Fetch(server, &out).code, VDL_ERR_INVALID_RESPONSE);  // 230 to USER
    ASSERT_TRUE(server.Finish()) << server.Error();
    EXPECT_EQ(server.Received(), "USER anonymous\r\n");
  }
  {
    ScriptServer server;  // the control connection is reset
    server.Accept().Send("220 ready\r\n").ReadLine().Reset();
    ASSERT_TRUE(server.Start());
    StringStream out;
    EXPECT_EQ(Fetch(server, &out).code, VDL_ERR_INVALID_RESPONSE);
  }
  {
    ScriptServer server;  // the data ends short of the size, and 226 follows
    LoginAndRetrieve(server).Send(Opening(1000)).SendData("only this").CloseData();
    server.Send("226 Transfer complete\r\n").ExpectClosed();
    ASSERT_TRUE(server.Start());
    StringStream out;
    Result r = Fetch(server, &out);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.code, VDL_ERR_INVALID_RESPONSE);
    EXPECT_EQ(out.data, "only this");
  }
  {
    ScriptServer server;  // a stream that accepts nothing
    LoginAndRetrieve(server).Send(Opening(4)).SendData("data").ExpectClosed();
    ASSERT_TRUE(server.Start());
    StringStream out;
    out.acceptLimit = 0;
    EXPECT_EQ(Fetch(server, &out).code, VDL_ERR_WRITE);
  }
}

TEST(DownloadFtp, CallbackAbortClosesBothConnections) {
  std::string content = PseudoRandomBytes(200000, 5);
  ScriptServer server;
  LoginAndRetrieve(server).Send(Opening(content.size())).SendData(content);
  server.ExpectDataClosed(3000).ExpectClosed(3000);
  ASSERT_TRUE(server.Start());
  StringStream out;
  ProgressLog log;
  log.abortAt = 0;
  Result r = Fetch(server, &out, &log);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.code, VDL_ERR_CALLBACK_ABORT);
  EXPECT_EQ(log.calls.size(), 1u);
  EXPECT_EQ(out.data.size(), static_cast<size_t>(log.calls[0].first));
  EXPECT_TRUE(server.Finish()) << server.Error();
}

TEST(DownloadFtp, StalledServersTimeOut) {
  {
    ScriptServer server;  // silent after USER
    server.Accept().Send("220 ready\r\n").ReadLine().Hold(5000);
    ASSERT_TRUE(server.Start());
    StringStream out;
    EXPECT_EQ(Fetch(server, &out, nullptr, 300).code, VDL_ERR_TIMEOUT);
  }
  {
    ScriptServer server;  // the data connection goes silent
    LoginAndRetrieve(server).Send(Opening(1000)).SendData("first part").Hold(5000);
    ASSERT_TRUE(server.Start());
    StringStream out;
    Result r = Fetch(server, &out, nullptr, 300);
    EXPECT_EQ(r.code, VDL_ERR_TIMEOUT);
    EXPECT_EQ(out.data, "first part");
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
        try:
            self._size = os.path.getsize(file)
        except OSError:
            self._size = None
        return FTPHandler.ftp_RETR(self, file)
    def respond(self, resp, *args, **kwargs):
        if resp[:4] in ("125 ", "150 ") and getattr(self, "_size", None) is not None:
            resp = "150 Opening BINARY mode data connection (%d bytes)." % self._size
            self._size = None
        return FTPHandler.respond(self, resp, *args, **kwargs)

authorizer = DummyAuthorizer()
authorizer.add_anonymous(sys.argv[2])
authorizer.add_user("tester", "s3cret!", sys.argv[2], perm="elr")
Handler.authorizer = authorizer
FTPServer(("127.0.0.1", int(sys.argv[1])), Handler).serve_forever()
)";

class DownloadFtpReal : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = MakeTempDir();
    ASSERT_FALSE(dir.empty());
    ASSERT_TRUE(WriteFile(dir + "/server.py", kFtpServerScript));
    ASSERT_EQ(mkdir((dir + "/root").c_str(), 0755), 0);
    content = PseudoRandomBytes(3 * 1024 * 1024 + 17, 11);
    ASSERT_TRUE(WriteFile(dir + "/root/big.bin", content));
    bool ready = false;
    for (int attempt = 0; attempt < 5 && !ready; attempt++) {
      port = FreeLoopbackPort();
      ASSERT_NE(port, 0);
      ASSERT_TRUE(server.Start(
          {"/usr/bin/python3", dir + "/server.py", std::to_string(port), dir + "/root"},
          dir + "/server.log"));
      ready = WaitForPort(port, 10000);
      if (!ready) server.Stop();
    }
    ASSERT_TRUE(ready) << "pyftpdlib did not start";
  }
  void TearDown() override {
    server.Stop();
    RemoveTree(dir);
  }
  Result Fetch(const char* path, const char* user, const char* password, DataStream* stream) {
    VelmarDownloadNoCurl dl(VDL_PROTO_FTP, "127.0.0.1", port, path, nullptr, user, password,
                            nullptr);
    dl.SetTimeout(20000);
    bool ok = dl.DownloadToStream(stream);
    return Result{ok, dl.GetError()};
  }

  std::string dir;
  std::string content;
  uint16_t port = 0;
  PeerProcess server;
};

TEST_F(DownloadFtpReal, AnonymousAndNamedUsers) {
  StringStream anonymous;
  Result r = Fetch("/big.bin", nullptr, nullptr, &anonymous.stream);
  EXPECT_TRUE(r.ok) << vdl_error_text(r.code);
  EXPECT_EQ(Sha256Hex(anonymous.data), Sha256Hex(content));

  StringStream named;
  r = Fetch("big.bin", "tester", "s3cret!", &named.stream);
  EXPECT_TRUE(r.ok) << vdl_error_text(r.code);
  EXPECT_EQ(Sha256Hex(named.data), Sha256Hex(content));

  StringStream refused;
  r = Fetch("big.bin", "tester", "wrong", &refused.stream);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.code, VDL_ERR_AUTH);

  StringStream missing;  // 550 to RETR
  r = Fetch("/missing.bin", nullptr, nullptr, &missing.stream);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.code, VDL_ERR_INVALID_RESPONSE);
}

TEST_F(DownloadFtpReal, DownloadsToAFile) {
  VelmarDownloadNoCurl dl(VDL_PROTO_FTP, "127.0.0.1", port, "/big.bin", nullptr, nullptr, nullptr,
                          nullptr);
  EXPECT_TRUE(dl.DownloadToFile((dir + "/copy.bin").c_str())) << dl.GetErrorString();
  EXPECT_EQ(Sha256OfFile(dir + "/copy.bin"), Sha256Hex(content));
}

}  // namespace
