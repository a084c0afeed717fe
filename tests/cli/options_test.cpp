// The real updater's options, usage text and early run, byte for byte; runs
// reaching the download go to a loopback port where nobody listens.
#include "options.h"

#include <getopt.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "cli/e2e_fixture.h"
#include "gtest/gtest.h"
#include "loopback_port.h"

namespace {

const char kBanner[] = "*** Tessaworks' Updater 2.01 (CLI) ***\n\n";
const char kUsage[] =
    "Command line options:\n\n"
    "-a, --all\t\tMark all packages before performing upgrade\n"
    "-d, --dir\t\tUse alternate base directory instead of current working directory\n"
    "-h, --help\t\tThis screen\n";

class UpdaterProgram : public ::testing::Test {
 protected:
  // The program as "updater" in the work directory, for getopt_long's lines.
  void SetUp() override {
    ASSERT_TRUE(e2e::MakeDirs(work));
    ASSERT_EQ(symlink((build + "/cli/updater").c_str(), (work + "/updater").c_str()), 0);
  }

  // Runs "updater ARGS..." and checks both outputs and the exit status.
  void ExpectRun(std::vector<std::string> args, const std::string& out, const std::string& err,
                 int status = 1) {
    args.insert(args.begin(), "updater");
    e2e::RunResult result = e2e::RunProgram(args, work);
    EXPECT_EQ(result.out, out) << args[1];
    EXPECT_EQ(result.err, err) << args[1];
    EXPECT_EQ(result.status, status) << args[1];
  }

  e2e::TempDir root;
  std::string work = root.path() + "/work", build = getenv("UPDATER_BINARY_DIR");
  std::string key = build + "/tests/cli/builtin-test.pub";  // made by the test build
  // "--server=127.0.0.1:PORT" for a loopback port where nobody listens.
  std::string closed = "--server=127.0.0.1:" + std::to_string(FreeLoopbackPort());
};

TEST_F(UpdaterProgram, HelpAndOptionErrorsPrintTheUsageAndFail) {
  const std::string server = "Option --server: ", needs = " requires an argument.\n";
  struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"-h"}, ""},
      // getopt_long's own line comes first, then the program's.
      {{"-x"}, "updater: invalid option -- 'x'\nUnknown option `-x'.\n"},
      {{"-d"}, "updater: option requires an argument -- 'd'\nOption -d" + needs},
      {{"-p"}, "updater: option requires an argument -- 'p'\nOption -p" + needs},
      {{"-t"}, "updater: option requires an argument -- 't'\nOption -t" + needs},
      {{"--server"}, "updater: option '--server' requires an argument\nOption --server" + needs},
      {{"--bogus"}, "updater: unrecognized option '--bogus'\nUnknown option character `\\x0'.\n"},
      {{"-\xe9"}, "updater: invalid option -- '\xe9'\nUnknown option character `\\xe9'.\n"},
      {{"--check=yes"},
       "updater: option '--check' doesn't allow an argument\nOption --check takes no argument.\n"},
      {{"--server="}, server + "the server name is empty.\n"},
      {{"--server=https://"}, server + "the server name is empty.\n"},
      {{"--server=example.test/x"}, server + "`example.test/x' is not HOST or HOST:PORT.\n"},
      {{"--server", "a\tb"}, server + "`a\tb' is not HOST or HOST:PORT.\n"},
      {{"--server", std::string(128, 'h')},
       server + "the server name is longer than 127 characters.\n"},
      {{"--jobs", "0"}, "Option --jobs: `0' is not a number from 1 to 32.\n"},
      {{"--jobs=33"}, "Option --jobs: `33' is not a number from 1 to 32.\n"},
      {{"--retries", "99999999999999999999"},
       "Option --retries: `99999999999999999999' is not a number from 0 to 10.\n"},
      {{"--speed-limit", "1k"},
       "Option --speed-limit: `1k' is not a number from 0 to 1073741824.\n"},
      {{"--speed-time=0"}, "Option --speed-time: `0' is not a number from 1 to 86400.\n"},
      {{"--ca-file=/"}, "Option --ca-file: cannot read /: Is a directory.\n"},
      {{"-p", std::string(32, 'p')},
       "Option -p: the platform name is longer than 31 characters.\n"},
      // An empty directory would be the root of the filesystem.
      {{"-d", "", closed}, "Option -d: the directory name is empty.\n"},
      {{"-d", "/" + std::string(1022, 'd')},
       "Option -d: the directory name is longer than 1022 characters.\n"},
      {{"--trust-key", "/none.pub"},
       "Option --trust-key: cannot read /none.pub: No such file or directory.\n"},
      {std::vector<std::string>(17, "--trust-key=" + key),
       "Option --trust-key: at most 16 keys.\n"},
  };
  for (const auto& c : cases) ExpectRun(c.args, std::string(kBanner) + kUsage, c.err);
}

TEST_F(UpdaterProgram, RunReachesTheDownload) {
  const std::string downloading =
      std::string(kBanner) +
      "Downloading update info files for: centos7.x86_64\n"
      "\nError downloading info files: VDL reports Error Connecting to Host\n";
  // A wrong type is reported and the run goes on.
  ExpectRun({"-t", "medium", closed}, downloading, "Unknown type, must be -t basic or -t full\n");
  // Accepted options and arguments change nothing; a stale scratch file goes.
  ASSERT_TRUE(e2e::WriteFile(work + "/updater-info.xml", "stale"));
  std::vector<std::string> args(16, "--trust-key=" + key);
  for (const char* word :
       {"-3", "-4", "-5", "-a", "-n", "--all", "--no-any-key", "-t", "BASIC", "--jobs", "32",
        "--retries=0", "--speed-limit", "0", "--speed-time=5", "--ca-file", "/dev/null", "extra"}) {
    args.push_back(word);
  }
  args.insert(args.end(), {"-p", "", "-d", work, "--dir", work + "/", closed});
  ExpectRun(args, downloading, "");
  // Nothing is left in the work directory (no INI file, no packs).
  EXPECT_EQ(e2e::ReadTree(work).size(), 1u);
  const std::string platform(31, 'q');
  ExpectRun({"-p", platform, closed},
            kBanner + ("Downloading update info files for: " + platform + "\n") +
                downloading.substr(downloading.find("\nError")),
            "");
}

TEST_F(UpdaterProgram, VersionPrintsTheLibrariesAndSucceeds) {
  // After the banner, one line per library, and no download is tried.
  const std::regex versions(
      "OpenSSL 3\\.[0-9]+\\.[0-9]+[^\n]*\nzlib [0-9]+\\.[0-9.]+\nTinyXML 2\\.[0-9]+\\.[0-9]+\n");
  for (const char* option : {"-V", "--version"}) {
    e2e::RunResult result = e2e::RunProgram({"updater", option, "-d", "", closed}, work);
    EXPECT_EQ(result.out.compare(0, strlen(kBanner), kBanner), 0) << option;
    EXPECT_TRUE(std::regex_match(result.out.substr(strlen(kBanner)), versions)) << result.out;
    EXPECT_EQ(result.err, "") << option;
    EXPECT_EQ(result.status, 0) << option;
  }
}

// The document's URL and the retries, which no run shows.
TEST(ParseOptions, BuildsTheUrlAndSettings) {
  struct {
    std::vector<std::string> words;
    int retries;
    std::string url;
  } cases[] = {
      {{"updater"}, 0, "http://update.tessaworks.com/updates/quillon5-full-centos7.x86_64.info"},
      {{"updater", "-3", "-t", "Basic", "--server", "HTTPS://127.0.0.1:8443", "--retries", "3"},
       3,
       "https://127.0.0.1:8443/updates/quillon-basic-centos7.x86_64.info"},
  };
  for (auto& c : cases) {
    CliSettings settings;
    InitSettings(&settings);
    std::vector<char*> argv;
    for (std::string& word : c.words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    optind = 0;
    ASSERT_EQ(ParseOptions(c.words.size(), argv.data(), &settings, stdout, stderr), -1);
    FinishSettings(&settings);
    EXPECT_EQ(settings.retries, c.retries);
    char url[256];
    ASSERT_TRUE(BuildInfoUrl(settings, url, sizeof(url)));
    EXPECT_EQ(url, c.url);
  }
}

}  // namespace
