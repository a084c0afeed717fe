// Which packs the dry run counts as already downloaded, on real files; the
// listing is covered by the end-to-end tests of `updater --check`.
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
    const char* path;      // its pack's URL adds ".pak"
    const char* packName;  // where the test puts the right pack; "" for none
    bool packDigest;       // the document gives the pack's digest
    bool present;
  } cases[] = {
      {"a.txt", "a.txt.pak", true, true},
      {"c.txt", "c.txt.pak", false, false},  // no digest: always downloaded
      // URLs ending alike: the names carry the MD5 of the path ("x/same.txt").
      {"x/same.txt", "same.txt.pak-51a881c7", true, true},
      {"y/same.txt", "same.txt.pak", true, false},
  };
  enginetest::Doc doc;
  doc.files = "";
  updater.MakeDirs((dir / "tmp/updater").c_str());
  for (const auto& c : cases) {
    std::string content = std::string("content of ") + c.path;
    std::string pack = enginetest::MakePack(content, "");
    if (*c.packName != '\0') Put(std::string("tmp/updater/") + c.packName, pack);
    doc.files += "<f file=\"" + std::string(c.path) + "\" url=\"" + c.path +
                 ".pak\" key=\"\" sha=\"" + enginetest::Sha(content) + "\" packsha=\"" +
                 (c.packDigest ? enginetest::Sha(pack) : "") + "\"/>";
  }
  updater.SetDryRun(true);
  ASSERT_TRUE(Parse(doc)) << Error();
  UpdatePlan plan;
  ASSERT_TRUE(updater.PlanUpdate(&plan));
  ASSERT_EQ(plan.installs.size(), 4u);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(plan.installs[i].packPresent, cases[i].present) << i;
  ASSERT_EQ(rename((dir / "tmp/updater").c_str(), (dir / "packs").c_str()), 0);
  ASSERT_EQ(symlink((dir / "packs").c_str(), (dir / "tmp/updater").c_str()), 0);
  ASSERT_TRUE(updater.PlanUpdate(&plan));
  EXPECT_EQ(plan.downloads, 4);
  // A dry run never performs.
  EXPECT_FALSE(updater.PerformUpdate());
  EXPECT_EQ(Error(), "Nothing is changed in a dry run");
}

}  // namespace
