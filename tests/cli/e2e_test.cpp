// End-to-end runs of the updater program: installing, updating, documents
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
