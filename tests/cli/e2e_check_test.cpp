// End-to-end runs of `updater --check`: the report and exit status, with the
// base directory, the working directory and ".updater.ini" byte for byte as
// they were, and an update afterwards that does what the check listed.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "cli/e2e_suite.h"

namespace e2e {
namespace {

TEST_F(EndToEnd, CheckReportsWhatAnUpdateWouldDoAndChangesNothing) {
  Key vendor = NewKey("vendor");
  const std::string upToDate = "\nUp to date: nothing to install or delete\n";
  // Runs a check that ends after the parser (or, when not `parsed`, after
  // the banner) with `tail`; `base` when given must stay missing.
  auto ExpectCheck = [&](std::vector<std::string> options, bool parsed, int status,
                         const std::string& tail, const std::string& base = "", int port = 0) {
    Tree work = ReadTree(work_), installed = ReadTree(base_);
    options.insert(options.end(), {"--check", "--trust-key", vendor.shared});
    if (!base.empty()) options.insert(options.end(), {"-d", base});
    Console console = parsed ? Begin(2) : Console();
    console.Raw(tail);
    ExpectRun(Update(options, port), status, console);
    EXPECT_EQ(ReadTree(work_), work);
    EXPECT_EQ(ReadTree(base_), installed);
    EXPECT_TRUE(base.empty() || !Exists(base));
  };
  Release first = StandardRelease();
  first.push_back({"docs/old-notes.txt", "old notes\n", 0644});
  Publish(first, kStandardDescription, {"--sign-key", vendor.secret, "--serial", "100"});
  ASSERT_EQ(Update({"--trust-key", vendor.shared}).status, 0);
  ExpectCheck({}, true, 0, upToDate);

  // Release 2 changes two files and makes one outdated; the docs group is
  // marked for removal, one new pack is already downloaded, and a staged
  // file of an interrupted run is left beside bin/quillon.
  Release second = StandardRelease();
  second[0].content = "Quillon 2.0\n";
  second[2].content = "port=7001\n";
  Publish(second, kStandardDescription + "[outdated]\ndocs/old-notes.txt\n",
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
  ExpectCheck({}, true, 2,
              readme +
                  "Install: bin/quillon (27 bytes)\n"
                  "Install: conf/quillon.conf (10 bytes)\n"
                  "\nUpdate pending: files to install: 3 (49 bytes), packs to download: 3 (49 "
                  "bytes unpacked), files to delete: 0\n",
              root_.path() + "/missing/base");
  ExpectCheck({}, false, 1,
              "\nError downloading info files: VDL reports Error Connecting to Host\n", "",
              FreePort());

  // The update itself does what the check listed, and a check after it
  // finds nothing to do.
  RunResult update = Update({"--trust-key", vendor.shared});
  EXPECT_EQ(update.status, 0);
  for (const char* line : {"Already have conf/quillon.conf, skipping", "Installing README.txt",
                           "Deleting file: docs/manual.txt", "Deleting docs/old-notes.txt: OK"}) {
    EXPECT_NE(update.out.find(line), std::string::npos) << line << "\n" << update.out;
  }
  EXPECT_EQ(update.out.find("Installing bin/quillon"), std::string::npos);
  ExpectCheck({}, true, 0, upToDate);
}

}  // namespace
}  // namespace e2e
