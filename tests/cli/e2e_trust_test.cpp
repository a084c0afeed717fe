// End-to-end tests of signed update info (see e2e_test.cpp): releases
// signed by updater-publish install with --trust-key, keys rotate, keys
// compiled into the program verify by default, and every way of serving
// the wrong document fails with its reason and leaves the base directory and
// ".updater.ini" byte for byte as they were.
#include <string>
#include <vector>

#include "cli/e2e_suite.h"

namespace e2e {
namespace {

const char kSerials[] = "[serials]\r\nquillon5-full-centos7.x86_64.info=";

Release SecondRelease() {
  Release files = StandardRelease();
  files[2].content = "port=7001\n";
  return files;
}

TEST_F(EndToEnd, SignedReleasesInstallAndKeysRotate) {
  Key vendor = NewKey("vendor"), next = NewKey("next");
  Publish(StandardRelease(), kStandardDescription,
          {"--sign-key", vendor.secret, "--serial", "100"});
  ExpectRun(Update({"--trust-key", vendor.shared}), 0, FullRun(2, kStandardInstalled));
  ExpectBase(Installed(StandardRelease(), kStandardInstalled));
  EXPECT_EQ(Ini(), kSerials + std::string("100\r\n") + kStandardIni);

  // During a rotation the vendor signs with both keys; an updater that
  // trusts either takes the release.
  struct {
    std::vector<std::string> trust;
    std::string serial;
  } cases[] = {
      {{"--trust-key", next.shared}, "200"},
      {{"--trust-key", NewKey("unrelated").shared, "--trust-key", vendor.shared}, "300"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.serial);
    Release files = StandardRelease();
    files[0].content = "Quillon " + c.serial + "\n";
    Publish(files, kStandardDescription,
            {"--sign-key", vendor.secret, "--sign-key", next.secret, "--serial", c.serial});
    ExpectRun(Update(c.trust), 0, FullRun(2, {"README.txt"}));
    ExpectBase(Installed(files, kStandardInstalled));
    EXPECT_EQ(Ini(), kSerials + c.serial + "\r\n" + kStandardIni);
  }
}

TEST_F(EndToEnd, EveryAttackLeavesTheInstallationAsItWas) {
  Key vendor = NewKey("vendor"), stranger = NewKey("stranger");
  const std::vector<std::string> trusted = {"--trust-key", vendor.shared};
  const std::string sigPath = DocumentPath() + ".sig",
                    packPath = www_ + "/packs/conf/quillon.conf.pak";
  Publish(StandardRelease(), kStandardDescription,
          {"--sign-key", vendor.secret, "--serial", "100"});
  ASSERT_EQ(Update(trusted).status, 0);
  const std::string doc1 = ReadFile(DocumentPath()), sig1 = ReadFile(sigPath);
  Publish(SecondRelease(), kStandardDescription, {"--sign-key", vendor.secret, "--serial", "200"});
  const std::string doc2 = ReadFile(DocumentPath()), sig2 = ReadFile(sigPath);
  const std::string pack2 = ReadFile(packPath);

  // A run that verified release 2's document but failed later has kept its
  // serial, so release 1's document is refused from now on.
  ASSERT_EQ(remove(packPath.c_str()), 0);
  ASSERT_EQ(Update(trusted).status, 1);
  ASSERT_TRUE(WriteFile(packPath, pack2));
  ASSERT_EQ(Ini(), kSerials + std::string("200\r\n") + kStandardIni);
  // The failed transfer left no pack behind.
  ASSERT_FALSE(Exists(base_ + "/tmp/updater/quillon.conf.pak"));
  const Tree before = ReadTree(base_);
  const std::string ini = Ini();

  // Validly signed documents of other kinds: for another platform, and of
  // the first generation, which cannot say which document it is.
  std::string elsewhere = root_.path() + "/elsewhere", debian = kStandardDescription;
  ASSERT_TRUE(ReplaceOnce(&debian, "[release]\n", "[release]\nplatform = debian12.amd64\n"));
  Publish(SecondRelease(), debian, {"--sign-key", vendor.secret, "--serial", "300"}, elsewhere);
  const std::string mixed = elsewhere + "/updates/quillon5-full-debian12.amd64.info";
  Publish(SecondRelease(), kPlainDescription, {"-g", "1", "--serial", "300"}, elsewhere);
  const std::string firstGeneration = ReadFile(elsewhere + kDocument);
  const std::string sigUrl =
      "http://127.0.0.1:" + std::to_string(server_.port()) + kDocument + ".sig";
  struct {
    const char* what;
    std::string document;
    std::string signatures;  // "-": no signature file
    bool parsed;             // refused by the parser rather than at the transfer
    std::string error;
  } cases[] = {
      {"tampered document", SetEntryAttribute(doc2, "bin/quillon", "url", "http://127.0.0.1:1/x"),
       sig2, false, "Update info does not match its signature by key " + vendor.id},
      {"untrusted key", doc2, SignLine(doc2, stranger), false,
       "Update info is not signed by a trusted key (trusted: " + vendor.id + ")"},
      {"no signature file", doc2, "-", false, "No signature file at " + sigUrl},
      {"endless signature file", doc2, sig2 + std::string(64 * 1024, '\n'), false,
       "Signature file " + sigUrl + " is larger than 65536 bytes"},
      {"older serial", doc1, sig1, true,
       "Update info serial 100 is older than the release already installed (serial 200)"},
      {"other platform", ReadFile(mixed), ReadFile(mixed + ".sig"), true,
       "Update info is for \"quillon5-full-debian12.amd64.info\", not for "
       "\"quillon5-full-centos7.x86_64.info\""},
      {"generation 1", firstGeneration, SignLine(firstGeneration, vendor), true,
       "Signed update info must be version 2 or higher (this is version 1)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(WriteFile(DocumentPath(), c.document));
    remove(sigPath.c_str());
    if (c.signatures != "-") {
      ASSERT_TRUE(WriteFile(sigPath, c.signatures));
    }
    RunResult result = Update(trusted);
    Console console;
    console.Start();
    console.InfoTransfer(c.document.size());
    if (c.parsed) {
      bool first = c.document.find("version=\"1\"") != std::string::npos;
      console.Raw(std::string("\nGot info files... parsing...\nInfo version: ") +
                  (first ? "1" : "2") + "\n");
    }
    console.Raw(std::string("\nError ") + (c.parsed ? "parsing" : "downloading") +
                " info files: " + c.error + "\n");
    ExpectRun(result, 1, console);
    ExpectBase(before);
    EXPECT_EQ(Ini(), ini);
  }

  // With the genuine document back the release installs.
  ASSERT_TRUE(WriteFile(DocumentPath(), doc2));
  ASSERT_TRUE(WriteFile(sigPath, sig2));
  EXPECT_EQ(Update(trusted).status, 0);
  ExpectBase(Installed(SecondRelease(), kStandardInstalled));

  // Without a trusted key nothing of this is looked at: an expired
  // document without a signature file is taken as it always was.
  std::string expired = doc2;
  ASSERT_TRUE(ReplaceOnce(&expired, " serial=\"200\"", " serial=\"300\" expires=\"1000000000\""));
  ASSERT_TRUE(WriteFile(DocumentPath(), expired));
  remove(sigPath.c_str());
  Console console = Begin(2);
  console.Raw("\nAbort: Nothing to be done, you are up-to-date\n");
  ExpectRun(Update(), 0, console);
}

TEST_F(EndToEnd, KeyCompiledIntoTheProgramVerifiesByDefault) {
  // The test build compiles a key made at configure time into a second
  // updater program, through the same generator as UPDATER_TRUSTED_KEYS.
  const std::string build = std::string(getenv("UPDATER_BINARY_DIR")) + "/tests/cli/";
  Publish(StandardRelease(), kStandardDescription, {"--sign-key", build + "builtin-test.key"});
  std::vector<std::string> argv = {build + "updater-builtin-key", "--server",
                                   "127.0.0.1:" + std::to_string(server_.port()), "-d", base_};
  ExpectRun(RunProgram(argv, work_), 0, FullRun(2, kStandardInstalled));

  ASSERT_TRUE(
      WriteFile(DocumentPath() + ".sig", SignLine(ReadFile(DocumentPath()), NewKey("other"))));
  RunResult result = RunProgram(argv, work_);
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(
      result.out.find("\nError downloading info files: Update info is not signed by a trusted key"),
      std::string::npos)
      << result.out;
}

}  // namespace
}  // namespace e2e
