// End-to-end tests of the updater program (see e2e_test.cpp): several packs
// downloaded at once with --jobs, and what a failure among them leaves.
#include <regex>
#include <string>
#include <vector>

#include "cli/e2e_suite.h"

namespace e2e {
namespace {

TEST_F(EndToEnd, ParallelDownloadStopsWithTheFirstFailingFile) {
  Release files;
  std::vector<std::string> paths;
  for (int i = 1; i <= 8; ++i) {
    std::string path = "d" + std::to_string(i % 3) + "/f" + std::to_string(i) + ".txt";
    files.push_back({path, std::string(20000 * i, static_cast<char>('a' + i)), 0644});
    paths.push_back(path);
  }
  Publish(files, kPlainDescription);
  // The packs of the third and the sixth file are gone from the server.
  const std::vector<std::string> gone = {paths[2], paths[5]};
  for (const std::string& path : gone) {
    ASSERT_TRUE(WriteFile(root_.path() + "/" + path + ".pak", ReadFile(www_ + "/packs/" + path + ".pak")));
    ASSERT_EQ(remove((www_ + "/packs/" + path + ".pak").c_str()), 0);
  }
  RunResult result = Update({"--jobs", "3"});
  Console head = Begin(2);
  head.Raw("\n*** Downloading Updated Files ***\n\n");
  const std::string tail =
      "\nError performing update: VDL reports 'File Not Found' while downloading '" + paths[2] +
      "'\n";
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.status, 1);
  ASSERT_EQ(result.out.compare(0, head.text().size(), head.text()), 0) << result.out;
  ASSERT_GE(result.out.size(), head.text().size() + tail.size());
  EXPECT_EQ(result.out.substr(result.out.size() - tail.size()), tail);
  // In between, only the line of all transfers, redrawn at 80 columns and
  // ended with a line feed, if a transfer got that far.
  std::string between = result.out.substr(
      head.text().size(), result.out.size() - head.text().size() - tail.size());
  EXPECT_TRUE(std::regex_match(between, std::regex("((\r[^\r\n]{79})+\n)?"))) << between;
  // Nothing installed, no staged file, no directory made for one.
  Tree tree = ReadTree(base_);
  for (const auto& [path, entry] : tree) {
    EXPECT_EQ(path.rfind("tmp", 0), 0u) << path;
    EXPECT_EQ(path.find(".updater-part"), std::string::npos) << path;
  }

  // Once the server has every pack again, a run installs all of them, from
  // whatever the failed run left: no pack it left is taken for whole unless
  // it is.
  for (const std::string& path : gone) {
    ASSERT_TRUE(WriteFile(www_ + "/packs/" + path + ".pak", ReadFile(root_.path() + "/" + path + ".pak")));
  }
  result = Update({"--jobs", "3"});
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(result.out.substr(result.out.size() - 18), "\nUpdate Complete!\n");
  ExpectBase(Installed(files, paths));
}

}  // namespace
}  // namespace e2e
