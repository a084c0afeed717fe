// The program against real servers across runs: a pack whose transfers fail
// twice is had on the third try, and a pack cut off by one run is continued
// by the next from nginx, which answers the range.
#include "cli/e2e_suite.h"
#include "src/fixtures/script_server.h"

namespace e2e {
namespace {

TEST_F(EndToEnd, TransfersThatFailTwiceAreHadOnTheThirdTry) {
  Publish(StandardRelease(), kStandardDescription);
  ASSERT_TRUE(WriteFile(www_ + "/packs/README.txt.pak.fail", "2"));
  RunResult result = Update({"--retries", "2"});
  const std::string retry =
      "Transfer of README.txt failed (Invalid Response: server answered 503), trying again in ";
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_NE(result.out.find(retry + "1 s (1 of 2)\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find(retry + "2 s (2 of 2)\n"), std::string::npos) << result.out;
  EXPECT_TRUE(EndsWith(result.out, "\nUpdate Complete!\n"));
  ExpectBase(Installed(StandardRelease(), kStandardInstalled));
}

TEST_F(EndToEnd, PackCutOffByOneRunIsContinuedFromNginx) {
  // nginx sends 200 KB a second; the first run asks for twice that and
  // gives up on the large pack after a second of it.
  ::TempDir logs;
  const std::string d = logs.path;
  std::string conf = "daemon off; master_process off; pid " + d + "/nginx.pid;\n" +
                     "events { worker_connections 16; }\nhttp { access_log off;\n";
  for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
    conf += std::string(temp) + "_temp_path " + d + ";\n";
  }
  conf += "server { listen 127.0.0.1:{port}; root " + www_ + "; limit_rate 200k; } }\n";
  PeerProcess nginx;
  int port = nginx.StartOnFreePort(
      {"/usr/sbin/nginx", "-p", d, "-c", d + "/nginx.conf", "-e", d + "/error.log"},
      d + "/nginx.log", {{d + "/nginx.conf", conf}});
  ASSERT_NE(port, 0);
  const Release files = {{"big.bin", PseudoRandomBytes(600000, 7), 0644},
                         {"small.txt", "small\n", 0644}};
  Publish(files, kPlainDescription, {"--base-url", "http://127.0.0.1:" + std::to_string(port)});

  const std::string server = "127.0.0.1:" + std::to_string(port);
  RunResult cut = Update({"--server", server, "--speed-limit", "400000", "--speed-time", "1"});
  EXPECT_EQ(cut.status, 1);
  EXPECT_TRUE(EndsWith(cut.out,
                       "VDL reports 'Transfer Timed Out (below 400000 bytes/s for 1 s)' "
                       "while downloading 'big.bin'\n"))
      << cut.out;
  const std::string part = ReadFile(base_ + "/tmp/updater/big.bin.pak");
  ASSERT_GT(part.size(), 0u);
  ASSERT_TRUE(Exists(base_ + "/tmp/updater/big.bin.pak.updater-resume"));

  RunResult next = Update({"--server", server});
  EXPECT_EQ(next.status, 0) << next.out;
  EXPECT_NE(next.out.find("Resuming big.bin at " + std::to_string(part.size()) + " bytes...\n"),
            std::string::npos)
      << next.out;
  ExpectBase(Installed(files));
}

}  // namespace
}  // namespace e2e
