// Helpers of the fuzz targets: the process's temporary directory, running one
// input inside it, and a check that an input left no tracked block behind
// (LeakSanitizer cannot see one, as the allocation registry still points at
// it). Single-threaded, as libFuzzer calls a target.
#ifndef UPDATER_TESTS_FUZZ_FUZZ_UTIL_H_
#define UPDATER_TESTS_FUZZ_FUZZ_UTIL_H_

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/e2e_fixture.h"
#include "memleak.h"

namespace fuzz {

[[noreturn]] inline void Die(const char* what) {
  perror(what);
  abort();
}

// Removed with its content when the process exits normally; on tmpfs when
// there is one, so that writers' fsync costs nothing. Aborts when it cannot
// be made: a target without it would write elsewhere.
inline const std::string& Dir() {
  static const e2e::TempDir dir(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
  if (dir.path().empty()) Die("mkdtemp");
  return dir.path();
}

// Runs one input inside Dir() (the engine deletes its scratch file from the
// working directory) and goes back afterwards, so that libFuzzer's own files
// land where it was started.
class InsideDir {
 public:
  InsideDir() {
    if (getcwd(old_, sizeof(old_)) == nullptr || chdir(Dir().c_str()) != 0) Die("chdir");
  }
  ~InsideDir() {
    if (chdir(old_) != 0) Die("chdir back");
  }

 private:
  char old_[4096];
};

// Aborts with the leak report when the scope ends with more tracked blocks
// than it started with.
class TrackedLeakCheck {
 public:
  ~TrackedLeakCheck() {
    if (MemLeakCount() == before_) return;
    fprintf(stderr, "tracked blocks leaked\n");
    MemLeakExit(stderr);
    abort();
  }

 private:
  uint64_t before_ = MemLeakCount();
};

}  // namespace fuzz

#endif  // UPDATER_TESTS_FUZZ_FUZZ_UTIL_H_
