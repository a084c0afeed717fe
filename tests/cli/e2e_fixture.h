// Helpers of the tests that run real programs: temporary directories, servers
// on 127.0.0.1 run as child processes, programs run as children with their
// output captured, and directory trees read byte for byte.
//
// Every child process a helper starts is stopped by the helper's destructor;
// every wait is bounded. Single-threaded use.
#ifndef UPDATER_TESTS_CLI_E2E_FIXTURE_H_
#define UPDATER_TESTS_CLI_E2E_FIXTURE_H_

#include <sys/types.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace e2e {

// A directory made with mkdtemp under `parent`, removed with its content;
// path() is empty when it could not be made.
class TempDir {
 public:
  explicit TempDir(const std::string& parent = "/tmp");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A port on 127.0.0.1 that was free a moment ago; nothing listens on it.
int FreePort();

// A server process on 127.0.0.1 that takes its port on the command line.
class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess() { Stop(); }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // `python3 -m http.server` serving `dir`, or `python3 script PORT ARGS...`.
  // False when it does not accept connections within a few seconds (after a
  // few ports are tried).
  bool StartHttpServer(const std::string& dir);
  bool StartScript(const std::string& script, const std::vector<std::string>& args = {});
  void Stop();
  int port() const { return port_; }

 private:
  bool Start(const std::vector<std::string>& argsBeforePort,
             const std::vector<std::string>& argsAfterPort);

  pid_t pid_ = -1;
  int port_ = 0;
};

struct RunResult {
  int status = -1;  // exit status, or -1 when the program did not exit normally
  bool timedOut = false;
  std::string out;
  std::string err;
};

// A program running as a child with standard input from /dev/null and both
// outputs read through pipes. The destructor kills and reaps it.
class WatchedProgram {
 public:
  WatchedProgram() = default;
  ~WatchedProgram() { Kill(); }
  WatchedProgram(const WatchedProgram&) = delete;
  WatchedProgram& operator=(const WatchedProgram&) = delete;

  // Starts `argv` (argv[0] is the program's path) in `cwd`. With `onePage`,
  // standard output is a pipe of one page, so the program can be at most
  // two pages of output ahead of what the test has seen.
  bool Start(const std::vector<std::string>& argv, const std::string& cwd, bool onePage = true);
  // Reads the outputs until standard output holds `text` (any text when
  // empty: until both are closed); false when they close or `timeoutSeconds`
  // pass first.
  bool WaitFor(const std::string& text, double timeoutSeconds = 20);
  // Waits up to `timeoutSeconds` for the exit status; -1 when it did not
  // exit normally in time (it is killed then).
  int Wait(double timeoutSeconds);
  void Kill();
  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }

 private:
  pid_t pid_ = -1;
  int fds_[2] = {-1, -1};
  std::string out_, err_;
};

// Runs `argv` in `cwd` to its end, killed after `timeoutSeconds`.
RunResult RunProgram(const std::vector<std::string>& argv, const std::string& cwd,
                     int timeoutSeconds = 60);

// WriteFile creates missing parent directories and sets `mode`.
bool WriteFile(const std::string& path, const std::string& content, mode_t mode = 0644);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
bool MakeDirs(const std::string& path);
void RemoveTree(const std::string& path);

// One entry of a directory tree; a link or other special file has the
// content "(special file)".
struct TreeEntry {
  bool directory = false;
  mode_t mode = 0;  // permission bits of a file (& 07777)
  std::string content;
};
bool operator==(const TreeEntry& a, const TreeEntry& b);
void PrintTo(const TreeEntry& entry, std::ostream* os);
typedef std::map<std::string, TreeEntry> Tree;

// The tree under `root`, by relative path of every file and directory.
Tree ReadTree(const std::string& root);
// Add a file (and its parent directories) or a directory to a tree.
void AddFile(Tree* tree, const std::string& path, const std::string& content, mode_t mode = 0644);
void AddDir(Tree* tree, const std::string& path);

}  // namespace e2e

#endif  // UPDATER_TESTS_CLI_E2E_FIXTURE_H_
