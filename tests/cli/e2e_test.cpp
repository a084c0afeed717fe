// End-to-end runs of the updater program: installing, updating, group
// selection, failures that must leave the installation as it was, documents
// that cannot be fetched, and files installed beside their destination.
#include "cli/e2e_suite.h"

namespace e2e {
namespace {

const char kUpToDate[] = "\nAbort: Nothing to be done, you are up-to-date\n";

TEST_F(EndToEnd, FreshInstallOfGenerationTwo) {
  Publish(StandardRelease(), kStandardDescription);
  PlantScratchFile();
  ExpectRun(Update(), 0, FullRun(kStandardInstalled));
  ExpectBase(Installed(StandardRelease(), kStandardInstalled));
  EXPECT_EQ(Ini(), kStandardIni);
}

Release SelectionRelease() {
  return {{"both/e.txt", "e 2\n", 0644}, {"drop/b.txt", "b 2\n", 0644},
          {"drop/c.txt", "c 2\n", 0644}, {"keep/a.txt", "a 2\n", 0644},
          {"skip/d.txt", "d 2\n", 0644}, {"skip/f.txt", "f 2\n", 0644}};
}

// drop is to be removed, keep installed, skip left alone; both/* is in drop
// and keep, and so updated, not deleted. -a marks them all.
TEST_F(EndToEnd, GroupStatesFromIniFileAndMarkAll) {
  Publish(SelectionRelease(), std::string(kPlainDescription) +
                                  "[group keep]\ndefault = 1\n[group drop]\ndefault = 1\n"
                                  "[group skip]\ndefault = 1\n[files]\nkeep/* = keep\n"
                                  "drop/* = drop\nskip/* = skip\nboth/* = drop, keep\n");
  const std::string ini = "[groups]\r\ndrop=2\r\nkeep=1\r\nskip=0\r\n";
  std::vector<std::string> all, installs = {"both/e.txt", "keep/a.txt"};
  for (const ReleaseFile& file : SelectionRelease()) all.push_back(file.path);
  Tree selected = Installed(SelectionRelease(), installs);
  AddDir(&selected, "drop");
  AddFile(&selected, "skip/f.txt", "f 1\n");
  struct {
    std::vector<std::string> options;
    std::string out;
    Tree base;
    std::string ini;
  } cases[] = {
      {{},
       Begin() + Downloads(installs) + Installs(installs) +
           "\n*** Deleting Marked Files ***\n\nDeleting file: drop/b.txt\n\nUpdate Complete!\n",
       selected,
       ini},
      {{"-a"},
       FullRun(all),
       Installed(SelectionRelease(), all),
       "[groups]\r\ndrop=1\r\nkeep=1\r\nskip=1\r\n"},
  };
  for (const auto& c : cases) {
    RemoveTree(base_);
    ASSERT_TRUE(WriteFile(base_ + "/both/e.txt", "e 1\n"));
    ASSERT_TRUE(WriteFile(base_ + "/drop/b.txt", "b 1\n"));
    ASSERT_TRUE(WriteFile(base_ + "/skip/f.txt", "f 1\n"));
    ASSERT_TRUE(WriteFile(work_ + "/.updater.ini", ini));
    ExpectRun(Update(c.options), 0, c.out);
    ExpectBase(c.base);
    EXPECT_EQ(Ini(), c.ini);
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
  ExpectRun(Update(), 0,
            Begin() + Downloads({"bin/quillon"}) + Installs({"bin/quillon"}) +
                "\n*** Deleting Outdated Files ***\n\nDeleting docs/old-notes.txt: OK\n"
                "Deleting cache: ERROR\n\nUpdate Complete!\n");
  Tree expected = Installed(second, kStandardInstalled);
  AddFile(&expected, "cache/entry", "cached\n");
  ExpectBase(expected);

  // Once the outdated directory is gone too, nothing is left to do.
  RemoveTree(base_ + "/cache");
  PlantScratchFile();
  ExpectRun(Update(), 0, Begin() + kUpToDate);
  EXPECT_EQ(Ini(), kStandardIni);
}

TEST_F(EndToEnd, PacksOfTheSameFileNameInAnyCaseShareTheirLine) {
  Release files = {{"a/same.txt", "first\n", 0644},
                   {"b/same.txt", "second file\n", 0600},
                   {"c/SAME.txt", "third\n", 0644}};
  Publish(files, kPlainDescription);
  std::vector<std::string> paths = {"a/same.txt", "b/same.txt", "c/SAME.txt"};
  ExpectRun(Update(), 0, FullRun(paths));
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
  struct {
    std::string document, pack, error;
  } cases[] = {
      {SetEntryAttribute(good, "conf/quillon.conf", "sha", std::string(64, 'a')), goodPack,
       "Checksum does not match for file 'quillon.conf'!"},
      {good, goodPack.substr(0, goodPack.size() / 2),
       "Error unpacking " + base_ + "/tmp/updater/quillon.conf.pak"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    ASSERT_TRUE(WriteFile(DocumentPath(), c.document));
    ASSERT_TRUE(WriteFile(pack, c.pack));
    ExpectRun(Update(), 1,
              Begin() + Downloads({"conf/quillon.conf"}) +
                  "\n*** Installing Updated Files ***\n\nUnpacking conf/quillon.conf ...\n"
                  "\nError performing update: " +
                  c.error + "\n");
    ExpectBase(before);  // the old file is still there, the pack is gone
    EXPECT_EQ(Ini(), kStandardIni);
  }
}

TEST_F(EndToEnd, DocumentThatCannotBeFetched) {
  // A missing document is not tried again; an empty one is a transfer of 0
  // bytes.
  ExpectRun(Update({"--retries", "3"}), 1,
            kBanner + std::string("\nError downloading info files: VDL reports File Not Found\n"));
  ASSERT_TRUE(WriteFile(DocumentPath(), ""));
  PlantScratchFile();
  ExpectRun(Update(), 1,
            kBanner + PlainBar(0, 0) +
                "\nError downloading info files: Error reading updater-info.xml!\n");
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
  ExpectRun(Update(), 0,
            Begin() + Downloads({"README.txt", "data/store.bin", "updater"}) +
                Installs({"README.txt"}) +
                "Unpacking data/store.bin ...\nNote: the following file will install to "
                "data/store.bin.upd. You can rename it after the program has closed.\n"
                "Installing data/store.bin ... \nNote: the following file will install to "
                "updater.upd, Wavekeeper will automatically rename it to the proper thing next "
                "time it is run, or you can manually rename it if you wish\n"
                "Unpacking updater ...\nInstalling updater ... \n\nUpdate Complete!\n");
  Tree expected = Installed(files, {"README.txt"});
  AddFile(&expected, "updater", "old updater\n", 0755);
  AddFile(&expected, "updater.upd", "new updater\n", 0755);
  AddFile(&expected, "data/store.bin/keep.txt", "keep\n");
  AddFile(&expected, "data/store.bin.upd", "new store\n", 0644);
  ExpectBase(expected);
}

}  // namespace
}  // namespace e2e
