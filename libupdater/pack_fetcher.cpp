#define MEMLEAK_SOURCE "libupdater"
// One pack's fetch: find what an earlier run left, then transfer the rest
// (or all of it) into the pack file, trying again while the failure may pass.
#include "pack_fetcher.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "base_dir.h"
#include "memleak.h"
#include "resume_note.h"
#include "streams.h"
#include "text_format.h"
#include "updater.h"

namespace {

const char kTransferFailed[] = "VDL reports '%s' while downloading '%s'";
constexpr size_t kBufferSize = 65536;
// A pack this long is worth continuing after any interruption. Each note is
// a file of its own, and making files is not free.
constexpr int64_t kNoteFrom = 1 << 20;

// What an earlier run left under the pack's name.
enum class Found { kNothing, kWhole, kPartial };

class PackFetch {
 public:
  PackFetch(const FetchSetup& setup, FetchContext* context, FetchReporter* reporter, PackJob* job)
      : setup_(setup), context_(context), reporter_(reporter), job_(job), file_(job->file) {
    stream_.write = StreamWrite;
    stream_.seek = StreamSeek;
    stream_.handle = this;
  }
  ~PackFetch() {
    if (fd_ >= 0) close(fd_);
    if (buffer_ != nullptr) zfree(buffer_);
  }
  PackFetch(const PackFetch&) = delete;
  PackFetch& operator=(const PackFetch&) = delete;

  bool Run();

 private:
  Found Look();
  bool OpenToContinue(int readFd);
  bool Transfer();
  bool Succeeded();
  bool Failed(VelmarDownloadNoCurl* download, bool aborted);
  bool End(FetchState state, const std::string& error, bool aborted);
  void Drop();
  bool Flush();
  const char* path() const { return file_->path.c_str(); }

  static int64_t StreamWrite(const void* buffer, uint64_t count, DataStream* stream);
  static int32_t StreamSeek(DataStream* stream, int64_t offset, int32_t whence);
  static bool OnProgress(int64_t received, int64_t total, void* userData);

  const FetchSetup& setup_;
  FetchContext* context_;
  FetchReporter* reporter_;
  PackJob* job_;
  UpdateFile* file_;
  int fd_ = -1;          // the pack, open for writing at its end
  int64_t written_ = 0;  // bytes in the pack file
  DataStream stream_ = {};
  // Bytes not yet in the file: they go in whole pieces, so a full disk may
  // show only when the transfer ends, as with any buffered file.
  uint8_t* buffer_ = static_cast<uint8_t*>(zmalloc(kBufferSize));
  size_t buffered_ = 0;
  bool noted_ = false;  // the pack's resume note is written
};

bool PackFetch::Run() {
  if (!job_->planError.empty()) return End(FetchState::kFailed, job_->planError, false);
  Found found = Look();
  if (found == Found::kWhole) {
    reporter_->Line(Format("Already have %s, skipping download...", path()));
    setup_.board->FetchStarted(job_, written_, false);
    return End(FetchState::kWhole, "", false);
  }
  if (found == Found::kPartial) {
    reporter_->Line(
        Format("Resuming %s at %lld bytes...", path(), static_cast<long long>(written_)));
  } else {
    // Whatever had the pack's name (a link too) is deleted, never written
    // through; so is an older note.
    PathError error;
    RemoveResumeNote(setup_.packDir, job_->pack);
    fd_ = CreateFresh(setup_.packDir, job_->pack, &error);
    if (fd_ < 0) {
      return End(FetchState::kFailed, Format("Error opening %s", job_->packPath.c_str()), false);
    }
  }
  noted_ = found == Found::kPartial;
  setup_.board->FetchStarted(job_, written_, found == Found::kPartial);
  return Transfer();
}

// A pack whose digest is the document's is whole. Else, a pack within the
// bound whose note names this very entry is continued.
Found PackFetch::Look() {
  PathError error;
  int fd = OpenRegularAt(setup_.packDir, job_->pack, &error);
  if (fd < 0) return Found::kNothing;
  struct stat info;
  written_ = fstat(fd, &info) == 0 ? info.st_size : 0;
  char digest[65] = {};
  Found found = Found::kNothing;
  if (file_->packDigest[0] != '\0' && DigestDescriptor(fd, setup_.sha256, digest) &&
      strcasecmp(digest, file_->packDigest) == 0) {
    found = Found::kWhole;
  } else if (written_ > 0 && written_ <= job_->bound &&
             ResumeNoteMatches(setup_.packDir, job_->pack, ResumeNoteText(*file_)) &&
             OpenToContinue(fd)) {
    found = Found::kPartial;
  }
  close(fd);
  if (found == Found::kNothing) written_ = 0;
  return found;
}

// Opens the pack for writing at its end; it must be the file just read.
bool PackFetch::OpenToContinue(int readFd) {
  int fd =
      openat(setup_.packDir, job_->pack.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat mine, read;
  if (fd < 0 || fstat(fd, &mine) != 0 || fstat(readFd, &read) != 0 || mine.st_dev != read.st_dev ||
      mine.st_ino != read.st_ino || lseek(fd, written_, SEEK_SET) != written_) {
    if (fd >= 0) close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

bool PackFetch::Transfer() {
  const int retries = setup_.transfer->retries;
  bool startedOver = false;
  // Each round is one transfer; rounds are bounded by the retries and one
  // start without a range.
  for (int attempt = 0;;) {
    std::unique_ptr<VelmarDownloadNoCurl> download =
        MakePackDownload(context_, *setup_.transfer, *job_, OnProgress, this);
    if (download == nullptr) {
      Drop();
      return End(FetchState::kFailed,
                 Format(kTransferFailed, vdl_error_text(VDL_ERR_SOCKET), path()), false);
    }
    download->SetResumeFrom(written_);
    if (download->GetError() == VDL_ERR_NONE && download->DownloadToStream(&stream_)) {
      return Succeeded();
    }
    // What did arrive is kept for the next try (or the next run).
    Flush();
    // A server that cannot give the rest has changed the file: start over.
    if (download->GetHttpStatus() == 416 && written_ > 0 && !startedOver) {
      startedOver = true;
      if (setup_.board->StartOver(job_, fd_)) written_ = 0;
      if (written_ == 0) continue;
    }
    bool aborted = download->GetError() == VDL_ERR_CALLBACK_ABORT && setup_.board->Stopping();
    if (!aborted && attempt < retries && IsTransient(download.get())) {
      ++attempt;
      reporter_->Line(RetryNotice(file_->path, download.get(), attempt, retries));
      if (setup_.board->Pause(RetryPauseSeconds(attempt) * setup_.pauseUnitMs)) continue;
      aborted = true;
    }
    return Failed(download.get(), aborted);
  }
}

bool PackFetch::Succeeded() {
  bool flushed = Flush();
  int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0 || !flushed) {
    Drop();
    return End(FetchState::kFailed, Format(kTransferFailed, vdl_error_text(VDL_ERR_WRITE), path()),
               false);
  }
  return End(FetchState::kWhole, "", false);
}

// A pack cut off within its bound stays for the next run to continue; one
// over the bound, or one that will not be continued, goes.
bool PackFetch::Failed(VelmarDownloadNoCurl* download, bool aborted) {
  bool keep = written_ > 0 && !download->SizeLimitHit() && (aborted || IsTransient(download));
  if (!keep) {
    Drop();
  } else if (!noted_) {
    noted_ = WriteResumeNote(setup_.packDir, job_->pack, ResumeNoteText(*file_));
  }
  std::string error = aborted ? "" : PackFailureText(download, file_->path, file_->size);
  return End(FetchState::kFailed, error, aborted);
}

bool PackFetch::End(FetchState state, const std::string& error, bool aborted) {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  setup_.board->FetchEnded(job_, state, error, aborted);
  return state == FetchState::kWhole;
}

void PackFetch::Drop() {
  unlinkat(setup_.packDir, job_->pack.c_str(), 0);
  RemoveResumeNote(setup_.packDir, job_->pack);
}

// Writes the buffered bytes to the pack file and tells the board. False
// when the file takes fewer; what it took counts.
bool PackFetch::Flush() {
  size_t done = 0;
  // Each round writes at least one byte or ends the loop.
  while (done < buffered_) {
    ssize_t n = write(fd_, buffer_ + done, buffered_ - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  bool whole = done == buffered_;
  buffered_ = 0;
  written_ += static_cast<int64_t>(done);
  if (done > 0) setup_.board->Written(job_, static_cast<int64_t>(done));
  // A pack worth continuing gets its note while it grows, so that even a
  // run killed outright leaves it continuable; a smaller one only when its
  // transfer fails.
  if (!noted_ && written_ >= kNoteFrom) {
    noted_ = WriteResumeNote(setup_.packDir, job_->pack, ResumeNoteText(*file_));
  }
  return whole;
}

int64_t PackFetch::StreamWrite(const void* buffer, uint64_t count, DataStream* stream) {
  PackFetch* fetch = static_cast<PackFetch*>(stream->handle);
  const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
  if (fetch->buffer_ == nullptr) {  // no buffer to be had: straight through
    fetch->buffer_ = const_cast<uint8_t*>(bytes);
    fetch->buffered_ = count;
    bool whole = fetch->Flush();
    fetch->buffer_ = nullptr;
    return whole ? static_cast<int64_t>(count) : -1;
  }
  uint64_t done = 0;
  // Each round fills the buffer or takes the rest of the bytes.
  while (done < count) {
    size_t piece =
        static_cast<size_t>(std::min<uint64_t>(count - done, kBufferSize - fetch->buffered_));
    memcpy(fetch->buffer_ + fetch->buffered_, bytes + done, piece);
    fetch->buffered_ += piece;
    done += piece;
    if (fetch->buffered_ == kBufferSize && !fetch->Flush()) return -1;
  }
  return static_cast<int64_t>(count);
}

// The downloader rewinds its target only when the whole file comes instead
// of the rest that was asked for: the pack starts over.
int32_t PackFetch::StreamSeek(DataStream* stream, int64_t offset, int32_t whence) {
  PackFetch* fetch = static_cast<PackFetch*>(stream->handle);
  if (offset != 0 || whence != 0) return -1;
  fetch->buffered_ = 0;
  if (!fetch->setup_.board->StartOver(fetch->job_, fetch->fd_)) return -1;
  fetch->written_ = 0;
  return 0;
}

bool PackFetch::OnProgress(int64_t received, int64_t total, void* userData) {
  PackFetch* fetch = static_cast<PackFetch*>(userData);
  return fetch->reporter_->Progress(fetch->job_, received, total);
}

}  // namespace

std::unique_ptr<VelmarDownloadNoCurl> MakePackDownload(FetchContext* context,
                                                       const TransferSettings& transfer,
                                                       const PackJob& job,
                                                       VDL_PROGRESS_CALLBACK progress,
                                                       void* userData) {
  std::unique_ptr<VelmarDownloadNoCurl> download(new (std::nothrow) VelmarDownloadNoCurl(
      job.file->url.c_str(), progress, nullptr, nullptr, userData));
  if (download == nullptr) return download;
  ConfigureDownload(transfer, job.bound, download.get());
  if (context->connection != nullptr) download->SetConnectionCache(context->connection.get());
  return download;
}

bool FetchPack(const FetchSetup& setup, FetchContext* context, FetchReporter* reporter,
               PackJob* job) {
  PackFetch fetch(setup, context, reporter, job);
  return fetch.Run();
}
