// The updater program's options, usage text and early run sequence, checked
// byte for byte on the real binary run as a child process. Runs that get as
// far as the download are pointed at a loopback port that nobody listens
// on, so they fail at once without any server.
#include "options.h"

#include <getopt.h>
#include <unistd.h>

#include <cstdio>
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
    "Command line options:\n"
    "\n"
    "-a, --all\t\tMark all packages before performing upgrade\n"
    "-d, --dir\t\tUse alternate base directory instead of current working directory\n"
    "-h, --help\t\tThis screen\n";

class UpdaterProgram : public ::testing::Test {
 protected:
  // The work directory holds the program under the name "updater", which
  // getopt_long's messages show.
  void SetUp() override {
    ASSERT_TRUE(e2e::MakeDirs(work));
    const char* build = getenv("UPDATER_BINARY_DIR");
    ASSERT_NE(build, nullptr) << "UPDATER_BINARY_DIR is not set";
    key = std::string(build) + "/tests/cli/builtin-test.pub";
    ASSERT_EQ(symlink((std::string(build) + "/cli/updater").c_str(), (work + "/updater").c_str()),
              0);
  }

  // Runs "updater ARGS..." in the work directory and checks both outputs
  // and the exit status.
  void ExpectRun(std::vector<std::string> args, const std::string& out, const std::string& err,
                 int status = 1) {
    args.insert(args.begin(), "updater");
    e2e::RunResult result = e2e::RunProgram(args, work);
    EXPECT_EQ(result.out, out) << args[1];
    EXPECT_EQ(result.err, err) << args[1];
    EXPECT_EQ(result.status, status) << args[1];
  }

  // "--server=127.0.0.1:PORT" for a loopback port that was free a moment ago.
  static std::string ClosedServer() {
    return "--server=127.0.0.1:" + std::to_string(FreeLoopbackPort());
  }

  e2e::TempDir root;
  std::string work = root.path() + "/work";
  std::string key;  // an Ed25519 public key that the test build made
};

TEST_F(UpdaterProgram, HelpAndOptionErrorsPrintTheUsageAndFail) {
  const std::string server = "Option --server: ";
  std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"-h"}, ""},
      {{"--help"}, ""},
      // getopt_long's own line comes first, then the program's.
      {{"-x"}, "updater: invalid option -- 'x'\nUnknown option `-x'.\n"},
      {{"--dir"},
       "updater: option '--dir' requires an argument\nOption -d requires an argument.\n"},
      {{"--server"},
       "updater: option '--server' requires an argument\nOption --server requires an argument.\n"},
      {{"--trust-key"},
       "updater: option '--trust-key' requires an argument\nOption --trust-key requires an "
       "argument.\n"},
      {{"--bogus"}, "updater: unrecognized option '--bogus'\nUnknown option character `\\x0'.\n"},
      {{"-\x01"}, "updater: invalid option -- '\x01'\nUnknown option character `\\x1'.\n"},
      {{"-\xe9"}, "updater: invalid option -- '\xe9'\nUnknown option character `\\xe9'.\n"},
      {{"--server="}, server + "the server name is empty.\n"},
      {{"--server=example.test/x"}, server + "`example.test/x' is not HOST or HOST:PORT.\n"},
      {{"--server", "a\tb"}, server + "`a\tb' is not HOST or HOST:PORT.\n"},
      {{"--server", std::string(128, 'h')},
       server + "the server name is longer than 127 characters.\n"},
      {{"--jobs", "0"}, "Option --jobs: `0' is not a number from 1 to 32.\n"},
      {{"--jobs=33"}, "Option --jobs: `33' is not a number from 1 to 32.\n"},
      {{"--retries", "99999999999999999999"},
       "Option --retries: `99999999999999999999' is not a number from 0 to 10.\n"},
      {{"--retries"},
       "updater: option '--retries' requires an argument\nOption --retries requires an "
       "argument.\n"},
      {{"--check=yes"},
       "updater: option '--check' doesn't allow an argument\nOption --check takes no argument.\n"},
      {{"--speed-limit", "1k"},
       "Option --speed-limit: `1k' is not a number from 0 to 1073741824.\n"},
      {{"--speed-time=0"}, "Option --speed-time: `0' is not a number from 1 to 86400.\n"},
      {{"--server=https://"}, server + "the server name is empty.\n"},
      {{"--server", "https://example.test/"},
       server + "`https://example.test/' is not HOST or HOST:PORT.\n"},
      {{"--ca-file=/"}, "Option --ca-file: cannot read /: Is a directory.\n"},
      {{"-p", std::string(32, 'p')},
       "Option -p: the platform name is longer than 31 characters.\n"},
      // An empty directory would be the root of the filesystem. Were it
      // taken, the run would stop at the closed loopback server.
      {{"-d", "", ClosedServer()}, "Option -d: the directory name is empty.\n"},
      {{"-d", "/" + std::string(1022, 'd')},
       "Option -d: the directory name is longer than 1022 characters.\n"},
      // --trust-key reads its file at once; a bad one ends the run here.
      {{"--trust-key", root.path() + "/none.pub"},
       "Option --trust-key: cannot read " + root.path() +
           "/none.pub: No such file or directory.\n"},
      {{"--trust-key=/dev/null"},
       "Option --trust-key: /dev/null is not an Ed25519 public key in PEM form.\n"},
      {std::vector<std::string>(17, "--trust-key=" + key),
       "Option --trust-key: at most 16 keys.\n"},
  };
  for (std::string option : {"d", "p", "t"}) {
    cases.push_back({{"-" + option},
                     "updater: option requires an argument -- '" + option + "'\nOption -" + option +
                         " requires an argument.\n"});
  }
  for (const auto& c : cases) ExpectRun(c.first, std::string(kBanner) + kUsage, c.second);
}

TEST_F(UpdaterProgram, RunReachesTheDownload) {
  std::string server = ClosedServer();
  const std::string failure =
      "\nError downloading info files: VDL reports Error Connecting to Host\n";
  const std::string downloading =
      std::string(kBanner) + "Downloading update info files for: centos7.x86_64\n" + failure;
  // A wrong type is reported and the run goes on.
  ExpectRun({"-t", "medium", server}, downloading, "Unknown type, must be -t basic or -t full\n");
  // Accepted options and non-option arguments change nothing that shows
  // before the download; a stale scratch file is deleted even so.
  ASSERT_TRUE(e2e::WriteFile(work + "/updater-info.xml", "stale"));
  ExpectRun({"-3",
             "-4",
             "-5",
             "-a",
             "-n",
             "--all",
             "--no-any-key",
             "-t",
             "BASIC",
             "-p",
             "",
             "-d",
             work,
             "--dir",
             work + "/",
             "--jobs",
             "32",
             "--retries=0",
             "--speed-limit",
             "0",
             "--speed-time=5",
             "--ca-file",
             "/dev/null",
             "extra",
             server},
            downloading, "");
  EXPECT_FALSE(e2e::Exists(work + "/updater-info.xml"));
  ExpectRun(
      {"-p", std::string(31, 'q'), server},
      kBanner + ("Downloading update info files for: " + std::string(31, 'q') + "\n") + failure,
      "");
  // Sixteen trusted keys are taken; the run reaches the download as ever.
  std::vector<std::string> keys(16, "--trust-key=" + key);
  keys.push_back(server);
  ExpectRun(keys, downloading, "");
  // Nothing else was left in the work directory (no INI file, no packs).
  EXPECT_EQ(e2e::ReadTree(work).size(), 1u);
}

TEST_F(UpdaterProgram, VersionPrintsTheLibrariesAndSucceeds) {
  // After the banner, one line per library, and no download is tried.
  const std::regex versions(
      "OpenSSL 3\\.[0-9]+\\.[0-9]+[^\n]*\nzlib [0-9]+\\.[0-9.]+\nTinyXML 2\\.[0-9]+\\.[0-9]+\n");
  for (const char* option : {"-V", "--version"}) {
    e2e::RunResult result = e2e::RunProgram({"updater", option, "-d", "", ClosedServer()}, work);
    EXPECT_EQ(result.out.compare(0, strlen(kBanner), kBanner), 0) << option;
    EXPECT_TRUE(std::regex_match(result.out.substr(strlen(kBanner)), versions)) << result.out;
    EXPECT_EQ(result.err, "") << option;
    EXPECT_EQ(result.status, 0) << option;
  }
}

// The parser on its own: the settings it produces and the URL.
TEST(ParseOptions, FillsTheSettings) {
  CliSettings settings;
  InitSettings(&settings);
  std::vector<std::string> words = {"updater",
                                    "-3",
                                    "-t",
                                    "Basic",
                                    "-d",
                                    "/opt/bot",
                                    "--server",
                                    "HTTPS://127.0.0.1:8443",
                                    "-a",
                                    "--jobs=8",
                                    "--retries",
                                    "3",
                                    "--speed-limit=0",
                                    "--speed-time",
                                    "7",
                                    "--ca-file",
                                    "/dev/null"};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  optind = 0;
  FILE* sink = fopen("/dev/null", "w");
  ASSERT_EQ(ParseOptions(static_cast<int>(words.size()), argv.data(), &settings, sink, sink), -1);
  fclose(sink);
  FinishSettings(&settings);
  EXPECT_STREQ(settings.baseDir, "/opt/bot/");
  EXPECT_TRUE(settings.markAll);
  EXPECT_EQ(settings.jobs, 8);
  EXPECT_EQ(settings.retries, 3);
  EXPECT_EQ(settings.speedLimit, 0);
  EXPECT_EQ(settings.speedTime, 7);
  EXPECT_STREQ(settings.caFile, "/dev/null");
  char url[256];
  ASSERT_TRUE(BuildInfoUrl(settings, url, sizeof(url)));
  EXPECT_STREQ(url, "https://127.0.0.1:8443/updates/quillon-basic-centos7.x86_64.info");
  EXPECT_FALSE(BuildInfoUrl(settings, url, 20)) << "too long for the buffer";

  InitSettings(&settings);
  FinishSettings(&settings);
  EXPECT_STREQ(settings.baseDir, "/");
  EXPECT_EQ(settings.jobs, 1);
  EXPECT_EQ(settings.retries, 0);
  EXPECT_EQ(settings.speedLimit, 1024);
  EXPECT_EQ(settings.speedTime, 60);
  EXPECT_STREQ(settings.caFile, "");
  ASSERT_TRUE(BuildInfoUrl(settings, url, sizeof(url)));
  EXPECT_STREQ(url, "http://update.tessaworks.com/updates/quillon5-full-centos7.x86_64.info");
}

}  // namespace
