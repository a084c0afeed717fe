// End-to-end runs on signed update info (every wrong document fails with its
// reason and changes nothing; a compiled-in key verifies by default) and of
// --check, which changes no byte of the base, work directory or INI file.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "cli/e2e_suite.h"

namespace e2e {
namespace {

// The standard release with two files changed.
Release SecondRelease() {
  Release files = StandardRelease();
  files[0].content = "Quillon 2.0\n";
  files[2].content = "port=7001\n";
  return files;
}

TEST_F(EndToEnd, EveryAttackLeavesTheInstallationAsItWas) {
  Key vendor = NewKey("vendor");
  const std::vector<std::string> trusted = {"--trust-key", vendor.shared};
  const std::string sigPath = DocumentPath() + ".sig", sigUrl = url_ + kDocument + ".sig";
  const std::string packPath = www_ + "/packs/conf/quillon.conf.pak";
  const std::string ini = kSerials + std::string("200\r\n") + kStandardIni;
  Publish(StandardRelease(), kStandardDescription,
          {"--sign-key", vendor.secret, "--serial", "100"});
  ASSERT_EQ(Update(trusted).status, 0);
  const std::string doc1 = ReadFile(DocumentPath()), sig1 = ReadFile(sigPath);
  Publish(SecondRelease(), kStandardDescription, {"--sign-key", vendor.secret, "--serial", "200"});
  const std::string doc2 = ReadFile(DocumentPath()), sig2 = ReadFile(sigPath);

  // A run that verified release 2 but failed later keeps its serial, so
  // release 1 is refused from now on; the failed transfer left no pack.
  const std::string pack2 = ReadFile(packPath);
  ASSERT_EQ(remove(packPath.c_str()), 0);
  ASSERT_EQ(Update(trusted).status, 1);
  ASSERT_TRUE(WriteFile(packPath, pack2));
  ASSERT_EQ(Ini(), ini);
  ASSERT_FALSE(Exists(base_ + "/tmp/updater/quillon.conf.pak"));
  const Tree before = ReadTree(base_);
  struct {
    std::string document;
    std::string signatures;  // "-": no signature file
    bool parsed;             // refused by the parser rather than at the transfer
    std::string error;
  } cases[] = {
      {std::regex_replace(doc2, std::regex("serial=\"200\""), "serial=\"900\""), sig2, false,
       "Update info does not match its signature by key " + vendor.id},
      {doc2, "-", false, "No signature file at " + sigUrl},
      {doc2, sig2 + std::string(64 * 1024, '\n'), false,
       "Signature file " + sigUrl + " is larger than 65536 bytes"},
      {doc1, sig1, true,
       "Update info serial 100 is older than the release already installed (serial 200)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    ASSERT_TRUE(WriteFile(DocumentPath(), c.document));
    RemoveTree(sigPath);
    ASSERT_TRUE(c.signatures == "-" || WriteFile(sigPath, c.signatures));
    ExpectRun(Update(trusted), 1,
              kBanner + InfoTransfer(c.document.size()) +
                  (c.parsed ? "\nGot info files... parsing...\nInfo version: 2\n" : "") +
                  "\nError " + (c.parsed ? "parsing" : "downloading") + " info files: " + c.error +
                  "\n");
    ExpectBase(before);
    EXPECT_EQ(Ini(), ini);
  }

  // With the genuine document back the release installs.
  ASSERT_TRUE(WriteFile(DocumentPath(), doc2));
  ASSERT_TRUE(WriteFile(sigPath, sig2));
  EXPECT_EQ(Update(trusted).status, 0);
  ExpectBase(Installed(SecondRelease(), kStandardInstalled));

  // Without a trusted key an expired unsigned document is taken as ever.
  std::string expired = std::regex_replace(doc2, std::regex(" serial=\"200\""),
                                           " serial=\"300\" expires=\"1000000000\"");
  ASSERT_NE(expired, doc2);
  ASSERT_TRUE(WriteFile(DocumentPath(), expired));
  RemoveTree(sigPath);
  ExpectRun(Update(), 0, Begin() + "\nAbort: Nothing to be done, you are up-to-date\n");
}

TEST_F(EndToEnd, KeyCompiledIntoTheProgramVerifiesByDefault) {
  // A second updater holds a configure-time key, as UPDATER_TRUSTED_KEYS does.
  const std::string build = binaries_ + "/tests/cli/";
  updater_ = build + "updater-builtin-key";
  Publish(StandardRelease(), kStandardDescription, {"--sign-key", build + "builtin-test.key"});
  ExpectRun(Update(), 0, FullRun(kStandardInstalled));
  Publish(StandardRelease(), kStandardDescription, {"--sign-key", NewKey("other").secret});
  const std::string refused =
      "\nError downloading info files: Update info is not signed by a trusted key";
  RunResult result = Update();
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.out.find(refused), std::string::npos) << result.out;
}

TEST_F(EndToEnd, CheckReportsWhatAnUpdateWouldDoAndChangesNothing) {
  Key vendor = NewKey("vendor");
  const std::string upToDate = "\nUp to date: nothing to install or delete\n";
  // A check whose output is `tail` after the parser's (or the banner's).
  auto ExpectCheck = [&](std::vector<std::string> options, bool parsed, int status,
                         const std::string& tail) {
    Tree work = ReadTree(work_), installed = ReadTree(base_);
    options.insert(options.end(), {"--check", "--trust-key", vendor.shared});
    ExpectRun(Update(options), status, (parsed ? Begin() : kBanner) + tail);
    EXPECT_EQ(ReadTree(work_), work);
    EXPECT_EQ(ReadTree(base_), installed);
  };
  Release first = StandardRelease();
  first.push_back({"docs/old-notes.txt", "old notes\n", 0644});
  Publish(first, kStandardDescription, {"--sign-key", vendor.secret, "--serial", "100"});
  ASSERT_EQ(Update({"--trust-key", vendor.shared}).status, 0);
  ExpectCheck({}, true, 0, upToDate);

  // Release 2 changes two files, one outdated; docs marked for removal, one
  // pack already here, a staged file of an interrupted run beside bin/quillon.
  Publish(SecondRelease(), kStandardDescription + "[outdated]\ndocs/old-notes.txt\n",
          {"--sign-key", vendor.secret, "--serial", "200"});
  ASSERT_TRUE(WriteFile(base_ + "/tmp/updater/quillon.conf.pak",
                        ReadFile(www_ + "/packs/conf/quillon.conf.pak")));
  ASSERT_TRUE(WriteFile(base_ + "/bin/quillon.updater-part", "partial"));
  ASSERT_TRUE(
      WriteFile(work_ + "/.updater.ini",
                kSerials + std::string("100\r\n[groups]\r\nbase=1\r\nextras=0\r\ndocs=2\r\n")));
  int lock = open(base_.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(flock(lock, LOCK_EX | LOCK_NB), 0);
  ExpectCheck({}, false, 1, "\nError: Another update is already running in " + base_ + "/\n");
  close(lock);

  const std::string readme = "\nInstall: README.txt (12 bytes)\n";
  const std::string conf = "Install: conf/quillon.conf (10 bytes, pack already downloaded)\n";
  ExpectCheck({}, true, 2,
              readme + conf +
                  "Delete: docs/manual.txt (group marked for removal)\n"
                  "Delete: docs/old-notes.txt (outdated)\n"
                  "\nUpdate pending: files to install: 2 (22 bytes), packs to download: 1 (12 "
                  "bytes unpacked), files to delete: 2\n");
  ExpectCheck({"-a"}, true, 2,
              readme + conf +
                  "Install: extras/plugin.so (11 bytes)\n"
                  "Delete: docs/old-notes.txt (outdated)\n"
                  "\nUpdate pending: files to install: 3 (33 bytes), packs to download: 2 (23 "
                  "bytes unpacked), files to delete: 1\n");
  const std::string missing = root_.path() + "/missing/base";
  ExpectCheck({"-d", missing}, true, 2,
              readme +
                  "Install: bin/quillon (27 bytes)\n"
                  "Install: conf/quillon.conf (10 bytes)\n"
                  "\nUpdate pending: files to install: 3 (49 bytes), packs to download: 3 (49 "
                  "bytes unpacked), files to delete: 0\n");
  EXPECT_FALSE(Exists(missing));
  ExpectCheck({"--server", "127.0.0.1:" + std::to_string(FreePort())}, false, 1,
              "\nError downloading info files: VDL reports Error Connecting to Host\n");

  // The update does what the check listed; a check after it finds nothing.
  RunResult update = Update({"--trust-key", vendor.shared});
  EXPECT_EQ(update.status, 0);
  EXPECT_NE(update.out.find("Already have conf/quillon.conf, skipping"), std::string::npos)
      << update.out;
  EXPECT_EQ(update.out.find("Installing bin/quillon"), std::string::npos);
  Tree updated = Installed(SecondRelease(), {"README.txt", "bin/quillon", "conf/quillon.conf"});
  AddDir(&updated, "docs");  // the staged file is gone too
  ExpectBase(updated);
  ExpectCheck({}, true, 0, upToDate);
}

}  // namespace
}  // namespace e2e
