// Helpers of the end-to-end tests.
#include "cli/e2e_fixture.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "loopback_port.h"

namespace e2e {
namespace {

const char kPython[] = "/usr/bin/python3";
constexpr int kWidth = 80;

double Now() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec + now.tv_nsec / 1e9;
}

bool CanConnect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

// Child side of a fork: standard input from /dev/null, and the given
// descriptors (or /dev/null) as standard output and error; then exec.
[[noreturn]] void ExecChild(const std::vector<std::string>& argv, const char* cwd, int out,
                            int err) {
  // A child outlives no test program, even one that is killed.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
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

void Pad(std::string* line) {
  if (line->size() < static_cast<size_t>(kWidth)) line->append(kWidth - line->size(), ' ');
}

std::string Bar(int64_t width, uint64_t received, uint64_t total) {
  int64_t filled = static_cast<int64_t>(static_cast<double>(received) / total * width);
  if (filled < 1) filled = 0;
  std::string bar(filled, '#');
  if (filled < width) bar.append(width - filled, ' ');
  return bar;
}

}  // namespace

void RemoveTree(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return;
  if (S_ISDIR(info.st_mode)) {
    chmod(path.c_str(), 0755);
    if (DIR* dir = opendir(path.c_str())) {
      while (struct dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
          RemoveTree(path + "/" + entry->d_name);
        }
      }
      closedir(dir);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
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
    if (port_ == 0) continue;
    std::vector<std::string> argv = before;
    argv.push_back(std::to_string(port_));
    argv.insert(argv.end(), after.begin(), after.end());
    pid_ = fork();
    if (pid_ == 0) ExecChild(argv, nullptr, -1, -1);
    if (pid_ < 0) return false;
    double deadline = Now() + 15;
    while (Now() < deadline) {
      int status;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;  // exited at once: most likely the port was taken again
        break;
      }
      if (CanConnect(port_)) return true;
      usleep(50 * 1000);
    }
    Stop();
  }
  return false;
}

void ServerProcess::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  double deadline = Now() + 5;
  int status;
  while (Now() < deadline) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    usleep(20 * 1000);
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

RunResult RunProgram(const std::vector<std::string>& argv, const std::string& cwd,
                     int timeoutSeconds) {
  RunResult result;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return result;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return result;
  }
  pid_t pid = fork();
  if (pid == 0) ExecChild(argv, cwd.c_str(), out[1], err[1]);
  close(out[1]);
  close(err[1]);
  const size_t kLimit = 16u << 20;  // no run of the updater prints this much
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = pid > 0 ? 2 : 0;
  double deadline = Now() + timeoutSeconds;
  while (open > 0) {
    int left = static_cast<int>((deadline - Now()) * 1000);
    if (left <= 0) {
      result.timedOut = true;
      break;
    }
    if (poll(fds, 2, left) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[8192];
      ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0 && sinks[i]->size() < kLimit) sinks[i]->append(buffer, got);
      if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (pollfd& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  if (pid > 0) {
    // The outputs are closed; the program gets until the deadline to exit.
    int status = 0;
    while (!result.timedOut && waitpid(pid, &status, WNOHANG) == 0) {
      if (Now() >= deadline) {
        result.timedOut = true;
      } else {
        usleep(10 * 1000);
      }
    }
    if (result.timedOut) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    } else if (WIFEXITED(status)) {
      result.status = WEXITSTATUS(status);
    }
  }
  return result;
}

bool WatchedProgram::Start(const std::vector<std::string>& argv, const std::string& cwd) {
  Kill();
  out_.clear();
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return false;
  // One page: a program that gets ahead of the reader waits in its write.
  fcntl(out[1], F_SETPIPE_SZ, 4096);
  pid_ = fork();
  if (pid_ == 0) ExecChild(argv, cwd.c_str(), out[1], -1);
  close(out[1]);
  output_ = out[0];
  return pid_ > 0;
}

bool WatchedProgram::WaitFor(const std::string& text, int timeoutSeconds) {
  double deadline = Now() + timeoutSeconds;
  const size_t kLimit = 16u << 20;
  while (out_.find(text) == std::string::npos) {
    int left = static_cast<int>((deadline - Now()) * 1000);
    if (output_ < 0 || left <= 0 || out_.size() > kLimit) return false;
    pollfd watch = {output_, POLLIN, 0};
    if (poll(&watch, 1, left) < 0 && errno != EINTR) return false;
    if (watch.revents == 0) continue;
    char buffer[8192];
    ssize_t got = read(output_, buffer, sizeof buffer);
    if (got > 0) {
      out_.append(buffer, got);
    } else if (got == 0 || errno != EINTR) {
      return false;  // the program has closed its output
    }
  }
  return true;
}

void WatchedProgram::Kill() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    int status;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  if (output_ >= 0) close(output_);
  output_ = -1;
}

bool MakeDirs(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string prefix = path.substr(0, slash);
    if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
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
  std::string content;
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return content;
  char buffer[8192];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, got);
  fclose(file);
  return content;
}

bool Exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

uint64_t FileSize(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

static void ReadTreeInto(const std::string& root, const std::string& relative, Tree* tree) {
  std::string dirPath = relative.empty() ? root : root + "/" + relative;
  DIR* dir = opendir(dirPath.c_str());
  if (dir == nullptr) return;
  while (struct dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    std::string child = relative.empty() ? entry->d_name : relative + "/" + entry->d_name;
    struct stat info;
    if (lstat((root + "/" + child).c_str(), &info) != 0) continue;
    TreeEntry& item = (*tree)[child];
    if (S_ISDIR(info.st_mode)) {
      item.directory = true;
      ReadTreeInto(root, child, tree);
    } else {
      item.mode = info.st_mode & 07777;
      item.content = S_ISREG(info.st_mode) ? ReadFile(root + "/" + child) : "(special file)";
    }
  }
  closedir(dir);
}

Tree ReadTree(const std::string& root) {
  Tree tree;
  ReadTreeInto(root, "", &tree);
  return tree;
}

std::string DescribeTree(const Tree& tree) {
  std::string text;
  for (const auto& [path, entry] : tree) {
    if (entry.directory) {
      text += "dir  " + path + "\n";
      continue;
    }
    char head[64];
    snprintf(head, sizeof head, "file %04o ", static_cast<unsigned>(entry.mode));
    text += head + path + " \"";
    for (unsigned char c : entry.content) {
      if (c >= 0x20 && c < 0x7f && c != '\\') {
        text += static_cast<char>(c);
      } else {
        char escape[8];
        snprintf(escape, sizeof escape, "\\x%02x", c);
        text += escape;
      }
    }
    text += "\"\n";
  }
  return text;
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
  TreeEntry& entry = (*tree)[path];
  entry.directory = false;
  entry.mode = mode;
  entry.content = content;
}

void Console::Start(const char* platform) {
  text_ += "*** Tessaworks' Updater 2.01 (CLI) ***\n\n";
  text_ += std::string("Downloading update info files for: ") + platform + "\n";
}

void Console::InfoTransfer(uint64_t total) {
  text_ += PlainBar(0, total);
  text_ += PlainBar(total, total);
}

void Console::FileTransfer(const std::string& name, uint64_t total) {
  Named(name, 0, total);
  Named(name, total, total);
}

void Console::Named(const std::string& name, uint64_t received, uint64_t total) {
  if (strcasecmp(name.c_str(), lastName_.c_str()) != 0) {
    if (!lastName_.empty()) text_ += "\n";
    lastName_ = name;
  }
  text_ += NamedBar(name, received, total);
}

void Console::Line(const std::string& text) { text_ += text + "\n"; }

void Console::Banner(const std::string& title) {
  Line("");
  Line(title);
  Line("");
}

void Console::Install(const std::string& path) {
  Line("Unpacking " + path + " ...");
  Line("Installing " + path + " ... ");
}

std::string Console::PlainBar(uint64_t received, uint64_t total) {
  if (total == 0) {
    return "\rDownloading: " + std::to_string(received) + " bytes received          ";
  }
  std::string line =
      "\r[" + Bar(kWidth - 20, received, total) + "] " + std::to_string(received) + " bytes";
  Pad(&line);
  return line;
}

std::string Console::NamedBar(const std::string& name, uint64_t received, uint64_t total) {
  std::string size = std::to_string(received);
  if (total == 0) return "\rDownloading " + name + ": " + size + " bytes received          ";
  int64_t width = kWidth - static_cast<int64_t>(size.size() + name.size()) - 11;
  if (width > kWidth - 35) width = kWidth - 35;
  std::string line = "\r[" + Bar(width, received, total) + "] " + name + " " + size + " bytes";
  Pad(&line);
  return line;
}

bool ReplaceOnce(std::string* text, const std::string& from, const std::string& to) {
  size_t at = text->find(from);
  if (at == std::string::npos) return false;
  text->replace(at, from.size(), to);
  return true;
}

}  // namespace e2e
