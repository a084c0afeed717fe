// Helpers of the tests that run real programs: temporary directories, servers
// on 127.0.0.1 and programs run as children with their output captured, and
// directory trees read byte for byte. Every child a helper starts is
// stopped before it returns or by its destructor; every wait is bounded.
// Single-threaded use.
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

// `python3 -m http.server` over `dir` or `python3 script PORT ARGS...` on
// 127.0.0.1; Start fails when none of a few ports accepts within seconds.
class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess() { Stop(); }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;
  bool StartHttpServer(const std::string& dir);
  bool StartScript(const std::string& script, const std::vector<std::string>& args = {});
  void Stop();
  int port() const { return port_; }

 private:
  bool Start(const std::vector<std::string>& before, const std::vector<std::string>& after);

  pid_t pid_ = -1;
  int port_ = 0;
};

struct RunResult {
  int status = -1;  // exit status, or -1 when the program did not exit normally
  bool timedOut = false;
  std::string out, err;
};
// Runs `argv` (argv[0] is its path) in `cwd` to its end, killed after the time.
RunResult RunProgram(const std::vector<std::string>& argv, const std::string& cwd,
                     int timeoutSeconds = 60);
// The same, killed once standard output (a pipe of one page, so that the
// program is at most two pages ahead) holds `text`.
RunResult RunUntil(const std::vector<std::string>& argv, const std::string& cwd,
                   const std::string& text, int timeoutSeconds = 20);

// WriteFile creates missing parent directories and sets `mode`.
bool WriteFile(const std::string& path, const std::string& content, mode_t mode = 0644);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
bool MakeDirs(const std::string& path);
void RemoveTree(const std::string& path);

// An entry of a tree by relative path; links and the like hold "(special file)".
struct TreeEntry {
  bool directory = false;
  mode_t mode = 0;  // permission bits of a file
  std::string content;
};
bool operator==(const TreeEntry& a, const TreeEntry& b);
void PrintTo(const TreeEntry& entry, std::ostream* os);
typedef std::map<std::string, TreeEntry> Tree;
Tree ReadTree(const std::string& root);
// Add a file (with its parent directories) or a directory to a tree.
void AddFile(Tree* tree, const std::string& path, const std::string& content, mode_t mode = 0644);
void AddDir(Tree* tree, const std::string& path);

}  // namespace e2e

#endif  // UPDATER_TESTS_CLI_E2E_FIXTURE_H_
