#define MEMLEAK_SOURCE "libupdater"
// Fetching the update-info document: the body goes through a scratch file in
// the working directory, is read back whole, and the scratch file is deleted
// on every way out once it exists. With trusted keys the signature file is
// then fetched into memory and checked (trust.cpp) before the text replaces
// infoText. Both transfers go through ConfigureDownload with their size
// bounds, and each is tried again, as the transfer settings allow, when it
// failed for a reason that may pass.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "GenLib.h"
#include "download_nocurl.h"
#include "memleak.h"
#include "streams.h"
#include "updater.h"

namespace {

const char kScratchFile[] = "updater-info.xml";

enum ReadResult { kRead, kTooLarge, kReadError };

// Reads the downloaded document back from the start of `file` into `text`,
// every byte of it; on failure `text` stays as it was. An empty document is
// a read error.
ReadResult ReadBack(FILE* file, std::string* text) {
  int64_t size = ftell64(file);
  if (size > kMaxInfoSize) return kTooLarge;
  char* block = size > 0 ? static_cast<char*>(zmalloc(static_cast<uint32_t>(size + 1))) : nullptr;
  ReadResult result = kRead;
  if (block == nullptr || fseek64(file, 0, SEEK_SET) != 0 ||
      fread(block, 1, static_cast<size_t>(size), file) != static_cast<size_t>(size)) {
    result = kReadError;
  } else {
    text->assign(block, static_cast<size_t>(size));
  }
  if (block != nullptr) zfree(block);
  return result;
}

// Opens the scratch file for reading and writing, truncated ("w+b"). A
// symbolic link in its place is refused: the updater runs as root, and a link
// planted in the working directory must not make it truncate another file.
FILE* OpenScratch() {
  int fd = open(kScratchFile, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "w+b");
  if (file == nullptr) close(fd);
  return file;
}

// One try of a transfer. False with the Updater's error set; when the
// failure may pass and tries are left, `*notice` is the line to send before
// the next one.
struct Try {
  Updater* updater;
  const std::string& url;
  int attempt;
  std::string* notice;

  void OfferRetry(VelmarDownloadNoCurl* download) const {
    if (attempt <= updater->transfer.retries && IsTransient(download)) {
      *notice = RetryNotice(url, download, attempt, updater->transfer.retries);
    }
  }
};

// Runs `fetch` (one try, given its Try) until it succeeds or offers no
// retry, pausing between tries.
template <typename Fetch>
bool WithRetries(Updater* updater, const std::string& url, Fetch fetch) {
  for (int attempt = 1;; ++attempt) {
    std::string notice;
    if (fetch(Try{updater, url, attempt, &notice})) return true;
    if (notice.empty()) return false;
    updater->Status("%s", notice.c_str());
    PauseBeforeRetry(updater->transfer, attempt);
  }
}

// One try of fetching the document into `text` through the scratch file.
bool FetchDocument(const Try& t, std::string* text) {
  Updater* u = t.updater;
  VDL_PROGRESS_CALLBACK progress = u->callbacks != nullptr ? u->callbacks->onProgress : nullptr;
  VelmarDownloadNoCurl download(t.url.c_str(), progress, nullptr, nullptr, nullptr);
  ConfigureDownload(u->transfer, kMaxInfoSize, &download);
  if (download.GetError() != 0) {
    u->SetError("VDL reports %s", TransferFailureText(&download).c_str());
    return false;
  }
  FILE* file = OpenScratch();
  if (file == nullptr) {
    u->SetError("Error opening updater-info.xml");
    return false;
  }
  ReadResult read = kReadError;
  if (download.DownloadToHandle(file)) {
    read = ReadBack(file, text);
  } else if (!download.SizeLimitHit()) {
    u->SetError("VDL reports %s", TransferFailureText(&download).c_str());
    t.OfferRetry(&download);
  }
  fclose(file);
  remove(kScratchFile);
  if (read == kTooLarge || download.SizeLimitHit()) {
    u->SetError("Error reading updater-info.xml! (larger than %lld bytes)",
                static_cast<long long>(kMaxInfoSize));
  } else if (read == kReadError && download.GetError() == VDL_ERR_NONE) {
    u->SetError("Error reading updater-info.xml!");
  }
  return read == kRead;
}

// One try of fetching the signature file at `t.url` into `text`, held in
// memory and bounded by kMaxSignatureFileSize.
bool FetchSignatures(const Try& t, std::string* text) {
  Updater* u = t.updater;
  const char* url = t.url.c_str();
  VelmarDownloadNoCurl download(url, nullptr, nullptr, nullptr, nullptr);
  ConfigureDownload(u->transfer, kMaxSignatureFileSize, &download);
  char* block = static_cast<char*>(zmalloc(kMaxSignatureFileSize));
  DataStream* stream =
      block != nullptr ? stream_from_memory(block, kMaxSignatureFileSize) : nullptr;
  bool ok = stream != nullptr && download.DownloadToStream(stream);
  int64_t size = stream != nullptr ? stream->tell(stream) : 0;
  if (stream != nullptr) stream->close(stream);
  if (download.SizeLimitHit()) {
    u->SetError("Signature file %s is larger than %zu bytes", url, kMaxSignatureFileSize);
  } else if (stream == nullptr) {
    u->SetError("Out of memory fetching %s", url);
  } else if (!ok && download.GetError() == VDL_ERR_NOT_FOUND) {
    u->SetError("No signature file at %s", url);
  } else if (!ok) {
    u->SetError("Error fetching %s: VDL reports %s", url, TransferFailureText(&download).c_str());
    t.OfferRetry(&download);
  } else {
    text->assign(block, static_cast<size_t>(size));
  }
  if (block != nullptr) zfree(block);
  return ok;
}

}  // namespace

bool Updater::DownloadInfo() {
  ScopedLock hold(lock);
  std::string text;
  const std::string signatureUrl = infoUrl + ".sig";
  bool ok = WithRetries(this, infoUrl, [&text](const Try& t) { return FetchDocument(t, &text); });
  if (ok && !trust.keys.empty()) {
    std::string signatures;
    ok = WithRetries(this, signatureUrl,
                     [&signatures](const Try& t) { return FetchSignatures(t, &signatures); }) &&
         AcceptSignatures(text, signatures);
  }
  if (ok) infoText = text.c_str();  // a zero byte in the document ends it early
  return ok;
}
