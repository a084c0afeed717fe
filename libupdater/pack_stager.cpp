#define MEMLEAK_SOURCE "libupdater"
// Staging: follow the pack as it grows, unpack it beside the destination,
// check both digests, seal and close.
#include "pack_stager.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>
#include <utility>

#include "memleak.h"
#include "updater.h"

namespace {

// Written bytes of a staged file between two starts of its writeback.
constexpr uint64_t kWritebackStep = 1 << 20;

// The directories above `relative`, shortest first ("a", "a/b" for
// "a/b/c"), without empty and "." components.
std::vector<std::string> Ancestors(const std::string& relative) {
  std::vector<std::string> dirs;
  std::string built;
  size_t start = 0;
  for (size_t end; (end = relative.find('/', start)) != std::string::npos; start = end + 1) {
    std::string part = relative.substr(start, end - start);
    if (part.empty() || part == ".") continue;
    built += (built.empty() ? "" : "/") + part;
    dirs.push_back(built);
  }
  return dirs;
}

// The directories above `relative` that do not exist yet, deepest first.
std::vector<std::string> MissingDirs(const BaseDir& base, const std::string& relative) {
  std::vector<std::string> dirs = Ancestors(relative);
  std::vector<std::string> missing;
  for (auto dir = dirs.rbegin(); dir != dirs.rend(); ++dir) {
    PathError ignored;
    if (base.Exists(*dir, &ignored)) break;
    missing.push_back(*dir);
  }
  return missing;
}

ssize_t ReadAt(int fd, uint8_t* buffer, size_t capacity, int64_t offset) {
  ssize_t count;
  do {
    count = pread(fd, buffer, capacity, offset);
  } while (count < 0 && errno == EINTR);
  return count;
}

}  // namespace

PackStager::PackStager(const StageSetup& setup)
    : setup_(setup), piece_(static_cast<uint8_t*>(zmalloc(PackUnpacker::kPieceSize))) {}

PackStager::~PackStager() {
  if (piece_ != nullptr) zfree(piece_);
}

void PackStager::Stage(PackJob* job) {
  const UpdateFile& file = *job->file;
  cancelled_ = false;
  std::vector<std::string> made = MissingDirs(*setup_.base, file.path);
  std::unique_ptr<StagedFile> staged(new (std::nothrow) StagedFile);
  PathError error;
  StageFailure failure = StageFailure::kNone;
  if (staged == nullptr) {
    failure = StageFailure::kUnpack;
  } else if (!staged->Create(*setup_.base, file.path, &error)) {
    failure = StageFailure::kCreate;
  } else {
    int pack = OpenRegularAt(setup_.packDir, job->pack, &error);
    failure =
        pack >= 0 && piece_ != nullptr ? Unpack(job, pack, staged->fd()) : StageFailure::kUnpack;
    if (pack >= 0) close(pack);
    // Only the read, write and execute bits: a document must not be able to
    // make set-user-ID or set-group-ID files.
    if (failure == StageFailure::kNone && !cancelled_ &&
        !staged->Seal(static_cast<mode_t>(file.mode & 0777), &error)) {
      failure = StageFailure::kSeal;
    }
  }
  // A verified file waits closed. A failed or cancelled one takes its staged
  // file with it, except that a file that could not be made or sealed stays
  // open until its turn, whose message names it.
  if (cancelled_ || failure == StageFailure::kUnpack || failure == StageFailure::kChecksum) {
    staged.reset();
  } else if (failure == StageFailure::kNone) {
    staged->Close();
  }
  setup_.board->StageEnded(job, failure, error, std::move(staged), std::move(made));
}

// Feeds the pack to the unpacker as it grows; kNone once the whole pack has
// unpacked into `outFd` and both digests are right. When the fetch fails or
// the run stops, sets `cancelled_` and returns kNone.
StageFailure PackStager::Unpack(PackJob* job, int packFd, int outFd) {
  const UpdateFile& file = *job->file;
  const uint32_t size = file.size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(file.size);
  // The pack's own digest is needed only to prove a continued pack.
  unpacker_.Begin(file.key, size, setup_.digest, outFd, setup_.board->Resumed(job));
  writebackFrom_ = 0;
  int64_t offset = 0;
  uint32_t generation = 0;
  bool stalled = false;
  // Each round reads a piece, waits for more, or starts over; the pack is
  // bounded by its size limit, and a start over happens only a few times.
  for (;;) {
    PackWindow window = setup_.board->WaitForPack(job, offset, generation);
    if (window.kind == PackWindow::kStop) {
      cancelled_ = true;
      return StageFailure::kNone;
    }
    if (window.kind == PackWindow::kEnd) return Verify(job, window.resumed);
    if (window.kind == PackWindow::kRestart) {
      generation = window.generation;
      offset = 0;
      stalled = false;
      if (!Restart(job, outFd)) return StageFailure::kUnpack;
    } else if (!FeedPiece(packFd, outFd, window.end, &offset, &stalled)) {
      return StageFailure::kUnpack;
    }
  }
}

// Feeds the next piece of the pack, before `end`, from `*offset` on. False
// when the pack cannot be read.
bool PackStager::FeedPiece(int packFd, int outFd, int64_t end, int64_t* offset, bool* stalled) {
  // After the unpacker failed, the rest need not be read: only a start over
  // can change the outcome.
  if (unpacker_.failure() != UnpackFailure::kNone) {
    *offset = end;
    return true;
  }
  size_t want = static_cast<size_t>(std::min<int64_t>(end - *offset, PackUnpacker::kPieceSize));
  ssize_t count = ReadAt(packFd, piece_, want, *offset);
  // Nothing where bytes were announced: the pack was emptied to start over,
  // which the next wait shows; twice in a row, someone else cut it.
  if (count < 0 || (count == 0 && *stalled)) return false;
  *stalled = count == 0;
  if (count > 0) unpacker_.Feed(piece_, static_cast<size_t>(count));
  *offset += count;
  StartWriteback(outFd);
  return true;
}

// The staged file is synced once it is whole; starting the disk on it as it
// grows keeps the disk busy alongside the unpacking instead of after it.
void PackStager::StartWriteback(int outFd) {
  uint64_t written = unpacker_.written();
  if (written < writebackFrom_ + kWritebackStep) return;
  sync_file_range(outFd, static_cast<off64_t>(writebackFrom_),
                  static_cast<off64_t>(written - writebackFrom_), SYNC_FILE_RANGE_WRITE);
  writebackFrom_ = written;
}

bool PackStager::Restart(PackJob* job, int outFd) {
  const UpdateFile& file = *job->file;
  if (ftruncate(outFd, 0) != 0 || lseek(outFd, 0, SEEK_SET) != 0) return false;
  writebackFrom_ = 0;
  const uint32_t size = file.size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(file.size);
  unpacker_.Begin(file.key, size, setup_.digest, outFd, false);  // a fresh start
  return true;
}

// A pack that continues an earlier transfer is proved by its own digest as
// well; the file always by its digest.
StageFailure PackStager::Verify(PackJob* job, bool resumed) {
  const UpdateFile& file = *job->file;
  if (!unpacker_.Finish()) {
    return unpacker_.failure() == UnpackFailure::kDigest ? StageFailure::kChecksum
                                                         : StageFailure::kUnpack;
  }
  if (resumed && file.packDigest[0] != '\0' &&
      strcasecmp(unpacker_.PackDigest(), file.packDigest) != 0) {
    return StageFailure::kUnpack;
  }
  if (strcasecmp(unpacker_.FileDigest(), file.fileDigest) != 0) return StageFailure::kChecksum;
  return StageFailure::kNone;
}

void RemoveEmptyDirs(const BaseDir& base, const std::vector<std::string>& dirs) {
  for (const std::string& dir : dirs) {
    PathError ignored;
    std::string leaf;
    int parent = base.OpenParent(dir, false, &leaf, &ignored);
    if (parent < 0) continue;
    unlinkat(parent, leaf.c_str(), AT_REMOVEDIR);  // only an empty directory goes
    close(parent);
  }
}
