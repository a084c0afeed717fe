// End-to-end tests of the updater program (see e2e_test.cpp): failures that
// must leave the installation as it was, documents that cannot be fetched or
// parsed, and files that are installed beside their destination as ".upd".
#include <sys/stat.h>
#include <tinyxml.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cli/e2e_suite.h"

namespace e2e {
namespace {

TEST_F(EndToEnd, BadPackOrDigestLeavesInstalledFileIntact) {
  Publish(StandardRelease(), kStandardDescription);
  ASSERT_EQ(Update().status, 0);
  Tree before = ReadTree(base_);
  Release second = StandardRelease();
  second[2].content = "port=7001\n";
  Publish(second, kStandardDescription);
  const std::string good = ReadFile(DocumentPath());
  const std::string pack = www_ + "/packs/conf/quillon.conf.pak";
  const std::string goodPack = ReadFile(pack);

  struct Case {
    const char* what;
    std::string document;
    std::string pack;
    std::string error;
  } cases[] = {
      {"wrong digest", SetEntryAttribute(good, "conf/quillon.conf", "sha", std::string(64, 'a')),
       goodPack, "Checksum does not match for file 'quillon.conf'!"},
      {"wrong key", SetEntryAttribute(good, "conf/quillon.conf", "key", "WrongKey00000000"),
       goodPack, "Error unpacking " + base_ + "/tmp/updater/quillon.conf.pak"},
      {"damaged pack", good, goodPack.substr(0, goodPack.size() / 2),
       "Error unpacking " + base_ + "/tmp/updater/quillon.conf.pak"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(WriteFile(DocumentPath(), c.document));
    ASSERT_TRUE(WriteFile(pack, c.pack));
    RunResult result = Update();
    Console console = Begin(2);
    console.Raw("\n");
    Downloads(&console, {"conf/quillon.conf"});
    console.Banner("*** Installing Updated Files ***");
    console.Line("Unpacking conf/quillon.conf ...");
    console.Raw("\nError performing update: " + c.error + "\n");
    ExpectRun(result, 1, console);
    ExpectBase(before);  // the old file is still there, the pack is gone
    EXPECT_EQ(Ini(), kStandardIni);
  }
}

TEST_F(EndToEnd, DocumentThatCannotBeFetched) {
  e2e::ServerProcess redirector;
  std::string script = root_.path() + "/redirect.py";
  ASSERT_TRUE(WriteFile(script,
                        "import sys, http.server\n"
                        "class Handler(http.server.BaseHTTPRequestHandler):\n"
                        "    def do_GET(self):\n"
                        "        self.send_response(302)\n"
                        "        self.send_header('Location', '/elsewhere.info')\n"
                        "        self.end_headers()\n"
                        "    def log_message(self, *args):\n"
                        "        pass\n"
                        "http.server.HTTPServer(('127.0.0.1', int(sys.argv[1])), "
                        "Handler).serve_forever()\n"));
  ASSERT_TRUE(redirector.StartScript(script));

  struct Case {
    const char* what;
    int port;
    std::string progress;
    std::string error;
  } cases[] = {
      {"404", 0, "", "VDL reports File Not Found"},
      {"redirect", redirector.port(), "",
       "VDL reports Server tried to redirect, but FollowRedirects is Off"},
      {"refused", e2e::FreePort(), "", "VDL reports Error Connecting to Host"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PlantScratchFile();
    RunResult result = Update({}, c.port);
    Console console;
    console.Start();
    console.Raw(c.progress + "\nError downloading info files: " + c.error + "\n");
    ExpectRun(result, 1, console);
  }

  // An empty document: the transfer succeeds with a total of 0.
  ASSERT_TRUE(WriteFile(DocumentPath(), ""));
  PlantScratchFile();
  RunResult result = Update();
  Console console;
  console.Start();
  console.Raw(Console::PlainBar(0, 0) +
              "\nError downloading info files: Error reading updater-info.xml!\n");
  ExpectRun(result, 1, console);
  ExpectBase(Tree());
  EXPECT_FALSE(Exists(work_ + "/.updater.ini"));
}

TEST_F(EndToEnd, MalformedDocument) {
  const std::string broken = "<update_info version=\"2\">\n  <info AppName=\"a\"\n";
  TiXmlDocument parsed;
  parsed.Parse(broken.c_str(), nullptr, TIXML_ENCODING_UNKNOWN);
  ASSERT_TRUE(parsed.Error());
  char tinyxml[256];
  snprintf(tinyxml, sizeof tinyxml, "Error parsing updater-info.xml (%s at row %d, col %d)",
           parsed.ErrorDesc(), parsed.ErrorRow(), parsed.ErrorCol());

  struct Case {
    std::string document;
    std::string messages;
    std::string error;
  } cases[] = {
      {broken, "", tinyxml},
      {"<Update_Info version=\"2\"><info/><files/></Update_Info>", "",
       "Unable to find update_info element!"},
      {"<update_info version=\"2\"><files/></update_info>", "Info version: 2\n",
       "Unable to find info element!"},
      {"<update_info version=\"1\"><info AppName=\"a\" Author=\"b\" URL=\"c\"/></update_info>",
       "Info version: 1\n", "Unable to find files element!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.document);
    ASSERT_TRUE(WriteFile(DocumentPath(), c.document));
    PlantScratchFile();
    RunResult result = Update();
    Console console;
    console.Start();
    console.InfoTransfer(c.document.size());
    console.Raw("\nGot info files... parsing...\n" + c.messages +
                "\nError parsing info files: " + c.error + "\n");
    ExpectRun(result, 1, console);
  }
  ExpectBase(Tree());
}

TEST_F(EndToEnd, OwnProgramGoesBesideWithFirstNote) {
  Release files = {{"README.txt", "Quillon 1.0\n", 0644}, {"updater", "new updater\n", 0755}};
  Publish(files, kPlainDescription);
  ASSERT_TRUE(WriteFile(base_ + "/updater", "old updater\n", 0755));
  RunResult result = Update();

  Console console = Begin(2);
  console.Raw("\n");
  Downloads(&console, {"README.txt", "updater"});
  Installs(&console, {"README.txt"});
  console.Line(Format(kSelfNote, "updater"));
  console.Install("updater");
  console.Raw("\nUpdate Complete!\n");
  ExpectRun(result, 0, console);
  Tree expected = Installed(files, {"README.txt"});
  AddFile(&expected, "updater", "old updater\n", 0755);
  AddFile(&expected, "updater.upd", "new updater\n", 0755);
  ExpectBase(expected);
}

TEST_F(EndToEnd, UndeletableDestinationGoesBesideWithSecondNote) {
  Release files = {{"data/store.bin", "new store\n", 0644}};
  Publish(files, kPlainDescription);
  // A directory with content cannot be removed; an older ".upd" is replaced.
  ASSERT_TRUE(WriteFile(base_ + "/data/store.bin/keep.txt", "keep\n"));
  ASSERT_TRUE(WriteFile(base_ + "/data/store.bin.upd", "older upd\n", 0600));
  RunResult result = Update();

  Console console = Begin(2);
  console.Raw("\n");
  Downloads(&console, {"data/store.bin"});
  console.Banner("*** Installing Updated Files ***");
  console.Line("Unpacking data/store.bin ...");
  console.Line(Format(kBusyNote, "data/store.bin"));
  console.Line("Installing data/store.bin ... ");
  console.Raw("\nUpdate Complete!\n");
  ExpectRun(result, 0, console);
  Tree expected;
  AddFile(&expected, "data/store.bin/keep.txt", "keep\n");
  AddFile(&expected, "data/store.bin.upd", "new store\n", 0644);
  AddDir(&expected, "tmp/updater");
  ExpectBase(expected);
}

}  // namespace
}  // namespace e2e
