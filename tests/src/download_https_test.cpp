// The downloader against tests/file_server.py over https on loopback: redirects
// between schemes, TLS records and the bounds of TLS transfers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "download_nocurl.h"
#include "fixtures/script_server.h"
#include "test_authority.h"

namespace {

TEST(DownloadHttps, VerifiesServersAndBoundsTransfers) {
  const std::string small = "hello over tls\n", large = PseudoRandomBytes(200000, 7);
  TempDir dir;
  const std::string www = dir.path + "/www", ca = dir.path + "/ca.pem";
  ASSERT_TRUE(MakeTestAuthority(dir.path));
  ASSERT_EQ(mkdir(www.c_str(), 0755), 0);
  enum { kGood, kPlain };  // file servers over TLS and over plain HTTP
  PeerProcess peers[2];
  std::string at[2];  // scheme, host and port
  for (int peer : {kGood, kPlain}) {
    std::vector<std::string> argv = {
        "/usr/bin/python3", std::string(getenv("UPDATER_SOURCE_DIR")) + "/tests/file_server.py",
        "{port}", www};
    if (peer == kGood)
      argv.insert(argv.end(), {dir.path + "/good.pem", dir.path + "/leaf-key.pem"});
    uint16_t port = peers[peer].StartOnFreePort(argv, dir.path + "/server.log");
    ASSERT_NE(port, 0);
    at[peer] = (peer == kPlain ? "http://localhost:" : "https://localhost:") + std::to_string(port);
  }
  ScriptServer silent;  // takes connections and never answers
  silent.Accept().ExpectClosed().Accept().ExpectClosed();
  ASSERT_TRUE(silent.Start());
  const std::string mute = "https://127.0.0.1:" + std::to_string(silent.Port()) + "/x";
  const std::string ftp = "ftp://127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/small";
  // Each file, then each marker that tells the server how to serve it.
  for (const auto& file : std::vector<std::pair<std::string, std::string>>{
           {"small", small},
           {"unsized", large},
           {"pieces", large},
           {"dribble", small},
           {"endless.endless", ""},
           {"unsized.unsized", ""},
           {"pieces.pieces", "7"},
           {"dribble.dribble", ""},
           {"to-path.redirect", "/small"},
           {"to-self.redirect", "/to-self"},
           {"to-plain.redirect", at[kPlain] + "/small"},
           {"to-tls.redirect", at[kGood] + "/small"},
           {"to-ftp.redirect", ftp},
           {"to-443.redirect", "https://127.0.0.1/small"}}) {
    ASSERT_TRUE(WriteFile(www + "/" + file.first, file.second));
  }
  const struct {
    std::string url;
    int32_t code;
    VdlFailureKind kind;
    std::string detail;  // for a failure: how it starts
    std::string body;
    uint64_t timeoutMs = 0;  // options set when not 0
    uint32_t rate = 0;       // bytes a second over a window of 1 s
    int64_t maxSize = 0;
  } cases[] = {
      // A body without a length ends with the connection, closing alert or not.
      {at[kGood] + "/unsized", VDL_ERR_NONE, VDL_FAIL_OTHER, "", large},
      {at[kGood] + "/pieces", VDL_ERR_NONE, VDL_FAIL_OTHER, "", large},  // lines across records
      {"https" + at[kPlain].substr(4) + "/small", VDL_ERR_CONNECT, VDL_FAIL_TLS,
       "TLS handshake failed: ", ""},
      // One redirect is followed, keeping the limits and the CA file, and to
      // the scheme and port of its URL; from https only https, and ftp never.
      {at[kGood] + "/to-path", VDL_ERR_NONE, VDL_FAIL_OTHER, "", small},
      {at[kGood] + "/to-path", VDL_ERR_INVALID_RESPONSE, VDL_FAIL_SIZE_LIMIT,
       "announced 15 bytes, limit 14", "", 0, 0, 14},
      {at[kGood] + "/to-self", VDL_ERR_REDIRECT_OFF, VDL_FAIL_OTHER,
       "server answered 302 with a redirect", ""},
      {at[kGood] + "/to-plain", VDL_ERR_INVALID_URL, VDL_FAIL_TLS_DOWNGRADE,
       "refused to follow https to " + at[kPlain] + "/small", ""},
      {at[kGood] + "/to-ftp", VDL_ERR_INVALID_URL, VDL_FAIL_TLS_DOWNGRADE,
       "refused to follow https to " + ftp, ""},
      {at[kPlain] + "/to-tls", VDL_ERR_NONE, VDL_FAIL_OTHER, "", small},
      {at[kPlain] + "/to-ftp", VDL_ERR_INVALID_URL, VDL_FAIL_OTHER,
       "cannot follow the redirect to " + ftp, ""},
      {at[kPlain] + "/to-443", VDL_ERR_CONNECT, VDL_FAIL_OTHER,
       "cannot connect to 127.0.0.1 port 443", ""},
      {at[kGood] + "/endless", VDL_ERR_INVALID_RESPONSE, VDL_FAIL_SIZE_LIMIT,
       "body goes past the limit of 100000 bytes", std::string(100000, 'x'), 0, 0, 100000},
      {at[kGood] + "/dribble", VDL_ERR_TIMEOUT, VDL_FAIL_TOO_SLOW, "below 50 bytes/s for 1 s",
       small.substr(0, 1), 0, 50},
      {at[kGood] + "/dribble", VDL_ERR_TIMEOUT, VDL_FAIL_OTHER, "no data for 100 ms",
       small.substr(0, 1), 100},
      {mute, VDL_ERR_TIMEOUT, VDL_FAIL_TLS, "TLS handshake timed out", "", 300},
      {mute, VDL_ERR_TIMEOUT, VDL_FAIL_TOO_SLOW, "TLS handshake took longer than 1 s", "", 0, 1024},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    VelmarDownloadNoCurl dl(c.url.c_str(), nullptr, nullptr, nullptr, nullptr);
    dl.SetCaFile(ca.c_str());
    if (c.timeoutMs != 0) dl.SetTimeout(c.timeoutMs);
    if (c.rate != 0) dl.SetMinimumRate(c.rate, 1);
    dl.SetMaxSize(c.maxSize);
    dl.SetFollowRedirects(true);
    StringStream out;
    EXPECT_EQ(dl.DownloadToStream(&out.stream), c.code == VDL_ERR_NONE);
    EXPECT_EQ(dl.GetError(), c.code);
    EXPECT_EQ(dl.GetFailureKind(), c.kind);
    EXPECT_EQ(std::string(dl.GetErrorDetail()).substr(0, c.detail.size()), c.detail);
    EXPECT_EQ(out.data.substr(0, c.body.size()), c.body);
    if (c.code == VDL_ERR_NONE || c.kind == VDL_FAIL_SIZE_LIMIT) {
      EXPECT_EQ(out.data.size(), c.body.size());
    }
  }
  EXPECT_EQ(silent.Finish(), "");
}

}  // namespace
