// Retries of the update-info document and its signature file against
// tests/file_server.py on loopback; pauses are recorded, not slept.
#include <string>
#include <vector>

#include "cli/e2e_fixture.h"
#include "engine_test_util.h"

namespace {

std::vector<uint32_t> pauses;
void RecordPause(uint32_t seconds) { pauses.push_back(seconds); }

// RFC 8032's first test key; no signature file here ever verifies.
const uint8_t kKey[32] = {0xd7, 0x5a, 0x98, 0x01, 0x82, 0xb1, 0x0a, 0xb7, 0xd5, 0x4b, 0xfe,
                          0xd3, 0xc9, 0x64, 0x07, 0x3a, 0x0e, 0xe1, 0x72, 0xf3, 0xda, 0xa6,
                          0x23, 0x25, 0xaf, 0x02, 0x1a, 0x68, 0xf7, 0x07, 0x51, 0x1a};

TEST(EngineTransfer, OnlyFailuresThatMayPassAreTriedAgain) {
  enginetest::TempDir dir;
  enginetest::ChangeDir cd(dir.path());  // the scratch file goes here
  ASSERT_TRUE(cd.ok());
  ASSERT_TRUE(e2e::WriteFile(dir / "www/doc.info", "<update_info/>"));
  e2e::ServerProcess server;
  ASSERT_TRUE(server.StartScript(
      std::string(getenv("UPDATER_SOURCE_DIR")) + "/tests/file_server.py", {dir / "www"}));
  const std::string doc = "http://127.0.0.1:" + std::to_string(server.port()) + "/doc.info";
  const std::string closed = "http://127.0.0.1:" + std::to_string(e2e::FreePort()) + "/doc.info";
  struct Case {
    std::string url;
    int documentFailures;   // 503 answers before the document
    int signatureFailures;  // the same for the signature file; -1: no key
    int retries;
    std::string error;  // "" for success
    size_t tries;
  } cases[] = {
      {doc, 2, -1, 2, "", 3},
      {doc, 2, -1, 1, "VDL reports Invalid Response", 2},
      {doc + ".missing", 0, -1, 3, "VDL reports File Not Found", 1},
      {closed, 0, -1, 1, "VDL reports Error Connecting to Host", 2},
      {doc, 0, 1, 1, "No signature file at " + doc + ".sig", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url + " tried " + std::to_string(c.tries) + " times");
    ASSERT_TRUE(e2e::WriteFile(dir / "www/doc.info.fail", std::to_string(c.documentFailures)));
    ASSERT_TRUE(e2e::WriteFile(dir / "www/doc.info.sig.fail", std::to_string(c.signatureFailures)));
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
    EXPECT_EQ(updater.DownloadInfo() ? "" : updater.GetLastError(), c.error);
    EXPECT_EQ(updater.infoText, c.error.empty() ? "<update_info/>" : "");
    std::vector<uint32_t> expected;
    for (size_t i = 1; i < c.tries; ++i) expected.push_back(1u << (i - 1));
    EXPECT_EQ(pauses, expected);
    ASSERT_EQ(enginetest::StatusLines().size(), c.tries - 1);
    EXPECT_FALSE(enginetest::Exists("updater-info.xml"));
  }
  EXPECT_EQ(enginetest::StatusLines().back(),
            "Transfer of " + doc +
                ".sig failed (Invalid Response: server answered 503), trying "
                "again in 1 s (1 of 1)");
}

}  // namespace
