// The downloader over https against Python TLS file servers on loopback
// (tests/file_server.py), with an authority made at test time: which servers
// are trusted and what a refusal says, redirects between the schemes,
// responses split into many TLS records, and the limits on TLS transfers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "download_nocurl.h"
#include "fixtures/http_download.h"
#include "fixtures/script_server.h"
#include "test_authority.h"

namespace {

// The servers of the suite, by the certificate they show ("" for plain HTTP).
enum Peer { kGood, kExpired, kWrongHost, kPlain, kPeerCount };

TempDir* dir = nullptr;
PeerProcess* peers = nullptr;
uint16_t ports[kPeerCount];

std::string At(const std::string& name) { return dir->path + "/" + name; }

std::string UrlOf(Peer peer, const std::string& path, const char* host = "localhost") {
  return std::string(peer == kPlain ? "http" : "https") + "://" + host + ":" +
         std::to_string(ports[peer]) + path;
}

const std::string kSmall = "hello over tls\n";
const std::string kLarge = PseudoRandomBytes(200000, 7);  // many records

class DownloadHttps : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new TempDir;
    ASSERT_TRUE(MakeTestAuthority(dir->path));
    ASSERT_EQ(mkdir(At("www").c_str(), 0755), 0);
    const char* source = getenv("UPDATER_SOURCE_DIR");
    const std::string script =
        std::string(source != nullptr ? source : ".") + "/tests/file_server.py";
    const char* certs[kPeerCount] = {"good.pem", "expired.pem", "wrong-host.pem", ""};
    peers = new PeerProcess[kPeerCount];
    for (int peer = 0; peer < kPeerCount; ++peer) {
      std::vector<std::string> argv = {"/usr/bin/python3", script, "{port}", At("www")};
      if (certs[peer][0] != '\0') argv.insert(argv.end(), {At(certs[peer]), At("leaf-key.pem")});
      ports[peer] = peers[peer].StartOnFreePort(argv, At("server.log"), Files());
      ASSERT_NE(ports[peer], 0) << "file server " << peer << " did not start";
    }
  }
  static void TearDownTestSuite() {
    delete[] peers;
    delete dir;
    peers = nullptr;
    dir = nullptr;
  }
  // The served files, written before the first server starts.
  static std::vector<std::pair<std::string, std::string>> Files() {
    return {{At("www/small.txt"), kSmall},
            {At("www/large.bin"), kLarge},
            {At("www/unsized.bin"), kLarge},
            {At("www/unsized.bin.unsized"), ""},
            {At("www/pieces3.txt"), kSmall},
            {At("www/pieces3.txt.pieces"), "3"},
            {At("www/pieces7.bin"), kLarge},
            {At("www/pieces7.bin.pieces"), "7"},
            {At("www/endless"), ""},
            {At("www/endless.endless"), ""},
            {At("www/dribble"), std::string(100, 'd')},
            {At("www/dribble.dribble"), ""}};
  }
};

// One transfer into a string, with its outcome.
struct Outcome {
  bool ok;
  int32_t code;
  VdlFailureKind kind;
  std::string detail;
  std::string body;
};

// Fetches `url` trusting `caFile` (null: the system's authorities); `setup`
// may set more options first.
template <typename Setup>
Outcome Fetch(const std::string& url, const char* caFile, Setup setup) {
  VelmarDownloadNoCurl dl(url.c_str(), nullptr, nullptr, nullptr, nullptr);
  dl.SetCaFile(caFile);
  setup(dl);
  StringStream out;
  bool ok = dl.DownloadToStream(&out.stream);
  return {ok, dl.GetError(), dl.GetFailureKind(), dl.GetErrorDetail(), out.data};
}
Outcome Fetch(const std::string& url, const char* caFile) {
  return Fetch(url, caFile, [](VelmarDownloadNoCurl&) {});
}

TEST_F(DownloadHttps, TrustsOnlyAServerItCanVerify) {
  const std::string ca = At("ca.pem"), other = At("other-ca.pem"), none = At("none.pem");
  const std::string refused = "Certificate verification failed: ";
  struct Case {
    std::string url;
    const char* caFile;
    int32_t code;
    VdlFailureKind kind;
    std::string detail;  // for a failure: its start
    std::string body;
  } cases[] = {
      {UrlOf(kGood, "/small.txt"), ca.c_str(), VDL_ERR_NONE, VDL_FAIL_OTHER, "", kSmall},
      {UrlOf(kGood, "/large.bin", "127.0.0.1"), ca.c_str(), VDL_ERR_NONE, VDL_FAIL_OTHER, "",
       kLarge},
      // Without a length the body ends with the connection, closing alert
      // or not.
      {UrlOf(kGood, "/unsized.bin"), ca.c_str(), VDL_ERR_NONE, VDL_FAIL_OTHER, "", kLarge},
      {UrlOf(kGood, "/missing"), ca.c_str(), VDL_ERR_NOT_FOUND, VDL_FAIL_OTHER,
       "server answered 404", ""},
      {UrlOf(kGood, "/small.txt"), nullptr, VDL_ERR_CONNECT, VDL_FAIL_CERTIFICATE,
       refused + "unable to get local issuer certificate", ""},
      {UrlOf(kGood, "/small.txt"), other.c_str(), VDL_ERR_CONNECT, VDL_FAIL_CERTIFICATE,
       refused + "unable to get local issuer certificate", ""},
      {UrlOf(kExpired, "/small.txt"), ca.c_str(), VDL_ERR_CONNECT, VDL_FAIL_CERTIFICATE,
       refused + "certificate has expired", ""},
      {UrlOf(kWrongHost, "/small.txt"), ca.c_str(), VDL_ERR_CONNECT, VDL_FAIL_CERTIFICATE,
       refused + "hostname mismatch", ""},
      {UrlOf(kGood, "/small.txt"), none.c_str(), VDL_ERR_CONNECT, VDL_FAIL_TLS,
       "Error loading the trusted certificates!", ""},
      // TLS spoken to a plain HTTP server.
      {"https://localhost:" + std::to_string(ports[kPlain]) + "/small.txt", ca.c_str(),
       VDL_ERR_CONNECT, VDL_FAIL_TLS, "TLS handshake failed: ", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url + " trusting " + (c.caFile != nullptr ? c.caFile : "the system"));
    Outcome got = Fetch(c.url, c.caFile);
    EXPECT_EQ(got.ok, c.code == VDL_ERR_NONE);
    EXPECT_EQ(got.code, c.code);
    EXPECT_EQ(got.kind, c.kind);
    EXPECT_EQ(got.detail.substr(0, c.detail.size()), c.detail);
    EXPECT_TRUE(got.body == c.body) << got.body.size() << " bytes";
  }
}

TEST_F(DownloadHttps, ResponseSplitIntoManyRecordsArrivesWhole) {
  const std::string ca = At("ca.pem");
  for (const char* path : {"/pieces3.txt", "/pieces7.bin"}) {
    SCOPED_TRACE(path);
    Outcome got = Fetch(UrlOf(kGood, path), ca.c_str());
    EXPECT_TRUE(got.ok) << got.detail;
    EXPECT_EQ(Sha256Hex(got.body), Sha256Hex(path[7] == '3' ? kSmall : kLarge));
  }
}

TEST_F(DownloadHttps, RedirectsNeverLeaveTls) {
  const std::string ca = At("ca.pem");
  struct Case {
    Peer from;
    std::string location;
    int32_t code;
    VdlFailureKind kind;
  } cases[] = {
      {kGood, "/small.txt", VDL_ERR_NONE, VDL_FAIL_OTHER},
      {kGood, UrlOf(kGood, "/small.txt", "127.0.0.1"), VDL_ERR_NONE, VDL_FAIL_OTHER},
      // From plain HTTP to https, the CA file going along.
      {kPlain, UrlOf(kGood, "/small.txt"), VDL_ERR_NONE, VDL_FAIL_OTHER},
      {kGood, UrlOf(kPlain, "/small.txt"), VDL_ERR_INVALID_URL, VDL_FAIL_TLS_DOWNGRADE},
      {kGood, "ftp://localhost/small.txt", VDL_ERR_INVALID_URL, VDL_FAIL_TLS_DOWNGRADE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.location);
    ASSERT_TRUE(WriteFile(At("www/moved.redirect"), c.location));
    Outcome got = Fetch(UrlOf(c.from, "/moved"), ca.c_str(),
                        [](VelmarDownloadNoCurl& dl) { dl.SetFollowRedirects(true); });
    EXPECT_EQ(got.code, c.code);
    EXPECT_EQ(got.kind, c.kind);
    EXPECT_EQ(got.body, c.code == VDL_ERR_NONE ? kSmall : "");
    if (c.kind == VDL_FAIL_TLS_DOWNGRADE) {
      EXPECT_EQ(got.detail, "refused to follow https to " + c.location);
    }
  }
}

TEST_F(DownloadHttps, LimitsHoldOverTls) {
  const std::string ca = At("ca.pem");
  Outcome endless = Fetch(UrlOf(kGood, "/endless"), ca.c_str(),
                          [](VelmarDownloadNoCurl& dl) { dl.SetMaxSize(100000); });
  EXPECT_EQ(endless.code, VDL_ERR_INVALID_RESPONSE);
  EXPECT_EQ(endless.kind, VDL_FAIL_SIZE_LIMIT);
  EXPECT_EQ(endless.body.size(), 100000u);
  Outcome slow = Fetch(UrlOf(kGood, "/dribble"), ca.c_str(),
                       [](VelmarDownloadNoCurl& dl) { dl.SetMinimumRate(50, 1); });
  EXPECT_EQ(slow.code, VDL_ERR_TIMEOUT);
  EXPECT_EQ(slow.kind, VDL_FAIL_TOO_SLOW);
  EXPECT_EQ(slow.detail, "below 50 bytes/s for 1 s");
}

TEST(DownloadHttpsHandshake, SilentServerIsCutOffByTheTimeOutOrTheRate) {
  struct Case {
    uint64_t timeoutMs;
    uint32_t rate;
    int32_t code;
    VdlFailureKind kind;
    const char* detail;
  } cases[] = {
      {300, 0, VDL_ERR_TIMEOUT, VDL_FAIL_TLS, "TLS handshake timed out"},
      {60000, 1024, VDL_ERR_TIMEOUT, VDL_FAIL_TOO_SLOW, "TLS handshake took longer than 1 s"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.detail);
    ScriptServer server;
    server.Accept().ExpectClosed();
    ASSERT_TRUE(server.Start());
    std::string url = "https://127.0.0.1:" + std::to_string(server.Port()) + "/x";
    Outcome got = Fetch(url, nullptr, [&c](VelmarDownloadNoCurl& dl) {
      dl.SetTimeout(c.timeoutMs);
      dl.SetMinimumRate(c.rate, 1);
    });
    EXPECT_EQ(got.code, c.code);
    EXPECT_EQ(got.kind, c.kind);
    EXPECT_EQ(got.detail, c.detail);
    EXPECT_EQ(server.Finish(), "");
  }
}

}  // namespace
