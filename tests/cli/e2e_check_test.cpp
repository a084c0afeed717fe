// End-to-end tests of `updater --check` (see e2e_test.cpp): the report of
// what an update would do and its exit status, with the base directory, the
// working directory and ".updater.ini" byte for byte as they were after
// every check, and an update afterwards that does what the check listed.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cli/e2e_suite.h"

namespace e2e {
namespace {

const char kSerials[] = "[serials]\r\nquillon5-full-centos7.x86_64.info=";

class Check : public EndToEnd {
 protected:
  // The stage at which a check ends.
  enum Stage { kLocked, kUnreachable, kParsed };

  // Runs a check with `options` and the trusted key and expects `status`
  // and, after the output of `stage`, `tail`; nothing in the working or
  // the base directory may change, and `base` (when not the base
  // directory) must stay missing.
  void ExpectCheck(const std::vector<std::string>& options, Stage stage, int status,
                   const std::string& tail, const std::string& base = "") {
    Tree work = ReadTree(work_), installed = ReadTree(base_);
    std::vector<std::string> argv = {"--check", "--trust-key", vendor_.shared};
    argv.insert(argv.end(), options.begin(), options.end());
    if (!base.empty()) argv.insert(argv.end(), {"-d", base});
    RunResult result = Update(argv, stage == kUnreachable ? FreePort() : 0);
    Console console;
    if (stage == kParsed) {
      console = Begin(2);
    } else {
      console.Start();
    }
    console.Raw(tail);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.status, status);
    EXPECT_EQ(result.out, console.text());
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(DescribeTree(ReadTree(work_)), DescribeTree(work));
    EXPECT_EQ(DescribeTree(ReadTree(base_)), DescribeTree(installed));
    if (!base.empty()) {
      EXPECT_FALSE(Exists(base));
    }
  }

  Key vendor_;
};

TEST_F(Check, ReportsWhatAnUpdateWouldDoAndChangesNothing) {
  vendor_ = NewKey("vendor");
  Release first = StandardRelease();
  first.push_back({"docs/old-notes.txt", "old notes\n", 0644});
  Publish(first, kStandardDescription, {"--sign-key", vendor_.secret, "--serial", "100"});
  ASSERT_EQ(Update({"--trust-key", vendor_.shared}).status, 0);
  ExpectCheck({}, kParsed, 0, "\nUp to date: nothing to install or delete\n");

  // Release 2 changes two files and makes one outdated; the docs group is
  // marked for removal, one new pack is already downloaded, and a staged
  // file of an interrupted run is left beside bin/quillon.
  Release second = StandardRelease();
  second[0].content = "Quillon 2.0\n";
  second[2].content = "port=7001\n";
  Publish(second, std::string(kStandardDescription) + "[outdated]\ndocs/old-notes.txt\n",
          {"--sign-key", vendor_.secret, "--serial", "200"});
  ASSERT_TRUE(WriteFile(base_ + "/tmp/updater/quillon.conf.pak",
                        ReadFile(www_ + "/packs/conf/quillon.conf.pak")));
  ASSERT_TRUE(WriteFile(base_ + "/bin/quillon.updater-part", "partial"));
  ASSERT_TRUE(
      WriteFile(work_ + "/.updater.ini",
                kSerials + std::string("100\r\n[groups]\r\nbase=1\r\nextras=0\r\ndocs=2\r\n")));
  const std::string pending =
      "\nInstall: README.txt (12 bytes)\n"
      "Install: conf/quillon.conf (10 bytes, pack already downloaded)\n"
      "Delete: docs/manual.txt (group marked for removal)\n"
      "Delete: docs/old-notes.txt (outdated)\n"
      "\nUpdate pending: files to install: 2 (22 bytes), packs to download: 1 (12 bytes "
      "unpacked), files to delete: 2\n";
  int lock = open(base_.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(flock(lock, LOCK_EX | LOCK_NB), 0);
  ExpectCheck({}, kLocked, 1, "\nError: Another update is already running in " + base_ + "/\n");
  close(lock);

  struct {
    const char* what;
    std::vector<std::string> options;
    Stage stage;
    int status;
    std::string tail;
    std::string base;
  } cases[] = {
      {"pending", {}, kParsed, 2, pending, ""},
      {"all groups marked",
       {"-a"},
       kParsed,
       2,
       "\nInstall: README.txt (12 bytes)\n"
       "Install: conf/quillon.conf (10 bytes, pack already downloaded)\n"
       "Install: extras/plugin.so (11 bytes)\n"
       "Delete: docs/old-notes.txt (outdated)\n"
       "\nUpdate pending: files to install: 3 (33 bytes), packs to download: 2 (23 bytes "
       "unpacked), files to delete: 1\n",
       ""},
      {"no base directory yet",
       {},
       kParsed,
       2,
       "\nInstall: README.txt (12 bytes)\n"
       "Install: bin/quillon (27 bytes)\n"
       "Install: conf/quillon.conf (10 bytes)\n"
       "\nUpdate pending: files to install: 3 (49 bytes), packs to download: 3 (49 bytes "
       "unpacked), files to delete: 0\n",
       root_.path() + "/missing/base"},
      {"server unreachable",
       {},
       kUnreachable,
       1,
       "\nError downloading info files: VDL reports Error Connecting to Host\n",
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectCheck(c.options, c.stage, c.status, c.tail, c.base);
  }

  // The update itself does what the check listed, and a check after it
  // finds nothing to do.
  RunResult update = Update({"--trust-key", vendor_.shared});
  EXPECT_EQ(update.status, 0);
  for (const char* line : {"Already have conf/quillon.conf, skipping", "Installing README.txt",
                           "Deleting file: docs/manual.txt", "Deleting docs/old-notes.txt: OK"}) {
    EXPECT_NE(update.out.find(line), std::string::npos) << line << "\n" << update.out;
  }
  EXPECT_EQ(update.out.find("Installing bin/quillon"), std::string::npos);
  ExpectCheck({}, kParsed, 0, "\nUp to date: nothing to install or delete\n");
}

}  // namespace
}  // namespace e2e
