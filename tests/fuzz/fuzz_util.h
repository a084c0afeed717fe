// Helpers of the fuzz targets: a temporary directory that lives as long as
// the process, running one input inside it, and a check that an input left
// no tracked block behind.
//
// A fuzz target must not write outside its temporary directory, must be
// deterministic and must not leak. LeakSanitizer cannot see a leaked tracked
// block, since the allocation registry still points at it; the registry's
// count is compared instead. Single-threaded use, as libFuzzer calls a target.
#ifndef UPDATER_TESTS_FUZZ_FUZZ_UTIL_H_
#define UPDATER_TESTS_FUZZ_FUZZ_UTIL_H_

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "memleak.h"

namespace fuzz {

// A directory made with mkdtemp, on tmpfs when there is one so that writers'
// fsync costs nothing, else under /tmp, holding the files given, removed
// with its content when the process exits normally. Aborts when it cannot be
// made: a target without it would write elsewhere.
class TempDir {
 public:
  typedef std::vector<std::pair<std::string, std::string>> Files;  // path, content

  explicit TempDir(const Files& files = Files()) {
    char shm[] = "/dev/shm/updater-fuzz-XXXXXX", tmp[] = "/tmp/updater-fuzz-XXXXXX";
    const char* made = mkdtemp(shm);
    if (made == nullptr && (made = mkdtemp(tmp)) == nullptr) Die("mkdtemp");
    path_ = made;
    for (const auto& file : files) Put(file.first, file.second);
  }
  ~TempDir() { nftw(path_.c_str(), Remove, 16, FTW_DEPTH | FTW_PHYS); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // The directory with a trailing '/', as the engine takes a base directory.
  std::string base() const { return path_ + "/"; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  // Writes a file, making its parent directories.
  void Put(const std::string& relative, const std::string& content) const {
    for (size_t slash = relative.find('/'); slash != std::string::npos;
         slash = relative.find('/', slash + 1)) {
      mkdir((*this / relative.substr(0, slash)).c_str(), 0755);
    }
    FILE* file = fopen((*this / relative).c_str(), "wb");
    if (file == nullptr || fwrite(content.data(), 1, content.size(), file) != content.size() ||
        fclose(file) != 0) {
      Die(relative.c_str());
    }
  }

  // The whole file, or "<missing>".
  std::string Get(const std::string& relative) const {
    FILE* file = fopen((*this / relative).c_str(), "rb");
    if (file == nullptr) return "<missing>";
    std::string content;
    char buffer[4096];
    for (size_t got; (got = fread(buffer, 1, sizeof(buffer), file)) > 0;)
      content.append(buffer, got);
    fclose(file);
    return content;
  }

  [[noreturn]] static void Die(const char* what) {
    perror(what);
    abort();
  }

 private:
  static int Remove(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }
  std::string path_;
};

// Runs one input with `dir` as the working directory (the engine deletes its
// scratch file from there) and goes back afterwards, so that libFuzzer's own
// files land where it was started.
class InsideDir {
 public:
  explicit InsideDir(const TempDir& dir) {
    if (getcwd(old_, sizeof(old_)) == nullptr || chdir(dir.path().c_str()) != 0) {
      TempDir::Die("chdir");
    }
  }
  ~InsideDir() {
    if (chdir(old_) != 0) TempDir::Die("chdir back");
  }
  InsideDir(const InsideDir&) = delete;
  InsideDir& operator=(const InsideDir&) = delete;

 private:
  char old_[4096];
};

// Aborts with the leak report when the tracked blocks outnumber those of the
// start of the scope at its end.
class TrackedLeakCheck {
 public:
  TrackedLeakCheck() : before_(MemLeakCount()) {}
  ~TrackedLeakCheck() {
    if (MemLeakCount() == before_) return;
    fprintf(stderr, "tracked blocks leaked: %llu before, %llu after\n",
            static_cast<unsigned long long>(before_),
            static_cast<unsigned long long>(MemLeakCount()));
    MemLeakExit(stderr);
    abort();
  }
  TrackedLeakCheck(const TrackedLeakCheck&) = delete;
  TrackedLeakCheck& operator=(const TrackedLeakCheck&) = delete;

 private:
  uint64_t before_;
};

}  // namespace fuzz

#endif  // UPDATER_TESTS_FUZZ_FUZZ_UTIL_H_
