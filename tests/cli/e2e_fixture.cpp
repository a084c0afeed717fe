// Helpers of the tests that run real programs.
#include "cli/e2e_fixture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "loopback_port.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

const char kPython[] = "/usr/bin/python3";
const size_t kOutputLimit = 16u << 20;  // no run of the updater prints this much

double Now() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec + now.tv_nsec / 1e9;
}

bool CanConnect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (fd >= 0) close(fd);
  return ok;
}

// Forks `argv` in `cwd` with standard input from /dev/null and the given
// descriptors (or /dev/null) as standard output and error.
pid_t Spawn(const std::vector<std::string>& argv, const char* cwd, int out, int err) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);  // a child outlives no test program
  int null = open("/dev/null", O_RDWR);
  dup2(null, 0);
  dup2(out >= 0 ? out : null, 1);
  dup2(err >= 0 ? err : null, 2);
  if (cwd != nullptr && chdir(cwd) != 0) _exit(126);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

// The exit status of `pid` within `deadline`, or -1 (killed) after it.
int Reap(pid_t pid, double deadline) {
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    usleep(10 * 1000);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// One poll of both outputs until `deadline`; what is read goes to `sinks`,
// and an output that ends is closed and set to -1.
void ReadSome(int fds[2], std::string* sinks[2], double deadline) {
  pollfd ready[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
  if (poll(ready, 2, static_cast<int>((deadline - Now()) * 1000) + 1) <= 0) return;
  for (int i = 0; i < 2; ++i) {
    if (fds[i] < 0 || ready[i].revents == 0) continue;
    char buffer[8192];
    const ssize_t got = read(fds[i], buffer, sizeof buffer);
    if (got > 0) sinks[i]->append(buffer, got);
    if (got == 0 || (got < 0 && errno != EINTR)) {
      close(fds[i]);
      fds[i] = -1;
    }
  }
}

}  // namespace

void RemoveTree(const std::string& path) {
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

TempDir::TempDir(const std::string& parent) {
  std::string pattern = parent + "/updater-e2e-XXXXXX";
  if (mkdtemp(&pattern[0]) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  if (!path_.empty()) RemoveTree(path_);
}

int FreePort() { return FreeLoopbackPort(); }

bool ServerProcess::StartHttpServer(const std::string& dir) {
  return Start({kPython, "-m", "http.server", "--bind", "127.0.0.1"}, {"--directory", dir});
}

bool ServerProcess::StartScript(const std::string& script, const std::vector<std::string>& args) {
  return Start({kPython, script}, args);
}

bool ServerProcess::Start(const std::vector<std::string>& before,
                          const std::vector<std::string>& after) {
  Stop();
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = FreePort();
    std::vector<std::string> argv = before;
    argv.push_back(std::to_string(port_));
    argv.insert(argv.end(), after.begin(), after.end());
    if ((pid_ = Spawn(argv, nullptr, -1, -1)) < 0) return false;
    for (double deadline = Now() + 15; Now() < deadline; usleep(50 * 1000)) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;  // exited at once: most likely the port was taken again
        break;
      }
      if (CanConnect(port_)) return true;
    }
    Stop();
  }
  return false;
}

void ServerProcess::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  Reap(pid_, Now() + 5);
  pid_ = -1;
}

RunResult RunProgram(const std::vector<std::string>& argv, const std::string& cwd,
                     int timeoutSeconds) {
  return RunUntil(argv, cwd, "", timeoutSeconds);
}

RunResult RunUntil(const std::vector<std::string>& argv, const std::string& cwd,
                   const std::string& text, int timeoutSeconds) {
  RunResult result;
  const double deadline = Now() + timeoutSeconds;
  int out[2] = {-1, -1}, err[2] = {-1, -1};
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    for (int fd : out) close(fd);  // -1 when not made
    return result;
  }
  if (!text.empty()) fcntl(out[1], F_SETPIPE_SZ, 4096);
  const pid_t pid = Spawn(argv, cwd.c_str(), out[1], err[1]);
  close(out[1]);
  close(err[1]);
  int fds[2] = {out[0], err[0]};
  std::string* sinks[2] = {&result.out, &result.err};
  while (pid > 0 && (fds[0] >= 0 || fds[1] >= 0) && Now() < deadline &&
         result.out.size() <= kOutputLimit &&
         (text.empty() || result.out.find(text) == std::string::npos)) {
    ReadSome(fds, sinks, deadline);
  }
  // Stopped early (text seen, too much output, time up): killed at once.
  if (pid > 0 && (fds[0] >= 0 || fds[1] >= 0)) kill(pid, SIGKILL);
  for (int fd : fds) {
    if (fd >= 0) close(fd);
  }
  // The outputs are closed; the program gets until the deadline to exit.
  result.status = pid > 0 ? Reap(pid, deadline) : -1;
  result.timedOut = Now() >= deadline;
  return result;
}

bool MakeDirs(const std::string& path) {
  std::error_code error;
  fs::create_directories(path, error);
  return !error;
}

bool WriteFile(const std::string& path, const std::string& content, mode_t mode) {
  size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirs(path.substr(0, slash))) return false;
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = fwrite(content.data(), 1, content.size(), file) == content.size();
  ok = fclose(file) == 0 && ok;
  return ok && chmod(path.c_str(), mode) == 0;
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

Tree ReadTree(const std::string& root) {
  Tree tree;
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
       it.increment(error)) {
    const fs::file_status status = it->symlink_status();
    TreeEntry& item = tree[it->path().string().substr(root.size() + 1)];
    item.directory = fs::is_directory(status);
    item.mode = item.directory ? 0 : static_cast<mode_t>(status.permissions()) & 07777;
    item.content = fs::is_regular_file(status) ? ReadFile(it->path())
                   : item.directory            ? ""
                                               : "(special file)";
  }
  return tree;
}

bool operator==(const TreeEntry& a, const TreeEntry& b) {
  return a.directory == b.directory && a.mode == b.mode && a.content == b.content;
}

void PrintTo(const TreeEntry& entry, std::ostream* os) {
  if (!entry.directory) *os << std::oct << entry.mode << std::dec << " ";
  *os << (entry.directory ? "dir" : ::testing::PrintToString(entry.content));
}

void AddDir(Tree* tree, const std::string& path) {
  for (size_t slash = path.find('/'); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    (*tree)[path.substr(0, slash)].directory = true;
  }
  (*tree)[path].directory = true;
}

void AddFile(Tree* tree, const std::string& path, const std::string& content, mode_t mode) {
  size_t slash = path.rfind('/');
  if (slash != std::string::npos) AddDir(tree, path.substr(0, slash));
  (*tree)[path] = {false, mode, content};
}

}  // namespace e2e
