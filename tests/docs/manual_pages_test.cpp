// The manual pages: each renders without a warning, and `cmake --install`
// puts them beside the programs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "cli/e2e_fixture.h"

namespace {

TEST(ManualPages, InstallPutsThemBesideThePrograms) {
  const char *source = getenv("UPDATER_SOURCE_DIR"), *build = getenv("UPDATER_BINARY_DIR");
  ASSERT_TRUE(source != nullptr && build != nullptr);
  e2e::TempDir prefix;
  e2e::RunResult result =
      e2e::RunProgram({CMAKE_PROGRAM, "--install", build, "--prefix", prefix.path()}, "/", 60);
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  for (const char* program : {"updater", "updater-publish"}) {
    EXPECT_EQ(access((prefix.path() + "/bin/" + program).c_str(), X_OK), 0) << program;
  }
  for (const char* page : {"updater.1", "updater-publish.1"}) {
    const std::string path = std::string(source) + "/docs/" + page;
    e2e::RunResult shown =
        e2e::RunProgram({"/usr/bin/env", "MANWIDTH=80", "man", "--warnings", "-l", path}, "/", 30);
    EXPECT_EQ(shown.status, 0) << page;
    EXPECT_EQ(shown.err, "") << page;
    EXPECT_NE(shown.out.find("SEE ALSO"), std::string::npos) << page;
    EXPECT_EQ(e2e::ReadFile(prefix.path() + "/share/man/man1/" + page), e2e::ReadFile(path));
  }
}

}  // namespace
