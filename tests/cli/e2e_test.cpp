// End-to-end runs of the updater program: installing, updating, group
// selection and pack handling.
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

TEST_F(EndToEnd, FreshInstallOfGenerationOneForAnotherTypeAndPlatform) {
  Release files = StandardRelease();
  Publish(files, std::string(kPlainDescription) +
                     "generation = 1\ntype = basic\nplatform = debian12.amd64\n");
  std::vector<std::string> all;
  for (const ReleaseFile& file : files) all.push_back(file.path);
  ExpectRun(Update({"-t", "BASIC", "-p", "debian12.amd64"}), 0,
            FullRun(1, all, "/updates/quillon5-basic-debian12.amd64.info", "debian12.amd64"));
  ExpectBase(Installed(files, all));
  EXPECT_FALSE(Exists(work_ + "/.updater.ini"));  // no groups, nothing to keep
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

TEST_F(EndToEnd, PackLeftByEarlierRunIsReused) {
  Publish(StandardRelease(), kStandardDescription);
  std::string packs = base_ + "/tmp/updater/";
  ASSERT_TRUE(
      WriteFile(packs + "quillon.conf.pak", ReadFile(www_ + "/packs/conf/quillon.conf.pak")));
  // A foreign pack under another file's pack name is downloaded again.
  ASSERT_TRUE(WriteFile(packs + "manual.txt.pak", "not a pack"));
  Console console = Begin(2);
  Downloads(&console, {"README.txt", "bin/quillon"});
  console.Line("Already have conf/quillon.conf, skipping download...");
  console.FileTransfer("manual.txt", PackSize("docs/manual.txt"));
  Installs(&console, kStandardInstalled);
  console.Raw("\nUpdate Complete!\n");
  ExpectRun(Update(), 0, console);
  ExpectBase(Installed(StandardRelease(), kStandardInstalled));
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

// Packs from the publisher, the document by hand: an absolute URL with the
// scheme in capitals beside a FileBase that leads nowhere, a comment, an
// unenciphered pack, and permission bits with set-user-ID and set-group-ID.
TEST_F(EndToEnd, HandWrittenDocument) {
  Publish({{"tool", "tool 1.0\n", 0755}, {"conf/tool.conf", "verbose=1\n", 0644}},
          std::string(kPlainDescription) + "[keys]\ntool =\n");
  std::string published = ReadFile(DocumentPath());
  auto Attribute = [&](const char* path, const char* name) {
    return EntryAttribute(published, path, name);
  };
  std::string port = std::to_string(server_.port());
  std::string document =
      "<?xml version=\"1.0\"?>\n<!-- written by hand -->\n<update_info version=\"3\">\n"
      "<info AppName=\"Quillon\" Author=\"Tessaworks\" URL=\"http://www.example.com/\" "
      "FileBase=\"http://127.0.0.1:" +
      port +
      "/pa\"/>\n<files>\n"
      "<entry file=\"tool\" size=\"100\" modes=\"3565\" url=\"HTTP://127.0.0.1:" +
      port + "/packs/tool.pak\" key=\"\" sha=\"" + Attribute("tool", "sha") +
      "\" packsha=\"\"/>\n"
      "<entry file=\"conf/tool.conf\" size=\"" +
      Attribute("conf/tool.conf", "size") +
      "\" modes=\"0384\" url=\"cks/conf/tool.conf.pak\" key=\"" +
      Attribute("conf/tool.conf", "key") + "\" sha=\"" + Attribute("conf/tool.conf", "sha") +
      "\" packsha=\"" + Attribute("conf/tool.conf", "packsha") + "\"/>\n</files>\n</update_info>\n";
  ASSERT_TRUE(WriteFile(DocumentPath(), document));
  ExpectRun(Update(), 0, FullRun(3, {"tool", "conf/tool.conf"}));
  Tree expected;
  AddFile(&expected, "tool", "tool 1.0\n", 0755);             // 06755 & 0777
  AddFile(&expected, "conf/tool.conf", "verbose=1\n", 0600);  // "0384" is decimal 384
  AddDir(&expected, "tmp/updater");
  ExpectBase(expected);
}

}  // namespace
}  // namespace e2e
