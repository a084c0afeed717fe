// End-to-end runs of the updater program: installing, updating, group
// selection, failures that must leave the installation as it was, documents
// that cannot be fetched, and files installed beside their destination.
#include "cli/e2e_suite.h"

namespace e2e {
namespace {

TEST_F(EndToEnd, FreshInstallOfGenerationTwo) {
  Publish(StandardRelease(), kStandardDescription);
  PlantScratchFile();
  ExpectRun(Update(), 0, FullRun(2, kStandardInstalled));
  ExpectBase(Installed(StandardRelease(), kStandardInstalled));
  EXPECT_EQ(Ini(), kStandardIni);
}

const char kSelectionIni[] = "[groups]\r\ndrop=2\r\nkeep=1\r\nskip=0\r\n";

Release SelectionRelease() {
  return {{"both/e.txt", "e 2\n", 0644}, {"drop/b.txt", "b 2\n", 0644},
          {"drop/c.txt", "c 2\n", 0644}, {"keep/a.txt", "a 2\n", 0644},
          {"skip/d.txt", "d 2\n", 0644}, {"skip/f.txt", "f 2\n", 0644}};
}

// drop is to be removed, keep installed, skip left alone; both/* is in drop
// and keep.
TEST_F(EndToEnd, GroupStatesFromIniFileAndMarkAll) {
  Publish(SelectionRelease(), std::string(kPlainDescription) +
                                  "[group keep]\ndefault = 1\n[group drop]\ndefault = 1\n"
                                  "[group skip]\ndefault = 1\n[files]\nkeep/* = keep\n"
                                  "drop/* = drop\nskip/* = skip\nboth/* = drop, keep\n");
  std::vector<std::string> all;
  for (const ReleaseFile& file : SelectionRelease()) all.push_back(file.path);
  for (bool markAll : {false, true}) {
    SCOPED_TRACE(markAll);
    RemoveTree(base_);
    ASSERT_TRUE(WriteFile(base_ + "/both/e.txt", "e 1\n"));
    ASSERT_TRUE(WriteFile(base_ + "/drop/b.txt", "b 1\n"));
    ASSERT_TRUE(WriteFile(base_ + "/skip/f.txt", "f 1\n"));
    ASSERT_TRUE(WriteFile(work_ + "/.updater.ini", kSelectionIni));
    RunResult result =
        Update(markAll ? std::vector<std::string>{"-a"} : std::vector<std::string>{});
    if (markAll) {
      ExpectRun(result, 0, FullRun(2, all));
      ExpectBase(Installed(SelectionRelease(), all));
      EXPECT_EQ(Ini(), "[groups]\r\ndrop=1\r\nkeep=1\r\nskip=1\r\n");
      continue;
    }
    // both/e.txt is updated, not deleted; skip/f.txt neither.
    std::vector<std::string> installs = {"both/e.txt", "keep/a.txt"};
    Console console = Begin(2);
    Downloads(&console, installs);
    Installs(&console, installs);
    console.Banner("*** Deleting Marked Files ***");
    console.Raw("Deleting file: drop/b.txt\n\nUpdate Complete!\n");
    ExpectRun(result, 0, console);
    Tree expected = Installed(SelectionRelease(), installs);
    AddDir(&expected, "drop");
    AddFile(&expected, "skip/f.txt", "f 1\n");
    ExpectBase(expected);
    EXPECT_EQ(Ini(), kSelectionIni);
  }
}

TEST_F(EndToEnd, NewReleaseUpdatesChangedFileAndDeletesOutdated) {
  Release first = StandardRelease();
  first.push_back({"docs/old-notes.txt", "old notes\n", 0644});
  Publish(first, kStandardDescription);
  ASSERT_EQ(Update().status, 0);
  // An outdated path that cannot be deleted: a directory with content.
  ASSERT_TRUE(WriteFile(base_ + "/cache/entry", "cached\n"));

  Release second = StandardRelease();
  second[1].content = "#!/bin/sh\necho quillon 1.1\n";
  Publish(second,
          kStandardDescription + "[outdated]\ndocs/old-notes.txt\nlib/never-there.so\ncache\n");
  Console console = Begin(2);
  Downloads(&console, {"bin/quillon"});
  Installs(&console, {"bin/quillon"});
  console.Banner("*** Deleting Outdated Files ***");
  console.Raw("Deleting docs/old-notes.txt: OK\nDeleting cache: ERROR\n\nUpdate Complete!\n");
  ExpectRun(Update(), 0, console);
  Tree expected = Installed(second, kStandardInstalled);
  AddFile(&expected, "cache/entry", "cached\n");
  ExpectBase(expected);

  // Once the outdated directory is gone too, nothing is left to do.
  RemoveTree(base_ + "/cache");
  PlantScratchFile();
  console = Begin(2);
  console.Raw("\nAbort: Nothing to be done, you are up-to-date\n");
  ExpectRun(Update(), 0, console);
  EXPECT_EQ(Ini(), kStandardIni);
}

TEST_F(EndToEnd, PacksOfTheSameFileNameInAnyCaseShareTheirLine) {
  Release files = {{"a/same.txt", "first\n", 0644},
                   {"b/same.txt", "second file\n", 0600},
                   {"c/SAME.txt", "third\n", 0644}};
  Publish(files, kPlainDescription);
  std::vector<std::string> paths = {"a/same.txt", "b/same.txt", "c/SAME.txt"};
  ExpectRun(Update(), 0, FullRun(2, paths));
  ExpectBase(Installed(files, paths));
}

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
