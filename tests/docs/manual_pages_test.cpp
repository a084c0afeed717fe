// The manual pages: each renders without a warning, and `cmake --install`
// puts them beside the programs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "cli/e2e_fixture.h"

namespace {

TEST(ManualPages, RenderWithoutWarningsAndInstallBesideThePrograms) {
  const char *source = getenv("UPDATER_SOURCE_DIR"), *build = getenv("UPDATER_BINARY_DIR");
  ASSERT_TRUE(source != nullptr && build != nullptr);
  ASSERT_EQ(access("/usr/bin/man", X_OK), 0) << "man is not installed (Debian: man-db)";
  const std::string docs = std::string(source) + "/docs/";
  e2e::TempDir prefix;
  e2e::RunResult result =
      e2e::RunProgram({CMAKE_PROGRAM, "--install", build, "--prefix", prefix.path()}, "/", 60);
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  for (const char* program : {"updater", "updater-publish"}) {
    EXPECT_EQ(access((prefix.path() + "/bin/" + program).c_str(), X_OK), 0) << program;
  }
  for (const char* page : {"updater.1", "updater-publish.1"}) {
    ASSERT_TRUE(e2e::Exists(docs + page)) << page;
    EXPECT_EQ(e2e::ReadFile(prefix.path() + "/share/man/man1/" + page), e2e::ReadFile(docs + page));
    result = e2e::RunProgram(
        {"/usr/bin/env", "MANWIDTH=80", "/usr/bin/man", "--warnings", "-l", docs + page}, "/", 30);
    EXPECT_EQ(result.status, 0) << page;
    EXPECT_EQ(result.err, "") << page;
    EXPECT_NE(result.out.find("SEE ALSO"), std::string::npos) << page;
  }
}

}  // namespace
