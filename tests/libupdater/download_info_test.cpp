// Updater::DownloadInfo and its scratch file in a temporary working
// directory: against Python's http.server on loopback, and the failures that
// happen before any transfer. Retries are covered by transfer_test.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "cli/e2e_fixture.h"
#include "engine_test_util.h"

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
  EXPECT_FALSE(enginetest::Exists("updater-info.xml")) << "while the Updater lives";
}

TEST(DownloadInfo, EarlyFailuresKeepTheEarlierDocument) {
  enginetest::TempDir dir;
  enginetest::ChangeDir cd(dir.path());
  ASSERT_TRUE(cd.ok());
  Updater updater;
  auto fetch = [&updater](const char* url) {
    updater.Init(url, "/tmp/", "updater", "", nullptr);
    updater.infoText = "before";
    return updater.DownloadInfo();
  };
  // Rejected before anything is created.
  EXPECT_FALSE(fetch("ftp://127.0.0.1/x.info"));
  EXPECT_STREQ(updater.GetLastError(), "VDL reports Invalid URL");
  EXPECT_EQ(updater.infoText, "before");
  EXPECT_FALSE(enginetest::Exists("updater-info.xml"));
  // The scratch name taken by a directory that Init cannot remove.
  ASSERT_EQ(mkdir("updater-info.xml", 0755), 0);
  ASSERT_EQ(mkdir("updater-info.xml/inside", 0755), 0);
  EXPECT_FALSE(fetch("http://127.0.0.1:1/x.info"));
  EXPECT_STREQ(updater.GetLastError(), "Error opening updater-info.xml");
  EXPECT_EQ(updater.infoText, "before");
  // A link planted in its place after Init is refused, not followed.
  ASSERT_EQ(system("rm -rf updater-info.xml"), 0);
  ASSERT_TRUE(enginetest::WriteFile("precious", "keep me"));
  updater.Init("http://127.0.0.1:1/x.info", "/tmp/", "updater", "", nullptr);
  ASSERT_EQ(symlink("precious", "updater-info.xml"), 0);
  EXPECT_FALSE(updater.DownloadInfo());
  EXPECT_STREQ(updater.GetLastError(), "Error opening updater-info.xml");
  EXPECT_EQ(enginetest::ReadFile("precious"), "keep me");
}
