#define MEMLEAK_SOURCE "libupdater"
// The dry run: the setting that keeps the Updater from changing anything, and
// the plan of what an update would do. The plan follows the update's own
// rules (IsToInstall, IsMarkedForDeletion, the outdated list, the pack reuse
// test), so what it lists is what PerformUpdate would do.
#include "plan.h"

#include <strings.h>
#include <unistd.h>

#include <new>

#include "base_dir.h"
#include "memleak.h"
#include "pack_names.h"
#include "updater.h"

namespace {

// The pack directory, opened for reading when it is there as a real
// directory; a missing one, or a link in its place, holds no packs.
class PackShelf {
 public:
  explicit PackShelf(const std::string& baseDir) {
    BaseDir base;
    PathError error;
    if (base.Open(baseDir, &error))
      dir_ = base.OpenDir(kPackDirectory, LinkRule::kNone, false, &error);
  }
  ~PackShelf() {
    if (dir_ >= 0) close(dir_);
  }
  PackShelf(const PackShelf&) = delete;
  PackShelf& operator=(const PackShelf&) = delete;

  // True when the regular file `name` is there with the digest `expected`,
  // as the update tests it before skipping a download: an empty expected
  // digest never matches.
  bool Holds(const std::string& name, const char* expected, bool sha256) const {
    if (dir_ < 0 || expected[0] == '\0') return false;
    PathError error;
    int fd = OpenRegularAt(dir_, name, &error);
    if (fd < 0) return false;
    char digest[65] = {};
    bool read = DigestDescriptor(fd, sha256, digest);
    close(fd);
    return read && strcasecmp(digest, expected) == 0;
  }

 private:
  int dir_ = -1;
};

}  // namespace

void Updater::SetDryRun(bool on) {
  ScopedLock hold(lock);
  dryRun = on;
  removeLeftovers = !on;
}

bool Updater::PlanUpdate(UpdatePlan* plan) {
  ScopedLock hold(lock);
  try {
    UpdatePlan made;
    PackShelf shelf(baseDir);
    PackNames names(files);
    for (const UpdateFile* file = files; file != nullptr; file = file->next) {
      if (IsToInstall(file)) {
        bool present = shelf.Holds(names.For(file), file->packDigest, header.infoVersion >= 2);
        made.installs.push_back({file->path, file->size, present});
        made.installBytes += file->size;
        if (!present) {
          made.downloadBytes += file->size;
          made.downloads++;
        }
      } else if (IsMarkedForDeletion(file)) {
        made.removals.push_back(file->path);
      }
    }
    made.outdated = outdatedFiles;
    *plan = std::move(made);
  } catch (const std::bad_alloc&) {
    SetError("Out of memory planning the update");
    return false;
  }
  return true;
}
