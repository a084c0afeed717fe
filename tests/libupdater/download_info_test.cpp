// Updater::DownloadInfo and its scratch file in a temporary working
// directory: against Python's http.server on loopback, and the failures that
// happen before any transfer. Retries are covered by transfer_test.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "cli/e2e_fixture.h"
#include "engine_test_util.h"

using enginetest::Exists;

TEST(DownloadInfo, ScratchFileGoesAsSoonAsTheDocumentIsRead) {
  enginetest::TempDir dir;
  enginetest::ChangeDir cd(dir.path());
  ASSERT_TRUE(cd.ok());
  ASSERT_EQ(mkdir("www", 0755), 0);
  ASSERT_TRUE(enginetest::WriteFile("www/x.info", "<update_info version=\"2\"/>"));
  e2e::ServerProcess server;
  ASSERT_TRUE(server.StartHttpServer(dir / "www"));
  Updater updater;
  std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/x.info";
  updater.Init(url.c_str(), dir.base().c_str(), "updater", "", nullptr);
  ASSERT_TRUE(updater.DownloadInfo()) << updater.GetLastError();
  EXPECT_EQ(updater.infoText, "<update_info version=\"2\"/>");
  EXPECT_FALSE(Exists("updater-info.xml")) << "while the Updater lives";
}

// Refused before anything is created, or at a link planted in place of the
// scratch file after Init, which is not followed; the earlier text stays.
TEST(DownloadInfo, EarlyFailuresKeepTheEarlierDocument) {
  enginetest::TempDir dir;
  enginetest::ChangeDir cd(dir.path());
  ASSERT_TRUE(cd.ok());
  ASSERT_TRUE(enginetest::WriteFile("precious", "keep me"));
  const char* cases[][3] = {
      {"ftp://127.0.0.1/x.info", "", "VDL reports Invalid URL"},
      {"http://127.0.0.1:1/x.info", "precious", "Error opening updater-info.xml"}};
  for (const auto& c : cases) {
    Updater updater;
    updater.Init(c[0], "/tmp/", "updater", "", nullptr);
    updater.infoText = "before";
    ASSERT_TRUE(*c[1] == '\0' || symlink(c[1], "updater-info.xml") == 0);
    EXPECT_FALSE(updater.DownloadInfo());
    EXPECT_STREQ(updater.GetLastError(), c[2]);
    EXPECT_EQ(updater.infoText, "before");
    EXPECT_EQ(enginetest::ReadFile("precious"), "keep me");
    EXPECT_EQ(Exists("updater-info.xml"), *c[1] != '\0');
  }
}
