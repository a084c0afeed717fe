// End-to-end runs of the updater program on signed update info: releases
// signed by updater-publish install with --trust-key, keys rotate, a key
// compiled into the program verifies by default, and every way of serving
// the wrong document fails with its reason and changes nothing.
#include "cli/e2e_suite.h"

namespace e2e {
namespace {

Release SecondRelease() {
  Release files = StandardRelease();
  files[2].content = "port=7001\n";
  return files;
}

TEST_F(EndToEnd, SignedReleasesInstallAndKeysRotate) {
  Key vendor = NewKey("vendor"), next = NewKey("next");
  // During a rotation the vendor signs with both keys; an updater that
  // trusts either takes the release.
  struct {
    std::vector<std::string> sign, trust;
    std::string serial;
    std::vector<std::string> installs;
  } cases[] = {
      {{"--sign-key", vendor.secret}, {"--trust-key", vendor.shared}, "100", kStandardInstalled},
      {{"--sign-key", vendor.secret, "--sign-key", next.secret},
       {"--trust-key", next.shared},
       "200",
       {"README.txt"}},
      {{"--sign-key", vendor.secret, "--sign-key", next.secret},
       {"--trust-key", NewKey("unrelated").shared, "--trust-key", vendor.shared},
       "300",
       {"README.txt"}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.serial);
    Release files = StandardRelease();
    files[0].content = "Quillon " + c.serial + "\n";
    c.sign.insert(c.sign.end(), {"--serial", c.serial});
    Publish(files, kStandardDescription, c.sign);
    ExpectRun(Update(c.trust), 0, FullRun(2, c.installs));
    ExpectBase(Installed(files, kStandardInstalled));
    EXPECT_EQ(Ini(), kSerials + c.serial + "\r\n" + kStandardIni);
  }
}

TEST_F(EndToEnd, EveryAttackLeavesTheInstallationAsItWas) {
  Key vendor = NewKey("vendor"), stranger = NewKey("stranger");
  const std::vector<std::string> trusted = {"--trust-key", vendor.shared};
  const std::string sigPath = DocumentPath() + ".sig";
  const std::string packPath = www_ + "/packs/conf/quillon.conf.pak";
  Publish(StandardRelease(), kStandardDescription,
          {"--sign-key", vendor.secret, "--serial", "100"});
  ASSERT_EQ(Update(trusted).status, 0);
  const std::string doc1 = ReadFile(DocumentPath()), sig1 = ReadFile(sigPath);
  Publish(SecondRelease(), kStandardDescription, {"--sign-key", vendor.secret, "--serial", "200"});
  const std::string doc2 = ReadFile(DocumentPath()), sig2 = ReadFile(sigPath);

  // A run that verified release 2's document but failed later has kept its
  // serial, so release 1's document is refused from now on; the failed
  // transfer left no pack behind.
  const std::string pack2 = ReadFile(packPath);
  ASSERT_EQ(remove(packPath.c_str()), 0);
  ASSERT_EQ(Update(trusted).status, 1);
  ASSERT_TRUE(WriteFile(packPath, pack2));
  ASSERT_EQ(Ini(), kSerials + std::string("200\r\n") + kStandardIni);
  ASSERT_FALSE(Exists(base_ + "/tmp/updater/quillon.conf.pak"));
  const Tree before = ReadTree(base_);

  // Validly signed documents of other kinds: for another platform, and of
  // the first generation, which cannot say which document it is.
  std::string elsewhere = root_.path() + "/elsewhere";
  Publish(SecondRelease(),
          kPlainDescription + std::string("platform = debian12.amd64\n") + kStandardGroups,
          {"--sign-key", vendor.secret, "--serial", "300"}, elsewhere);
  const std::string mixed = elsewhere + "/updates/quillon5-full-debian12.amd64.info";
  Publish(SecondRelease(), kPlainDescription, {"-g", "1", "--serial", "300"}, elsewhere);
  const std::string firstGeneration = ReadFile(elsewhere + kDocument);
  const std::string sigUrl = url_ + kDocument + ".sig";
  struct {
    std::string document;
    std::string signatures;  // "-": no signature file
    const char* parsed;      // the version line when refused by the parser
    std::string error;
  } cases[] = {
      {SetEntryAttribute(doc2, "bin/quillon", "url", "http://127.0.0.1:1/x"), sig2, nullptr,
       "Update info does not match its signature by key " + vendor.id},
      {doc2, SignLine(doc2, stranger), nullptr,
       "Update info is not signed by a trusted key (trusted: " + vendor.id + ")"},
      {doc2, "-", nullptr, "No signature file at " + sigUrl},
      {doc2, sig2 + std::string(64 * 1024, '\n'), nullptr,
       "Signature file " + sigUrl + " is larger than 65536 bytes"},
      {doc1, sig1, "2",
       "Update info serial 100 is older than the release already installed (serial 200)"},
      {ReadFile(mixed), ReadFile(mixed + ".sig"), "2",
       "Update info is for \"quillon5-full-debian12.amd64.info\", not for "
       "\"quillon5-full-centos7.x86_64.info\""},
      {firstGeneration, SignLine(firstGeneration, vendor), "1",
       "Signed update info must be version 2 or higher (this is version 1)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    ASSERT_TRUE(WriteFile(DocumentPath(), c.document));
    RemoveTree(sigPath);
    ASSERT_TRUE(c.signatures == "-" || WriteFile(sigPath, c.signatures));
    Console console;
    console.InfoTransfer(c.document.size());
    if (c.parsed)
      console.Raw(std::string("\nGot info files... parsing...\nInfo version: ") + c.parsed + "\n");
    console.Raw(std::string("\nError ") + (c.parsed ? "parsing" : "downloading") +
                " info files: " + c.error + "\n");
    ExpectRun(Update(trusted), 1, console);
    ExpectBase(before);
    EXPECT_EQ(Ini(), kSerials + std::string("200\r\n") + kStandardIni);
  }

  // With the genuine document back the release installs.
  ASSERT_TRUE(WriteFile(DocumentPath(), doc2));
  ASSERT_TRUE(WriteFile(sigPath, sig2));
  EXPECT_EQ(Update(trusted).status, 0);
  ExpectBase(Installed(SecondRelease(), kStandardInstalled));

  // Without a trusted key nothing of this is looked at: an expired
  // document without a signature file is taken as it always was.
  std::string expired = std::regex_replace(doc2, std::regex(" serial=\"200\""),
                                           " serial=\"300\" expires=\"1000000000\"");
  ASSERT_NE(expired, doc2);
  ASSERT_TRUE(WriteFile(DocumentPath(), expired));
  RemoveTree(sigPath);
  Console console = Begin(2);
  console.Raw("\nAbort: Nothing to be done, you are up-to-date\n");
  ExpectRun(Update(), 0, console);
}

TEST_F(EndToEnd, KeyCompiledIntoTheProgramVerifiesByDefault) {
  // The test build compiles a key made at configure time into a second
  // updater program, through the same generator as UPDATER_TRUSTED_KEYS.
  const std::string build = binaries_ + "/tests/cli/";
  Publish(StandardRelease(), kStandardDescription, {"--sign-key", build + "builtin-test.key"});
  updater_ = build + "updater-builtin-key";
  ExpectRun(Update(), 0, FullRun(2, kStandardInstalled));

  ASSERT_TRUE(
      WriteFile(DocumentPath() + ".sig", SignLine(ReadFile(DocumentPath()), NewKey("other"))));
  RunResult result = Update();
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(
      result.out.find("\nError downloading info files: Update info is not signed by a trusted key"),
      std::string::npos)
      << result.out;
}

}  // namespace
}  // namespace e2e
