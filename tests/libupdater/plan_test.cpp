// The dry run on real files: which packs count as already downloaded, and an
// Updater in dry-run mode refusing to write. The listing as a whole is
// covered by the end-to-end tests of `updater --check`.
#include "plan.h"

#include <unistd.h>

#include <string>

#include "engine_test_util.h"

namespace {

using Plan = enginetest::ParseFixture;

// Only a pack under its own name with the digest the document gives counts,
// and none behind a link in place of the pack directory, even one of root.
TEST_F(Plan, PackCountsAsPresentOnlyUnderItsNameWithItsDigest) {
  struct {
    const char* path;
    const char* url;
    const char* packName;  // where the test puts the right pack; "" for none
    bool packDigest;       // the document gives the pack's digest
    bool present;
  } cases[] = {
      {"a.txt", "a.pak", "a.pak", true, true},
      {"b.txt", "b.pak", "", true, false},
      {"c.txt", "c.pak", "c.pak", false, false},
      // URLs ending alike: the names carry the MD5 of the path ("x/same.txt").
      {"x/same.txt", "x/same.pak", "same.pak-51a881c7", true, true},
      {"y/same.txt", "y/same.pak", "same.pak", true, false},
  };
  enginetest::Doc doc;
  doc.files = "";
  updater.MakeDirs((dir / "tmp/updater").c_str());
  for (const auto& c : cases) {
    std::string content = std::string("content of ") + c.path;
    std::string pack = enginetest::MakePack(content, "");
    if (*c.packName != '\0') Put(std::string("tmp/updater/") + c.packName, pack);
    doc.files += "<f file=\"" + std::string(c.path) + "\" url=\"" + c.url + "\" key=\"\" sha=\"" +
                 enginetest::Sha(content) + "\" packsha=\"" +
                 (c.packDigest ? enginetest::Sha(pack) : "") + "\"/>";
  }
  updater.SetDryRun(true);
  ASSERT_TRUE(Parse(doc)) << Error();
  UpdatePlan plan;
  ASSERT_TRUE(updater.PlanUpdate(&plan));
  ASSERT_EQ(plan.installs.size(), 5u);
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(plan.installs[i].packPresent, cases[i].present) << i;
  ASSERT_EQ(rename((dir / "tmp/updater").c_str(), (dir / "packs").c_str()), 0);
  ASSERT_EQ(symlink((dir / "packs").c_str(), (dir / "tmp/updater").c_str()), 0);
  ASSERT_TRUE(updater.PlanUpdate(&plan));
  EXPECT_EQ(plan.downloads, 5);
}

}  // namespace
