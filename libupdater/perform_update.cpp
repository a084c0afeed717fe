#define MEMLEAK_SOURCE "libupdater"
// Performing the update: record the selection, download the packs, install
// them one by one, delete the files of removed groups and the outdated files.
//
// The update pipeline (update_pipeline.h) fetches the packs and, alongside,
// unpacks each into a staged file beside its destination and checks its
// digest there. Only in the install phase, file by file in list order, is a
// staged file renamed over its destination in one step, so a damaged pack, a
// wrong key, a wrong digest or a run killed at any moment leaves the
// installed file as it was, and the console shows the phases in their order.
// Packs live in "tmp/updater" under the base directory and survive a run that
// fails before their turn, to be reused when their digest matches. Every path
// under the base directory is reached through BaseDir, so planted links
// cannot redirect a write.
#include <strings.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "GenLib.h"
#include "base_dir.h"
#include "memleak.h"
#include "resume_note.h"
#include "update_pipeline.h"
#include "updater.h"

namespace {

constexpr size_t kPathSize = 1024;

const char kSelfNote[] =
    "Note: the following file will install to %s.upd, Wavekeeper will automatically rename it "
    "to the proper thing next time it is run, or you can manually rename it if you wish";
const char kBusyNote[] =
    "Note: the following file will install to %s.upd. You can rename it after the program has "
    "closed.";

// Appends ".upd" to the path in `path` (kPathSize bytes); false when it
// would not fit.
bool AppendUpd(char* path) { return strlcat(path, ".upd", kPathSize) < kPathSize; }

// One call of PerformUpdate; the Updater's lock is held by the caller.
class UpdateRun {
 public:
  explicit UpdateRun(Updater* updater) : u(updater), pipeline(updater, &base) {
    PathError ignored;
    base.Open(u->baseDir, &ignored);  // a missing one is made for the first pack
  }
  UpdateRun(const UpdateRun&) = delete;
  UpdateRun& operator=(const UpdateRun&) = delete;

  bool DownloadAll() { return pipeline.Download(); }
  bool InstallAll();
  void DeleteMarked();
  void DeleteOutdated();

 private:
  bool InstallOne(PackJob* job);
  bool StagingFailed(const PackJob& job, const char* destination);
  bool PathFailed(const PathError& error, const std::string& shown, const char* destination);
  bool PutInPlace(UpdateFile* file, StagedFile* staged, char* destination);
  void DropPack(const PackJob& job);
  void SyncPlacedDirs();

  Updater* u;
  BaseDir base;  // before the pipeline, which uses it to the end
  UpdatePipeline pipeline;
  std::set<std::string> placedDirs;  // directories of the files placed
};

bool UpdateRun::InstallAll() {
  std::vector<PackJob>& jobs = pipeline.jobs();
  if (jobs.empty()) return true;
  u->Status("%s", "");
  u->Status("*** Installing Updated Files ***");
  u->Status("%s", "");
  bool installed = true;
  for (PackJob& job : jobs) {
    if (!InstallOne(&job)) {
      DropPack(job);
      installed = false;
      break;
    }
  }
  SyncPlacedDirs();
  return installed;
}

// Makes the renames durable: each directory that received a file is synced
// once, after its last file, rather than once per file. A crash before that
// may lose a rename, never a file's content: the old file is then still there.
void UpdateRun::SyncPlacedDirs() {
  for (const std::string& dir : placedDirs) {
    PathError ignored;
    int fd = base.OpenDir(dir, LinkRule::kOwnedOnly, false, &ignored);
    if (fd < 0) continue;
    fsync(fd);
    close(fd);
  }
  placedDirs.clear();
}

// Installs a file that was staged (unpacked and verified beside its
// destination) while the packs were fetched, or reports why it was not.
bool UpdateRun::InstallOne(PackJob* job) {
  UpdateFile* file = job->file;
  const char* path = file->path.c_str();
  char destination[kPathSize];
  bool fits = u->JoinBase(destination, path);
  // The running program cannot replace itself; the application renames the
  // ".upd" copy into place on its next start.
  bool self = fits && strcasecmp(path, u->selfName.c_str()) == 0;
  if (self) {
    fits = AppendUpd(destination);
    if (fits) u->Status(kSelfNote, path);
  }
  if (!fits) {
    u->SetError("Destination path for %s is too long", path);
    return false;
  }
  u->Status("Unpacking %s ...", path);
  pipeline.AwaitStaged(job);
  if (job->stage != StageState::kStaged) return StagingFailed(*job, destination);
  StagedFile* staged = job->staged.get();
  PathError error;
  if (!staged->Reopen(base, file->path, &error)) {
    return PathFailed(error, staged->shownPath(), destination);
  }
  if (self) staged->AppendUpd();
  // The pack goes before the rename: a run killed after it leaves a staged
  // file, which the next run removes, but never a stale pack.
  DropPack(*job);
  job->installed = PutInPlace(file, staged, destination);
  return job->installed;
}

// The message of a file whose staging failed, as the file's own turn gives it.
bool UpdateRun::StagingFailed(const PackJob& job, const char* destination) {
  const UpdateFile* file = job.file;
  if (job.failure == StageFailure::kUnpack) {
    u->SetError("Error unpacking %s", file->tempPath.c_str());
  } else if (job.failure == StageFailure::kChecksum) {
    u->SetError("Checksum does not match for file '%s'!", GetFileName(file->path.c_str()));
  } else {
    PathFailed(job.stageError, job.staged != nullptr ? job.staged->shownPath() : "", destination);
  }
  return false;
}

// A staged file that could not be made, sealed or found again.
bool UpdateRun::PathFailed(const PathError& error, const std::string& shown,
                           const char* destination) {
  if (error.refused) {
    u->SetError("%s", error.text.c_str());
  } else {
    u->SetError("Error renaming %s to %s (%s)\n", shown.c_str(), destination, error.text.c_str());
  }
  return false;
}

// Renames the staged file over the destination. A destination that can be
// neither replaced nor deleted (busy or protected) makes the new file go
// beside it, under its name plus ".upd".
bool UpdateRun::PutInPlace(UpdateFile* file, StagedFile* staged, char* destination) {
  const char* path = file->path.c_str();
  PathError error;
  size_t slash = file->path.rfind('/');
  placedDirs.insert(slash == std::string::npos ? "" : file->path.substr(0, slash));
  StagedFile::Outcome outcome = staged->Place(&error, false);
  if (outcome == StagedFile::kBlocked) {
    if (!AppendUpd(destination)) {
      u->SetError("Destination path for %s is too long", path);
      return false;
    }
    u->Status(kBusyNote, path);
    staged->AppendUpd();
    u->Status("Installing %s ... ", path);
    outcome = staged->Place(&error, false);
  } else {
    u->Status("Installing %s ... ", path);
  }
  if (outcome != StagedFile::kPlaced) {
    u->SetError("Error renaming %s to %s (%s)\n", staged->shownPath().c_str(), destination,
                error.text.c_str());
    return false;
  }
  return true;
}

// The one place where the pack of a file that was installed, or could not
// be, is deleted (with its resume note), so that the disk is given back.
void UpdateRun::DropPack(const PackJob& job) {
  if (pipeline.packDir() < 0 || job.packPath.empty()) return;
  unlinkat(pipeline.packDir(), job.pack.c_str(), 0);
  RemoveResumeNote(pipeline.packDir(), job.pack);
}

void UpdateRun::DeleteMarked() {
  bool first = true;
  for (UpdateFile* file = u->files; file != nullptr; file = file->next) {
    PathError error;
    if (!file->WantsRemoval() || !base.IsOpen() || !base.Exists(file->path, &error)) continue;
    if (first) {
      u->Status("%s", "");
      u->Status("*** Deleting Marked Files ***");
      u->Status("%s", "");
      first = false;
    }
    u->Status("Deleting file: %s", file->path.c_str());
    if (!base.Remove(file->path, &error)) u->Status("Error deleting file: %s", error.text.c_str());
  }
}

void UpdateRun::DeleteOutdated() {
  if (u->outdatedFiles.empty()) return;
  u->Status("%s", "");
  u->Status("*** Deleting Outdated Files ***");
  u->Status("%s", "");
  for (const std::string& entry : u->outdatedFiles) {
    PathError error;
    bool deleted = base.IsOpen() && base.Remove(entry, &error);
    u->Status("Deleting %s: %s", entry.c_str(), deleted ? "OK" : "ERROR");
    if (!deleted && error.refused) u->Status("%s", error.text.c_str());
  }
}

}  // namespace

bool Updater::PerformUpdate() {
  ScopedLock hold(lock);
  if (dryRun) {
    SetError("Nothing is changed in a dry run");
    return false;
  }
  if (!iniFile.empty()) SaveState();
  UpdateRun run(this);
  if (!run.DownloadAll() || !run.InstallAll()) return false;
  run.DeleteMarked();
  run.DeleteOutdated();
  return true;
}
