// Updater::LockBaseDir on real directories: two Updaters stand for two
// updater processes (flock locks belong to each open of the directory).
#include <memory>
#include <string>

#include "engine_test_util.h"

namespace {

bool Lock(Updater* updater, const std::string& base) {
  updater->Init("", base.c_str(), "", "", nullptr);
  return updater->LockBaseDir();
}

TEST(UpdateLock, SecondUpdaterIsRefusedUntilTheFirstIsGone) {
  enginetest::TempDir dir;
  ASSERT_TRUE(enginetest::WriteFile(dir / "file", "x"));
  const std::string base = dir / "new/base/";
  auto first = std::make_unique<Updater>();
  ASSERT_TRUE(Lock(first.get(), base)) << first->GetLastError();  // made when missing
  EXPECT_TRUE(first->LockBaseDir()) << "taking it again keeps it";
  const std::string refused[][2] = {
      {base, "Another update is already running in " + base},
      {dir / "file/", "Error opening base directory " + dir / "file/ (Not a directory)"},
  };
  for (const auto& c : refused) {
    Updater second;
    EXPECT_FALSE(Lock(&second, c[0]));
    EXPECT_EQ(std::string(second.GetLastError()), c[1]);
  }
  first.reset();
  Updater third;
  EXPECT_TRUE(Lock(&third, base));
}

}  // namespace
