// Updater::LockBaseDir on real directories: two Updaters stand for two
// updater processes (flock locks belong to each open of the directory).
#include <memory>
#include <string>

#include "engine_test_util.h"

namespace {

std::unique_ptr<Updater> UpdaterFor(const std::string& base) {
  std::unique_ptr<Updater> updater(new Updater);
  updater->Init("", base.c_str(), "", "", nullptr);
  return updater;
}

TEST(UpdateLock, SecondUpdaterIsRefusedUntilTheFirstIsGone) {
  enginetest::TempDir dir;
  ASSERT_TRUE(enginetest::WriteFile(dir / "file", "x"));
  std::unique_ptr<Updater> first = UpdaterFor(dir / "new/base/");
  ASSERT_TRUE(first->LockBaseDir()) << first->GetLastError();  // made when missing
  // The same directory under another name is the same lock.
  ASSERT_EQ(symlink("new/base", (dir / "alias").c_str()), 0);
  const std::string refused[][2] = {
      {dir / "new/base/", "Another update is already running in " + dir / "new/base/"},
      {dir / "alias/", "Another update is already running in " + dir / "alias/"},
      {dir / "file/", "Error opening base directory " + dir / "file/ (Not a directory)"},
  };
  for (const auto& c : refused) {
    std::unique_ptr<Updater> second = UpdaterFor(c[0]);
    EXPECT_FALSE(second->LockBaseDir());
    EXPECT_EQ(std::string(second->GetLastError()), c[1]);
  }
  EXPECT_TRUE(first->LockBaseDir()) << "taking it again keeps it";
  first.reset();
  EXPECT_TRUE(UpdaterFor(dir / "new/base/")->LockBaseDir());
}

}  // namespace
