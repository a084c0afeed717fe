#define MEMLEAK_SOURCE "libupdater"
// Files under the base directory, walked by descriptor so that a planted link
// cannot redirect a write or a deletion; and the staged replacement of an
// installed file.
#include "base_dir.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "hash.h"
#include "memleak.h"

const char kStagedSuffix[] = ".updater-part";

namespace {

// Links followed in one walk before it gives up, as the kernel does.
constexpr int kMaxLinks = 40;
constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// O_NONBLOCK: opening a FIFO or a device must not wait for a peer.
constexpr int kReadFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// The one place where an errno value becomes text.
void Fail(PathError* error, int code) {
  error->code = code;
  error->refused = false;
  error->text = strerror(code);
}

void Refuse(PathError* error, const std::string& shown, uid_t owner) {
  char text[PATH_MAX + 128];
  snprintf(text, sizeof(text), "Refusing to follow symbolic link %s (owned by uid %u)",
           shown.c_str(), static_cast<unsigned>(owner));
  error->code = EPERM;
  error->refused = true;
  error->text = text;
}

typedef std::vector<std::string> Parts;

// The components of `path`, without empty ones and ".".
Parts Split(const std::string& path) {
  Parts parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (!part.empty() && part != ".") parts.push_back(part);
    start = end + 1;
  }
  return parts;
}

// The components of a path below the base directory; one that climbs out
// with ".." is refused (link targets may use "..": they are walked by the
// link rules).
bool SplitBelow(const std::string& relative, Parts* parts, PathError* error) {
  *parts = Split(relative);
  for (const std::string& part : *parts) {
    if (part == "..") {
      Fail(error, EINVAL);
      return false;
    }
  }
  return true;
}

std::string ParentOf(const std::string& shown) {
  size_t slash = shown.rfind('/');
  return slash == std::string::npos ? "." : shown.substr(0, slash);
}

// Deletes the entry `name` in `dir` without following it: a file, a link or
// an empty directory.
bool RemoveEntryAt(int dir, const std::string& name) {
  if (unlinkat(dir, name.c_str(), 0) == 0) return true;
  return errno == EISDIR && unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0;
}

// One walk through directories by descriptor, under one link budget.
class Walk {
 public:
  Walk(LinkRule rule, bool create, PathError* error)
      : rule_(rule), create_(create), error_(error) {}

  // Walks `parts` from the directory `start`, which stays open; `shown` is
  // the path of `start` for messages. Returns a new descriptor of the last
  // directory, or -1.
  int Through(int start, const Parts& parts, std::string shown) {
    int fd = fcntl(start, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) Fail(error_, errno);
    for (size_t i = 0; fd >= 0 && i < parts.size(); ++i) {
      shown += "/" + parts[i];
      int next = Step(fd, parts[i], shown);
      close(fd);
      fd = next;
    }
    return fd;
  }

 private:
  int Step(int dir, const std::string& name, const std::string& shown) {
    int fd = openat(dir, name.c_str(), kDirFlags);
    if (fd < 0 && errno == ENOENT && create_) {
      if (mkdirat(dir, name.c_str(), 0755) != 0 && errno != EEXIST) {
        Fail(error_, errno);
        return -1;
      }
      fd = openat(dir, name.c_str(), kDirFlags);
    }
    if (fd >= 0) return fd;
    if (errno == ELOOP || errno == ENOTDIR) return Follow(dir, name, shown);
    Fail(error_, errno);
    return -1;
  }

  // Follows the link `name` in `dir` when the rule allows it. The owner, the
  // type and the target all come from one descriptor of the link itself, so
  // a link swapped in between cannot be taken for an allowed one.
  int Follow(int dir, const std::string& name, const std::string& shown) {
    int link = openat(dir, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat info;
    if (link < 0 || fstat(link, &info) != 0 || !S_ISLNK(info.st_mode)) {
      Fail(error_, link < 0 ? errno : ENOTDIR);
      if (link >= 0) close(link);
      return -1;
    }
    char target[PATH_MAX];
    ssize_t length = -1;
    if (rule_ == LinkRule::kNone || (info.st_uid != geteuid() && info.st_uid != 0)) {
      Refuse(error_, shown, info.st_uid);
    } else if (--linksLeft_ < 0) {
      Fail(error_, ELOOP);
    } else if ((length = readlinkat(link, "", target, sizeof(target))) < 0) {
      Fail(error_, errno);
    } else if (length == static_cast<ssize_t>(sizeof(target))) {
      Fail(error_, ENAMETOOLONG);
      length = -1;
    }
    close(link);
    if (length < 0) return -1;
    std::string text(target, static_cast<size_t>(length));
    if (text.empty() || text[0] != '/') return Through(dir, Split(text), ParentOf(shown));
    int root = open("/", kDirFlags);
    if (root < 0) {
      Fail(error_, errno);
      return -1;
    }
    int fd = Through(root, Split(text), "");
    close(root);
    return fd;
  }

  LinkRule rule_;
  bool create_;
  PathError* error_;
  int linksLeft_ = kMaxLinks;
};

}  // namespace

std::string StagedName(const std::string& leaf) {
  const size_t suffix = sizeof(kStagedSuffix) - 1;
  if (leaf.size() + suffix <= NAME_MAX) return leaf + kStagedSuffix;
  return leaf.substr(0, NAME_MAX - suffix) + kStagedSuffix;
}

BaseDir::~BaseDir() {
  if (fd_ >= 0) close(fd_);
}

bool BaseDir::Open(const std::string& path, PathError* error) {
  if (fd_ >= 0) close(fd_);
  path_ = path;
  while (!path_.empty() && path_.back() == '/') path_.pop_back();
  fd_ = open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) Fail(error, errno);
  return fd_ >= 0;
}

int BaseDir::OpenDir(const std::string& relative, LinkRule rule, bool create,
                     PathError* error) const {
  Parts parts;
  if (!SplitBelow(relative, &parts, error)) return -1;
  return Walk(rule, create, error).Through(fd_, parts, path_);
}

int BaseDir::OpenParent(const std::string& relative, bool create, std::string* leaf,
                        PathError* error) const {
  Parts parts;
  if (!SplitBelow(relative, &parts, error)) return -1;
  if (parts.empty()) {
    Fail(error, EINVAL);
    return -1;
  }
  *leaf = parts.back();
  parts.pop_back();
  return Walk(LinkRule::kOwnedOnly, create, error).Through(fd_, parts, path_);
}

int BaseDir::OpenForRead(const std::string& relative, PathError* error) const {
  std::string leaf;
  int dir = OpenParent(relative, false, &leaf, error);
  if (dir < 0) return -1;
  int fd = OpenRegularAt(dir, leaf, error);
  close(dir);
  return fd;
}

bool BaseDir::Exists(const std::string& relative, PathError* error) const {
  std::string leaf;
  int dir = OpenParent(relative, false, &leaf, error);
  if (dir < 0) return error->refused;
  struct stat info;
  bool found = fstatat(dir, leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
  close(dir);
  return found;
}

bool BaseDir::Remove(const std::string& relative, PathError* error) const {
  std::string leaf;
  int dir = OpenParent(relative, false, &leaf, error);
  if (dir < 0) return false;
  bool removed = RemoveEntryAt(dir, leaf);
  if (!removed) Fail(error, errno);
  close(dir);
  return removed;
}

void BaseDir::RemoveLeftover(const std::string& relative) const {
  PathError ignored;
  std::string leaf;
  int dir = OpenParent(relative, false, &leaf, &ignored);
  if (dir < 0) return;
  unlinkat(dir, StagedName(leaf).c_str(), 0);
  close(dir);
}

int CreateFresh(int dirFd, const std::string& name, PathError* error) {
  if (unlinkat(dirFd, name.c_str(), 0) != 0 && errno != ENOENT) {
    Fail(error, errno);
    return -1;
  }
  int fd = openat(dirFd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) Fail(error, errno);
  return fd;
}

int OpenRegularAt(int dirFd, const std::string& name, PathError* error) {
  int fd = openat(dirFd, name.c_str(), kReadFlags);
  if (fd < 0) {
    Fail(error, errno);
    return -1;
  }
  struct stat info = {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    Fail(error, S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
    close(fd);
    return -1;
  }
  return fd;
}

std::string DescriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

bool DigestDescriptor(int fd, bool sha256, char* hex) {
  memset(hex, 0, 65);
  int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  FILE* file = copy >= 0 ? fdopen(copy, "rb") : nullptr;
  if (file == nullptr) {
    if (copy >= 0) close(copy);
    return false;
  }
  bool ok = sha256 ? hash_handle("sha256", file, hex, 65) : md5_handle(file, hex);
  fclose(file);
  return ok;
}

StagedFile::~StagedFile() {
  if (fd_ >= 0) close(fd_);
  if (dirFd_ >= 0) {
    if (created_ && !placed_) unlinkat(dirFd_, staged_.c_str(), 0);
    close(dirFd_);
  }
}

bool StagedFile::Create(const BaseDir& base, const std::string& relative, PathError* error) {
  // Named for messages before the walk, which may fail.
  size_t cut = relative.rfind('/') + 1;  // 0 without a '/'
  shown_ = base.path() + "/" + relative.substr(0, cut) + StagedName(relative.substr(cut));
  dirFd_ = base.OpenParent(relative, true, &leaf_, error);
  if (dirFd_ < 0) return false;
  staged_ = StagedName(leaf_);
  fd_ = CreateFresh(dirFd_, staged_, error);
  created_ = fd_ >= 0;
  return created_;
}

bool StagedFile::Seal(mode_t bits, PathError* error) {
  if ((bits != 0 && fchmod(fd_, bits) != 0) || fsync(fd_) != 0) {
    Fail(error, errno);
    return false;
  }
  return true;
}

namespace {

// Rename errors that say the destination is in the way rather than that
// the disk or the directory failed.
bool InTheWay(int code) {
  return code == EISDIR || code == ENOTEMPTY || code == EEXIST || code == EBUSY || code == EPERM ||
         code == EACCES || code == ETXTBSY || code == EXDEV;
}

}  // namespace

StagedFile::Outcome StagedFile::Place(PathError* error, bool syncDir) {
  if (renameat(dirFd_, staged_.c_str(), dirFd_, leaf_.c_str()) != 0) {
    int code = errno;
    if (!InTheWay(code)) {
      Fail(error, code);
      return kFailed;
    }
    if (!RemoveEntryAt(dirFd_, leaf_)) {
      Fail(error, code);
      return kBlocked;
    }
    if (renameat(dirFd_, staged_.c_str(), dirFd_, leaf_.c_str()) != 0) {
      Fail(error, errno);
      return kFailed;
    }
  }
  placed_ = true;
  // The rename is durable only once the directory is; a failure here leaves
  // the new file in place all the same.
  if (syncDir) fsync(dirFd_);
  return kPlaced;
}

void StagedFile::Close() {
  struct stat info = {};
  if (fd_ >= 0 && fstat(fd_, &info) == 0) {
    device_ = info.st_dev;
    inode_ = info.st_ino;
  }
  if (fd_ >= 0) close(fd_);
  if (dirFd_ >= 0) close(dirFd_);
  fd_ = -1;
  dirFd_ = -1;
}

bool StagedFile::Reopen(const BaseDir& base, const std::string& relative, PathError* error) {
  std::string leaf;
  int dir = base.OpenParent(relative, false, &leaf, error);
  if (dir < 0) return false;
  // Anyone who can write the directory could have put another file under
  // the staged name while it waited; only the verified one is installed.
  struct stat info;
  if (fstatat(dir, staged_.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode) ||
      info.st_dev != device_ || info.st_ino != inode_) {
    Fail(error, ESTALE);
    close(dir);
    return false;
  }
  dirFd_ = dir;
  return true;
}
