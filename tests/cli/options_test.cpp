// The updater program's options, usage text and early run sequence, checked
// byte for byte on the real binary run as a child process. Runs that get as
// far as the download are pointed at a loopback port that nobody listens
// on, so they fail at once without any server.
#include "options.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "GenLib.h"
#include "gtest/gtest.h"

namespace {

const char kBanner[] = "*** Tessaworks' Updater 2.01 (CLI) ***\n\n";
const char kUsage[] =
    "Command line options:\n"
    "\n"
    "-a, --all\t\tMark all packages before performing upgrade\n"
    "-d, --dir\t\tUse alternate base directory instead of current working directory\n"
    "-h, --help\t\tThis screen\n";
const char kConnectFailure[] =
    "\nError downloading info files: VDL reports Error Connecting to Host\n";

struct RunResult {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or -1 when the child did not exit normally
};

// Reads both pipes until they close or `deadline` passes.
void Drain(int outFd, int errFd, RunResult* result, time_t deadline) {
  struct pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* sinks[2] = {&result->out, &result->err};
  int open = 2;
  while (open > 0 && time(nullptr) < deadline) {
    if (poll(fds, 2, 1000) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char chunk[4096];
      ssize_t got = read(fds[i].fd, chunk, sizeof(chunk));
      if (got > 0) {
        sinks[i]->append(chunk, got);
      } else {
        fds[i].fd = -1;
        --open;
      }
    }
  }
}

class UpdaterProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* dir = getenv("UPDATER_BINARY_DIR");
    ASSERT_NE(dir, nullptr) << "UPDATER_BINARY_DIR is not set";
    binary = std::string(dir) + "/cli/updater";
    ASSERT_EQ(access(binary.c_str(), X_OK), 0) << binary;
    char pattern[] = "/tmp/options_testXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    workDir = pattern;
  }

  void TearDown() override {
    if (workDir.empty()) return;
    std::string command = "rm -rf '" + workDir + "'";
    EXPECT_EQ(system(command.c_str()), 0);
  }

  // Runs the program as "updater" with `args` in the work directory.
  RunResult Run(const std::vector<std::string>& args) {
    RunResult result;
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return result;
    pid_t child = fork();
    if (child == 0) {
      int devNull = open("/dev/null", O_RDONLY);
      dup2(devNull, STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      dup2(err[1], STDERR_FILENO);
      close(out[0]);
      close(err[0]);
      if (chdir(workDir.c_str()) != 0) _exit(126);
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>("updater"));
      for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      execv(binary.c_str(), argv.data());
      _exit(127);
    }
    close(out[1]);
    close(err[1]);
    Drain(out[0], err[0], &result, time(nullptr) + 60);
    close(out[0]);
    close(err[0]);
    if (child < 0) return result;
    kill(child, SIGKILL);  // no effect once it has ended by itself
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    return result;
  }

  // "--server=127.0.0.1:PORT" for a loopback port that was free a moment ago.
  static std::string ClosedServer() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    close(fd);
    return "--server=127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  }

  void ExpectUsageError(const std::vector<std::string>& args, const std::string& err) {
    RunResult result = Run(args);
    EXPECT_EQ(result.out, std::string(kBanner) + kUsage) << args[0];
    EXPECT_EQ(result.err, err) << args[0];
    EXPECT_EQ(result.status, 1) << args[0];
  }

  std::string binary;
  std::string workDir;
};

TEST_F(UpdaterProgram, HelpPrintsTheUsageAndFails) {
  for (const char* option : {"-h", "--help"}) {
    RunResult result = Run({option});
    EXPECT_EQ(result.out, std::string(kBanner) + kUsage);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 1);
  }
}

TEST_F(UpdaterProgram, OptionErrorsPrintAReasonAndTheUsage) {
  // getopt_long's own line comes first, then the program's.
  ExpectUsageError({"-x"}, "updater: invalid option -- 'x'\nUnknown option `-x'.\n");
  ExpectUsageError({"-d"},
                   "updater: option requires an argument -- 'd'\n"
                   "Option -d requires an argument.\n");
  ExpectUsageError({"-p"},
                   "updater: option requires an argument -- 'p'\n"
                   "Option -p requires an argument.\n");
  ExpectUsageError({"-t"},
                   "updater: option requires an argument -- 't'\n"
                   "Option -t requires an argument.\n");
  ExpectUsageError({"--dir"},
                   "updater: option '--dir' requires an argument\n"
                   "Option -d requires an argument.\n");
  ExpectUsageError({"--server"},
                   "updater: option '--server' requires an argument\n"
                   "Option --server requires an argument.\n");
  ExpectUsageError({"--bogus"},
                   "updater: unrecognized option '--bogus'\n"
                   "Unknown option character `\\x0'.\n");
  ExpectUsageError({"-\x01"},
                   "updater: invalid option -- '\x01'\n"
                   "Unknown option character `\\x1'.\n");
}

TEST_F(UpdaterProgram, ServerValueMustBeAHost) {
  ExpectUsageError({"--server="}, "Option --server: the server name is empty.\n");
  ExpectUsageError({"--server", ""}, "Option --server: the server name is empty.\n");
  ExpectUsageError({"--server=example.test/x"},
                   "Option --server: `example.test/x' is not HOST or HOST:PORT.\n");
  ExpectUsageError({"--server", "example .test"},
                   "Option --server: `example .test' is not HOST or HOST:PORT.\n");
  ExpectUsageError({"--server", "a\tb"}, "Option --server: `a\tb' is not HOST or HOST:PORT.\n");
  ExpectUsageError({"--server", std::string(128, 'h')},
                   "Option --server: the server name is longer than 127 characters.\n");
}

TEST_F(UpdaterProgram, OverlongValuesAreRefused) {
  ExpectUsageError({"-p", std::string(32, 'p')},
                   "Option -p: the platform name is longer than 31 characters.\n");
  ExpectUsageError({"-d", "/" + std::string(1022, 'd')},
                   "Option -d: the directory name is longer than 1022 characters.\n");
  ExpectUsageError({"--dir=/" + std::string(1100, 'd')},
                   "Option -d: the directory name is longer than 1022 characters.\n");
}

TEST_F(UpdaterProgram, RunReachesTheDownload) {
  std::string server = ClosedServer();
  const std::string downloading = "Downloading update info files for: centos7.x86_64\n";
  // A stale scratch file is replaced and deleted even when the transfer fails.
  std::string scratch = workDir + "/updater-info.xml";
  FILE* stale = fopen(scratch.c_str(), "w");
  ASSERT_NE(stale, nullptr);
  fputs("stale", stale);
  fclose(stale);

  RunResult plain = Run({server});
  EXPECT_EQ(plain.out, kBanner + downloading + kConnectFailure);
  EXPECT_EQ(plain.err, "");
  EXPECT_EQ(plain.status, 1);
  EXPECT_NE(access(scratch.c_str(), F_OK), 0);

  // A wrong type is reported and the run goes on; accepted options and
  // non-option arguments change nothing that shows before the download.
  RunResult badType = Run({"-t", "medium", server});
  EXPECT_EQ(badType.out, kBanner + downloading + kConnectFailure);
  EXPECT_EQ(badType.err, "Unknown type, must be -t basic or -t full\n");
  EXPECT_EQ(badType.status, 1);

  RunResult accepted = Run({"-3", "-4", "-5", "-a", "-n", "--all", "--no-any-key", "-t", "BASIC",
                            "-p", "", "-d", workDir, "--dir", workDir + "/", "extra", server});
  EXPECT_EQ(accepted.out, kBanner + downloading + kConnectFailure);
  EXPECT_EQ(accepted.err, "");
  EXPECT_EQ(accepted.status, 1);

  RunResult platform = Run({"-p", std::string(31, 'q'), server});
  EXPECT_EQ(platform.out,
            kBanner + ("Downloading update info files for: " + std::string(31, 'q') + "\n") +
                kConnectFailure);
  EXPECT_EQ(platform.status, 1);
  // Nothing else was left in the work directory (no INI file, no packs).
  EXPECT_EQ(system(("test -z \"$(ls -A '" + workDir + "')\"").c_str()), 0);
}

// The parser on its own: the settings it produces.
TEST(ParseOptions, FillsTheSettings) {
  CliSettings settings;
  InitSettings(&settings);
  EXPECT_STREQ(settings.productLine, "5");
  EXPECT_STREQ(settings.installType, "full");
  EXPECT_STREQ(settings.server, "update.tessaworks.com");

  std::vector<std::string> words = {
      "updater", "-3", "-t", "Basic", "-d", "/opt/bot", "--server", "127.0.0.1:8080", "-a"};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  optind = 0;
  FILE* sink = fopen("/dev/null", "w");
  ASSERT_EQ(ParseOptions(static_cast<int>(words.size()), argv.data(), &settings, sink, sink), -1);
  fclose(sink);
  FinishSettings(&settings);
  EXPECT_STREQ(settings.productLine, "");
  EXPECT_STREQ(settings.installType, "basic");
  EXPECT_STREQ(settings.baseDir, "/opt/bot/");
  EXPECT_STREQ(settings.platform, "centos7.x86_64");
  EXPECT_TRUE(settings.markAll);
  char url[256];
  ASSERT_TRUE(BuildInfoUrl(settings, url, sizeof(url)));
  EXPECT_STREQ(url, "http://127.0.0.1:8080/updates/quillon-basic-centos7.x86_64.info");

  InitSettings(&settings);
  FinishSettings(&settings);
  EXPECT_STREQ(settings.baseDir, "/");
  ASSERT_TRUE(BuildInfoUrl(settings, url, sizeof(url)));
  EXPECT_STREQ(url, "http://update.tessaworks.com/updates/quillon5-full-centos7.x86_64.info");
  strlcpy(settings.baseDir, "/opt/bot/", sizeof(settings.baseDir));
  FinishSettings(&settings);
  EXPECT_STREQ(settings.baseDir, "/opt/bot/");
  EXPECT_FALSE(BuildInfoUrl(settings, url, 20));
}

}  // namespace
