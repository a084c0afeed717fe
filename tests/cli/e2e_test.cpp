// End-to-end tests: the real updater program, run as a child process in a
// temporary working directory, against releases made with updater-publish
// (and a few documents written by hand) served by Python's http.server on
// 127.0.0.1. Standard output, standard error and the exit status are compared
// with the exact texts, the base directory and ".updater.ini" byte for byte.
//
// This file: installing, updating, group selection and pack handling.
#include <string>
#include <vector>

#include "cli/e2e_suite.h"

namespace e2e {
namespace {

TEST_F(EndToEnd, FreshInstallOfGenerationTwo) {
  Publish(StandardRelease(), kStandardDescription);
  PlantScratchFile();
  RunResult result = Update();
  ExpectRun(result, 0, FullRun(2, kStandardInstalled));
  ExpectBase(Installed(StandardRelease(), kStandardInstalled));
  EXPECT_EQ(Ini(), kStandardIni);
}

TEST_F(EndToEnd, FreshInstallOfGenerationOneForAnotherTypeAndPlatform) {
  const char description[] =
      "[release]\n"
      "generation = 1\n"
      "type = basic\n"
      "platform = debian12.amd64\n"
      "AppName = Quillon\n"
      "Author = Tessaworks\n"
      "URL = http://www.example.com/\n";
  Release files = StandardRelease();
  Publish(files, description);
  ASSERT_TRUE(Exists(www_ + "/updates/quillon5-basic-debian12.amd64.info"));
  // The generation 1 document names every pack by its absolute URL.
  std::string document = ReadFile(www_ + "/updates/quillon5-basic-debian12.amd64.info");
  EXPECT_EQ(EntryAttribute(document, "README.txt", "url"),
            "http://127.0.0.1:" + std::to_string(server_.port()) + "/packs/README.txt.pak");
  EXPECT_EQ(EntryAttribute(document, "README.txt", "md5").size(), 32u);
  EXPECT_EQ(EntryAttribute(document, "README.txt", "packmd5").size(), 32u);
  RunResult result = Update({"-t", "BASIC", "-p", "debian12.amd64"});

  std::vector<std::string> all;
  for (const ReleaseFile& file : files) all.push_back(file.path);
  Console console;
  console.Start("debian12.amd64");
  console.InfoTransfer(document.size());
  console.Raw("\nGot info files... parsing...\n");
  console.Line("Info version: 1");
  console.Line("Building file list...");
  console.Raw("\n");
  Downloads(&console, all);
  Installs(&console, all);
  console.Raw("\nUpdate Complete!\n");
  ExpectRun(result, 0, console);
  ExpectBase(Installed(files, all));
  EXPECT_FALSE(Exists(work_ + "/.updater.ini"));  // no groups, nothing to keep
}

TEST_F(EndToEnd, SecondRunIsUpToDate) {
  Publish(StandardRelease(), kStandardDescription);
  ASSERT_EQ(Update().status, 0);
  PlantScratchFile();
  RunResult result = Update();
  Console console = Begin(2);
  console.Raw("\nAbort: Nothing to be done, you are up-to-date\n");
  ExpectRun(result, 0, console);
  ExpectBase(Installed(StandardRelease(), kStandardInstalled));
  EXPECT_EQ(Ini(), kStandardIni);
}

const char kSelectionDescription[] =
    "[release]\n"
    "AppName = Quillon\n"
    "Author = Tessaworks\n"
    "URL = http://www.example.com/\n"
    "[group keep]\n"
    "default = 1\n"
    "[group drop]\n"
    "default = 1\n"
    "[group skip]\n"
    "default = 1\n"
    "[files]\n"
    "keep/* = keep\n"
    "drop/* = drop\n"
    "skip/* = skip\n"
    "both/* = drop, keep\n";

Release SelectionRelease() {
  return {{"both/e.txt", "e 2\n", 0644}, {"drop/b.txt", "b 2\n", 0644},
          {"drop/c.txt", "c 2\n", 0644}, {"keep/a.txt", "a 2\n", 0644},
          {"skip/d.txt", "d 2\n", 0644}, {"skip/f.txt", "f 2\n", 0644}};
}

class Selection : public EndToEnd {
 protected:
  void SetUp() override {
    EndToEnd::SetUp();
    if (HasFatalFailure()) return;
    Publish(SelectionRelease(), kSelectionDescription);
    ASSERT_TRUE(WriteFile(base_ + "/both/e.txt", "e 1\n"));
    ASSERT_TRUE(WriteFile(base_ + "/drop/b.txt", "b 1\n"));
    ASSERT_TRUE(WriteFile(base_ + "/skip/f.txt", "f 1\n"));
    // drop is to be removed, keep installed, skip left alone (display order).
    ASSERT_TRUE(WriteFile(work_ + "/.updater.ini", "[groups]\r\ndrop=2\r\nkeep=1\r\nskip=0\r\n"));
  }
};

TEST_F(Selection, GroupStatesFromIniFile) {
  RunResult result = Update();
  // both/e.txt is in drop (Remove) and keep (Install): updated, not deleted.
  std::vector<std::string> installs = {"both/e.txt", "keep/a.txt"};
  Console console = Begin(2);
  console.Raw("\n");
  Downloads(&console, installs);
  Installs(&console, installs);
  console.Banner("*** Deleting Marked Files ***");
  console.Line("Deleting file: drop/b.txt");
  console.Raw("\nUpdate Complete!\n");
  ExpectRun(result, 0, console);

  Tree expected = Installed(SelectionRelease(), installs);
  AddDir(&expected, "drop");
  AddFile(&expected, "skip/f.txt", "f 1\n");  // None: neither updated nor deleted
  ExpectBase(expected);
  EXPECT_EQ(Ini(), "[groups]\r\ndrop=2\r\nkeep=1\r\nskip=0\r\n");
}

TEST_F(Selection, MarkAllOverridesRemove) {
  PlantScratchFile();
  RunResult result = Update({"-a"});
  std::vector<std::string> all;
  for (const ReleaseFile& file : SelectionRelease()) all.push_back(file.path);
  ExpectRun(result, 0, FullRun(2, all));
  ExpectBase(Installed(SelectionRelease(), all));
  EXPECT_EQ(Ini(), "[groups]\r\ndrop=1\r\nkeep=1\r\nskip=1\r\n");
}

TEST_F(EndToEnd, NewReleaseUpdatesChangedFileAndDeletesOutdated) {
  Release first = StandardRelease();
  first.push_back({"docs/old-notes.txt", "old notes\n", 0644});
  Publish(first, kStandardDescription);
  ASSERT_EQ(Update().status, 0);
  ASSERT_TRUE(Exists(base_ + "/docs/old-notes.txt"));
  // An outdated path that cannot be deleted: a directory with content.
  ASSERT_TRUE(WriteFile(base_ + "/cache/entry", "cached\n"));

  Release second = StandardRelease();
  second[1].content = "#!/bin/sh\necho quillon 1.1\n";
  Publish(second, std::string(kStandardDescription) +
                      "[outdated]\n"
                      "docs/old-notes.txt\n"
                      "lib/never-there.so\n"
                      "cache\n");
  RunResult result = Update();
  Console console = Begin(2);
  console.Raw("\n");
  Downloads(&console, {"bin/quillon"});
  Installs(&console, {"bin/quillon"});
  console.Banner("*** Deleting Outdated Files ***");
  console.Line("Deleting docs/old-notes.txt: OK");
  console.Line("Deleting cache: ERROR");
  console.Raw("\nUpdate Complete!\n");
  ExpectRun(result, 0, console);
  Tree expected = Installed(second, kStandardInstalled);
  AddFile(&expected, "cache/entry", "cached\n");
  ExpectBase(expected);

  // Once the outdated directory is gone too, nothing is left to do.
  ASSERT_EQ(remove((base_ + "/cache/entry").c_str()), 0);
  ASSERT_EQ(remove((base_ + "/cache").c_str()), 0);
  result = Update();
  console = Begin(2);
  console.Raw("\nAbort: Nothing to be done, you are up-to-date\n");
  ExpectRun(result, 0, console);
}

TEST_F(EndToEnd, PackLeftByEarlierRunIsReused) {
  Publish(StandardRelease(), kStandardDescription);
  std::string packs = base_ + "/tmp/updater/";
  ASSERT_TRUE(
      WriteFile(packs + "quillon.conf.pak", ReadFile(www_ + "/packs/conf/quillon.conf.pak")));
  // A foreign pack under another file's pack name is downloaded again.
  ASSERT_TRUE(WriteFile(packs + "manual.txt.pak", "not a pack"));
  RunResult result = Update();

  Console console = Begin(2);
  console.Raw("\n*** Downloading Updated Files ***\n\n");
  console.FileTransfer("README.txt", PackSize("README.txt"));
  console.FileTransfer("quillon", PackSize("bin/quillon"));
  console.Line("Already have conf/quillon.conf, skipping download...");
  console.FileTransfer("manual.txt", PackSize("docs/manual.txt"));
  Installs(&console, kStandardInstalled);
  console.Raw("\nUpdate Complete!\n");
  ExpectRun(result, 0, console);
  ExpectBase(Installed(StandardRelease(), kStandardInstalled));
}

TEST_F(EndToEnd, PacksWithTheSameFileNameBothInstall) {
  Release files = {{"a/same.txt", "first\n", 0644}, {"b/same.txt", "second file\n", 0600}};
  Publish(files, kPlainDescription);
  RunResult result = Update();
  // Both transfers show the same name, so the second redraws the first line.
  ExpectRun(result, 0, FullRun(2, {"a/same.txt", "b/same.txt"}));
  ExpectBase(Installed(files, {"a/same.txt", "b/same.txt"}));
}

TEST_F(EndToEnd, HandWrittenDocument) {
  // Packs from the publisher, document by hand: an absolute URL with the
  // scheme in capitals beside a FileBase that leads nowhere, an element
  // name the publisher does not use, a comment, an unenciphered pack and
  // permission bits with set-user-ID and set-group-ID (06755).
  Release files = {{"tool", "tool 1.0\n", 0755}, {"conf/tool.conf", "verbose=1\n", 0644}};
  Publish(files, std::string(kPlainDescription) + "[keys]\ntool =\n");
  std::string published = ReadFile(DocumentPath());
  ASSERT_EQ(EntryAttribute(published, "tool", "key"), "");
  std::string port = std::to_string(server_.port());
  std::string document =
      "<?xml version=\"1.0\"?>\n"
      "<!-- written by hand -->\n"
      "<update_info version=\"3\">\n"
      "  <info AppName=\"Quillon\" Author=\"Tessaworks\" URL=\"http://www.example.com/\"\n"
      "        FileBase=\"http://127.0.0.1:" +
      port +
      "/pa\"/>\n"
      "  <files>\n"
      "    <entry file=\"tool\" size=\"100\" modes=\"3565\" url=\"HTTP://127.0.0.1:" +
      port + "/packs/tool.pak\" key=\"\" sha=\"" + EntryAttribute(published, "tool", "sha") +
      "\" packsha=\"\"/>\n"
      "    <entry file=\"conf/tool.conf\" size=\"" +
      EntryAttribute(published, "conf/tool.conf", "size") + "\" modes=\"0384\" url=\"cks/conf/" +
      "tool.conf.pak\" key=\"" + EntryAttribute(published, "conf/tool.conf", "key") + "\" sha=\"" +
      EntryAttribute(published, "conf/tool.conf", "sha") + "\" packsha=\"" +
      EntryAttribute(published, "conf/tool.conf", "packsha") +
      "\"/>\n"
      "  </files>\n"
      "</update_info>\n";
  ASSERT_TRUE(WriteFile(DocumentPath(), document));
  RunResult result = Update();
  ExpectRun(result, 0, FullRun(3, {"tool", "conf/tool.conf"}));
  Tree expected;
  AddFile(&expected, "tool", "tool 1.0\n", 0755);             // 06755 & 0777
  AddFile(&expected, "conf/tool.conf", "verbose=1\n", 0600);  // "0384" is decimal 384
  AddDir(&expected, "tmp/updater");
  ExpectBase(expected);
}

}  // namespace
}  // namespace e2e
