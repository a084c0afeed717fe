// The manual pages: each renders without a warning, and `cmake --install`
// puts them beside the programs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "cli/e2e_fixture.h"

namespace {

const char* const kPages[] = {"updater.1", "updater-publish.1"};

std::string Env(const char* name) {
  const char* value = getenv(name);
  return value != nullptr ? value : "";
}

TEST(ManualPages, RenderWithoutWarnings) {
  if (access("/usr/bin/man", X_OK) != 0) GTEST_SKIP() << "man is not installed (Debian: man-db)";
  ASSERT_NE(Env("UPDATER_SOURCE_DIR"), "");
  for (const char* page : kPages) {
    SCOPED_TRACE(page);
    std::string path = Env("UPDATER_SOURCE_DIR") + "/docs/" + page;
    ASSERT_TRUE(e2e::Exists(path));
    e2e::RunResult result =
        e2e::RunProgram({"/usr/bin/env", "MANWIDTH=80", "/usr/bin/man", "--warnings", "-l", path},
                        "/", 30);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_NE(result.out.find("SEE ALSO"), std::string::npos);
  }
}

TEST(ManualPages, InstallPutsThemBesideThePrograms) {
  ASSERT_NE(Env("UPDATER_BINARY_DIR"), "");
  e2e::TempDir prefix;
  ASSERT_FALSE(prefix.path().empty());
  e2e::RunResult result = e2e::RunProgram(
      {CMAKE_PROGRAM, "--install", Env("UPDATER_BINARY_DIR"), "--prefix", prefix.path()}, "/", 60);
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  for (const char* program : {"updater", "updater-publish"}) {
    EXPECT_EQ(access((prefix.path() + "/bin/" + program).c_str(), X_OK), 0) << program;
  }
  for (const char* page : kPages) {
    EXPECT_EQ(e2e::ReadFile(prefix.path() + "/share/man/man1/" + page),
              e2e::ReadFile(Env("UPDATER_SOURCE_DIR") + "/docs/" + page));
  }
}

}  // namespace
