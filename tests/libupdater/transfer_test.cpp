// The engine's transfers of the update-info document and its signature file
// against the file server on loopback (tests/file_server.py, plain and with
// a certificate of a test authority): which failures are tried again, the
// pauses between tries and the line before each, and what is reported when
// the tries run out. Pauses are recorded, not slept.
#include <string>
#include <vector>

#include "cli/e2e_fixture.h"
#include "engine_test_util.h"
#include "test_authority.h"

namespace {

std::vector<uint32_t> pauses;
void RecordPause(uint32_t seconds) { pauses.push_back(seconds); }

// RFC 8032's first test key; no signature file here ever verifies.
const uint8_t kKey[32] = {0xd7, 0x5a, 0x98, 0x01, 0x82, 0xb1, 0x0a, 0xb7, 0xd5, 0x4b, 0xfe,
                          0xd3, 0xc9, 0x64, 0x07, 0x3a, 0x0e, 0xe1, 0x72, 0xf3, 0xda, 0xa6,
                          0x23, 0x25, 0xaf, 0x02, 0x1a, 0x68, 0xf7, 0x07, 0x51, 0x1a};

const char kDocument[] = "<update_info/>";

class EngineTransfer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(cd.ok());
    ASSERT_TRUE(MakeTestAuthority(dir.path()));
    ASSERT_TRUE(e2e::WriteFile(dir / "www/doc.info", kDocument));
    const char* source = getenv("UPDATER_SOURCE_DIR");
    const std::string script =
        std::string(source != nullptr ? source : ".") + "/tests/file_server.py";
    ASSERT_TRUE(plain.StartScript(script, {dir / "www"}));
    ASSERT_TRUE(tls.StartScript(script, {dir / "www", dir / "good.pem", dir / "leaf-key.pem"}));
  }

  enginetest::TempDir dir;
  enginetest::ChangeDir cd{dir.path()};  // the scratch file goes here
  e2e::ServerProcess plain, tls;
};

TEST_F(EngineTransfer, OnlyFailuresThatMayPassAreTriedAgain) {
  const std::string doc = "http://127.0.0.1:" + std::to_string(plain.port()) + "/doc.info";
  const std::string secure = "https://localhost:" + std::to_string(tls.port()) + "/doc.info";
  const std::string closed = "http://127.0.0.1:" + std::to_string(e2e::FreePort()) + "/doc.info";
  const std::string busy = "Invalid Response: server answered 503";
  struct Case {
    const char* what;
    std::string url;
    int documentFailures;   // 503 answers before the document
    int signatureFailures;  // the same for the signature file; -1: no key, no signature file
    int retries;
    std::string error;  // "" for success
    std::vector<std::string> notices;
  } cases[] = {
      {"503 twice, then the document",
       doc,
       2,
       -1,
       2,
       "",
       {"Transfer of " + doc + " failed (" + busy + "), trying again in 1 s (1 of 2)",
        "Transfer of " + doc + " failed (" + busy + "), trying again in 2 s (2 of 2)"}},
      {"tries run out",
       doc,
       2,
       -1,
       1,
       "VDL reports Invalid Response",
       {"Transfer of " + doc + " failed (" + busy + "), trying again in 1 s (1 of 1)"}},
      {"404", doc + ".missing", 0, -1, 3, "VDL reports File Not Found", {}},
      {"unknown authority",
       secure,
       0,
       -1,
       3,
       "VDL reports Error Connecting to Host (Certificate verification failed: unable to get "
       "local issuer certificate)",
       {}},
      {"refused connection",
       closed,
       0,
       -1,
       1,
       "VDL reports Error Connecting to Host",
       {"Transfer of " + closed +
        " failed (Error Connecting to Host: cannot connect to 127.0.0.1 "
        "port " +
        closed.substr(17, closed.find('/', 17) - 17) + "), trying again in 1 s (1 of 1)"}},
      {"signature file",
       doc,
       0,
       1,
       1,
       "No signature file at " + doc + ".sig",
       {"Transfer of " + doc + ".sig failed (" + busy + "), trying again in 1 s (1 of 1)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(
        enginetest::WriteFile(dir / "www/doc.info.fail", std::to_string(c.documentFailures)));
    ASSERT_TRUE(
        enginetest::WriteFile(dir / "www/doc.info.sig.fail", std::to_string(c.signatureFailures)));
    Updater updater;
    TransferSettings settings;
    settings.retries = c.retries;
    settings.pause = RecordPause;
    updater.SetTransferSettings(settings);
    TrustKey key;
    ASSERT_TRUE(trust_key_from_raw(kKey, &key));
    if (c.signatureFailures >= 0) updater.AddTrustedKey(key);
    updater.Init(c.url.c_str(), dir.base().c_str(), "updater", "",
                 enginetest::RecordingCallbacks());
    enginetest::StatusLines().clear();
    pauses.clear();

    EXPECT_EQ(updater.DownloadInfo(), c.error.empty());
    if (!c.error.empty()) {
      EXPECT_EQ(updater.GetLastError(), c.error);
    }
    EXPECT_EQ(updater.infoText, c.error.empty() ? kDocument : "");
    EXPECT_EQ(enginetest::StatusLines(), c.notices);
    std::vector<uint32_t> expected;
    for (size_t i = 0; i < c.notices.size(); ++i) expected.push_back(1u << i);
    EXPECT_EQ(pauses, expected);
    EXPECT_FALSE(enginetest::Exists("updater-info.xml"));
  }
}

}  // namespace
