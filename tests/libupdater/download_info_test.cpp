// Updater::DownloadInfo and its scratch file in a temporary working directory,
// against Python's http.server on loopback; retries are in transfer_test.
#include <unistd.h>

#include <string>

#include "cli/e2e_fixture.h"
#include "engine_test_util.h"

TEST(DownloadInfo, ScratchFileGoesAsSoonAsTheDocumentIsRead) {
  enginetest::TempDir dir;
  enginetest::ChangeDir cd(dir.path());
  ASSERT_TRUE(cd.ok());
  ASSERT_TRUE(enginetest::WriteFile("x.info", "<update_info version=\"2\"/>"));
  e2e::ServerProcess server;
  ASSERT_TRUE(server.StartHttpServer(dir.path()));
  ASSERT_TRUE(enginetest::WriteFile("updater-info.xml", "stale"));  // left by a killed run
  Updater updater;
  std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/x.info";
  updater.Init(url.c_str(), dir.base().c_str(), "updater", "", nullptr);
  EXPECT_FALSE(enginetest::Exists("updater-info.xml")) << "gone with Init";
  ASSERT_TRUE(updater.DownloadInfo()) << updater.GetLastError();
  EXPECT_EQ(updater.infoText, "<update_info version=\"2\"/>");
  EXPECT_FALSE(enginetest::Exists("updater-info.xml")) << "while the Updater lives";
}

// A link planted in place of the scratch file after Init is not followed.
TEST(DownloadInfo, LinkInPlaceOfTheScratchFileIsNotFollowed) {
  enginetest::TempDir dir;
  enginetest::ChangeDir cd(dir.path());
  ASSERT_TRUE(cd.ok());
  ASSERT_TRUE(enginetest::WriteFile("precious", "keep me"));
  Updater updater;
  updater.Init("http://127.0.0.1:1/x.info", "/tmp/", "updater", "", nullptr);
  ASSERT_EQ(symlink("precious", "updater-info.xml"), 0);
  EXPECT_FALSE(updater.DownloadInfo());
  EXPECT_STREQ(updater.GetLastError(), "Error opening updater-info.xml");
  EXPECT_EQ(enginetest::ReadFile("precious"), "keep me");
}
