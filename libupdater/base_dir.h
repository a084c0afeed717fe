// Files under the base directory, reached so that nothing planted there can
// redirect the updater. The updater runs as root, while the base directory may
// be writable by the application's own account, which can plant files and
// links at any moment, also while the updater works.
//
// Every path is walked component by component from a descriptor of the base
// directory (openat with O_NOFOLLOW | O_DIRECTORY), so no component is looked
// up twice. A symbolic link on the way to a file is followed only when the
// running user (geteuid()) or root owns it, so that an administrator's links
// keep working; its target is read from the same inode the owner was taken
// from, and at most 40 links are followed per walk. The last component of a
// path is never followed: a new file is created beside it with O_EXCL and
// renamed over it, and a deletion removes the entry itself.
//
// Thread-safety: no shared state. A BaseDir or StagedFile object is used by
// one thread at a time; different objects are independent.
#ifndef UPDATER_LIBUPDATER_BASE_DIR_H_
#define UPDATER_LIBUPDATER_BASE_DIR_H_

#include <sys/types.h>

#include <string>

// Why an operation failed.
struct PathError {
  int code = 0;          // errno value of the failure
  bool refused = false;  // a symbolic link was refused; `text` names it
  std::string text;      // strerror(code), or the whole refusal sentence
};

// What a walk does with a symbolic link on the way.
enum class LinkRule {
  kNone,       // refuse every link (the pack directory)
  kOwnedOnly,  // follow links owned by the running user or by root
};

// The suffix of a file being written beside its destination. A leftover of
// an interrupted run carries it too.
extern const char kStagedSuffix[];

// The name of the staged file beside `leaf`: `leaf` + kStagedSuffix, with
// `leaf` shortened when the whole would exceed the longest file name.
std::string StagedName(const std::string& leaf);

// An open descriptor of the base directory.
class BaseDir {
 public:
  BaseDir() = default;
  ~BaseDir();
  BaseDir(const BaseDir&) = delete;
  BaseDir& operator=(const BaseDir&) = delete;

  // Opens the base directory `path` as given: it is the administrator's
  // choice, so links in it are followed. False with `error` set.
  bool Open(const std::string& path, PathError* error);
  bool IsOpen() const { return fd_ >= 0; }
  // The path given to Open, without trailing '/' ("" for "/").
  const std::string& path() const { return path_; }

  // Opens the directory `relative` (components separated by '/'; empty ones
  // and "." are skipped, ".." is refused), creating missing directories with
  // mode 0755 when `create` is set. Returns a new descriptor that the caller
  // closes, or -1 with `error` set.
  int OpenDir(const std::string& relative, LinkRule rule, bool create, PathError* error) const;
  // Opens the directory holding the last component of `relative` (links
  // owned by the running user or root followed) and stores that component
  // in `leaf`. A path without components fails with EINVAL.
  int OpenParent(const std::string& relative, bool create, std::string* leaf,
                 PathError* error) const;

  // Opens the regular file at `relative` for reading, without following a
  // link there and without waiting on a FIFO or device. Anything but a
  // regular file fails (ELOOP, EISDIR or EINVAL). Returns a new descriptor
  // or -1 with `error` set.
  int OpenForRead(const std::string& relative, PathError* error) const;
  // True when an entry (of any kind, a link included) is at `relative`, and
  // also when the walk to it refused a link (`error` then names it), so that
  // a deletion reports the refusal. False when nothing is there.
  bool Exists(const std::string& relative, PathError* error) const;
  // Deletes the entry at `relative`: a file, a link (not its target) or an
  // empty directory. False with `error` set.
  bool Remove(const std::string& relative, PathError* error) const;
  // Deletes the leftover staged file beside `relative`, if there is one.
  // Creates nothing; failures are ignored.
  void RemoveLeftover(const std::string& relative) const;

 private:
  int fd_ = -1;
  std::string path_;
};

// Creates `name` in the directory `dirFd` afresh: an entry of that name (a
// file or a link, never followed) is deleted first, and the new file is made
// with O_CREAT | O_EXCL | O_NOFOLLOW, mode 0666 less the umask, open for
// reading and writing. Returns its descriptor or -1 with `error` set.
int CreateFresh(int dirFd, const std::string& name, PathError* error);
// Opens the regular file `name` in `dirFd` for reading, as OpenForRead does.
int OpenRegularAt(int dirFd, const std::string& name, PathError* error);
// A path that names exactly the file open at `fd` (through /proc), for
// interfaces that take a path. It stays valid while `fd` is open.
std::string DescriptorPath(int fd);
// Digests the file open at `fd` from its start into `hex` (65 bytes, emptied
// first): SHA-256 when `sha256` is set, otherwise MD5. The descriptor stays
// open. False when it cannot be read whole.
bool DigestDescriptor(int fd, bool sha256, char* hex);

// A verified file on its way into the installation: written beside its
// destination as StagedName(leaf), synced, and renamed over the destination
// in one step, so that the old file is there until the new one is.
class StagedFile {
 public:
  enum Outcome {
    kPlaced,   // the file is in place
    kBlocked,  // the destination could be neither replaced nor deleted
    kFailed,   // something else went wrong; `error` says what
  };

  StagedFile() = default;
  // Deletes the staged file unless it was placed or is closed.
  ~StagedFile();
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  // Opens the directory of `relative` under `base` (creating missing ones)
  // and creates the staged file there afresh (CreateFresh). False with
  // `error` set.
  bool Create(const BaseDir& base, const std::string& relative, PathError* error);
  // The staged file, open for reading and writing; owned by this object.
  int fd() const { return fd_; }
  // The staged file's path under the base directory, for messages.
  const std::string& shownPath() const { return shown_; }
  // From now on the destination is its name plus ".upd".
  void AppendUpd() { leaf_ += ".upd"; }
  // Sets the permission bits (when `bits` is not 0) and writes the data to
  // disk. False with `error` set.
  bool Seal(mode_t bits, PathError* error);
  // Renames the staged file over the destination and syncs the directory
  // (unless `syncDir` is false: a caller placing many files syncs each
  // directory once, after the last). When the rename is impossible (a
  // directory or a mount point in the way, a protected file), the
  // destination is deleted and the rename tried again; kBlocked when it
  // cannot be deleted either.
  Outcome Place(PathError* error, bool syncDir = true);

  // Closes the staged file and its directory after Seal, keeping the file
  // on disk, so that files waiting for their turn hold no descriptors. A
  // closed object deletes nothing when destroyed.
  void Close();
  // Walks from `base` to the directory of `relative` (as given to Create)
  // again, creating nothing, and checks that the staged file there is still
  // the one this object wrote (ESTALE otherwise). Place may follow. False
  // with `error` set.
  bool Reopen(const BaseDir& base, const std::string& relative, PathError* error);

 private:
  int dirFd_ = -1;
  int fd_ = -1;
  std::string staged_;  // name in the directory
  std::string leaf_;    // destination's name in the directory
  std::string shown_;
  bool created_ = false;
  bool placed_ = false;
  dev_t device_ = 0;  // identity of the staged file while it is closed
  ino_t inode_ = 0;
};

#endif  // UPDATER_LIBUPDATER_BASE_DIR_H_
