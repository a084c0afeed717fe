// The dry run on real files: which packs count as already downloaded, and an
// Updater in dry-run mode refusing to write. The listing as a whole is
// covered by the end-to-end tests of `updater --check`.
#include "plan.h"

#include <unistd.h>

#include <string>

#include "engine_test_util.h"
#include "loopback_port.h"

using enginetest::Exists;
using enginetest::Sha;

namespace {

using Plan = enginetest::ParseFixture;

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
      {"c.txt", "c.pak", "c.pak", false, false},  // no digest: always downloaded
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
    doc.files += "<f file=\"" + std::string(c.path) + "\" url=\"" + c.url + "\" size=\"" +
                 std::to_string(content.size()) + "\" key=\"\" sha=\"" + Sha(content) +
                 "\" packsha=\"" + (c.packDigest ? Sha(pack) : "") + "\"/>";
  }
  updater.SetDryRun(true);
  ASSERT_TRUE(Parse(doc)) << Error();
  UpdatePlan plan;
  ASSERT_TRUE(updater.PlanUpdate(&plan));
  ASSERT_EQ(plan.installs.size(), sizeof(cases) / sizeof(cases[0]));
  for (size_t i = 0; i < plan.installs.size(); ++i) {
    EXPECT_EQ(plan.installs[i].path, cases[i].path);
    EXPECT_EQ(plan.installs[i].packPresent, cases[i].present) << cases[i].path;
  }

  // A link in place of the pack directory is not followed, even one of root.
  ASSERT_EQ(rename((dir / "tmp/updater").c_str(), (dir / "packs").c_str()), 0);
  ASSERT_EQ(symlink((dir / "packs").c_str(), (dir / "tmp/updater").c_str()), 0);
  ASSERT_TRUE(updater.PlanUpdate(&plan));
  EXPECT_EQ(plan.downloads, 5);
}

TEST_F(Plan, DryRunWritesNothing) {
  std::string ini = dir / ".updater.ini";
  updater.Init("", dir.base().c_str(), "", ini.c_str(), nullptr);
  enginetest::Doc doc;
  // Were the update to run, its transfer would find nobody listening.
  doc.info = "AppName=\"a\" Author=\"b\" URL=\"c\" FileBase=\"http://127.0.0.1:" +
             std::to_string(FreeLoopbackPort()) + "/\"";
  doc.groups = enginetest::Group("base", "default=\"1\"");
  doc.files = enginetest::FileV2("app", Sha("app"), "group=\"base\"");
  updater.SetDryRun(true);
  ASSERT_TRUE(Parse(doc)) << Error();
  EXPECT_TRUE(updater.SaveState());
  EXPECT_FALSE(updater.PerformUpdate());
  EXPECT_EQ(Error(), "Nothing is changed in a dry run");
  EXPECT_FALSE(Exists(ini));
  EXPECT_FALSE(Exists(dir / "tmp"));
}

}  // namespace
