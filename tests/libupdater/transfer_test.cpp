// Retries of the update-info document against tests/file_server.py on
// loopback; pauses are recorded, not slept.
#include <string>
#include <vector>

#include "cli/e2e_fixture.h"
#include "engine_test_util.h"

namespace {

std::vector<uint32_t> pauses;

TEST(EngineTransfer, OnlyFailuresThatMayPassAreTriedAgain) {
  enginetest::TempDir dir;
  enginetest::ChangeDir cd(dir.path());  // the scratch file goes here
  ASSERT_TRUE(e2e::WriteFile(dir / "www/doc.info", "<update_info/>"));
  e2e::ServerProcess server;
  ASSERT_TRUE(server.StartScript(
      std::string(getenv("UPDATER_SOURCE_DIR")) + "/tests/file_server.py", {dir / "www"}));
  const std::string doc = "http://127.0.0.1:" + std::to_string(server.port()) + "/doc.info";
  const std::string busy =
      "Transfer of " + doc + " failed (Invalid Response: server answered 503), trying again in ";
  const std::string port = std::to_string(e2e::FreePort()),
                    closed = "http://127.0.0.1:" + port + "/x";
  const std::string refused = "Transfer of " + closed +
                              " failed (Error Connecting to Host: cannot connect to 127.0.0.1 "
                              "port " +
                              port + "), trying again in 1 s (1 of 1)";
  struct Case {
    std::string url;
    int failures;  // 503 answers before the document
    int retries;
    std::string error;  // "" for success
    std::vector<std::string> lines;
  } cases[] = {
      {doc, 2, 2, "", {busy + "1 s (1 of 2)", busy + "2 s (2 of 2)"}},
      {doc, 2, 1, "VDL reports Invalid Response", {busy + "1 s (1 of 1)"}},
      {doc + ".missing", 0, 3, "VDL reports File Not Found", {}},
      {closed, 0, 1, "VDL reports Error Connecting to Host", {refused}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url + " with " + std::to_string(c.retries) + " retries");
    ASSERT_TRUE(e2e::WriteFile(dir / "www/doc.info.fail", std::to_string(c.failures)));
    Updater updater;
    TransferSettings settings;
    settings.retries = c.retries;
    settings.pause = [](uint32_t seconds) { pauses.push_back(seconds); };
    updater.SetTransferSettings(settings);
    updater.Init(c.url.c_str(), dir.base().c_str(), "updater", "",
                 enginetest::RecordingCallbacks());
    pauses.clear();
    EXPECT_EQ(updater.DownloadInfo() ? "" : updater.GetLastError(), c.error);
    EXPECT_EQ(updater.infoText, c.error.empty() ? "<update_info/>" : "");
    EXPECT_EQ(enginetest::StatusLines(), c.lines);
    std::vector<uint32_t> want = {1, 2};
    want.resize(c.lines.size());
    EXPECT_EQ(pauses, want);
    EXPECT_FALSE(enginetest::Exists("updater-info.xml"));
  }
}

}  // namespace
