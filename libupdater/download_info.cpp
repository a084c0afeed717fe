#define MEMLEAK_SOURCE "libupdater"
// Fetching the update-info document: the body goes through a scratch file in
// the working directory, is read back whole, and the scratch file is deleted
// on every way out once it exists. With trusted keys the signature file is
// then fetched into memory and checked (trust.cpp) before the text replaces
// infoText.
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

// The whole document is held in memory for the parser; a larger answer is
// refused instead of being allocated.
constexpr int64_t kMaxInfoSize = 64 * 1024 * 1024;

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

// Fetches "<url>.sig" into `text`, refusing more than kMaxSignatureFileSize
// bytes. False with the Updater's error set.
bool FetchSignatures(Updater* updater, std::string* text) {
  std::string url = updater->infoUrl + ".sig";
  VelmarDownloadNoCurl download(url.c_str(), nullptr, nullptr, nullptr, nullptr);
  // One byte more than allowed shows that the file is too large.
  char* block = static_cast<char*>(zmalloc(kMaxSignatureFileSize + 1));
  DataStream* stream =
      block != nullptr ? stream_from_memory(block, kMaxSignatureFileSize + 1) : nullptr;
  bool ok = stream != nullptr && download.DownloadToStream(stream);
  int64_t size = stream != nullptr ? stream->tell(stream) : 0;
  if (stream != nullptr) stream->close(stream);
  if (size > static_cast<int64_t>(kMaxSignatureFileSize)) {
    updater->SetError("Signature file %s is larger than %zu bytes", url.c_str(),
                      kMaxSignatureFileSize);
    ok = false;
  } else if (stream == nullptr) {
    updater->SetError("Out of memory fetching %s", url.c_str());
  } else if (!ok && download.GetError() == VDL_ERR_NOT_FOUND) {
    updater->SetError("No signature file at %s", url.c_str());
  } else if (!ok) {
    updater->SetError("Error fetching %s: VDL reports %s", url.c_str(), download.GetErrorString());
  } else {
    text->assign(block, static_cast<size_t>(size));
  }
  if (block != nullptr) zfree(block);
  return ok;
}

}  // namespace

bool Updater::DownloadInfo() {
  ScopedLock hold(lock);
  VDL_PROGRESS_CALLBACK progress = callbacks != nullptr ? callbacks->onProgress : nullptr;
  VelmarDownloadNoCurl download(infoUrl.c_str(), progress, nullptr, nullptr, nullptr);
  if (download.GetError() != 0) {
    SetError("VDL reports %s", download.GetErrorString());
    return false;
  }
  FILE* file = OpenScratch();
  if (file == nullptr) {
    SetError("Error opening updater-info.xml");
    return false;
  }
  bool ok = false;
  std::string text;
  if (!download.DownloadToHandle(file)) {
    SetError("VDL reports %s", download.GetErrorString());
  } else {
    switch (ReadBack(file, &text)) {
      case kRead:
        ok = true;
        break;
      case kTooLarge:
        SetError("Error reading updater-info.xml! (larger than %lld bytes)",
                 static_cast<long long>(kMaxInfoSize));
        break;
      case kReadError:
        SetError("Error reading updater-info.xml!");
        break;
    }
  }
  fclose(file);
  remove(kScratchFile);
  if (ok && !trust.keys.empty()) {
    std::string signatures;
    ok = FetchSignatures(this, &signatures) && AcceptSignatures(text, signatures);
  }
  if (ok) infoText = text.c_str();  // a zero byte in the document ends it early
  return ok;
}
