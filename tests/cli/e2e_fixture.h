// Helpers of the end-to-end tests: temporary directories, real HTTP servers
// on 127.0.0.1 run as child processes, running a program as a child with its
// output captured, describing a directory tree byte for byte, and building
// the updater's expected console text.
//
// Every child process a helper starts is stopped by the helper's destructor;
// every wait is bounded. Single-threaded use.
#ifndef UPDATER_TESTS_CLI_E2E_FIXTURE_H_
#define UPDATER_TESTS_CLI_E2E_FIXTURE_H_

#include <sys/types.h>

#include <cstdint>
#include <map>
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

// A port on 127.0.0.1 that was free a moment ago (bound to port 0, read back,
// released). Nothing listens on it afterwards.
int FreePort();

// A server process on 127.0.0.1: Python's http.server over a directory, or a
// Python script that takes the port as its only argument.
class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess() { Stop(); }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Starts `python3 -m http.server` serving `dir`. False when it does not
  // accept connections within a few seconds (after a few ports are tried).
  bool StartHttpServer(const std::string& dir);
  // Starts `python3 script PORT ARGS...`.
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

// Runs `argv` (argv[0] is the program's path) in `cwd`, with standard input
// from /dev/null and both outputs captured; killed after `timeoutSeconds`.
RunResult RunProgram(const std::vector<std::string>& argv, const std::string& cwd,
                     int timeoutSeconds = 60);

// A program running as a child whose output a test reads only as far as it
// waits for: standard output is a pipe of one page, so the program (which
// writes its output by pages, or at once where it flushes) can be at most
// two pages of output ahead of what the test has seen. Standard input and
// error are /dev/null. The destructor kills and reaps a program still
// running.
class WatchedProgram {
 public:
  WatchedProgram() = default;
  ~WatchedProgram() { Kill(); }
  WatchedProgram(const WatchedProgram&) = delete;
  WatchedProgram& operator=(const WatchedProgram&) = delete;

  // Starts `argv` (argv[0] is the program's path) in `cwd`.
  bool Start(const std::vector<std::string>& argv, const std::string& cwd);
  // Reads the output until it holds `text`; false when the program ends or
  // `timeoutSeconds` pass first.
  bool WaitFor(const std::string& text, int timeoutSeconds = 20);
  // Kills the program with SIGKILL and reaps it.
  void Kill();
  const std::string& out() const { return out_; }

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  std::string out_;
};

// File helpers. WriteFile creates missing parent directories and sets `mode`.
bool WriteFile(const std::string& path, const std::string& content, mode_t mode = 0644);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
uint64_t FileSize(const std::string& path);
bool MakeDirs(const std::string& path);
void RemoveTree(const std::string& path);

// One entry of a directory tree.
struct TreeEntry {
  bool directory = false;
  mode_t mode = 0;  // permission bits of a file (& 07777)
  std::string content;
};
typedef std::map<std::string, TreeEntry> Tree;

// The tree under `root`: relative paths of every file and directory.
Tree ReadTree(const std::string& root);
// A readable listing, one line per entry, contents escaped; compare two
// listings to compare two trees byte for byte.
std::string DescribeTree(const Tree& tree);
// Adds a file (and its parent directories) to a tree.
void AddFile(Tree* tree, const std::string& path, const std::string& content, mode_t mode = 0644);
void AddDir(Tree* tree, const std::string& path);

// The updater's console output, built piece by piece in the order the
// program writes it, with progress lines for a terminal of 80 columns.
class Console {
 public:
  // The banner and the line naming the platform.
  void Start(const char* platform = "centos7.x86_64");
  // The progress of the update-info document transfer: the call at the
  // length header and one call for the body (sent in one piece).
  void InfoTransfer(uint64_t total);
  // The same for a pack, with the named bar.
  void FileTransfer(const std::string& name, uint64_t total);
  // "text\n".
  void Line(const std::string& text);
  void Raw(const std::string& text) { text_ += text; }
  // "", title, "".
  void Banner(const std::string& title);
  // "Unpacking %s ..." and "Installing %s ... ".
  void Install(const std::string& path);
  const std::string& text() const { return text_; }

  static std::string PlainBar(uint64_t received, uint64_t total);
  static std::string NamedBar(const std::string& name, uint64_t received, uint64_t total);

 private:
  void Named(const std::string& name, uint64_t received, uint64_t total);

  std::string text_;
  std::string lastName_;
};

// Replaces the first occurrence of `from` in `text`; false when absent.
bool ReplaceOnce(std::string* text, const std::string& from, const std::string& to);

}  // namespace e2e

#endif  // UPDATER_TESTS_CLI_E2E_FIXTURE_H_
