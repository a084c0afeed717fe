// The manual pages: each renders without a warning, and `cmake --install`
// puts them beside the programs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "cli/e2e_fixture.h"

namespace {

const char* const kPages[] = {"updater.1", "updater-publish.1"};

std::string Source(const char* page) {
  const char* dir = getenv("UPDATER_SOURCE_DIR");
  return std::string(dir != nullptr ? dir : "/nonexistent") + "/docs/" + page;
}

TEST(ManualPages, RenderWithoutWarnings) {
  if (access("/usr/bin/man", X_OK) != 0) GTEST_SKIP() << "man is not installed (Debian: man-db)";
  for (const char* page : kPages) {
    ASSERT_TRUE(e2e::Exists(Source(page))) << Source(page);
    e2e::RunResult result = e2e::RunProgram(
        {"/usr/bin/env", "MANWIDTH=80", "/usr/bin/man", "--warnings", "-l", Source(page)}, "/", 30);
    EXPECT_EQ(result.status, 0) << page;
    EXPECT_EQ(result.err, "") << page;
    EXPECT_NE(result.out.find("SEE ALSO"), std::string::npos) << page;
  }
}

TEST(ManualPages, InstallPutsThemBesideThePrograms) {
  const char* build = getenv("UPDATER_BINARY_DIR");
  ASSERT_NE(build, nullptr);
  e2e::TempDir prefix;
  ASSERT_FALSE(prefix.path().empty());
  e2e::RunResult result =
      e2e::RunProgram({CMAKE_PROGRAM, "--install", build, "--prefix", prefix.path()}, "/", 60);
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  for (const char* program : {"updater", "updater-publish"}) {
    EXPECT_EQ(access((prefix.path() + "/bin/" + program).c_str(), X_OK), 0) << program;
  }
  for (const char* page : kPages) {
    EXPECT_EQ(e2e::ReadFile(prefix.path() + "/share/man/man1/" + page),
              e2e::ReadFile(Source(page)));
  }
}

}  // namespace
