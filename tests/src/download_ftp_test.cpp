// The FTP client against a scripted loopback server (exact commands, refused
// and malformed replies) and against pyftpdlib for real transfers and limits.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>

#include "download_nocurl.h"
#include "fixtures/script_server.h"

namespace {

std::string Opening(size_t size) {
  return "150 Opening BINARY mode data connection for f(1).bin (" + std::to_string(size) +
         " bytes).\r\n";
}

ScriptServer& Greet(ScriptServer& server) { return server.Accept().Send("220 ready\r\n"); }

// The exchange through the RETR command, answered with `reply`.
ScriptServer& Retrieve(ScriptServer& server, const std::string& reply) {
  Greet(server).ReadLine().Send("331 Password required\r\n");
  server.ReadLine().Send("230 Logged in\r\n").ReadLine().Send("200 Type set to I\r\n");
  return server.ReadLine().PassiveMode().ReadLine().Send(reply);
}

TEST(DownloadFtp, ScriptedRepliesGiveTheirCodes) {
  const std::string content = PseudoRandomBytes(70000, 3);
  struct Case {
    const char* name;
    std::function<void(ScriptServer&)> script;
    int32_t code;
    std::string body;
    std::string detail = "";
    std::string received = "";  // the whole control exchange, when it matters
  } cases[] = {
      {"a sized file",
       [&](ScriptServer& s) {
         Retrieve(s, Opening(content.size())).SendData(content).Close(ScriptServer::kData);
         s.Send("226 Transfer complete\r\n").ReadLine().ExpectClosed();
       },
       VDL_ERR_NONE, content, "",
       "USER anonymous\r\nPASS updater@tw.none\r\nTYPE I\r\nPASV\r\nRETR "
       "/pub/file.bin\r\nQUIT\r\n"},
      {"530 to PASS",
       [](ScriptServer& s) {
         Greet(s).ReadLine().Send("331 Password\r\n").ReadLine();
         s.Send("530 Login incorrect\r\n").ExpectClosed();
       },
       VDL_ERR_AUTH, "", "server answered 530 to PASS"},
      {"a multi-line greeting: its continuation is no USER reply",
       [](ScriptServer& s) {
         s.Accept().Send("220-Welcome\r\n220 ready\r\n").ReadLine().ExpectClosed();
       },
       VDL_ERR_INVALID_RESPONSE, "", "server answered 220 to USER", "USER anonymous\r\n"},
      {"data short of the size, then 226",
       [](ScriptServer& s) {
         Retrieve(s, Opening(1000)).SendData("only this").Close(ScriptServer::kData);
         s.Send("226 Transfer complete\r\n").ExpectClosed();
       },
       VDL_ERR_INVALID_RESPONSE, "only this", "data connection closed after 9 of 1000 bytes"},
      {"the data connection silent",
       [](ScriptServer& s) { Retrieve(s, Opening(1000)).SendData("first part").ExpectClosed(); },
       VDL_ERR_TIMEOUT, "first part", "no data for 300 ms"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptServer server;
    c.script(server);
    ASSERT_TRUE(server.Start());
    ProgressLog log;
    VelmarDownloadNoCurl dl(VDL_PROTO_FTP, "127.0.0.1", server.Port(), "/pub/file.bin",
                            ProgressLog::Callback, nullptr, nullptr, &log);
    dl.SetTimeout(300);
    StringStream out;
    EXPECT_EQ(dl.DownloadToStream(&out.stream), c.code == VDL_ERR_NONE);
    EXPECT_EQ(dl.GetError(), c.code);
    EXPECT_TRUE(out.data == c.body);
    EXPECT_EQ(dl.GetErrorDetail(), c.detail);
    EXPECT_EQ(server.Finish(), "");
    if (!c.received.empty()) {
      EXPECT_EQ(server.Received(), c.received);
    }
    // The size of the 150 reply is the total of every progress call.
    for (const auto& call : log.calls) EXPECT_EQ(call.second, c.code ? 1000 : 70000);
  }
}

// pyftpdlib on loopback with a named read-only user. Its handler announces
// the size in the 150 reply, as vsftpd does.
const char kFtpServerScript[] = R"(import os, sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

class Handler(FTPHandler):
    def ftp_RETR(self, file):
        self._size = os.path.getsize(file) if os.path.isfile(file) else None
        return FTPHandler.ftp_RETR(self, file)
    def respond(self, resp, *args, **kwargs):
        if resp[:4] in ("125 ", "150 ") and getattr(self, "_size", None) is not None:
            resp, self._size = "150 Opening BINARY mode data connection (%d bytes)." % self._size, None
        return FTPHandler.respond(self, resp, *args, **kwargs)

Handler.authorizer = DummyAuthorizer()
Handler.authorizer.add_user("tester", "s3cret!", sys.argv[2], perm="elr")
FTPServer(("127.0.0.1", int(sys.argv[1])), Handler).serve_forever()
)";

TEST(DownloadFtpReal, NamedUserRetrievesFilesWithinTheLimit) {
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
    const char* path;
    int64_t limit;
    int32_t code;
    std::string detail;
  } cases[] = {
      {"big.bin", 0, VDL_ERR_NONE, ""},
      {"/big.bin", 1000000, VDL_ERR_INVALID_RESPONSE, "announced 3145745 bytes, limit 1000000"},
      {"/missing.bin", 0, VDL_ERR_INVALID_RESPONSE, "server answered 550 to RETR"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    VelmarDownloadNoCurl dl(VDL_PROTO_FTP, "127.0.0.1", port, c.path, nullptr, "tester", "s3cret!",
                            nullptr);
    dl.SetTimeout(20000);
    dl.SetMaxSize(c.limit);
    StringStream out;
    EXPECT_EQ(dl.DownloadToStream(&out.stream), c.code == VDL_ERR_NONE);
    EXPECT_EQ(dl.GetError(), c.code) << dl.GetErrorString();
    EXPECT_EQ(dl.GetErrorDetail(), c.detail);
    EXPECT_TRUE(out.data == (c.code ? "" : content));
  }
}

}  // namespace
