// Updater::DownloadInfo failures that happen before any transfer, run in a
// temporary working directory that receives the scratch file. Transfers
// from real servers are covered by the end-to-end tests.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "engine_test_util.h"

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
