#define MEMLEAK_SOURCE "ini-reader"
// INI files on disk: whole-file reads, and replacement through a temporary
// file beside the old one, renamed over it. A temporary file is named after
// the file it replaces and the process writing it, "<name>.tmp-<pid>-<tag>",
// and is locked (flock) by its writer until it is renamed or removed, so one
// that a killed run left behind can be told from one being written.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "ini-reader-internal.h"
#include "memleak.h"

namespace ini_reader {
namespace {

constexpr char kTemporaryMark[] = ".tmp-";

// Exactly `size` bytes of the open file as tracked, terminated text.
char* ReadExactly(int fd, size_t size) {
  char* text = static_cast<char*>(zmalloc(static_cast<uint32_t>(size + 1)));
  if (text == nullptr) return nullptr;
  size_t done = 0;
  while (done < size) {
    ssize_t n = read(fd, text + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      zfree(text);
      return nullptr;
    }
    done += static_cast<size_t>(n);
  }
  text[size] = '\0';
  return text;
}

// Creates "<target>.tmp-<pid>-<tag>" exclusively; the name goes into `name`.
int CreateTemporary(const char* target, char* name, size_t size, mode_t mode) {
  static std::atomic<uint32_t> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    uint32_t tag = static_cast<uint32_t>(now.tv_nsec) ^ counter.fetch_add(1) * 2654435761u;
    snprintf(name, size, "%s%s%ld-%06x", target, kTemporaryMark, static_cast<long>(getpid()),
             tag & 0xffffff);
    int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

bool WriteAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// The directory part of `target` (tracked): "." without a slash.
char* DirectoryOf(const char* target) {
  const char* slash = strrchr(target, '/');
  if (slash == nullptr) return zstrdup(".");
  char* directory = zstrdup(target);
  if (directory != nullptr) directory[slash == target ? 1 : slash - target] = '\0';
  return directory;
}

// Makes the rename itself durable; a failure here loses nothing.
void SyncDirectory(const char* target) {
  char* directory = DirectoryOf(target);
  if (directory == nullptr) return;
  int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
  zfree(directory);
}

// The writer's pid when `name` is "<base>.tmp-<pid>-<six hex digits>", else 0.
pid_t TemporaryOwner(const char* name, const char* base) {
  size_t length = strlen(base);
  if (strncmp(name, base, length) != 0) return 0;
  name += length;
  if (strncmp(name, kTemporaryMark, sizeof(kTemporaryMark) - 1) != 0) return 0;
  name += sizeof(kTemporaryMark) - 1;
  long pid = 0;
  int digits = 0;
  for (; *name >= '0' && *name <= '9' && digits < 10; ++name, ++digits) {
    pid = pid * 10 + (*name - '0');
  }
  if (digits == 0 || pid <= 0 || pid > INT_MAX || *name++ != '-') return 0;
  for (int i = 0; i < 6; ++i) {
    if (strchr("0123456789abcdef", name[i]) == nullptr || name[i] == '\0') return 0;
  }
  return name[6] == '\0' ? static_cast<pid_t>(pid) : 0;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Removes the temporary file `name` of the process `owner` when no writer can
// still own it: that process is gone (or is this one, whose writes all hold
// the INI lock that the caller holds) and nobody holds the file's lock (a
// writer in another pid namespace may reuse a pid of ours). Only a regular
// file is opened or removed, never through a symbolic link.
bool RemoveIfStale(int directory, const char* name, pid_t owner) {
  if (owner != getpid() && (kill(owner, 0) == 0 || errno != ESRCH)) return false;
  struct stat listed;
  if (fstatat(directory, name, &listed, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(listed.st_mode)) {
    return false;
  }
  int fd = openat(directory, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat opened;
  struct stat now;
  bool removed = fstat(fd, &opened) == 0 && SameFile(listed, opened) &&
                 flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                 fstatat(directory, name, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
                 SameFile(now, opened) && unlinkat(directory, name, 0) == 0;
  close(fd);
  return removed;
}

}  // namespace

FileRead ReadFileText(const char* path, char** text, struct stat* info) {
  *text = nullptr;
  // Non-blocking, so that a FIFO put in the file's place cannot hang the
  // open; only a regular file is read.
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? FileRead::kMissing : FileRead::kNotOpened;
  struct stat status;
  bool regular = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
  size_t size = regular ? static_cast<size_t>(status.st_size) : 0;
  if (regular && status.st_size > 0 && size <= kMaxIniSize) *text = ReadExactly(fd, size);
  close(fd);
  if (info != nullptr && regular) *info = status;
  // Text after a NUL byte would be invisible to the parser and lost by the
  // next write: such a file is not taken for an INI file at all.
  if (*text != nullptr && memchr(*text, '\0', size) != nullptr) {
    zfree(*text);
    *text = nullptr;
  }
  return *text != nullptr ? FileRead::kRead : FileRead::kUnreadable;
}

char* WriteTarget(const char* path) {
  struct stat info;
  if (lstat(path, &info) == 0 && S_ISLNK(info.st_mode)) {
    char* real = realpath(path, nullptr);
    if (real != nullptr) {
      char* copy = zstrdup(real);
      free(real);
      return copy;
    }
  }
  return zstrdup(path);
}

bool ReplaceFile(const char* target, const char* data, size_t length, const struct stat* old) {
  size_t size = strlen(target) + sizeof(kTemporaryMark) + 24;
  char* temporary = static_cast<char*>(zmalloc(static_cast<uint32_t>(size)));
  if (temporary == nullptr) return false;
  int fd = CreateTemporary(target, temporary, size, old != nullptr ? old->st_mode & 0777 : 0666);
  if (fd < 0) {
    zfree(temporary);
    return false;
  }
  // Held until the file is renamed or removed: see RemoveIfStale. Where locks
  // are not supported the writer's pid alone protects the file.
  flock(fd, LOCK_EX | LOCK_NB);
  bool ok = WriteAll(fd, data, length);
  if (ok && old != nullptr) {
    if (old->st_uid != geteuid() || old->st_gid != getegid()) {
      if (fchown(fd, old->st_uid, old->st_gid) != 0) {
        // Not permitted for an ordinary user; the file then becomes theirs.
      }
    }
    ok = fchmod(fd, old->st_mode & 07777) == 0;
  }
  ok = ok && fsync(fd) == 0;
  ok = ok && rename(temporary, target) == 0;
  if (!ok) unlink(temporary);
  close(fd);
  if (ok) SyncDirectory(target);
  zfree(temporary);
  return ok;
}

int RemoveStaleTemporaries(const char* target) {
  char* directory = DirectoryOf(target);
  if (directory == nullptr) return -1;
  const char* slash = strrchr(target, '/');
  const char* base = slash != nullptr ? slash + 1 : target;
  int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  zfree(directory);
  DIR* listing = fd >= 0 ? fdopendir(fd) : nullptr;
  if (listing == nullptr) {
    if (fd >= 0) close(fd);
    return -1;
  }
  int removed = 0;
  while (struct dirent* entry = readdir(listing)) {
    pid_t owner = TemporaryOwner(entry->d_name, base);
    if (owner != 0 && RemoveIfStale(dirfd(listing), entry->d_name, owner)) ++removed;
  }
  closedir(listing);
  return removed;
}

}  // namespace ini_reader
