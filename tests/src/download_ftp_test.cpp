// The FTP client against pyftpdlib on loopback: logins, the size of the 150
// reply, limits, and refused or cut transfers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "download_nocurl.h"
#include "fixtures/script_server.h"

namespace {

// An anonymous and a named read-only user. The handler announces the size in
// the 150 reply as vsftpd does, 1000 bytes too many for a name ending "short".
const char kFtpServerScript[] = R"(import os, sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

class Handler(FTPHandler):
    auth_failed_timeout = 0
    def ftp_RETR(self, file):
        self._size = os.path.getsize(file) if os.path.isfile(file) else None
        if file.endswith("short"): self._size += 1000
        return FTPHandler.ftp_RETR(self, file)
    def respond(self, resp, *args, **kwargs):
        if resp[:4] in ("125 ", "150 ") and getattr(self, "_size", None) is not None:
            resp, self._size = "150 Opening BINARY mode data connection for f(1).bin (%d bytes)." % self._size, None
        return FTPHandler.respond(self, resp, *args, **kwargs)

Handler.authorizer = DummyAuthorizer()
Handler.authorizer.add_anonymous(sys.argv[2])
Handler.authorizer.add_user("tester", "s3cret!", sys.argv[2], perm="elr")
FTPServer(("127.0.0.1", int(sys.argv[1])), Handler).serve_forever()
)";

TEST(DownloadFtp, RetrievesWithinTheAnnouncedSizeAndLimit) {
  TempDir dir;
  const std::string content = PseudoRandomBytes(3 * 1024 * 1024 + 17, 11);
  ASSERT_TRUE(WriteFile(dir.path + "/server.py", kFtpServerScript));
  ASSERT_EQ(mkdir((dir.path + "/root").c_str(), 0755), 0);
  ASSERT_TRUE(WriteFile(dir.path + "/root/big.bin", content));
  ASSERT_TRUE(WriteFile(dir.path + "/root/big.short", content));
  PeerProcess server;
  uint16_t port = server.StartOnFreePort(
      {"/usr/bin/python3", dir.path + "/server.py", "{port}", dir.path + "/root"},
      dir.path + "/server.log");
  ASSERT_NE(port, 0) << "pyftpdlib did not start";
  const int64_t size = content.size();
  struct Case {
    const char *path, *user, *password;
    int64_t limit;
    int32_t code;
    std::string detail;
    int64_t total;  // of every progress call
  } cases[] = {
      {"/big.bin", nullptr, nullptr, 0, VDL_ERR_NONE, "", size},
      {"big.bin", "tester", "s3cret!", size, VDL_ERR_NONE, "", size},
      {"big.bin", "tester", "wrong", 0, VDL_ERR_AUTH, "server answered 530 to PASS", -1},
      {"/big.bin", nullptr, nullptr, size - 1, VDL_ERR_INVALID_RESPONSE,
       "announced 3145745 bytes, limit 3145744", -1},
      {"/big.short", nullptr, nullptr, 0, VDL_ERR_INVALID_RESPONSE,
       "data connection closed after 3145745 of 3146745 bytes", size + 1000},
      {"/missing.bin", nullptr, nullptr, 0, VDL_ERR_INVALID_RESPONSE, "server answered 550 to RETR",
       -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " " + (c.password ? c.password : ""));
    ProgressLog log;
    VelmarDownloadNoCurl dl(VDL_PROTO_FTP, "127.0.0.1", port, c.path, ProgressLog::Callback, c.user,
                            c.password, &log);
    dl.SetTimeout(20000);
    dl.SetMaxSize(c.limit);
    StringStream out;
    EXPECT_EQ(dl.DownloadToStream(&out.stream), c.code == VDL_ERR_NONE);
    EXPECT_EQ(dl.GetError(), c.code);
    EXPECT_EQ(dl.GetErrorDetail(), c.detail);
    EXPECT_TRUE(out.data == (c.total > 0 ? content : ""));
    EXPECT_EQ(log.calls.empty(), c.total == -1);
    for (const auto& call : log.calls) EXPECT_EQ(call.second, c.total);
  }
}

}  // namespace
