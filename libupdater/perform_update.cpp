#define MEMLEAK_SOURCE "libupdater"
// Performing the update: record the selection, download the packs, install
// them one by one, delete the files of removed groups and the outdated files.
//
// A pack is unpacked in place and its digest checked before the destination
// is touched, so a damaged pack, a wrong key or a wrong digest leaves the
// installed file as it was. Packs live in "tmp/updater" under the base
// directory and survive a failed run, to be reused when their digest matches.
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "GenLib.h"
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

bool Exists(const char* path) { return access(path, F_OK) == 0; }

// True when both paths name the same existing file.
bool SameFile(const char* a, const char* b) {
  struct stat first, second;
  return stat(a, &first) == 0 && stat(b, &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

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
  explicit UpdateRun(Updater* updater) : u(updater) {}

  bool DownloadAll();
  bool InstallAll();
  void DeleteMarked();
  void DeleteOutdated();

 private:
  // Digest of the file at `path` by the document's kind into `hex` (65
  // bytes, emptied first); false when the file cannot be digested.
  bool Digest(const char* path, char* hex);
  bool DownloadOne(UpdateFile* file, const NameCounts& counts);
  bool FetchPack(UpdateFile* file, const char* packPath);
  bool InstallOne(UpdateFile* file);
  bool UnpackAndVerify(UpdateFile* file);
  bool StageBesideDestination(const char* destination, std::string* source);
  bool ClearDestination(UpdateFile* file, char* destination);

  Updater* u;
  // The files whose packs the download phase provided, in list order.
  std::vector<UpdateFile*> fetched;
};

bool UpdateRun::Digest(const char* path, char* hex) {
  memset(hex, 0, 65);
  if (u->header.infoVersion < 2) return md5_file(path, hex);
  return hash_file("sha256", path, hex, 65);
}

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
    if (!DownloadOne(file, counts)) return false;
    fetched.push_back(file);
  }
  return true;
}

bool UpdateRun::DownloadOne(UpdateFile* file, const NameCounts& counts) {
  char packDir[kPathSize];
  char packPath[kPathSize];
  if (snprintf(packDir, sizeof(packDir), "%stmp/updater", u->baseDir.c_str()) >=
          static_cast<int>(sizeof(packDir)) ||
      snprintf(packPath, sizeof(packPath), "%s/%s", packDir, PackName(file, counts).c_str()) >=
          static_cast<int>(sizeof(packPath))) {
    u->SetError("Pack path for %s is too long", file->path.c_str());
    return false;
  }
  u->MakeDirs(packDir);
  file->tempPath = packPath;
  char digest[65];
  Digest(packPath, digest);  // no pack yet leaves the digest empty
  if (file->packDigest[0] != '\0' && strcasecmp(file->packDigest, digest) == 0) {
    u->Status("Already have %s, skipping download...", file->path.c_str());
    return true;
  }
  return FetchPack(file, packPath);
}

bool UpdateRun::FetchPack(UpdateFile* file, const char* packPath) {
  // The progress bar names the file; the downloader keeps only the pointer.
  char* name = zstrdup(GetFileName(file->path.c_str()));
  VDL_PROGRESS_CALLBACK progress = u->callbacks != nullptr ? u->callbacks->onFileProgress : nullptr;
  bool ok = false;
  {
    VelmarDownloadNoCurl download(file->url.c_str(), progress, nullptr, nullptr, name);
    FILE* pack = nullptr;
    if (download.GetError() != 0) {
      u->SetError("VDL reports '%s' while downloading '%s'", download.GetErrorString(),
                  file->path.c_str());
    } else if ((pack = fopen(packPath, "wb")) == nullptr) {
      u->SetError("Error opening %s", packPath);
    } else {
      ok = download.DownloadToHandle(pack);
      if (!ok) {
        u->SetError("VDL reports '%s' while downloading '%s'", download.GetErrorString(),
                    file->path.c_str());
      }
      // The close writes what the stdio buffer still holds: a full disk may
      // show only here. A partial pack stays; its digest will not match.
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
    if (!InstallOne(file)) return false;
  }
  return true;
}

bool UpdateRun::InstallOne(UpdateFile* file) {
  const char* path = file->path.c_str();
  const char* pack = file->tempPath.c_str();
  char destination[kPathSize];
  bool fits = u->JoinBase(destination, path);
  // The running program cannot replace itself; the application renames the
  // ".upd" copy into place on its next start.
  if (fits && strcasecmp(path, u->selfName.c_str()) == 0) {
    fits = AppendUpd(destination);
    if (fits) u->Status(kSelfNote, path);
  }
  if (!fits) {
    u->SetError("Destination path for %s is too long", path);
    return false;
  }
  if (!UnpackAndVerify(file)) return false;
  std::string source = pack;
  if (!StageBesideDestination(destination, &source)) return false;
  if (!ClearDestination(file, destination)) {
    remove(source.c_str());
    return false;
  }
  u->Status("Installing %s ... ", path);
  if (rename(source.c_str(), destination) != 0) {
    int error = errno;
    remove(source.c_str());
    u->SetError("Error renaming %s to %s (%s)\n", source.c_str(), destination, strerror(error));
    return false;
  }
  // A document may place the file at its own pack path: then the pack is
  // the installed file now.
  if (Exists(pack) && !SameFile(pack, destination)) remove(pack);
  // Only the read, write and execute bits: a document must not be able to
  // make set-user-ID or set-group-ID files.
  mode_t bits = static_cast<mode_t>(file->mode & 0777);
  if (bits != 0) chmod(destination, bits);
  return true;
}

// Turns the pack into the file in place and checks it; on failure the pack
// is deleted and the installed file is still untouched.
bool UpdateRun::UnpackAndVerify(UpdateFile* file) {
  const char* pack = file->tempPath.c_str();
  u->Status("Unpacking %s ...", file->path.c_str());
  if (!u->UnpackFile(pack, pack, file->key, static_cast<uint32_t>(file->size))) {
    remove(pack);
    u->SetError("Error unpacking %s", pack);
    return false;
  }
  char digest[65];
  if (!Digest(pack, digest) || strcasecmp(digest, file->fileDigest) != 0) {
    remove(pack);
    u->SetError("Checksum does not match for file '%s'!", GetFileName(file->path.c_str()));
    return false;
  }
  return true;
}

// Copies `from` to `to` and syncs it; false with errno set when it fails,
// leaving no partial `to` behind.
bool CopyFile(const char* from, const char* to) {
  FILE* in = fopen(from, "rb");
  if (in == nullptr) return false;
  FILE* out = fopen(to, "wb");
  bool ok = out != nullptr;
  char piece[32768];
  size_t count;
  while (ok && (count = fread(piece, 1, sizeof(piece), in)) > 0) {
    ok = fwrite(piece, 1, count, out) == count;
  }
  ok = ok && !ferror(in) && fflush(out) == 0 && fsync(fileno(out)) == 0;
  int error = errno;
  fclose(in);
  if (out != nullptr && fclose(out) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    remove(to);
    errno = error;
  }
  return ok;
}

// Makes the destination's directory and moves the verified file beside the
// destination, so that `source` names it there. When the pack directory lies
// on another filesystem or another mount of the same one (tmp/ may be a mount
// of its own), the final rename could not work, and it would fail only after
// the installed file was deleted; the file is then copied instead. The
// installed file is not touched here.
bool UpdateRun::StageBesideDestination(const char* destination, std::string* source) {
  char directory[kPathSize];
  strlcpy(directory, destination, sizeof(directory));
  char* slash = strrchr(directory, '/');
  if (slash == nullptr) return true;
  *slash = '\0';
  u->MakeDirs(directory);
  std::string staged = std::string(destination) + ".updater-part";
  bool fits = staged.size() < kPathSize;
  if (fits && rename(source->c_str(), staged.c_str()) == 0) {
    *source = staged;
    return true;
  }
  // Any other failure of that rename shows again at the rename into place.
  bool crossing = fits && errno == EXDEV;
  struct stat packInfo, directoryInfo;
  if (!crossing && (stat(source->c_str(), &packInfo) != 0 || stat(directory, &directoryInfo) != 0 ||
                    packInfo.st_dev == directoryInfo.st_dev)) {
    return true;
  }
  if (!fits || !CopyFile(source->c_str(), staged.c_str())) {
    int error = staged.size() >= kPathSize ? ENAMETOOLONG : errno;
    remove(source->c_str());
    u->SetError("Error renaming %s to %s (%s)\n", source->c_str(), destination, strerror(error));
    return false;
  }
  remove(source->c_str());
  *source = staged;
  return true;
}

// Deletes what is at the destination. A file that cannot be deleted (busy or
// protected) makes the new one go beside it, under its name plus ".upd".
bool UpdateRun::ClearDestination(UpdateFile* file, char* destination) {
  if (!Exists(destination) || remove(destination) == 0) return true;
  if (!AppendUpd(destination)) {
    u->SetError("Destination path for %s is too long", file->path.c_str());
    return false;
  }
  u->Status(kBusyNote, file->path.c_str());
  remove(destination);  // an older ".upd" copy; failing shows at the rename
  return true;
}

void UpdateRun::DeleteMarked() {
  bool first = true;
  for (UpdateFile* file = u->files; file != nullptr; file = file->next) {
    char target[kPathSize];
    if (!file->WantsRemoval() || !u->JoinBase(target, file->path.c_str()) || !Exists(target)) {
      continue;
    }
    if (first) {
      u->Status("%s", "");
      u->Status("*** Deleting Marked Files ***");
      u->Status("%s", "");
      first = false;
    }
    u->Status("Deleting file: %s", file->path.c_str());
    if (remove(target) != 0) u->Status("Error deleting file: %s", strerror(errno));
  }
}

void UpdateRun::DeleteOutdated() {
  if (u->outdatedFiles.empty()) return;
  u->Status("%s", "");
  u->Status("*** Deleting Outdated Files ***");
  u->Status("%s", "");
  for (const std::string& entry : u->outdatedFiles) {
    char target[kPathSize];
    bool deleted = u->JoinBase(target, entry.c_str()) && remove(target) == 0;
    u->Status("Deleting %s: %s", entry.c_str(), deleted ? "OK" : "ERROR");
  }
}

}  // namespace

bool Updater::PerformUpdate() {
  ScopedLock hold(lock);
  if (!iniFile.empty()) SaveState();
  UpdateRun run(this);
  if (!run.DownloadAll() || !run.InstallAll()) return false;
  run.DeleteMarked();
  run.DeleteOutdated();
  return true;
}
