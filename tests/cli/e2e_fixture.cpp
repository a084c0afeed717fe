// Helpers of the tests that run real programs.
#include "cli/e2e_fixture.h"

#include <fcntl.h>
#include <ftw.h>
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
#include <cstring>
#include <fstream>
#include <iterator>

#include "loopback_port.h"

namespace e2e {
namespace {

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

}  // namespace

void RemoveTree(const std::string& path) {
  nftw(
      path.c_str(),
      [](const char* name, const struct stat*, int, FTW*) {
        remove(name);
        return 0;
      },
      16, FTW_DEPTH | FTW_PHYS);
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
    int status;
    for (double deadline = Now() + 15; Now() < deadline; usleep(50 * 1000)) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
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

bool WatchedProgram::Start(const std::vector<std::string>& argv, const std::string& cwd,
                           bool onePage) {
  Kill();
  out_.clear();
  err_.clear();
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return false;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return false;
  }
  if (onePage) fcntl(out[1], F_SETPIPE_SZ, 4096);
  pid_ = Spawn(argv, cwd.c_str(), out[1], err[1]);
  close(out[1]);
  close(err[1]);
  fds_[0] = out[0];
  fds_[1] = err[0];
  return pid_ > 0;
}

bool WatchedProgram::WaitFor(const std::string& text, double timeoutSeconds) {
  double deadline = Now() + timeoutSeconds;
  std::string* sinks[2] = {&out_, &err_};
  while (text.empty() || out_.find(text) == std::string::npos) {
    pollfd fds[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
    int left = static_cast<int>((deadline - Now()) * 1000);
    if ((fds_[0] < 0 && fds_[1] < 0) || left <= 0 || out_.size() > kOutputLimit) return false;
    if (poll(fds, 2, left) < 0 && errno != EINTR) return false;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[8192];
      ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) sinks[i]->append(buffer, got);
      if (got == 0 || (got < 0 && errno != EINTR)) {
        close(fds_[i]);
        fds_[i] = -1;
      }
    }
  }
  return true;
}

int WatchedProgram::Wait(double timeoutSeconds) {
  int status = pid_ > 0 ? Reap(pid_, Now() + timeoutSeconds) : -1;
  pid_ = -1;
  return status;
}

void WatchedProgram::Kill() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  for (int& fd : fds_) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

RunResult RunProgram(const std::vector<std::string>& argv, const std::string& cwd,
                     int timeoutSeconds) {
  RunResult result;
  WatchedProgram program;
  double deadline = Now() + timeoutSeconds;
  if (!program.Start(argv, cwd, false)) return result;
  program.WaitFor("", timeoutSeconds);
  // The outputs are closed; the program gets until the deadline to exit.
  result.status = program.Wait(deadline - Now());
  result.timedOut = Now() >= deadline;
  result.out = program.out();
  result.err = program.err();
  return result;
}

bool MakeDirs(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    if (mkdir(path.substr(0, slash).c_str(), 0755) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) return true;
  }
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
  static Tree* tree;  // nftw's callback takes no context
  static size_t prefix;
  Tree result;
  tree = &result;
  prefix = root.size() + 1;
  nftw(
      root.c_str(),
      [](const char* path, const struct stat* info, int, FTW* where) {
        if (where->level == 0) return 0;
        TreeEntry& item = (*tree)[path + prefix];
        item.directory = S_ISDIR(info->st_mode);
        item.mode = item.directory ? 0 : info->st_mode & 07777;
        item.content = S_ISREG(info->st_mode) ? ReadFile(path)
                       : item.directory       ? ""
                                              : "(special file)";
        return 0;
      },
      16, FTW_PHYS);
  return result;
}

bool operator==(const TreeEntry& a, const TreeEntry& b) {
  return a.directory == b.directory && a.mode == b.mode && a.content == b.content;
}

void PrintTo(const TreeEntry& entry, std::ostream* os) {
  if (entry.directory) {
    *os << "dir";
  } else {
    char mode[8];
    snprintf(mode, sizeof mode, "%04o ", static_cast<unsigned>(entry.mode));
    *os << mode << ::testing::PrintToString(entry.content);
  }
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
