#define MEMLEAK_SOURCE "libupdater"
// The judgement of installed files, shared out among worker threads.
#include "file_judge.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>
#include <thread>
#include <vector>

#include "base_dir.h"
#include "hash.h"
#include "memleak.h"
#include "updater.h"

namespace {

// Large enough that reading costs few system calls, small enough that a
// worker per processor stays cheap.
constexpr uint32_t kBufferSize = 256 * 1024;
// More workers than this would only queue up on the disk.
constexpr size_t kMaxWorkers = 16;
// Entries a worker claims at once: neighbours, which often share a directory.
constexpr size_t kClaim = 2;

// One digest of either kind.
class Digest {
 public:
  explicit Digest(bool sha256) : named_(sha256 ? hash_init("sha256") : nullptr), sha256_(sha256) {
    if (!sha256_) md5_init(&md5_);
  }
  ~Digest() {
    if (named_ != nullptr) hash_final(named_, nullptr, 0);
  }
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;

  bool ok() const { return !sha256_ || named_ != nullptr; }
  void Add(const void* data, size_t length) {
    if (sha256_) {
      hash_update(named_, data, length);
    } else {
      md5_update(&md5_, data, static_cast<uint32_t>(length));
    }
  }
  // Writes the lower-case hex text into `hex` (65 bytes).
  void Finish(char* hex) {
    uint8_t raw[32] = {};
    size_t size = sha256_ ? 32 : 16;
    if (sha256_) {
      hash_final(named_, raw, sizeof(raw));
      named_ = nullptr;
    } else {
      md5_final(&md5_, raw);
    }
    hash_to_hex(raw, size, hex);
  }

 private:
  HashContext* named_;
  Md5Context md5_;
  bool sha256_;
};

// Digests the file open at `fd` as it was sized when opened: false when it
// cannot be read that far (it shrank, or a read failed).
bool DigestOpenFile(int fd, bool sha256, uint8_t* buffer, char* hex) {
  struct stat info;
  if (fstat(fd, &info) != 0) return false;
  Digest digest(sha256);
  if (!digest.ok()) return false;
  for (off_t left = info.st_size; left > 0;) {
    size_t want = left < static_cast<off_t>(kBufferSize) ? static_cast<size_t>(left) : kBufferSize;
    ssize_t got = read(fd, buffer, want);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    digest.Add(buffer, static_cast<size_t>(got));
    left -= got;
  }
  digest.Finish(hex);
  return true;
}

// The work shared by all workers of one JudgeFiles call.
struct Batch {
  const JudgeSettings* settings;
  UpdateFile* const* files;
  size_t count;
  std::atomic<size_t> next{0};
};

// A worker's descriptor of the directory it last judged a file in. Lists
// name the files of one directory together, so most walks are saved; the
// descriptor stays the directory that was walked to, whatever is renamed
// meanwhile.
class DirCache {
 public:
  explicit DirCache(const BaseDir& base) : base_(base) {}
  ~DirCache() { Forget(); }
  DirCache(const DirCache&) = delete;
  DirCache& operator=(const DirCache&) = delete;

  // The directory holding `path` (the cache's descriptor: not to be closed)
  // and its last component in `leaf`, as BaseDir::OpenParent gives them; -1
  // when it cannot be walked to (then also for the next path in the same
  // directory).
  int Open(const std::string& path, std::string* leaf) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash);
    std::string last = path.substr(slash + 1);  // all of it without a '/'
    // Otherwise the walk takes an earlier component for the last one.
    bool plain = !last.empty() && last != "." && last != "..";
    // A directory that could not be walked to is not tried again either.
    if (plain && keyed_ && dir == dir_) {
      *leaf = last;
      return fd_;
    }
    Forget();
    PathError error;
    fd_ = base_.OpenParent(path, false, leaf, &error);
    keyed_ = plain;
    dir_ = dir;
    return fd_;
  }

 private:
  void Forget() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  const BaseDir& base_;
  std::string dir_;
  bool keyed_ = false;  // dir_ names the directory of fd_
  int fd_ = -1;
};

// True when the installed copy of `file` is current. A leftover staged file
// beside it goes first, when the settings say so.
bool Judge(DirCache* dirs, const UpdateFile& file, const JudgeSettings& settings, uint8_t* buffer) {
  std::string leaf;
  int dir = dirs->Open(file.path, &leaf);
  if (dir < 0) return false;
  if (settings.removeLeftovers) unlinkat(dir, StagedName(leaf).c_str(), 0);
  PathError error;
  int fd = buffer != nullptr ? OpenRegularAt(dir, leaf, &error) : -1;
  if (fd < 0) return false;
  char hex[65];
  bool current =
      DigestOpenFile(fd, settings.sha256, buffer, hex) && strcasecmp(hex, file.fileDigest) == 0;
  close(fd);
  return current;
}

// Claims entries, a few neighbours at a time, until none are left. A worker
// without its buffer or its base directory still claims and marks entries,
// so that none is skipped.
void Work(Batch* batch) {
  BaseDir base;
  PathError error;
  bool opened = base.Open(batch->settings->baseDir, &error);
  DirCache dirs(base);
  uint8_t* buffer = static_cast<uint8_t*>(zmalloc(kBufferSize));
  for (size_t first; (first = batch->next.fetch_add(kClaim)) < batch->count;) {
    size_t end = std::min(first + kClaim, batch->count);
    for (size_t i = first; i < end; ++i) {
      UpdateFile* file = batch->files[i];
      file->needsUpdate = !(opened && Judge(&dirs, *file, *batch->settings, buffer));
    }
  }
  if (buffer != nullptr) zfree(buffer);
}

size_t WorkerCount(const JudgeSettings& settings, size_t count) {
  size_t workers = settings.workers;
  if (workers == 0) {
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    workers = online > 0 ? static_cast<size_t>(online) : 1;
  }
  if (workers > kMaxWorkers) workers = kMaxWorkers;
  return workers < count ? workers : count;
}

}  // namespace

void JudgeFiles(const JudgeSettings& settings, UpdateFile* const* files, size_t count) {
  if (count == 0) return;
  // The largest files first, so that the last ones to be read are small and
  // no worker is left reading a large file alone at the end; files of one
  // size stay in list order, which keeps a directory's files together.
  std::vector<UpdateFile*> order;
  try {
    order.assign(files, files + count);
    std::stable_sort(order.begin(), order.end(),
                     [](const UpdateFile* a, const UpdateFile* b) { return a->size > b->size; });
    files = order.data();
  } catch (const std::exception&) {
    // in list order, then
  }
  Batch batch;
  batch.settings = &settings;
  batch.files = files;
  batch.count = count;
  std::vector<std::thread> helpers;
  size_t workers = WorkerCount(settings, count);
  // The calling thread is one of the workers; a helper that cannot be had
  // leaves the entries to those there are.
  try {
    helpers.reserve(workers);
    for (size_t i = 1; i < workers; ++i) helpers.emplace_back(Work, &batch);
  } catch (const std::exception&) {
  }
  Work(&batch);
  for (std::thread& helper : helpers) helper.join();
}
