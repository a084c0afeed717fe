// Updater::LockBaseDir on real directories: two Updaters stand for two
// updater processes (flock locks belong to each open of the directory).
#include <memory>
#include <string>

#include "engine_test_util.h"

using enginetest::TempDir;

namespace {

std::unique_ptr<Updater> UpdaterFor(const std::string& base) {
  std::unique_ptr<Updater> updater(new Updater);
  updater->Init("", base.c_str(), "", "", nullptr);
  return updater;
}

TEST(UpdateLock, SecondUpdaterIsRefusedUntilTheFirstIsGone) {
  TempDir dir;
  std::unique_ptr<Updater> first = UpdaterFor(dir.base());
  ASSERT_TRUE(first->LockBaseDir()) << first->GetLastError();
  // The same directory under another name is the same lock.
  ASSERT_EQ(symlink(dir.path().c_str(), (dir / "alias").c_str()), 0);
  for (const std::string& base : {dir.base(), dir / "alias/"}) {
    std::unique_ptr<Updater> second = UpdaterFor(base);
    EXPECT_FALSE(second->LockBaseDir());
    EXPECT_EQ(std::string(second->GetLastError()), "Another update is already running in " + base);
  }
  EXPECT_TRUE(first->LockBaseDir()) << "taking it again keeps it";
  first.reset();
  EXPECT_TRUE(UpdaterFor(dir.base())->LockBaseDir());
}

TEST(UpdateLock, MissingBaseDirectoryIsMadeAndAFileIsRefused) {
  TempDir dir;
  ASSERT_TRUE(enginetest::WriteFile(dir / "file", "x"));
  struct Case {
    std::string base;
    std::string error;  // empty when the lock is taken
  } cases[] = {
      {dir / "new/base/", ""},
      {dir / "file/", "Error opening base directory " + dir / "file/ (Not a directory)"},
  };
  for (const Case& c : cases) {
    std::unique_ptr<Updater> updater = UpdaterFor(c.base);
    EXPECT_EQ(updater->LockBaseDir(), c.error.empty()) << c.base;
    EXPECT_EQ(c.error.empty() ? "" : updater->GetLastError(), c.error);
  }
  EXPECT_TRUE(enginetest::Exists(dir / "new/base"));
}

}  // namespace
