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

constexpr size_t kMaxSignature = 64 * 1024;
const char kSerials[] = "[serials]\r\nquillon5-full-centos7.x86_64.info=";

// The standard description with a fixed key for conf/quillon.conf, so that
// one release's pack of it also deciphers under the next release's entry.
std::string FixedKeyDescription() {
  return std::string(kStandardDescription) + "[keys]\nconf/quillon.conf = 0123456789abcdef\n";
}

Release SecondRelease() {
  Release files = StandardRelease();
  files[2].content = "port=7001\n";
  return files;
}

// The two stages after the document's transfer at which a run can stop.
enum Stage { kDownload, kParse };

TEST_F(EndToEnd, SignedReleasesInstallAndKeysRotate) {
  Key vendor = NewKey("vendor"), next = NewKey("next");
  Publish(StandardRelease(), kStandardDescription,
          {"--sign-key", vendor.secret, "--serial", "100"});
  RunResult result = Update({"--trust-key", vendor.shared});
  ExpectRun(result, 0, FullRun(2, kStandardInstalled));
  ExpectBase(Installed(StandardRelease(), kStandardInstalled));
  EXPECT_EQ(Ini(), kSerials + std::string("100\r\n") + kStandardIni);

  // During a rotation the vendor signs with both keys; an updater that
  // trusts either (or both) takes the release.
  struct {
    std::vector<std::string> trust;
    std::string serial;
  } cases[] = {
      {{"--trust-key", next.shared}, "200"},
      {{"--trust-key", vendor.shared}, "300"},
      {{"--trust-key", NewKey("unrelated").shared, "--trust-key", next.shared}, "400"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.serial);
    Release files = StandardRelease();
    files[0].content = "Quillon " + c.serial + "\n";
    Publish(files, kStandardDescription,
            {"--sign-key", vendor.secret, "--sign-key", next.secret, "--serial", c.serial});
    result = Update(c.trust);
    ExpectRun(result, 0, FullRun(2, {"README.txt"}));
    ExpectBase(Installed(files, kStandardInstalled));
    EXPECT_EQ(Ini(), kSerials + c.serial + "\r\n" + kStandardIni);
  }
}

TEST_F(EndToEnd, EveryAttackLeavesTheInstallationAsItWas) {
  Key vendor = NewKey("vendor"), stranger = NewKey("stranger");
  const std::vector<std::string> trusted = {"--trust-key", vendor.shared};
  const std::string sigPath = DocumentPath() + ".sig",
                    packPath = www_ + "/packs/conf/quillon.conf.pak";
  Publish(StandardRelease(), FixedKeyDescription(),
          {"--sign-key", vendor.secret, "--serial", "100"});
  ASSERT_EQ(Update(trusted).status, 0);
  const std::string doc1 = ReadFile(DocumentPath()), sig1 = ReadFile(sigPath);
  const std::string oldPack = ReadFile(packPath);
  Publish(SecondRelease(), FixedKeyDescription(), {"--sign-key", vendor.secret, "--serial", "200"});
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

  // Validly signed documents of other kinds.
  std::string elsewhere = root_.path() + "/elsewhere";
  std::string debian = FixedKeyDescription();
  ASSERT_TRUE(ReplaceOnce(&debian, "[release]\n", "[release]\nplatform = debian12.amd64\n"));
  Publish(SecondRelease(), debian, {"--sign-key", vendor.secret, "--serial", "300"}, elsewhere);
  const std::string mixDoc = ReadFile(elsewhere + "/updates/quillon5-full-debian12.amd64.info");
  const std::string mixSig = ReadFile(elsewhere + "/updates/quillon5-full-debian12.amd64.info.sig");
  Publish(SecondRelease(), kPlainDescription, {"-g", "1", "--serial", "300"}, elsewhere);
  const std::string firstGeneration = ReadFile(elsewhere + kDocument);
  std::string expired = doc2;
  ASSERT_TRUE(ReplaceOnce(&expired, " serial=\"200\"", " serial=\"300\" expires=\"1000000000\""));
  std::string tampered = SetEntryAttribute(doc2, "bin/quillon", "url", "http://127.0.0.1:1/evil");

  const std::string sigUrl =
      "http://127.0.0.1:" + std::to_string(server_.port()) + kDocument + ".sig";
  struct {
    const char* what;
    std::string document;
    std::string signatures;  // "-": no signature file
    Stage stage;
    std::string error;
  } cases[] = {
      {"tampered document", tampered, sig2, kDownload,
       "Update info does not match its signature by key " + vendor.id},
      {"untrusted key", doc2, SignLine(doc2, stranger), kDownload,
       "Update info is not signed by a trusted key (trusted: " + vendor.id + ")"},
      {"no signature file", doc2, "-", kDownload, "No signature file at " + sigUrl},
      {"web page as signature file", doc2, "<html>Not here</html>\n", kDownload,
       "Malformed signature file (line 1: expected \"ed25519 KEYID SIGNATURE\")"},
      {"short signature", doc2, "ed25519 " + vendor.id + " AAAA\n", kDownload,
       "Malformed signature file (line 1: the signature has 3 bytes, not 64)"},
      {"endless signature file", doc2, sig2 + std::string(kMaxSignature, '\n'), kDownload,
       "Signature file " + sigUrl + " is larger than 65536 bytes"},
      {"older serial", doc1, sig1, kParse,
       "Update info serial 100 is older than the release already installed (serial 200)"},
      {"expired", expired, SignLine(expired, vendor), kParse,
       "Update info expired on 2001-09-09 01:46:40 UTC"},
      {"generation 1", firstGeneration, SignLine(firstGeneration, vendor), kParse,
       "Signed update info must be version 2 or higher (this is version 1)"},
      {"other platform", mixDoc, mixSig, kParse,
       "Update info is for \"quillon5-full-debian12.amd64.info\", not for "
       "\"quillon5-full-centos7.x86_64.info\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(WriteFile(DocumentPath(), c.document));
    if (c.signatures == "-") {
      remove(sigPath.c_str());
    } else {
      ASSERT_TRUE(WriteFile(sigPath, c.signatures));
    }
    RunResult result = Update(trusted);
    Console console;
    console.Start();
    console.InfoTransfer(c.document.size());
    if (c.stage == kDownload) {
      console.Raw("\nError downloading info files: " + c.error + "\n");
    } else {
      console.Raw("\nGot info files... parsing...\n");
      console.Line(c.document.find("version=\"1\"") != std::string::npos ? "Info version: 1"
                                                                         : "Info version: 2");
      console.Raw("\nError parsing info files: " + c.error + "\n");
    }
    ExpectRun(result, 1, console);
    ExpectBase(before);
    EXPECT_EQ(Ini(), ini);
  }

  // A genuine document with a replayed pack: the digests catch it as ever.
  ASSERT_TRUE(WriteFile(DocumentPath(), doc2));
  ASSERT_TRUE(WriteFile(sigPath, sig2));
  ASSERT_TRUE(WriteFile(packPath, oldPack));
  RunResult result = Update(trusted);
  Console console = Begin(2);
  console.Raw("\n");
  Downloads(&console, {"conf/quillon.conf"});
  console.Banner("*** Installing Updated Files ***");
  console.Line("Unpacking conf/quillon.conf ...");
  console.Raw("\nError performing update: Checksum does not match for file 'quillon.conf'!\n");
  ExpectRun(result, 1, console);
  ExpectBase(before);
  EXPECT_EQ(Ini(), ini);

  // With the genuine pack back the release installs.
  ASSERT_TRUE(WriteFile(packPath, pack2));
  EXPECT_EQ(Update(trusted).status, 0);
  ExpectBase(Installed(SecondRelease(), kStandardInstalled));

  // Without a trusted key nothing of this is looked at: an expired
  // document without a signature file is taken as it always was.
  ASSERT_TRUE(WriteFile(DocumentPath(), expired));
  remove(sigPath.c_str());
  result = Update();
  console = Begin(2);
  console.Raw("\nAbort: Nothing to be done, you are up-to-date\n");
  ExpectRun(result, 0, console);
}

TEST_F(EndToEnd, KeyCompiledIntoTheProgramVerifiesByDefault) {
  // The test build compiles a key made at configure time into a second
  // updater program, through the same generator as UPDATER_TRUSTED_KEYS.
  const std::string program =
      std::string(getenv("UPDATER_BINARY_DIR")) + "/tests/cli/updater-builtin-key";
  const std::string secret =
      std::string(getenv("UPDATER_BINARY_DIR")) + "/tests/cli/builtin-test.key";
  Publish(StandardRelease(), kStandardDescription, {"--sign-key", secret});
  std::vector<std::string> argv = {program, "--server",
                                   "127.0.0.1:" + std::to_string(server_.port()), "-d", base_};
  RunResult result = e2e::RunProgram(argv, work_);
  ExpectRun(result, 0, FullRun(2, kStandardInstalled));

  ASSERT_TRUE(
      WriteFile(DocumentPath() + ".sig", SignLine(ReadFile(DocumentPath()), NewKey("other"))));
  result = e2e::RunProgram(argv, work_);
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(
      result.out.find("\nError downloading info files: Update info is not signed by a trusted key"),
      std::string::npos)
      << result.out;
}

}  // namespace
}  // namespace e2e
