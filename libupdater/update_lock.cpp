#define MEMLEAK_SOURCE "libupdater"
// Keeping two updaters off one base directory.
#include "update_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "memleak.h"
#include "updater.h"

int UpdateLock::Take(const std::string& path) {
  Release();
  fd_ = open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) return errno;
  if (flock(fd_, LOCK_EX | LOCK_NB) == 0) return 0;
  int code = errno;
  if (code == EWOULDBLOCK) {
    Release();
    return EWOULDBLOCK;
  }
  return 0;  // no locks on this filesystem (ENOLCK, EINVAL, ...)
}

void UpdateLock::Release() {
  if (fd_ >= 0) close(fd_);  // closing the last descriptor drops the lock
  fd_ = -1;
}

bool Updater::LockBaseDir() {
  ScopedLock hold(lock);
  int code = baseLock.Take(baseDir);
  // A dry run makes nothing, and a missing base directory holds nothing to
  // guard.
  if (code == ENOENT && dryRun) return true;
  if (code == ENOENT) {
    // A missing base directory is made, as the update would make it anyway.
    MakeDirs(baseDir.c_str());
    code = baseLock.Take(baseDir);
  }
  if (code == EWOULDBLOCK) {
    SetError("Another update is already running in %s", baseDir.c_str());
  } else if (code != 0) {
    SetError("Error opening base directory %s (%s)", baseDir.c_str(), strerror(code));
  }
  return code == 0;
}
