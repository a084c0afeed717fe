// The generator of the keys compiled into the program
// (cmake/TrustedKeys.cmake) refuses whatever is not an Ed25519 public key,
// naming the file. That a generated key verifies in the program is shown by
// the end-to-end tests, which run an updater built with one.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "cli/e2e_fixture.h"

namespace {

TEST(BuiltInKeys, GeneratorRefusesOtherFiles) {
  e2e::TempDir dir;
  const std::string base = dir.path() + "/", output = base + "keys.cpp";
  const char x25519[] = "openssl genpkey -algorithm x25519 | openssl pkey -pubout -out x.pub";
  ASSERT_EQ(e2e::RunProgram({"/bin/sh", "-c", x25519}, base).status, 0);
  // Each after a good key, which does not stop the check of the others.
  const std::string cases[][2] = {
      {"x.pub", base + "x.pub is not an Ed25519 public key in PEM form"},
      {"missing.pub", "cannot read " + base + "missing.pub"},
  };
  for (const auto& [key, error] : cases) {
    e2e::RunResult result =
        e2e::RunProgram({CMAKE_PROGRAM, "-DOUTPUT=" + output,
                         "-DKEYS=" BUILTIN_TEST_KEY ";" + base + key, "-P", TRUSTED_KEYS_SCRIPT},
                        base);
    EXPECT_NE(result.status, 0) << key;
    // CMake wraps long messages; compare with single blanks.
    std::string err = std::regex_replace(result.err, std::regex("[ \n]+"), " ");
    EXPECT_NE(err.find("UPDATER_TRUSTED_KEYS: " + error), std::string::npos) << result.err;
    EXPECT_FALSE(e2e::Exists(output));
  }
}

}  // namespace
