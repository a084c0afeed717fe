// End-to-end runs of the updater program: failures that must leave the
// installation as it was, documents that cannot be fetched, and files that
// are installed beside their destination as ".upd".
#include "cli/e2e_suite.h"

namespace e2e {
namespace {

TEST_F(EndToEnd, BadPackOrDigestLeavesInstalledFileIntact) {
  Publish(StandardRelease(), kStandardDescription);
  ASSERT_EQ(Update().status, 0);
  const Tree before = ReadTree(base_);
  Release second = StandardRelease();
  second[2].content = "port=7001\n";
  Publish(second, kStandardDescription);
  const std::string good = ReadFile(DocumentPath()), pack = www_ + "/packs/conf/quillon.conf.pak";
  const std::string goodPack = ReadFile(pack);
  const std::string unpacking = "Error unpacking " + base_ + "/tmp/updater/quillon.conf.pak";
  struct {
    std::string document, pack, error;
  } cases[] = {
      {SetEntryAttribute(good, "conf/quillon.conf", "sha", std::string(64, 'a')), goodPack,
       "Checksum does not match for file 'quillon.conf'!"},
      {SetEntryAttribute(good, "conf/quillon.conf", "key", "WrongKey00000000"), goodPack,
       unpacking},
      {good, goodPack.substr(0, goodPack.size() / 2), unpacking},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    ASSERT_TRUE(WriteFile(DocumentPath(), c.document));
    ASSERT_TRUE(WriteFile(pack, c.pack));
    Console console = Begin(2);
    Downloads(&console, {"conf/quillon.conf"});
    console.Banner("*** Installing Updated Files ***");
    console.Raw("Unpacking conf/quillon.conf ...\n\nError performing update: " + c.error + "\n");
    ExpectRun(Update(), 1, console);
    ExpectBase(before);  // the old file is still there, the pack is gone
    EXPECT_EQ(Ini(), kStandardIni);
  }
}

TEST_F(EndToEnd, DocumentThatCannotBeFetched) {
  struct {
    std::string marker;  // beside the document
    int port;
    std::vector<std::string> options;
    std::string progress, error;
  } cases[] = {
      {"", 0, {"--retries", "3"}, "", "VDL reports File Not Found"},  // not tried again
      {".redirect", 0, {}, "", "VDL reports Server tried to redirect, but FollowRedirects is Off"},
      {"", FreePort(), {}, "", "VDL reports Error Connecting to Host"},
      {".document", 0, {}, Console::PlainBar(0, 0), "Error reading updater-info.xml!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    RemoveTree(www_ + "/updates");
    if (c.marker == ".document") {
      ASSERT_TRUE(WriteFile(DocumentPath(), ""));  // the transfer succeeds with a total of 0
    } else if (!c.marker.empty()) {
      ASSERT_TRUE(WriteFile(DocumentPath() + c.marker, "/elsewhere.info"));
    }
    PlantScratchFile();
    Console console;
    console.Raw(c.progress + "\nError downloading info files: " + c.error + "\n");
    ExpectRun(Update(c.options, c.port), 1, console);
  }
  ExpectBase(Tree());
  EXPECT_FALSE(Exists(work_ + "/.updater.ini"));
}

// The program's own file goes beside it with the first note; a destination
// that cannot be removed (a directory with content) with the second, over
// an older ".upd".
TEST_F(EndToEnd, FilesThatCannotBeReplacedGoBeside) {
  Release files = {{"README.txt", "Quillon 1.0\n", 0644},
                   {"data/store.bin", "new store\n", 0644},
                   {"updater", "new updater\n", 0755}};
  Publish(files, kPlainDescription);
  ASSERT_TRUE(WriteFile(base_ + "/updater", "old updater\n", 0755));
  ASSERT_TRUE(WriteFile(base_ + "/data/store.bin/keep.txt", "keep\n"));
  ASSERT_TRUE(WriteFile(base_ + "/data/store.bin.upd", "older upd\n", 0600));

  Console console = Begin(2);
  Downloads(&console, {"README.txt", "data/store.bin", "updater"});
  Installs(&console, {"README.txt"});
  console.Line("Unpacking data/store.bin ...");
  console.Line(
      "Note: the following file will install to data/store.bin.upd. You can rename it after the "
      "program has closed.");
  console.Line("Installing data/store.bin ... ");
  console.Line(
      "Note: the following file will install to updater.upd, Wavekeeper will automatically rename "
      "it to the proper thing next time it is run, or you can manually rename it if you wish");
  console.Install("updater");
  console.Raw("\nUpdate Complete!\n");
  ExpectRun(Update(), 0, console);
  Tree expected = Installed(files, {"README.txt"});
  AddFile(&expected, "updater", "old updater\n", 0755);
  AddFile(&expected, "updater.upd", "new updater\n", 0755);
  AddFile(&expected, "data/store.bin/keep.txt", "keep\n");
  AddFile(&expected, "data/store.bin.upd", "new store\n", 0644);
  ExpectBase(expected);
}

}  // namespace
}  // namespace e2e
