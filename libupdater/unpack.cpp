#define MEMLEAK_SOURCE "libupdater"
// Unpacking a pack file into a file: the source is read in pieces and each
// piece goes through PackUnpacker, so memory does not grow with the pack or
// the file.
//
// A pack cannot be unpacked in place piece by piece; when the destination is
// the source (the same file, by any name), the file is written to a temporary
// file beside it, which is renamed over it at the end. A failure then leaves
// the pack as it was.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "memleak.h"
#include "pack_unpacker.h"
#include "updater.h"

namespace {

// Reads up to `capacity` bytes; 0 at the end, -1 with errno on failure.
ssize_t ReadPiece(int fd, uint8_t* buffer, size_t capacity) {
  ssize_t count;
  do {
    count = read(fd, buffer, capacity);
  } while (count < 0 && errno == EINTR);
  return count;
}

// True when `path` names the file open as `info`.
bool IsSameFile(const char* path, const struct stat& info) {
  struct stat other;
  return stat(path, &other) == 0 && other.st_dev == info.st_dev && other.st_ino == info.st_ino;
}

// Where the unpacked bytes go: the destination itself, or a temporary file
// beside it when the destination is the source.
class UnpackTarget {
 public:
  ~UnpackTarget() {
    if (fd_ >= 0) close(fd_);
  }
  // Opens the file to write; false with errno set.
  bool Open(const char* destination, const struct stat& source);
  int fd() const { return fd_; }
  // Closes the file and renames a temporary one over the destination; false
  // with errno set.
  bool Commit(const char* destination);
  // After a failure: removes a temporary file, or empties the destination,
  // which is how the one-shot unpacking left it after a bad pack. With
  // `keep` set the destination keeps what was written.
  void Abandon(bool keep);

 private:
  bool OpenTemporary(const char* destination, const struct stat& source);

  int fd_ = -1;
  std::string temporary_;
};

bool UnpackTarget::Open(const char* destination, const struct stat& source) {
  if (IsSameFile(destination, source)) return OpenTemporary(destination, source);
  fd_ = open(destination, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  return fd_ >= 0;
}

bool UnpackTarget::OpenTemporary(const char* destination, const struct stat& source) {
  static std::atomic<unsigned> serial{0};
  // O_EXCL creates a new file and follows no link planted in its place; a
  // name left by an earlier run is passed over. The file takes the pack's
  // permission bits, as the pack's own file kept them when it was rewritten
  // in place.
  for (int attempt = 0; attempt < 16 && fd_ < 0; ++attempt) {
    temporary_ = std::string(destination) + ".unpack-" + std::to_string(getpid()) + "-" +
                 std::to_string(serial++);
    fd_ = open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
               source.st_mode & 0777);
    if (fd_ < 0 && errno != EEXIST) break;
  }
  if (fd_ < 0) {
    temporary_.clear();
    return false;
  }
  fchmod(fd_, source.st_mode & 0777);  // the umask may have taken bits away
  return true;
}

bool UnpackTarget::Commit(const char* destination) {
  int fd = fd_;
  fd_ = -1;
  bool closed = close(fd) == 0;
  if (temporary_.empty()) return closed;
  if (closed && rename(temporary_.c_str(), destination) == 0) {
    temporary_.clear();
    return true;
  }
  int error = errno;
  unlink(temporary_.c_str());
  temporary_.clear();
  errno = error;
  return false;
}

void UnpackTarget::Abandon(bool keep) {
  if (!temporary_.empty()) {
    unlink(temporary_.c_str());
    temporary_.clear();
  } else if (!keep && fd_ >= 0) {
    // A device or a pipe cannot be emptied; it keeps what it took.
    int ignored = ftruncate(fd_, 0);
    (void)ignored;
  }
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

// One call of UnpackFile, reporting through the engine's error text.
class Unpacking {
 public:
  explicit Unpacking(Updater* updater) : u(updater) {}
  ~Unpacking() {
    if (in >= 0) close(in);
    if (piece != nullptr) zfree(piece);
  }
  bool Run(const char* source, const char* destination, const char* key, uint32_t size);

 private:
  bool ReadFailed();
  bool Pump(ssize_t count, const char* destination);

  Updater* u;
  int in = -1;
  uint8_t* piece = nullptr;
  UnpackTarget target;
  PackUnpacker unpacker;
};

bool Unpacking::ReadFailed() {
  u->SetError("Error reading file data! (%s)", strerror(errno));
  target.Abandon(false);
  return false;
}

bool Unpacking::Run(const char* source, const char* destination, const char* key, uint32_t size) {
  in = open(source, O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    u->SetError("Error opening %s for read!", source);
    return false;
  }
  struct stat info;
  piece = static_cast<uint8_t*>(zmalloc(PackUnpacker::kPieceSize));
  if (piece == nullptr) errno = ENOMEM;
  if (piece == nullptr || fstat(in, &info) != 0) return ReadFailed();
  // The first piece is read before the destination is opened, so a source
  // that cannot be read at all leaves the destination untouched.
  ssize_t count = ReadPiece(in, piece, PackUnpacker::kPieceSize);
  if (count < 0) return ReadFailed();
  if (!target.Open(destination, info)) {
    u->SetError("Error opening %s for write!", destination);
    return false;
  }
  if (!unpacker.Begin(key, size, DigestKind::kNone, target.fd())) {
    u->SetError("%s", unpacker.ErrorText());
    target.Abandon(false);
    return false;
  }
  return Pump(count, destination);
}

// Feeds the source to the unpacker from the piece already read on, then
// finishes the file.
bool Unpacking::Pump(ssize_t count, const char* destination) {
  // Each round consumes a piece of the source; the end of the file or a
  // failure ends the loop.
  while (count > 0 && unpacker.Feed(piece, static_cast<size_t>(count))) {
    count = ReadPiece(in, piece, PackUnpacker::kPieceSize);
    if (count < 0) return ReadFailed();
  }
  if (!unpacker.Finish()) {
    u->SetError("%s", unpacker.ErrorText());
    target.Abandon(unpacker.failure() == UnpackFailure::kWrite);
    return false;
  }
  if (!target.Commit(destination)) {
    u->SetError("Error writing file data! (%s)", strerror(errno));
    return false;
  }
  return true;
}

}  // namespace

bool Updater::UnpackFile(const char* source, const char* destination, const char* key,
                         uint32_t size) {
  ScopedLock hold(lock);
  Unpacking unpacking(this);
  return unpacking.Run(source, destination, key, size);
}
