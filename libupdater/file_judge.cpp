#define MEMLEAK_SOURCE "libupdater"
// The judgement of installed files, shared out among worker threads.
#include "file_judge.h"

#include <strings.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <system_error>
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

// True when the installed copy of `file` is current. Its directory is walked
// to once, for the leftover and the copy both.
bool Judge(const BaseDir& base, const UpdateFile& file, const JudgeSettings& settings,
           uint8_t* buffer) {
  PathError error;
  std::string leaf;
  int dir = base.OpenParent(file.path, false, &leaf, &error);
  if (dir < 0) return false;
  if (settings.removeLeftovers) unlinkat(dir, StagedName(leaf).c_str(), 0);
  int fd = buffer != nullptr ? OpenRegularAt(dir, leaf, &error) : -1;
  close(dir);
  if (fd < 0) return false;
  char hex[65];
  bool current =
      DigestOpenFile(fd, settings.sha256, buffer, hex) && strcasecmp(hex, file.fileDigest) == 0;
  close(fd);
  return current;
}

// Claims entries until none are left. A worker without its buffer or its
// base directory still claims and marks entries, so that none is skipped.
void Work(Batch* batch) {
  BaseDir base;
  PathError error;
  bool opened = base.Open(batch->settings->baseDir, &error);
  uint8_t* buffer = static_cast<uint8_t*>(zmalloc(kBufferSize));
  for (size_t i = batch->next++; i < batch->count; i = batch->next++) {
    UpdateFile* file = batch->files[i];
    file->needsUpdate = !(opened && Judge(base, *file, *batch->settings, buffer));
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
  Batch batch;
  batch.settings = &settings;
  batch.files = files;
  batch.count = count;
  std::vector<std::thread> helpers;
  size_t workers = WorkerCount(settings, count);
  // The calling thread is one of the workers.
  for (size_t i = 1; i < workers; ++i) {
    try {
      helpers.emplace_back(Work, &batch);
    } catch (const std::system_error&) {
      break;  // fewer workers; the entries are shared among those there are
    }
  }
  Work(&batch);
  for (std::thread& helper : helpers) helper.join();
}
