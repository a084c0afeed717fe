// Updater::PerformUpdate on real files in a temporary base directory: packs
// put in the pack directory beforehand are reused under names that stay
// distinct, and a failed transfer is reported. Installing, deleting, modes
// and failures that must leave the old file intact are covered by the
// end-to-end tests.
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "engine_test_util.h"
#include "loopback_port.h"

using enginetest::Exists;
using enginetest::ReadFile;
using enginetest::Sha;

namespace {

const char kKey[] = "0123456789abcdef";

// A document whose FileBase is a loopback port that was free a moment ago.
enginetest::Doc ClosedServerDoc() {
  enginetest::Doc doc;
  doc.info = "AppName=\"a\" Author=\"b\" URL=\"c\" FileBase=\"http://127.0.0.1:" +
             std::to_string(FreeLoopbackPort()) + "/\"";
  return doc;
}

class PerformUpdate : public enginetest::ParseFixture {
 protected:
  // Installs a new "app" over an old one from a pack already in the pack
  // directory, and checks that nothing of the staging is left beside it.
  void ReplaceAppFromPack() {
    Put("app", "old program");
    enginetest::Doc doc = ClosedServerDoc();
    doc.files = Entry("app", "app.pak", "new program", "app.pak");
    ASSERT_TRUE(Parse(doc)) << Error();
    EXPECT_TRUE(updater.PerformUpdate()) << Error();
    EXPECT_EQ(ReadFile(dir / "app"), "new program");
    EXPECT_FALSE(Exists(dir / "app.updater-part"));
  }

  // The document entry of `path`; its pack is put in the pack directory as
  // `packName` unless that is empty.
  std::string Entry(const std::string& path, const std::string& url, const std::string& content,
                    const std::string& packName) {
    std::string pack = enginetest::MakePack(content, kKey);
    if (!packName.empty()) {
      updater.MakeDirs((dir / "tmp/updater").c_str());
      Put("tmp/updater/" + packName, pack);
    }
    return "<f file=\"" + path + "\" url=\"" + url + "\" size=\"" + std::to_string(content.size()) +
           "\" key=\"" + kKey + "\" sha=\"" + Sha(content) + "\" packsha=\"" + Sha(pack) + "\"/>";
  }
};

TEST_F(PerformUpdate, SameFileNamesGetDistinctPackNamesThatAreReused) {
  // The URL's file name and the start of the MD5 of the path.
  std::string a = "x.pak-" + enginetest::Digest("md5", "a/x.pak").substr(0, 8);
  std::string b = "x.pak-" + enginetest::Digest("md5", "b/x.pak").substr(0, 8);
  enginetest::Doc doc = ClosedServerDoc();
  doc.files =
      Entry("a/x.pak", "p1/x.pak", "content A", a) + Entry("b/x.pak", "p2/x.pak", "content B", b);
  ASSERT_TRUE(Parse(doc)) << Error();
  ASSERT_TRUE(updater.PerformUpdate()) << Error();
  EXPECT_EQ(ReadFile(dir / "a/x.pak"), "content A");
  EXPECT_EQ(ReadFile(dir / "b/x.pak"), "content B");
  EXPECT_FALSE(Exists(dir / ("tmp/updater/" + a)));
  EXPECT_FALSE(Exists(dir / ("tmp/updater/" + b)));
  EXPECT_EQ(
      enginetest::StatusLines(),
      (std::vector<std::string>{
          "*** Downloading Updated Files ***", "", "Already have a/x.pak, skipping download...",
          "Already have b/x.pak, skipping download...", "", "*** Installing Updated Files ***", "",
          "Unpacking a/x.pak ...", "Installing a/x.pak ... ", "Unpacking b/x.pak ...",
          "Installing b/x.pak ... "}));
}

TEST_F(PerformUpdate, FileInstalledAtItsOwnPackPathStays) {
  // The document places the file where its pack is downloaded to: after the
  // rename the pack path names the installed file, which must not be removed.
  enginetest::Doc doc = ClosedServerDoc();
  doc.files = Entry("./tmp/updater/app.pak", "app.pak", "new program", "app.pak");
  ASSERT_TRUE(Parse(doc)) << Error();
  EXPECT_TRUE(updater.PerformUpdate()) << Error();
  EXPECT_EQ(ReadFile(dir / "tmp/updater/app.pak"), "new program");
}

TEST_F(PerformUpdate, FailedTransferIsReported) {
  enginetest::Doc doc = ClosedServerDoc();
  doc.files = Entry("new.dat", "new.pak", "new", "");
  ASSERT_TRUE(Parse(doc)) << Error();
  EXPECT_FALSE(updater.PerformUpdate());
  EXPECT_EQ(Error(), "VDL reports 'Error Connecting to Host' while downloading 'new.dat'");
  EXPECT_FALSE(Exists(dir / "new.dat"));
}

TEST_F(PerformUpdate, PackDirectoryOnAnotherFilesystemStillReplacesTheFile) {
  // tmp/ under the base directory is a mount of its own: here a link to a
  // directory on the memory filesystem.
  char shm[] = "/dev/shm/updater-test-XXXXXX";
  struct stat base, other;
  if (mkdtemp(shm) == nullptr) GTEST_SKIP() << "no /dev/shm";
  if (stat(dir.path().c_str(), &base) != 0 || stat(shm, &other) != 0 ||
      base.st_dev == other.st_dev) {
    rmdir(shm);
    GTEST_SKIP() << "/dev/shm is not another filesystem here";
  }
  ASSERT_EQ(symlink(shm, (dir / "tmp").c_str()), 0);
  ReplaceAppFromPack();
  EXPECT_FALSE(Exists(std::string(shm) + "/updater/app.pak"));
  std::string cleanup = std::string("rm -rf ") + shm;
  EXPECT_EQ(system(cleanup.c_str()), 0);
}

TEST_F(PerformUpdate, PackDirectoryOnABindMountStillReplacesTheFile) {
  // tmp/ under the base directory is a second mount of the same filesystem:
  // the device numbers agree, yet a rename from it fails with EXDEV. The
  // mount lives in a private mount namespace of this process only.
  if (unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    GTEST_SKIP() << "no private mount namespace here";
  }
  ASSERT_EQ(mkdir((dir / "elsewhere").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir / "tmp").c_str(), 0755), 0);
  ASSERT_EQ(mount((dir / "elsewhere").c_str(), (dir / "tmp").c_str(), nullptr, MS_BIND, nullptr),
            0);
  ReplaceAppFromPack();
  EXPECT_FALSE(Exists(dir / "tmp/updater/app.pak"));
  EXPECT_EQ(umount((dir / "tmp").c_str()), 0);
}

}  // namespace
