#define MEMLEAK_SOURCE "libupdater"
// Performing the update: record the selection, download the packs, install
// them one by one, delete the files of removed groups and the outdated files.
//
// A pack is unpacked into a staged file beside its destination and its digest
// checked there; only then is the staged file renamed over the destination in
// one step, so a damaged pack, a wrong key, a wrong digest or a run killed at
// any moment leaves the installed file as it was. Packs live in "tmp/updater"
// under the base directory and survive a run that fails before their turn, to
// be reused when their digest matches. Every path under the base directory is
// reached through BaseDir, so planted links cannot redirect a write.
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "GenLib.h"
#include "base_dir.h"
#include "download_nocurl.h"
#include "hash.h"
#include "memleak.h"
#include "updater.h"

namespace {

constexpr size_t kPathSize = 1024;

const char kSelfNote[] =
    "Note: the following file will install to %s.upd, Wavekeeper will automatically rename it "
    "to the proper thing next time it is run, or you can manually rename it if you wish";
const char kBusyNote[] =
    "Note: the following file will install to %s.upd. You can rename it after the program has "
    "closed.";

const char kPackDir[] = "tmp/updater";

// Appends ".upd" to the path in `path` (kPathSize bytes); false when it
// would not fit.
bool AppendUpd(char* path) { return strlcat(path, ".upd", kPathSize) < kPathSize; }

// How many entries of the file list have a pack URL ending in each file name.
typedef std::map<std::string, int> NameCounts;

NameCounts CountPackNames(const UpdateFile* files) {
  NameCounts counts;
  for (const UpdateFile* file = files; file != nullptr; file = file->next) {
    ++counts[GetFileName(file->url.c_str())];
  }
  return counts;
}

// The pack's file name: the file-name part of its URL, and when another
// entry's URL ends in the same name, a dash and the first eight characters
// of the MD5 of the entry's path. The name depends on the document alone, so
// a pack left by an earlier run is found again.
std::string PackName(const UpdateFile* file, const NameCounts& counts) {
  std::string name = GetFileName(file->url.c_str());
  NameCounts::const_iterator found = counts.find(name);
  if (found == counts.end() || found->second < 2) return name;
  char hex[65] = {};
  md5_buffer(file->path.data(), static_cast<uint32_t>(file->path.size()), hex);
  return name + "-" + std::string(hex, 8);
}

// One call of PerformUpdate; the Updater's lock is held by the caller.
class UpdateRun {
 public:
  explicit UpdateRun(Updater* updater) : u(updater) {
    PathError ignored;
    base.Open(u->baseDir, &ignored);  // a missing one is made for the first pack
  }
  ~UpdateRun() {
    if (packDir >= 0) close(packDir);
  }
  UpdateRun(const UpdateRun&) = delete;
  UpdateRun& operator=(const UpdateRun&) = delete;

  bool DownloadAll();
  bool InstallAll();
  void DeleteMarked();
  void DeleteOutdated();

 private:
  bool Modern() const { return u->header.infoVersion >= 2; }
  // The pack's name in the pack directory.
  static std::string PackLeaf(const UpdateFile* file) {
    return GetFileName(file->tempPath.c_str());
  }
  bool OpenPackDir(const char* packPath);
  bool DownloadOne(UpdateFile* file, const NameCounts& counts);
  bool FetchPack(UpdateFile* file, const char* packPath);
  FILE* CreatePack(const UpdateFile* file);
  bool InstallOne(UpdateFile* file);
  bool UnpackAndVerify(UpdateFile* file, StagedFile* staged);
  bool PutInPlace(UpdateFile* file, StagedFile* staged, char* destination);
  void DropPack(const UpdateFile* file);

  Updater* u;
  BaseDir base;
  int packDir = -1;
  // The files whose packs the download phase provided, in list order.
  std::vector<UpdateFile*> fetched;
};

bool UpdateRun::DownloadAll() {
  NameCounts counts = CountPackNames(u->files);
  bool first = true;
  for (UpdateFile* file = u->files; file != nullptr; file = file->next) {
    if (!u->IsToInstall(file)) continue;
    if (first) {
      u->Status("*** Downloading Updated Files ***");
      u->Status("%s", "");
      first = false;
    }
    if (!DownloadOne(file, counts)) {
      DropPack(file);
      return false;
    }
    fetched.push_back(file);
  }
  return true;
}

// Opens (and makes) the pack directory once per run. Neither "tmp" nor
// "tmp/updater" may be a link: packs are written there before they are
// verified.
bool UpdateRun::OpenPackDir(const char* packPath) {
  if (packDir >= 0) return true;
  PathError error;
  if (!base.IsOpen()) {
    u->MakeDirs(u->baseDir.c_str());
    base.Open(u->baseDir, &error);
  }
  if (base.IsOpen()) packDir = base.OpenDir(kPackDir, LinkRule::kNone, true, &error);
  if (packDir >= 0) return true;
  if (error.refused) {
    u->SetError("%s", error.text.c_str());
  } else {
    u->SetError("Error opening %s", packPath);
  }
  return false;
}

bool UpdateRun::DownloadOne(UpdateFile* file, const NameCounts& counts) {
  std::string name = PackName(file, counts);
  char packPath[kPathSize];
  if (snprintf(packPath, sizeof(packPath), "%s%s/%s", u->baseDir.c_str(), kPackDir, name.c_str()) >=
      static_cast<int>(sizeof(packPath))) {
    u->SetError("Pack path for %s is too long", file->path.c_str());
    return false;
  }
  // A URL ending in "/", "/." or "/.." names no file.
  if (name.empty() || name == "." || name == "..") {
    u->SetError("Error opening %s", packPath);
    return false;
  }
  if (!OpenPackDir(packPath)) return false;
  file->tempPath = packPath;
  char digest[65] = {};
  PathError error;
  int pack = OpenRegularAt(packDir, name, &error);  // no pack yet leaves the digest empty
  if (pack >= 0) {
    DigestDescriptor(pack, Modern(), digest);
    close(pack);
  }
  if (file->packDigest[0] != '\0' && strcasecmp(file->packDigest, digest) == 0) {
    u->Status("Already have %s, skipping download...", file->path.c_str());
    return true;
  }
  return FetchPack(file, packPath);
}

// A new, empty pack file; whatever had its name (a link too) is deleted,
// never written through.
FILE* UpdateRun::CreatePack(const UpdateFile* file) {
  PathError error;
  int fd = CreateFresh(packDir, PackLeaf(file), &error);
  FILE* pack = fd >= 0 ? fdopen(fd, "wb") : nullptr;
  if (pack == nullptr && fd >= 0) close(fd);
  return pack;
}

bool UpdateRun::FetchPack(UpdateFile* file, const char* packPath) {
  // The progress bar names the file; the downloader keeps only the pointer.
  char* name = zstrdup(GetFileName(file->path.c_str()));
  VDL_PROGRESS_CALLBACK progress = u->callbacks != nullptr ? u->callbacks->onFileProgress : nullptr;
  bool ok = false;
  {
    VelmarDownloadNoCurl download(file->url.c_str(), progress, nullptr, nullptr, name);
    ConfigureDownload(u->transfer, PackSizeBound(file->size), &download);
    FILE* pack = nullptr;
    if (download.GetError() != 0) {
      u->SetError("VDL reports '%s' while downloading '%s'", download.GetErrorString(),
                  file->path.c_str());
    } else if ((pack = CreatePack(file)) == nullptr) {
      u->SetError("Error opening %s", packPath);
    } else {
      ok = download.DownloadToHandle(pack);
      if (!ok) u->SetError("%s", PackFailureText(&download, file->path, file->size).c_str());
      // The close writes what the stdio buffer still holds: a full disk may
      // show only here.
      if (fclose(pack) != 0 && ok) {
        u->SetError("VDL reports '%s' while downloading '%s'", vdl_error_text(VDL_ERR_WRITE),
                    file->path.c_str());
        ok = false;
      }
    }
  }
  if (name != nullptr) zfree(name);
  return ok;
}

bool UpdateRun::InstallAll() {
  if (fetched.empty()) return true;
  u->Status("%s", "");
  u->Status("*** Installing Updated Files ***");
  u->Status("%s", "");
  for (UpdateFile* file : fetched) {
    if (!InstallOne(file)) {
      DropPack(file);
      return false;
    }
  }
  return true;
}

bool UpdateRun::InstallOne(UpdateFile* file) {
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
  StagedFile staged;
  PathError error;
  if (staged.Create(base, file->path, &error)) {
    if (self) staged.AppendUpd();
    if (!UnpackAndVerify(file, &staged)) return false;
    // Only the read, write and execute bits: a document must not be able to
    // make set-user-ID or set-group-ID files.
    if (staged.Seal(static_cast<mode_t>(file->mode & 0777), &error)) {
      // The pack goes before the rename: a run killed after it leaves a
      // staged file, which the next run removes, but never a stale pack.
      unlinkat(packDir, PackLeaf(file).c_str(), 0);
      return PutInPlace(file, &staged, destination);
    }
  }
  if (error.refused) {
    u->SetError("%s", error.text.c_str());
  } else {
    u->SetError("Error renaming %s to %s (%s)\n", staged.shownPath().c_str(), destination,
                error.text.c_str());
  }
  return false;
}

// Unpacks the pack into the staged file and checks the result; the
// installed file is still untouched.
bool UpdateRun::UnpackAndVerify(UpdateFile* file, StagedFile* staged) {
  PathError error;
  int pack = OpenRegularAt(packDir, PackLeaf(file), &error);
  // The unpacker takes paths; these name exactly the two open files.
  bool ok =
      pack >= 0 && u->UnpackFile(DescriptorPath(pack).c_str(), DescriptorPath(staged->fd()).c_str(),
                                 file->key, static_cast<uint32_t>(file->size));
  if (pack >= 0) close(pack);
  if (!ok) {
    u->SetError("Error unpacking %s", file->tempPath.c_str());
    return false;
  }
  char digest[65];
  if (!DigestDescriptor(staged->fd(), Modern(), digest) ||
      strcasecmp(digest, file->fileDigest) != 0) {
    u->SetError("Checksum does not match for file '%s'!", GetFileName(file->path.c_str()));
    return false;
  }
  return true;
}

// Renames the staged file over the destination. A destination that can be
// neither replaced nor deleted (busy or protected) makes the new file go
// beside it, under its name plus ".upd".
bool UpdateRun::PutInPlace(UpdateFile* file, StagedFile* staged, char* destination) {
  const char* path = file->path.c_str();
  PathError error;
  StagedFile::Outcome outcome = staged->Place(&error);
  if (outcome == StagedFile::kBlocked) {
    if (!AppendUpd(destination)) {
      u->SetError("Destination path for %s is too long", path);
      return false;
    }
    u->Status(kBusyNote, path);
    staged->AppendUpd();
    u->Status("Installing %s ... ", path);
    outcome = staged->Place(&error);
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

// The one place where the pack of a file that could not be fetched or
// installed is deleted, so that the disk is given back.
void UpdateRun::DropPack(const UpdateFile* file) {
  if (packDir >= 0 && !file->tempPath.empty()) unlinkat(packDir, PackLeaf(file).c_str(), 0);
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
